// Arrays of one element per voxel to and from the bitmap.
#include "python/volume.h"

#include <array>
#include <cstring>

#include "body/pack.h"
#include "sys/threads.h"

namespace tarvo::binding {
namespace {

constexpr std::uint64_t kLowBits = 0x0101010101010101ULL;
// Checked blocks of bytes: a multiple of 8, small enough to stay in the first-level cache.
constexpr std::int64_t kCheckBlock = 4096;

std::uint64_t load8(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void store8(std::uint8_t* p, std::uint64_t v) { std::memcpy(p, &v, sizeof v); }

// The first byte above 1 in bytes[0..n), or -1.
std::int64_t first_above_one(const std::uint8_t* bytes, std::int64_t n) {
    for (std::int64_t i = 0; i < n; ++i)
        if (bytes[i] > 1) return i;
    return -1;
}

// pack_bytes for bytes that must be 0 or 1, a cache-sized block at a time: the index of the first
// other byte, or -1.
std::int64_t pack_checked(const std::uint8_t* bytes, std::int64_t n, std::uint8_t* bits) {
    for (std::int64_t at = 0; at < n; at += kCheckBlock) {
        const std::int64_t len = n - at < kCheckBlock ? n - at : kCheckBlock;
        std::uint64_t high = 0;
        std::int64_t i = 0;
        for (; i + 8 <= len; i += 8) high |= load8(bytes + at + i);
        for (; i < len; ++i) high |= bytes[at + i];
        if ((high & ~kLowBits) != 0) {
            if (const std::int64_t bad = first_above_one(bytes + at, len); bad >= 0) return at + bad;
        }
        pack_bytes(bytes + at, len, bits + at / 8);
    }
    return -1;
}

// work(begin, end) over voxels 0..n-1 in two parts split at a whole 64-bit word when the grid is
// large, else in one; returns the results of the parts in order (a part not run: value-initialised).
template <class Work>
auto for_flat_parts(std::int64_t n, Work&& work) {
    using Result = decltype(work(std::int64_t{0}, std::int64_t{0}));
    std::array<Result, 2> results{};
    const std::int64_t mid = tarvo::pass_threads(n, 0) > 1 ? n / 2 / 64 * 64 : n;
    tarvo::run_parts(mid < n ? 2 : 1, [&](int part) { results[part] = part == 0 ? work(0, mid) : work(mid, n); });
    return results;
}

std::optional<BadValue> pack_flat(const Volume& v, TelesoRecord& rec, std::int64_t n) {
    const auto parts = for_flat_parts(n, [&](std::int64_t begin, std::int64_t end) -> std::optional<BadValue> {
        if (!v.integers) {
            pack_bytes(v.base + begin, end - begin, rec.data + begin / 8);
            return std::nullopt;
        }
        const std::int64_t at = pack_checked(v.base + begin, end - begin, rec.data + begin / 8);
        if (at < 0) return std::nullopt;
        return BadValue{begin + at, v.base[begin + at]};
    });
    return parts[0] ? parts[0] : parts[1];
}

// Any layout and element size T (unsigned, of the array's size): element by element in voxel order.
template <class T>
std::optional<BadValue> pack_elements(const Volume& v, TelesoRecord& rec) {
    const std::int32_t n = v.dim;
    std::uint64_t word = 0;
    int bit = 0;
    std::uint8_t* out = rec.data;
    for (std::int32_t z = 0; z < n; ++z)
        for (std::int32_t y = 0; y < n; ++y) {
            const std::uint8_t* row = v.base + z * v.stride[0] + y * v.stride[1];
            for (std::int32_t x = 0; x < n; ++x) {
                T e;
                std::memcpy(&e, row + x * v.stride[2], sizeof e);
                if (v.integers && e > 1) return BadValue{tarvo::voxel_index(n, x, y, z), e};
                word |= static_cast<std::uint64_t>(e != 0) << bit;
                if (++bit == 64) {
                    store8(out, word);
                    out += 8;
                    word = 0;
                    bit = 0;
                }
            }
        }
    // The block is padded to whole words.
    if (bit > 0) store8(out, word);
    return std::nullopt;
}

template <class T>
void unpack_elements(const TelesoRecord& rec, const Volume& v) {
    const std::int32_t n = v.dim;
    std::int64_t i = 0;
    for (std::int32_t z = 0; z < n; ++z)
        for (std::int32_t y = 0; y < n; ++y) {
            std::uint8_t* row = v.base + z * v.stride[0] + y * v.stride[1];
            for (std::int32_t x = 0; x < n; ++x, ++i) {
                const T e = static_cast<T>(tarvo::voxel_at(rec, i));
                std::memcpy(row + x * v.stride[2], &e, sizeof e);
            }
        }
}

}  // namespace

std::optional<BadValue> pack_volume(const Volume& v, TelesoRecord& rec) {
    const std::int64_t n = tarvo::voxel_count(v.dim);
    if (v.contiguous() && v.itemsize == 1) return pack_flat(v, rec, n);
    switch (v.itemsize) {
        case 1: return pack_elements<std::uint8_t>(v, rec);
        case 2: return pack_elements<std::uint16_t>(v, rec);
        case 4: return pack_elements<std::uint32_t>(v, rec);
        default: return pack_elements<std::uint64_t>(v, rec);
    }
}

void unpack_volume(const TelesoRecord& rec, const Volume& v) {
    const std::int64_t n = tarvo::voxel_count(v.dim);
    if (v.contiguous() && v.itemsize == 1) {
        for_flat_parts(n, [&](std::int64_t begin, std::int64_t end) {
            unpack_bytes(rec.data + begin / 8, end - begin, v.base + begin);
            return 0;
        });
        return;
    }
    switch (v.itemsize) {
        case 1: return unpack_elements<std::uint8_t>(rec, v);
        case 2: return unpack_elements<std::uint16_t>(rec, v);
        case 4: return unpack_elements<std::uint32_t>(rec, v);
        default: return unpack_elements<std::uint64_t>(rec, v);
    }
}

}  // namespace tarvo::binding
