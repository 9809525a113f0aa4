// soft_extended: the plane sum's number format done in integer arithmetic, for platforms whose
// long double is not IEEE extended with a 64-bit significand (AArch64 quad, plain double on
// Apple silicon and MSVC). Results are bit for bit those of the x87 format with round to nearest
// even and all exceptions masked, for the operations the plane sum needs.
//
// API
//   SoftExtended                      kind (zero, finite, infinity, NaN), sign, exponent, significand
//   soft_from_int(i)                  an int32, exactly
//   soft_from_float(f)                a float, exactly (signed zeros, subnormals, infinities, NaN)
//   soft_quotient(i, f)               i / f, correctly rounded to a 64-bit significand
//   soft_add(a, b)                    a + b, correctly rounded to a 64-bit significand
//   soft_above_one(s)                 s > 1, ordered (NaN gives false)
//   soft_zero / soft_infinity / soft_nan / soft_finite   values built from their parts
//
// Range: the exponent is kept in an int32 and never checked against the 15-bit range of the
// hardware format, because no value of the cut comes near either end of it. An offset is an
// int32 difference, 1 <= |u| <= 2^31 when not zero; a finite non-zero float lies between 2^-149
// (smallest subnormal) and just under 2^128. A quotient therefore lies between about 2^-128 and
// 2^180, and since every quotient is a multiple of 2^-(128+63), so is every sum of them: a
// non-zero sum of two or three terms lies between 2^-191 and 2^182. The format reaches from
// 2^-16382 (normal) to 2^16384, so nothing overflows, underflows or becomes subnormal, and
// rounding never depends on the exponent range.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace tarvo::geometry {

struct SoftExtended {
    enum Kind : std::uint8_t { kZero, kFinite, kInfinity, kNaN };
    Kind kind = kZero;
    bool negative = false;
    // A finite value is significand * 2^(exponent - 63), the significand's top bit set, so the
    // exponent is that of the leading bit (1 has exponent 0 and significand 2^63).
    std::int32_t exponent = 0;
    std::uint64_t significand = 0;
};

namespace soft_detail {

__extension__ typedef unsigned __int128 U128;

constexpr std::uint64_t kTopBit = std::uint64_t{1} << 63;

// Bits needed to write m (m != 0).
inline int bit_length(U128 m) {
    const auto hi = static_cast<std::uint64_t>(m >> 64);
    if (hi != 0) return 128 - std::countl_zero(hi);
    return 64 - std::countl_zero(static_cast<std::uint64_t>(m));
}

// The value (m + t) * 2^scale rounded to a 64-bit significand, to nearest with ties to even,
// where m != 0 and t is 0 when `sticky` is false and lies strictly between 0 and 1 otherwise.
inline SoftExtended round_to_extended(bool negative, U128 m, bool sticky, std::int32_t scale) {
    const int shift = 128 - bit_length(m);
    m <<= shift;
    scale -= shift;
    std::uint64_t kept = static_cast<std::uint64_t>(m >> 64);
    const auto rest = static_cast<std::uint64_t>(m);
    std::int32_t exponent = scale + 127;
    if (rest > kTopBit || (rest == kTopBit && (sticky || (kept & 1) != 0))) {
        if (++kept == 0) {
            kept = kTopBit;
            ++exponent;
        }
    }
    return {SoftExtended::kFinite, negative, exponent, kept};
}

}  // namespace soft_detail

inline SoftExtended soft_zero(bool negative) { return {SoftExtended::kZero, negative, 0, 0}; }
inline SoftExtended soft_infinity(bool negative) {
    return {SoftExtended::kInfinity, negative, 0, soft_detail::kTopBit};
}
inline SoftExtended soft_nan() { return {SoftExtended::kNaN, false, 0, 0}; }
// significand * 2^(exponent - 63); the significand must have its top bit set.
inline SoftExtended soft_finite(bool negative, std::int32_t exponent, std::uint64_t significand) {
    return {SoftExtended::kFinite, negative, exponent, significand};
}

inline SoftExtended soft_from_int(std::int32_t i) {
    if (i == 0) return soft_zero(false);
    // The magnitude through unsigned arithmetic, so that INT32_MIN needs no special case.
    const std::uint32_t u = i < 0 ? 0u - static_cast<std::uint32_t>(i) : static_cast<std::uint32_t>(i);
    const int lead = 31 - std::countl_zero(u);
    return soft_finite(i < 0, lead, std::uint64_t{u} << (63 - lead));
}

