// The writer's AVX-512 VBMI2 kernel: the codes of all the runs between the changes of a bitmap
// word at once (see writer.cpp for how the writer uses it).
#pragma once

#include <bit>
#include <cstdint>

#include "format/format.h"
#include "sys/cpu.h"

#if TARVO_X86_SIMD
#include <immintrin.h>

namespace tarvo::detail {

// Bytes 0..63, and the bytes that put the first bytes of runs 32 h .. 32 h + 31 (of a first
// vector) and their second bytes (of a second, from index 64 on) in pairs.
struct Indices {
    std::uint8_t iota[64];
    std::uint8_t pairs[2][64];
};
alignas(64) inline constexpr Indices kIndices = [] {
    Indices t{};
    for (int j = 0; j < 64; ++j) {
        t.iota[j] = static_cast<std::uint8_t>(j);
        for (int h = 0; h < 2; ++h) t.pairs[h][j] = static_cast<std::uint8_t>(32 * h + j / 2 + 64 * (j % 2));
    }
    return t;
}();

// The codes of the runs between consecutive changes of a word (bit k of `changes` set where voxel
// k differs from the one before it), the first of them of value v, the next of the other value,
// and so on; returns their end. Up to 128 bytes from `out` on are written.
TARVO_AVX512_TARGET inline std::uint8_t* put_runs_between_changes(std::uint8_t* out, std::uint64_t changes, std::uint8_t v) {
    constexpr std::uint64_t kEven = 0x5555555555555555ULL, kOdd = 0xAAAAAAAAAAAAAAAAULL;
    const __m512i iota = _mm512_load_si512(kIndices.iota);
    // Byte i: the run from the i-th change to the next one, of value v or the other.
    const __m512i at = _mm512_maskz_compress_epi8(changes, iota);
    const __m512i next = _mm512_maskz_compress_epi8(changes & (changes - 1), iota);
    const __m512i lengths = _mm512_sub_epi8(next, at);
    const std::uint64_t runs = low_mask(std::popcount(changes) - 1);
    const __m512i values = _mm512_xor_si512(_mm512_and_si512(iota, _mm512_set1_epi8(1)), _mm512_set1_epi8(static_cast<char>(v)));
    // A run's first byte: its marker from three values on, else the value itself; its second byte
    // the value, used from two values on.
    const __mmask64 marked = _mm512_cmpge_epu8_mask(lengths, _mm512_set1_epi8(kMinMarkerRun));
    const __m512i first = _mm512_mask_add_epi8(values, marked, lengths, _mm512_set1_epi8(static_cast<char>(kMarkerBits)));
    const std::uint64_t two = _mm512_cmpge_epu8_mask(lengths, _mm512_set1_epi8(2)) & runs;
    for (int h = 0; h < 2; ++h) {
        const __m512i pairs = _mm512_permutex2var_epi8(first, _mm512_load_si512(kIndices.pairs[h]), values);
        const std::uint64_t keep = _pdep_u64(runs >> (32 * h), kEven) | _pdep_u64(two >> (32 * h), kOdd);
        _mm512_storeu_si512(out, _mm512_maskz_compress_epi8(keep, pairs));
        out += std::popcount(keep);
        if (runs >> 32 == 0) break;
    }
    return out;
}

}  // namespace tarvo::detail
#endif
