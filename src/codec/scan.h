// scan: what the data-parallel paths of the reader and the counter find among 64 stream bytes at
// once (ByteClasses), and the scalar pieces they share. Each instruction set's classifier has a
// file of its own (scan_sse2.h, scan_avx2.h, scan_avx512.h); a new one adds a file, a value of
// Kernel (sys/cpu.h) and one line in the reader's and the counter's dispatch.
//
// API
//   load_bytes8, no_marker_in, low_bits   eight stream bytes as a word; none of them a marker?
//   kWindowBytes                          the bytes classified at once
//   ByteClasses                           markers, full markers and setting literals, bit k for byte k
//   marker_codes(looks)                   which of the bytes that look like markers are codes
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "format/format.h"
#include "sys/cpu.h"

namespace tarvo::detail {

inline std::uint64_t load_bytes8(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// True when no byte of w has both top bits set (no marker among eight stream bytes).
inline bool no_marker_in(std::uint64_t w) { return (w & (w << 1) & 0x8080808080808080ULL) == 0; }

inline constexpr std::size_t kWindowBytes = 64;

// The bits below k (0..64).
inline std::uint64_t low_bits(std::size_t k) { return k >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << k) - 1; }

// Where the markers (C0..FF), the full markers (FF) and the literals that set a voxel (1..127) lie
// among 64 stream bytes, bit k for byte k. A byte after a marker is its value whatever it is.
struct ByteClasses {
    std::uint64_t markers;
    std::uint64_t fulls;
    std::uint64_t sets;
};

// Which of the bytes that look like markers are codes, among stream bytes that begin with a code:
// in a run of such bytes every other one is a code, the one after it its value. The carry of a
// subtraction finds them all at once, as escaped characters are found in text.
inline std::uint64_t marker_codes(std::uint64_t looks) {
    constexpr std::uint64_t kOddBits = 0xAAAAAAAAAAAAAAAAULL;
    return ((((looks << 1) | kOddBits) - looks) ^ kOddBits) & looks;
}

}  // namespace tarvo::detail
