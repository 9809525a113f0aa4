// The body record and its voxel bitmap.
#include <algorithm>

#include "body/bitmap.h"
#include "body/pack.h"
#include "sys/platform.h"
#include "tarvo/body.h"

namespace tarvo {

Status create_body(TelesoRecord& rec, std::int32_t n, const std::string& path) {
    rec.data = nullptr;
    if (!dim_in_range(n)) return fail(Error::kEdgeOutOfRange, path, 0, n);
    rec.dim = n;
    rec.size = bitmap_size(n);
    rec.data = tarvo::sys::allocate_zeroed(padded_bytes(rec.size));
    if (!rec.data) return fail(Error::kOutOfMemory, path, 0, n > 0 ? n : 1);
    return {};
}

void free_body(TelesoRecord& rec) {
    rec.dim = 0;
    tarvo::sys::release_zeroed(rec.data, padded_bytes(rec.size));
    rec.data = nullptr;
}

void set_voxels(TelesoRecord& rec, std::int64_t begin, std::int64_t end) {
    if (begin >= end) return;
    const auto [wb, we, head, tail] = word_range(begin, end);
    if (wb == we) {
        store_word(rec.data, wb, load_word(rec.data, wb) | (head & tail));
        return;
    }
    store_word(rec.data, wb, load_word(rec.data, wb) | head);
    if (we > wb + 1) std::fill(rec.data + (wb + 1) * 8, rec.data + we * 8, std::uint8_t{0xFF});
    store_word(rec.data, we, load_word(rec.data, we) | tail);
}

// The voxels before the first whole byte of the bitmap one by one, the rest eight a step.
void pack_voxels(TelesoRecord& rec, std::int64_t begin, const std::uint8_t* bytes, std::int64_t count,
                 std::uint8_t threshold) {
    const std::int64_t head = std::min(count, (8 - begin % 8) % 8);
    for (std::int64_t k = 0; k < head; ++k)
        if (bytes[k] >= threshold) {
            const std::int64_t i = begin + k;
            rec.data[i >> 3] = static_cast<std::uint8_t>(rec.data[i >> 3] | (1u << (i & 7)));
        }
    if (count > head) pack_bytes(bytes + head, count - head, rec.data + (begin + head) / 8, threshold);
}

void unpack_voxels(const TelesoRecord& rec, std::int64_t begin, std::int64_t count, std::uint8_t* out,
                   std::uint8_t set, std::uint8_t empty) {
    const std::int64_t head = std::min(count, (8 - begin % 8) % 8);
    for (std::int64_t k = 0; k < head; ++k) out[k] = voxel_at(rec, begin + k) ? set : empty;
    if (count > head) unpack_bytes(rec.data + (begin + head) / 8, count - head, out + head, set, empty);
}

std::int64_t next_change(const TelesoRecord& rec, std::int64_t i, std::int64_t end, bool value) {
    return tarvo::next_change(rec.data, i, end, value ? 1 : 0);
}

std::uint64_t voxel_word(const TelesoRecord& rec, std::int64_t i) {
    const std::int64_t total = voxel_count(rec.dim);
    if (i < 0 || i >= total) return 0;
    const std::int64_t w = i / kWordBits, shift = i % kWordBits;
    std::uint64_t v = load_word(rec.data, w) >> shift;
    // The next word exists in the padded block whenever it holds a voxel.
    if (shift != 0 && (w + 1) * kWordBits < total) v |= load_word(rec.data, w + 1) << (kWordBits - shift);
    return total - i < kWordBits ? v & low_mask(total - i) : v;
}

int Get_voxel(const TelesoRecord& rec, std::int32_t x, std::int32_t y, std::int32_t z) {
    if (x < 0 || x >= rec.dim || y < 0 || y >= rec.dim || z < 0 || z >= rec.dim) return 0;
    return voxel_at(rec, voxel_index(rec.dim, x, y, z)) ? 1 : 0;
}

int Set_voxel(TelesoRecord& rec, std::int32_t x, std::int32_t y, std::int32_t z, int value) {
    // The index of the coordinates as given (64-bit, so no overflow); only the bitmap's bounds count.
    const std::int64_t i = voxel_index(rec.dim, x, y, z);
    const std::int64_t b = i / 8;
    if (i < 0 || b >= rec.size) return 1;
    const auto mask = static_cast<std::uint8_t>(1u << (i % 8));
    if (value > 0)
        rec.data[b] |= mask;
    else
        rec.data[b] &= static_cast<std::uint8_t>(~mask);
    return 0;
}

}  // namespace tarvo
