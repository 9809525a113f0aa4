// tarvo/body.h: the voxel body (a particle in a cubic grid of edge dim) and its bitmap.
//
// API
//   TelesoRecord                      the body record: twelve 32-bit fields and the voxel bitmap
//   Body                              the one owner of a record's bitmap: move-only, released on
//                                     destruction; create(n, path), release()
//   kMaxDim, dim_in_range, bitmap_size, voxel_count, padded_bytes
//   create_body(rec, n, path)         a cleared bitmap of edge n (0..kMaxDim); kEdgeOutOfRange or
//                                     kOutOfMemory otherwise (rec.data stays null then)
//   free_body(rec)                    release the bitmap; dim becomes 0
//   Get_voxel(rec, x, y, z)           1 for a set voxel, 0 for an empty one or outside the grid
//   Set_voxel(rec, x, y, z, v)        set (v > 0) or clear (v <= 0); 1 when the index is outside
//   voxel_index(n, x, y, z)           the linear index x + n*(y + n*z) of a voxel in the grid
//   voxel_at(rec, i)                  voxel i of the grid (no range check)
//   set_voxels(rec, begin, end)       set voxels begin..end-1
//   pack_voxels(rec, begin, bytes, k, threshold)   set voxel begin+j where bytes[j] >= threshold
//   unpack_voxels(rec, begin, k, out, set, empty)  out[j] = set or empty for voxel begin+j
//   next_change(rec, i, end, value)   the first voxel in i..end-1 that is not `value` (or end)
//   voxel_word(rec, i)                voxels i..i+63 as bits 0..63 of a word (0 past the grid)
//
// Voxel i = x + dim*(y + dim*z) is bit i%8 of byte i/8 of the bitmap: x fastest, then y, then z,
// the order of the file's voxel stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "tarvo/status.h"

namespace tarvo {

struct TelesoRecord {
    std::int32_t size = 0;  // bytes of the bitmap: dim^3 / 8 + 1
    std::int32_t dim = 0;   // edge length of the grid, in voxels
    std::int32_t x_min = 0, x_max = 0;
    std::int32_t y_min = 0, y_max = 0;
    std::int32_t z_min = 0, z_max = 0;
    std::int32_t x_mean = 0, y_mean = 0, z_mean = 0;
    std::int32_t voxels = 0;
    // The block is padded with zero bytes to whole 64-bit words, so word-wise code may read past
    // `size`.
    std::uint8_t* data = nullptr;
};

int Get_voxel(const TelesoRecord& rec, std::int32_t x, std::int32_t y, std::int32_t z);
int Set_voxel(TelesoRecord& rec, std::int32_t x, std::int32_t y, std::int32_t z, int value);

inline constexpr std::int32_t kMaxDim = 1290;  // dim^3 must fit a 32-bit signed integer

constexpr bool dim_in_range(std::int64_t n) { return n >= 0 && n <= kMaxDim; }
// n^3 / 8 + 1, for n in 0..kMaxDim.
constexpr std::int32_t bitmap_size(std::int32_t n) {
    return static_cast<std::int32_t>(std::int64_t{n} * n * n / 8 + 1);
}
constexpr std::int64_t voxel_count(std::int32_t n) { return n > 0 ? std::int64_t{n} * n * n : 0; }
// The bytes of the block: the bitmap padded to whole 64-bit words.
constexpr std::size_t padded_bytes(std::int32_t size) { return (static_cast<std::size_t>(size) + 7) / 8 * 8; }

// Allocates and clears the bitmap of edge n; `path` names the file the body is for in a failure.
Status create_body(TelesoRecord& rec, std::int32_t n, const std::string& path = {});
void free_body(TelesoRecord& rec);

// Owns the bitmap of its record from create() (or adoption) to its destruction. Moving hands the
// bitmap over; the record's fields are plain values anyone may read and write.
struct Body {
    TelesoRecord rec;

    Body() = default;
    explicit Body(const TelesoRecord& owned) : rec(owned) {}
    ~Body() { free_body(rec); }
    Body(const Body&) = delete;
    Body& operator=(const Body&) = delete;
    Body(Body&& other) noexcept : rec(other.rec) { other.rec = {}; }
    Body& operator=(Body&& other) noexcept {
        if (this != &other) {
            free_body(rec);
            rec = other.rec;
            other.rec = {};
        }
        return *this;
    }

    // A cleared bitmap of edge n in place of the one held.
    Status create(std::int32_t n, const std::string& path = {}) {
        free_body(rec);
        return create_body(rec, n, path);
    }
    // The record with its bitmap, which the caller now owns; this body holds none.
    TelesoRecord release() {
        const TelesoRecord r = rec;
        rec = {};
        return r;
    }
    bool has_bitmap() const { return rec.data != nullptr; }
};

constexpr std::int64_t voxel_index(std::int32_t n, std::int32_t x, std::int32_t y, std::int32_t z) {
    return x + std::int64_t{n} * (y + std::int64_t{n} * z);
}

inline bool voxel_at(const TelesoRecord& rec, std::int64_t i) { return (rec.data[i >> 3] >> (i & 7)) & 1; }

void set_voxels(TelesoRecord& rec, std::int64_t begin, std::int64_t end);
void pack_voxels(TelesoRecord& rec, std::int64_t begin, const std::uint8_t* bytes, std::int64_t count,
                 std::uint8_t threshold);
void unpack_voxels(const TelesoRecord& rec, std::int64_t begin, std::int64_t count, std::uint8_t* out,
                   std::uint8_t set, std::uint8_t empty);
std::int64_t next_change(const TelesoRecord& rec, std::int64_t i, std::int64_t end, bool value);
std::uint64_t voxel_word(const TelesoRecord& rec, std::int64_t i);

}  // namespace tarvo
