// The SSE2 classifier of 64 stream bytes (x86-64: every such processor has it).
#pragma once

#include "codec/scan.h"

#if TARVO_X86_SIMD
#include <immintrin.h>

namespace tarvo::detail {

// As signed bytes, markers are -64..-1, the other bytes with the top bit set -128..-65, and the
// values that set a voxel are the positive ones.
struct Sse2Classes {
    static ByteClasses at(const std::uint8_t* p) {
        const __m128i below_markers = _mm_set1_epi8(-65), zero = _mm_setzero_si128(), full = _mm_set1_epi8(-1);
        ByteClasses c{0, 0, 0};
        for (int k = 0; k < 4; ++k) {
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
            const int markers = _mm_movemask_epi8(b) & _mm_movemask_epi8(_mm_cmpgt_epi8(b, below_markers));
            const int fulls = _mm_movemask_epi8(_mm_cmpeq_epi8(b, full));
            const int sets = _mm_movemask_epi8(_mm_cmpgt_epi8(b, zero));
            c.markers |= static_cast<std::uint64_t>(static_cast<std::uint16_t>(markers)) << (16 * k);
            c.fulls |= static_cast<std::uint64_t>(static_cast<std::uint16_t>(fulls)) << (16 * k);
            c.sets |= static_cast<std::uint64_t>(static_cast<std::uint16_t>(sets)) << (16 * k);
        }
        return c;
    }
};

}  // namespace tarvo::detail
#endif
