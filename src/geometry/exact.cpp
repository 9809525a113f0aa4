// Whole numbers of any size for the exact plane: only the operations it needs.
#include "geometry/exact.h"

#include <algorithm>
#include <bit>

namespace tarvo::geometry {
namespace {

using Limbs = std::vector<std::uint32_t>;

void trim(Limbs& a) {
    while (!a.empty() && a.back() == 0) a.pop_back();
}

int compare(const Limbs& a, const Limbs& b) {
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    for (std::size_t i = a.size(); i-- > 0;)
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    return 0;
}

Limbs add(const Limbs& a, const Limbs& b) {
    Limbs r(std::max(a.size(), b.size()) + 1, 0);
    std::uint64_t carry = 0;
    for (std::size_t i = 0; i + 1 < r.size(); ++i) {
        carry += std::uint64_t{i < a.size() ? a[i] : 0u} + (i < b.size() ? b[i] : 0u);
        r[i] = static_cast<std::uint32_t>(carry);
        carry >>= 32;
    }
    r.back() = static_cast<std::uint32_t>(carry);
    trim(r);
    return r;
}

// a - b for a >= b.
Limbs subtract(const Limbs& a, const Limbs& b) {
    Limbs r(a.size(), 0);
    std::int64_t borrow = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        std::int64_t v = std::int64_t{a[i]} - (i < b.size() ? b[i] : 0u) - borrow;
        borrow = v < 0;
        if (v < 0) v += std::int64_t{1} << 32;
        r[i] = static_cast<std::uint32_t>(v);
    }
    trim(r);
    return r;
}

Limbs multiply(const Limbs& a, const Limbs& b) {
    if (a.empty() || b.empty()) return {};
    Limbs r(a.size() + b.size(), 0);
    for (std::size_t i = 0; i < a.size(); ++i) {
        std::uint64_t carry = 0;
        for (std::size_t j = 0; j < b.size(); ++j) {
            carry += std::uint64_t{a[i]} * b[j] + r[i + j];
            r[i + j] = static_cast<std::uint32_t>(carry);
            carry >>= 32;
        }
        r[i + b.size()] = static_cast<std::uint32_t>(carry);
    }
    trim(r);
    return r;
}

// a * m + add, in place.
void multiply_add(Limbs& a, std::uint32_t m, std::uint32_t add) {
    std::uint64_t carry = add;
    for (std::uint32_t& limb : a) {
        carry += std::uint64_t{limb} * m;
        limb = static_cast<std::uint32_t>(carry);
        carry >>= 32;
    }
    if (carry) a.push_back(static_cast<std::uint32_t>(carry));
}

}  // namespace

BigInt BigInt::make(bool negative, Limbs limbs) {
    BigInt r;
    trim(limbs);
    r.negative_ = negative && !limbs.empty();
    r.limbs_ = std::move(limbs);
    return r;
}

BigInt BigInt::from_int(std::int64_t v) {
    const std::uint64_t m = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
    return make(v < 0, {static_cast<std::uint32_t>(m), static_cast<std::uint32_t>(m >> 32)});
}

BigInt BigInt::from_decimal(const Decimal& d, std::int32_t shift) {
    Limbs m;
    for (char c : d.digits) multiply_add(m, 10, static_cast<std::uint32_t>(c - '0'));
    // The caller chose the shift so that the power is whole.
    for (std::int32_t k = d.exponent + shift; k > 0; k -= 9) multiply_add(m, k >= 9 ? 1000000000u : [k] {
        std::uint32_t p = 1;
        for (std::int32_t i = 0; i < k; ++i) p *= 10;
        return p;
    }(), 0);
    return make(d.negative, std::move(m));
}

BigInt operator+(const BigInt& a, const BigInt& b) {
    if (a.negative_ == b.negative_) return BigInt::make(a.negative_, add(a.limbs_, b.limbs_));
    const int c = compare(a.limbs_, b.limbs_);
    if (c == 0) return {};
    return c > 0 ? BigInt::make(a.negative_, subtract(a.limbs_, b.limbs_))
                 : BigInt::make(b.negative_, subtract(b.limbs_, a.limbs_));
}

BigInt operator*(const BigInt& a, const BigInt& b) {
    return BigInt::make(a.negative_ != b.negative_, multiply(a.limbs_, b.limbs_));
}

BigInt BigInt::operator-() const { return make(!negative_, limbs_); }

int BigInt::bits() const {
    if (limbs_.empty()) return 0;
    return static_cast<int>(32 * (limbs_.size() - 1)) + std::bit_width(limbs_.back());
}

__int128 BigInt::to_int128() const {
    unsigned __int128 m = 0;
    for (std::size_t i = std::min<std::size_t>(limbs_.size(), 4); i-- > 0;) m = m << 32 | limbs_[i];
    const __int128 v = static_cast<__int128>(m);
    return negative_ ? -v : v;
}

}  // namespace tarvo::geometry
