// counter: how many values the codes of a stretch of stream stand for, without decoding them, 64
// bytes at a time where the processor allows (which bytes are marker codes: detail::marker_codes).
//
// API
//   StreamCounter(kernel)           count(bytes, n) from a code's start, in pieces; values()
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>

#include "codec/scan.h"
#include "codec/scan_avx2.h"
#include "codec/scan_sse2.h"

namespace tarvo {

// Counts the values a stream's codes stand for, 64 bytes at a time where the processor allows
// (which bytes are marker codes: detail::marker_codes).
class StreamCounter {
public:
    explicit StreamCounter(Kernel path = chosen_kernel())
        : path_(kernel_available(path) ? path : Kernel::kScalar) {}

    void count(const std::uint8_t* in, std::size_t n) {
        std::size_t i = 0;
#if TARVO_X86_SIMD
        if (path_ == Kernel::kAvx2 || path_ == Kernel::kAvx512) i = windows_avx2(in, n);
        if (path_ == Kernel::kSse2) i = windows<detail::Sse2Classes>(in, n);
#endif
        for (; i < n; ++i) {
            if (value_next_) {
                value_next_ = false;
                continue;
            }
            values_ += is_marker(in[i]) ? marker_count(in[i]) : 1;
            value_next_ = is_marker(in[i]);
        }
    }

    std::int64_t values() const { return values_; }

private:
#if TARVO_X86_SIMD
    template <class Classes>
    [[gnu::always_inline]] std::size_t windows(const std::uint8_t* in, std::size_t n) {
        std::uint64_t carry = value_next_ ? 1 : 0;  // byte 0 is a marker's value
        std::size_t i = 0;
        for (; i + detail::kWindowBytes <= n; i += detail::kWindowBytes) {
            // Byte 0 may be the value of the last window's last marker; the literals are the
            // bytes that are neither markers nor their values.
            const std::uint64_t markers = detail::marker_codes(Classes::at(in + i).markers & ~carry);
            values_ += std::popcount(~(markers | (markers << 1) | carry));
            for (std::uint64_t m = markers; m != 0; m &= m - 1)
                values_ += marker_count(in[i + static_cast<std::size_t>(std::countr_zero(m))]);
            carry = markers >> 63;
        }
        value_next_ = carry != 0;
        return i;
    }

    // The same, with the counts of the markers summed as bytes: chains of full markers, one
    // marker in two bytes, are counted as fast as literals.
    TARVO_AVX2_TARGET std::size_t windows_avx2(const std::uint8_t* in, std::size_t n) {
        const __m256i count_bits = _mm256_set1_epi8(kCountMask), one = _mm256_set1_epi8(1);
        const __m256i zero = _mm256_setzero_si256();
        __m256i sums = zero;
        std::uint64_t carry = value_next_ ? 1 : 0;
        std::size_t i = 0;
        for (; i + detail::kWindowBytes <= n; i += detail::kWindowBytes) {
            const __m256i b0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
            const __m256i b1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i + 32));
            const std::uint64_t looks = detail::avx2_markers(b0) | (std::uint64_t{detail::avx2_markers(b1)} << 32);
            const std::uint64_t markers = detail::marker_codes(looks & ~carry);
            values_ += std::popcount(~(markers | (markers << 1) | carry));
            // marker_count of each marker byte (0 counts as 1), 0 for the other bytes; two bytes of
            // at most 63 add up within a byte.
            const __m256i c0 = _mm256_and_si256(_mm256_max_epu8(_mm256_and_si256(b0, count_bits), one),
                                                detail::avx2_bytes_of(static_cast<std::uint32_t>(markers)));
            const __m256i c1 = _mm256_and_si256(_mm256_max_epu8(_mm256_and_si256(b1, count_bits), one),
                                                detail::avx2_bytes_of(static_cast<std::uint32_t>(markers >> 32)));
            sums = _mm256_add_epi64(sums, _mm256_sad_epu8(_mm256_add_epi8(c0, c1), zero));
            carry = markers >> 63;
        }
        alignas(32) std::uint64_t lanes[4];
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), sums);
        values_ += static_cast<std::int64_t>(lanes[0] + lanes[1] + lanes[2] + lanes[3]);
        value_next_ = carry != 0;
        return i;
    }
#endif

    std::int64_t values_ = 0;
    bool value_next_ = false;
    Kernel path_;
};

}  // namespace tarvo
