// Word-level access to the voxel bitmap, for the code that reads, writes, measures and cuts a
// whole run or row at a time. Bit i of the bitmap is voxel i (bit i%8 of byte i/8), which on a
// little-endian machine is bit i%64 of the 64-bit word i/64; the block is padded to whole words
// (see TelesoRecord), so every word that holds a voxel can be loaded and stored whole.
//
// API
//   kWordBits, load_word, store_word    one 64-bit word of the bitmap, by word index
//   low_mask(k), bits_from(k)           masks of the bits below k and from k on (k in 0..64)
//   SharedWords, clear_bits(...)        clear voxels begin..end-1; words shared with another
//                                       thread are changed atomically
//   load_word(data, w, shared)          a word that may be shared, read atomically
//   next_change(data, pos, end, value)  first index in pos..end-1 whose bit is not `value`
//   count_word(w)                       set bits of w and the sum of their positions (0..63)
//   count_word_by_popcount(w)           the same by bit counts, for code compiled for POPCNT (sys/cpu.h)
#pragma once

#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>

namespace tarvo {

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

// The voxels begin..end-1 (begin < end) as words: the first and the last word, and the bits of the
// range in the first (head) and in the last (tail); in a range of one word both masks apply.
struct WordRange {
    std::int64_t first, last;
    std::uint64_t head, tail;
};
inline constexpr WordRange word_range(std::int64_t begin, std::int64_t end) {
    return {begin / kWordBits, (end - 1) / kWordBits, bits_from(begin % kWordBits), low_mask((end - 1) % kWordBits + 1)};
}

// The two words that a thread shares with its neighbours (the first and last word of its part of
// the bitmap when they are not whole); -1 when there is none.
struct SharedWords {
    std::int64_t first = -1;
    std::int64_t last = -1;
    bool contains(std::int64_t w) const { return w == first || w == last; }
};

// Word w, read atomically when another thread may be changing the bits of it that it owns.
inline std::uint64_t load_word(const std::uint8_t* data, std::int64_t w, const SharedWords& shared) {
    if (!shared.contains(w)) return load_word(data, w);
    return std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t*>(const_cast<std::uint8_t*>(data) + w * 8))
        .load(std::memory_order_relaxed);
}

inline void and_word(std::uint8_t* data, std::int64_t w, std::uint64_t keep, const SharedWords& shared) {
    if (shared.contains(w)) {
        // The bitmap block is aligned for 64-bit words (it comes from the allocator).
        std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t*>(data + w * 8))
            .fetch_and(keep, std::memory_order_relaxed);
        return;
    }
    const std::uint64_t old = load_word(data, w);
    if ((old & ~keep) != 0) store_word(data, w, old & keep);
}

// Clears the voxels begin..end-1 (begin <= end).
inline void clear_bits(std::uint8_t* data, std::int64_t begin, std::int64_t end, const SharedWords& shared = {}) {
    if (begin >= end) return;
    const auto [wb, we, head, tail] = word_range(begin, end);
    if (wb == we) {
        and_word(data, wb, ~(head & tail), shared);
        return;
    }
    and_word(data, wb, ~head, shared);
    // Words that are already empty are not written: a page of the cleared block that was never
    // written stays unallocated.
    for (std::int64_t w = wb + 1; w < we; ++w)
        if (load_word(data, w) != 0) store_word(data, w, 0);
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

// Set bits and the sum of their positions (0..63) in one word.
struct WordCount {
    std::int64_t ones = 0;
    std::int64_t position_sum = 0;
};

namespace detail {
struct ByteTables {
    std::uint8_t ones[256];
    std::uint16_t position_sum[256];
};
inline constexpr ByteTables kByteTables = [] {
    ByteTables t{};
    for (int b = 0; b < 256; ++b)
        for (int k = 0; k < 8; ++k)
            if (b >> k & 1) {
                ++t.ones[b];
                t.position_sum[b] = static_cast<std::uint16_t>(t.position_sum[b] + k);
            }
    return t;
}();
}  // namespace detail

inline WordCount count_word(std::uint64_t w) {
    WordCount c;
    if (w == 0) return c;
    // Rows of a solid particle begin and end inside words: one stretch of ones, an arithmetic series.
    const int low = std::countr_zero(w);
    const std::uint64_t shifted = w >> low;
    if ((shifted & (shifted + 1)) == 0) {
        const std::int64_t len = std::bit_width(shifted);
        c.ones = len;
        c.position_sum = len * low + len * (len - 1) / 2;
        return c;
    }
    for (int k = 0; k < 8; ++k) {
        const auto b = static_cast<std::uint8_t>(w >> (8 * k));
        c.ones += detail::kByteTables.ones[b];
        c.position_sum += detail::kByteTables.position_sum[b] + 8 * k * detail::kByteTables.ones[b];
    }
    return c;
}

// Bit j of a position is set in the positions that mask j selects: the position sum is
// sum over j of 2^j times the set bits under mask j.
// Inlined always, so that the bit counts are compiled for the instructions of the caller (out of
// line, std::popcount is a library call on plain x86-64).
[[gnu::always_inline]] inline WordCount count_word_by_popcount(std::uint64_t w) {
    WordCount c;
    c.ones = std::popcount(w);
    c.position_sum = std::popcount(w & 0xAAAAAAAAAAAAAAAAULL) + 2 * std::popcount(w & 0xCCCCCCCCCCCCCCCCULL) +
                     4 * std::popcount(w & 0xF0F0F0F0F0F0F0F0ULL) + 8 * std::popcount(w & 0xFF00FF00FF00FF00ULL) +
                     16 * std::popcount(w & 0xFFFF0000FFFF0000ULL) + 32 * std::popcount(w & 0xFFFFFFFF00000000ULL);
    return c;
}

}  // namespace tarvo
