// Word-level access to the voxel bitmap, for the bulk engine of reading, writing, measuring and
// cutting. Bit i of the bitmap is voxel i (bit i%8 of byte i/8), which on a little-endian machine
// is bit i%64 of the 64-bit word i/64; the block is padded to whole words (see TelesoRecord), so
// every word that holds a voxel can be loaded and stored whole.
//
// API
//   kWordBits, load_word, store_word    one 64-bit word of the bitmap, by word index
//   low_mask(k), bits_from(k)           masks of the bits below k and from k on (k in 0..64)
//   set_bits(data, begin, end)          set voxels begin..end-1
//   SharedWords, clear_bits(...)        clear voxels begin..end-1; words shared with another
//                                       thread are changed atomically
//   next_change(data, pos, end, value)  first index in pos..end-1 whose bit is not `value`
//   word_position_sum(w)                sum of the positions (0..63) of the set bits of w
#pragma once

#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>

namespace teleso::bitmap {

static_assert(std::endian::native == std::endian::little,
              "word access to the bitmap assumes little-endian byte order");

inline constexpr std::int64_t kWordBits = 64;
inline constexpr std::uint64_t kAllOnes = ~std::uint64_t{0};

inline std::uint64_t load_word(const std::uint8_t* data, std::int64_t w) {
    std::uint64_t v;
    std::memcpy(&v, data + w * 8, sizeof v);
    return v;
}

inline void store_word(std::uint8_t* data, std::int64_t w, std::uint64_t v) {
    std::memcpy(data + w * 8, &v, sizeof v);
}

// Bits 0..k-1 set; k in 0..64.
inline constexpr std::uint64_t low_mask(std::int64_t k) {
    return k >= kWordBits ? kAllOnes : (std::uint64_t{1} << k) - 1;
}
// Bits k..63 set; k in 0..64.
inline constexpr std::uint64_t bits_from(std::int64_t k) { return ~low_mask(k); }

// Sets the voxels begin..end-1 (begin <= end): partial words masked, whole bytes in between.
inline void set_bits(std::uint8_t* data, std::int64_t begin, std::int64_t end) {
    if (begin >= end) return;
    const std::int64_t wb = begin / kWordBits, we = (end - 1) / kWordBits;
    const std::uint64_t head = bits_from(begin % kWordBits);
    const std::uint64_t tail = low_mask((end - 1) % kWordBits + 1);
    if (wb == we) {
        store_word(data, wb, load_word(data, wb) | (head & tail));
        return;
    }
    store_word(data, wb, load_word(data, wb) | head);
    if (we > wb + 1) std::memset(data + (wb + 1) * 8, 0xFF, static_cast<std::size_t>(we - wb - 1) * 8);
    store_word(data, we, load_word(data, we) | tail);
}

// The two words that a thread shares with its neighbours (the first and last word of its part of
// the bitmap when they are not whole); -1 when there is none.
struct SharedWords {
    std::int64_t first = -1;
    std::int64_t last = -1;
    bool contains(std::int64_t w) const { return w == first || w == last; }
};

inline void and_word(std::uint8_t* data, std::int64_t w, std::uint64_t keep, const SharedWords& shared) {
    if (shared.contains(w)) {
        // The bitmap block comes from calloc, so it is aligned for 64-bit words.
        std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t*>(data + w * 8))
            .fetch_and(keep, std::memory_order_relaxed);
    } else {
        store_word(data, w, load_word(data, w) & keep);
    }
}

// Clears the voxels begin..end-1 (begin <= end).
inline void clear_bits(std::uint8_t* data, std::int64_t begin, std::int64_t end, const SharedWords& shared = {}) {
    if (begin >= end) return;
    const std::int64_t wb = begin / kWordBits, we = (end - 1) / kWordBits;
    const std::uint64_t head = bits_from(begin % kWordBits);
    const std::uint64_t tail = low_mask((end - 1) % kWordBits + 1);
    if (wb == we) {
        and_word(data, wb, ~(head & tail), shared);
        return;
    }
    and_word(data, wb, ~head, shared);
    if (we > wb + 1) std::memset(data + (wb + 1) * 8, 0, static_cast<std::size_t>(we - wb - 1) * 8);
    and_word(data, we, ~tail, shared);
}

// The first index in pos..end-1 whose bit differs from `value` (0 or 1), or end if there is none.
inline std::int64_t next_change(const std::uint8_t* data, std::int64_t pos, std::int64_t end, int value) {
    if (pos >= end) return end;
    const std::uint64_t flip = value ? kAllOnes : 0;
    std::int64_t w = pos / kWordBits;
    const std::int64_t last = (end - 1) / kWordBits;
    std::uint64_t diff = (load_word(data, w) ^ flip) & bits_from(pos % kWordBits);
    while (diff == 0) {
        if (++w > last) return end;
        diff = load_word(data, w) ^ flip;
    }
    const std::int64_t at = w * kWordBits + std::countr_zero(diff);
    return at < end ? at : end;
}

// Sum of the positions of the set bits: bit k of a position contributes 2^k for every set bit
// whose position has bit k.
inline std::int64_t word_position_sum(std::uint64_t w) {
    if (w == kAllOnes) return 63 * 64 / 2;
    constexpr std::uint64_t kPositionBit[6] = {0xAAAAAAAAAAAAAAAAULL, 0xCCCCCCCCCCCCCCCCULL,
                                               0xF0F0F0F0F0F0F0F0ULL, 0xFF00FF00FF00FF00ULL,
                                               0xFFFF0000FFFF0000ULL, 0xFFFFFFFF00000000ULL};
    std::int64_t sum = 0;
    for (int k = 0; k < 6; ++k) sum += std::int64_t{std::popcount(w & kPositionBit[k])} << k;
    return sum;
}

}  // namespace teleso::bitmap