inline SoftExtended soft_from_float(float f) {
    std::uint32_t bits = 0;
    static_assert(sizeof bits == sizeof f);
    std::memcpy(&bits, &f, sizeof bits);
    const bool negative = (bits >> 31) != 0;
    const std::uint32_t field = (bits >> 23) & 0xFFu;
    std::uint32_t fraction = bits & 0x7FFFFFu;
    if (field == 0xFFu) return fraction != 0 ? soft_nan() : soft_infinity(negative);
    if (field == 0) {
        if (fraction == 0) return soft_zero(negative);
        // Subnormal: fraction * 2^-149.
        const int lead = 31 - std::countl_zero(fraction);
        return soft_finite(negative, lead - 149, std::uint64_t{fraction} << (63 - lead));
    }
    fraction |= 0x800000u;
    return soft_finite(negative, static_cast<std::int32_t>(field) - 127, std::uint64_t{fraction} << 40);
}

inline SoftExtended soft_quotient(std::int32_t offset, float cut) {
    const SoftExtended a = soft_from_int(offset);
    const SoftExtended b = soft_from_float(cut);
    if (b.kind == SoftExtended::kNaN) return soft_nan();
    const bool negative = a.negative != b.negative;
    if (a.kind == SoftExtended::kZero) {
        return b.kind == SoftExtended::kZero ? soft_nan() : soft_zero(negative);
    }
    if (b.kind == SoftExtended::kZero) return soft_infinity(negative);
    if (b.kind == SoftExtended::kInfinity) return soft_zero(negative);
    // Both finite. The integer's significand has at most 32 bits and the float's at most 24, so
    // (a << 64) / b is a quotient of over 70 bits, more than the 64 kept plus the rounding bit,
    // and the remainder tells whether anything lies below. It is taken as a long division in two
    // 64-bit steps of 32 bits each, which the hardware divides directly.
    const std::uint64_t ma = a.significand >> 32;  // a = ma * 2^(ea - 31)
    const std::uint64_t mb = b.significand >> 40;  // b = mb * 2^(eb - 23)
    const std::uint64_t n1 = ma << 32;
    const std::uint64_t q1 = n1 / mb;
    const std::uint64_t n2 = (n1 % mb) << 32;  // the remainder is below 2^24
    const std::uint64_t q2 = n2 / mb;          // below 2^32
    const soft_detail::U128 q = (static_cast<soft_detail::U128>(q1) << 32) | q2;
    return soft_detail::round_to_extended(negative, q, n2 % mb != 0, a.exponent - b.exponent - 72);
}

inline SoftExtended soft_add(SoftExtended a, SoftExtended b) {
    using K = SoftExtended;
    if (a.kind == K::kNaN || b.kind == K::kNaN) return soft_nan();
    if (a.kind == K::kInfinity || b.kind == K::kInfinity) {
        if (a.kind == K::kInfinity && b.kind == K::kInfinity && a.negative != b.negative) {
            return soft_nan();
        }
        return a.kind == K::kInfinity ? a : b;
    }
    if (a.kind == K::kZero) {
        // Under round to nearest, +0 + -0 is +0 and -0 + -0 is -0.
        if (b.kind == K::kZero) return soft_zero(a.negative && b.negative);
        return b;
    }
    if (b.kind == K::kZero) return a;

    // Both finite: let a be the larger in magnitude.
    if (b.exponent > a.exponent || (b.exponent == a.exponent && b.significand > a.significand)) {
        const SoftExtended t = a;
        a = b;
        b = t;
    }
    // Both significands get 62 guard bits below and room for the carry above. Bits of b fall
    // off the end only when the exponents are more than 62 apart; then they are folded into the
    // lowest bit ("jamming"). The result then has at least 125 bits, so its rounding position
    // and every half-way point lie on even multiples of 2^60, while a jammed sum or difference
    // is odd: it falls strictly between the same two of them as the exact result, in addition
    // and in subtraction alike.
    const std::int64_t d = std::int64_t{a.exponent} - b.exponent;
    const soft_detail::U128 big = static_cast<soft_detail::U128>(a.significand) << 62;
    soft_detail::U128 small = 0;
    if (d < 126) {
        small = (static_cast<soft_detail::U128>(b.significand) << 62) >> d;
        if (d > 62 && (b.significand & ((std::uint64_t{1} << (d - 62)) - 1)) != 0) small |= 1;
    } else {
        small = 1;
    }
    const soft_detail::U128 m = a.negative == b.negative ? big + small : big - small;
    // Exact cancellation gives +0 under round to nearest.
    if (m == 0) return soft_zero(false);
    return soft_detail::round_to_extended(a.negative, m, false, a.exponent - 63 - 62);
}

inline bool soft_above_one(const SoftExtended& s) {
    if (s.negative) return false;
    if (s.kind == SoftExtended::kInfinity) return true;
    if (s.kind != SoftExtended::kFinite) return false;
    return s.exponent > 0 || (s.exponent == 0 && s.significand != soft_detail::kTopBit);
}

}  // namespace tarvo::geometry
