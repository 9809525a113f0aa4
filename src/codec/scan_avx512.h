// The AVX-512 classifier of 64 stream bytes: three compares into mask registers.
#pragma once

#include "codec/scan.h"

#if TARVO_X86_SIMD
#include <immintrin.h>

namespace tarvo::detail {

struct Avx512Classes {
    TARVO_AVX512_TARGET static ByteClasses at(const std::uint8_t* p) {
        const __m512i b = _mm512_loadu_si512(p);
        return {_mm512_cmpge_epu8_mask(b, _mm512_set1_epi8(static_cast<char>(kMarkerBits))),
                _mm512_cmpeq_epi8_mask(b, _mm512_set1_epi8(-1)), _mm512_cmpgt_epi8_mask(b, _mm512_setzero_si512())};
    }
};

}  // namespace tarvo::detail
#endif
