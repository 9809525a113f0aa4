// The AVX2 classifier of 64 stream bytes, and the AVX2 pieces the counter uses.
#pragma once

#include "codec/scan.h"

#if TARVO_X86_SIMD
#include <immintrin.h>

namespace tarvo::detail {

// Bit k set where byte k of 32 is a marker.
[[gnu::always_inline]] TARVO_AVX2_TARGET inline std::uint32_t avx2_markers(__m256i b) {
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(b) & _mm256_movemask_epi8(_mm256_cmpgt_epi8(b, _mm256_set1_epi8(-65))));
}

// Byte k all ones where bit k of the mask is set: each byte takes the mask's byte k / 8, then its bit.
[[gnu::always_inline]] TARVO_AVX2_TARGET inline __m256i avx2_bytes_of(std::uint32_t mask) {
    const __m256i spread = _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2, 2, 2, 3, 3,
                                            3, 3, 3, 3, 3, 3);
    const __m256i bit = _mm256_set1_epi64x(static_cast<long long>(0x8040201008040201ULL));
    const __m256i m = _mm256_and_si256(_mm256_shuffle_epi8(_mm256_set1_epi32(static_cast<int>(mask)), spread), bit);
    return _mm256_cmpeq_epi8(m, bit);
}

struct Avx2Classes {
    TARVO_AVX2_TARGET static ByteClasses at(const std::uint8_t* p) {
        const __m256i zero = _mm256_setzero_si256(), full = _mm256_set1_epi8(-1);
        ByteClasses c{0, 0, 0};
        for (int k = 0; k < 2; ++k) {
            const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * k));
            const int fulls = _mm256_movemask_epi8(_mm256_cmpeq_epi8(b, full));
            const int sets = _mm256_movemask_epi8(_mm256_cmpgt_epi8(b, zero));
            c.markers |= std::uint64_t{avx2_markers(b)} << (32 * k);
            c.fulls |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(fulls)) << (32 * k);
            c.sets |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(sets)) << (32 * k);
        }
        return c;
    }
};

}  // namespace tarvo::detail
#endif
