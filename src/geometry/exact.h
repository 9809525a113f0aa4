// exact: the integers behind the exact plane (geometry.h, cut_through): whole numbers of any size
// in sign and magnitude, with only what the plane needs (from a decimal, add, multiply, sign), and
// the plane as integer coefficients.
//
// API
//   BigInt                    a whole number: from_int(v), from_decimal(d, shift) (d * 10^shift,
//                             which must be whole), +, *, sign(), bits()
//   IntegerPlane              F(x, y, z) = a.x x + a.y y + a.z z + d, a positive multiple of
//                             n . (p - c): integer_plane(normal, through)
//   removed_span(plane, keep_plus, y, z, dim, force_big)   the x range [begin, end) of row (y, z)
//                             on the removed side; the same whether evaluated in 128-bit integers
//                             (when the coefficients are small enough) or in BigInt (force_big)
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tarvo/geometry.h"

namespace tarvo::geometry {

class BigInt {
public:
    static BigInt from_int(std::int64_t v);
    static BigInt from_decimal(const Decimal& d, std::int32_t shift);
    friend BigInt operator+(const BigInt& a, const BigInt& b);
    friend BigInt operator*(const BigInt& a, const BigInt& b);
    BigInt operator-() const;
    int sign() const { return limbs_.empty() ? 0 : negative_ ? -1 : 1; }
    int bits() const;
    // The value when it fits in 127 bits and sign (bits() <= 126 guarantees it).
    __int128 to_int128() const;

private:
    using Limbs = std::vector<std::uint32_t>;  // least significant first, no leading zero limb
    bool negative_ = false;
    Limbs limbs_;
    static BigInt make(bool negative, Limbs limbs);
};

struct IntegerPlane {
    std::array<BigInt, 3> a;
    BigInt d;
};

IntegerPlane integer_plane(const std::array<Decimal, 3>& normal, const std::array<Decimal, 3>& through);

std::pair<std::int32_t, std::int32_t> removed_span(const IntegerPlane& plane, bool keep_plus, std::int32_t y,
                                                   std::int32_t z, std::int32_t dim, bool force_big = false);

}  // namespace tarvo::geometry
