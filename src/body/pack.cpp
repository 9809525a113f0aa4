// Bytes to bits and back, eight voxels a step.
#include "body/pack.h"

#include <array>
#include <cstring>

#if TARVO_X86_SIMD
#include <emmintrin.h>
#endif

namespace tarvo {

namespace {

constexpr std::uint64_t kLowBits = 0x0101010101010101ULL;
constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;
// Multiplying eight bytes of 0 or 1 by this gathers byte k into bit 56 + k; no other product
// term reaches bits 56..63 and no two terms share a bit, so nothing carries into them.
constexpr std::uint64_t kGather = 0x0102040810204080ULL;

std::uint64_t load8(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void store8(std::uint8_t* p, std::uint64_t v) { std::memcpy(p, &v, sizeof v); }

// 1 in each byte of w that is not zero, 0 elsewhere (no carry crosses a byte: 0x7F + 0x7F < 0x100).
std::uint64_t nonzero_bytes(std::uint64_t w) { return ((((w & kLow7) + kLow7) | w) >> 7) & kLowBits; }

std::uint8_t gather_bits(std::uint64_t ones) { return static_cast<std::uint8_t>((ones * kGather) >> 56); }

// Byte b as eight bytes of 0 and 1, bit k in byte k.
constexpr std::array<std::uint64_t, 256> kSpread = [] {
    std::array<std::uint64_t, 256> t{};
    for (int b = 0; b < 256; ++b)
        for (int k = 0; k < 8; ++k) t[b] |= static_cast<std::uint64_t>((b >> k) & 1) << (8 * k);
    return t;
}();

// The bits of eight bytes, bit k set where byte k reaches the threshold.
std::uint8_t byte_bits(const std::uint8_t* bytes, std::uint8_t threshold) {
    if (threshold == 1) return gather_bits(nonzero_bytes(load8(bytes)));
    std::uint8_t b = 0;
    for (int k = 0; k < 8; ++k) b = static_cast<std::uint8_t>(b | (bytes[k] >= threshold) << k);
    return b;
}

#if TARVO_X86_SIMD
// 64 voxels a step: byte-wise compares and their sign bits (part of every x86-64). x >= t is
// max(x, t) == x, unsigned. Returns the bytes of `bits` done.
std::int64_t pack_sse2(const std::uint8_t* bytes, std::int64_t n, std::uint8_t* bits, std::uint8_t threshold) {
    const __m128i t = _mm_set1_epi8(static_cast<char>(threshold));
    std::int64_t j = 0;
    for (; 8 * j + 64 <= n; j += 8) {
        std::uint64_t set = 0;
        for (int k = 0; k < 4; ++k) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 8 * j + 16 * k));
            const __m128i reached = _mm_cmpeq_epi8(_mm_max_epu8(x, t), x);
            set |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(reached))} << (16 * k);
        }
        store8(bits + j, load8(bits + j) | set);
    }
    return j;
}
#endif

}  // namespace

void pack_bytes(const std::uint8_t* bytes, std::int64_t n, std::uint8_t* bits, std::uint8_t threshold,
                Kernel kernel) {
    std::int64_t j = 0;
#if TARVO_X86_SIMD
    if (kernel != Kernel::kScalar) j = pack_sse2(bytes, n, bits, threshold);
#else
    (void)kernel;
#endif
    const std::int64_t whole = n / 8;
    for (; j < whole; ++j) bits[j] = static_cast<std::uint8_t>(bits[j] | byte_bits(bytes + 8 * j, threshold));
    if (const std::int64_t rest = n % 8; rest > 0) {
        std::uint8_t last = bits[whole];
        for (std::int64_t k = 0; k < rest; ++k)
            last = static_cast<std::uint8_t>(last | (bytes[8 * whole + k] >= threshold) << k);
        bits[whole] = last;
    }
}

// Bytes of 0 and 1 times (set - empty) plus empty: no byte exceeds 255, so nothing carries.
void unpack_bytes(const std::uint8_t* bits, std::int64_t n, std::uint8_t* bytes, std::uint8_t set, std::uint8_t empty) {
    const std::int64_t whole = n / 8;
    if (set >= empty) {
        const std::uint64_t scale = static_cast<std::uint64_t>(set - empty), base = kLowBits * empty;
        for (std::int64_t j = 0; j < whole; ++j) store8(bytes + 8 * j, kSpread[bits[j]] * scale + base);
    } else {
        for (std::int64_t j = 0; j < whole; ++j)
            for (int k = 0; k < 8; ++k) bytes[8 * j + k] = (bits[j] >> k) & 1 ? set : empty;
    }
    for (std::int64_t k = 0; k < n % 8; ++k) bytes[8 * whole + k] = (bits[whole] >> k) & 1 ? set : empty;
}

}  // namespace tarvo
