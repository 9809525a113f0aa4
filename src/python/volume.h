// volume: arrays of one element per voxel (numpy's bool and integer arrays, indexed [z, y, x], any
// strides) to and from the body's bitmap. C-contiguous arrays of one byte per voxel go eight
// voxels a step with 64-bit arithmetic, on two threads for large grids; any other layout goes
// element by element.
//
// API
//   Volume                       an array's memory: its first element, edge, byte strides of z,
//                                y and x, element size (1, 2, 4 or 8) and kind: bool (a non-zero
//                                element is set) or integers (0 or 1; any other value is refused)
//   BadValue                     the first refused element: its voxel index and raw bits
//   pack_volume(volume, rec)     the voxels into rec's cleared bitmap of the same edge; the first
//                                refused element, if any (the bitmap is then incomplete)
//   unpack_volume(rec, volume)   the bitmap into the array, as 0 and 1 of the element's size
// The kernels of the flat runs are the body's (body/pack.h).
#pragma once

#include <cstdint>
#include <optional>

#include "tarvo/body.h"

namespace tarvo::binding {

struct Volume {
    std::uint8_t* base = nullptr;
    std::int32_t dim = 0;
    std::int64_t stride[3] = {0, 0, 0};  // bytes between neighbours along z, y, x
    int itemsize = 1;
    bool integers = false;

    bool contiguous() const {
        return stride[2] == itemsize && stride[1] == itemsize * std::int64_t{dim} &&
               stride[0] == itemsize * std::int64_t{dim} * dim;
    }
};

struct BadValue {
    std::int64_t index = 0;  // x + dim * (y + dim * z)
    std::uint64_t bits = 0;  // the element's bits, zero-extended
};

std::optional<BadValue> pack_volume(const Volume& volume, TelesoRecord& rec);
void unpack_volume(const TelesoRecord& rec, const Volume& volume);

}  // namespace tarvo::binding
