// The plane through any point, decided exactly (tarvo/geometry.h): n . (p - c) in whole numbers.
#include <algorithm>
#include <cstring>

#include "geometry/exact.h"
#include "geometry/passes.h"

namespace tarvo {

namespace {

bool digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::optional<Decimal> parse_decimal(std::string_view text) {
    std::size_t i = 0;
    Decimal d;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) d.negative = text[i++] == '-';
    std::string digits;
    std::int64_t exponent = 0;
    std::size_t whole = 0, fraction = 0;
    for (; i < text.size() && digit(text[i]); ++i, ++whole) digits += text[i];
    if (i < text.size() && text[i] == '.')
        for (++i; i < text.size() && digit(text[i]); ++i, ++fraction) digits += text[i];
    if (whole + fraction == 0) return std::nullopt;
    exponent -= static_cast<std::int64_t>(fraction);
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        bool minus = false;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) minus = text[i++] == '-';
        std::int64_t e = 0;
        std::size_t n = 0;
        for (; i < text.size() && digit(text[i]); ++i, ++n) e = std::min<std::int64_t>(e * 10 + (text[i] - '0'), 1'000'000'000);
        if (n == 0) return std::nullopt;
        exponent += minus ? -e : e;
    }
    if (i != text.size()) return std::nullopt;
    // Trailing zeros into the exponent, leading zeros away: the digits stay as few as the value needs.
    while (!digits.empty() && digits.back() == '0') digits.pop_back(), ++exponent;
    digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size()));
    if (digits.empty()) return Decimal{d.negative, {}, 0};
    if (digits.size() > kMaxDecimalDigits || exponent > kMaxDecimalExponent || exponent < -kMaxDecimalExponent)
        return std::nullopt;
    d.digits = std::move(digits);
    d.exponent = static_cast<std::int32_t>(exponent);
    return d;
}

Decimal decimal_of(std::int64_t v) {
    return *parse_decimal(std::to_string(v));
}

namespace geometry {

namespace {

std::int32_t least_exponent(const std::array<Decimal, 3>& v) {
    std::int32_t e = 0;
    for (const Decimal& d : v)
        if (!d.zero()) e = std::min(e, d.exponent);
    return e;
}

int sign_of(__int128 v) { return (v > 0) - (v < 0); }
int sign_of(const BigInt& v) { return v.sign(); }
BigInt times(const BigInt& a, std::int32_t x) { return a * BigInt::from_int(x); }
__int128 times(__int128 a, std::int32_t x) { return a * x; }

// The x range of a row where G(x) = ax x + k > 0.
template <class Num>
std::pair<std::int32_t, std::int32_t> positive_span(const Num& ax, const Num& k, std::int32_t dim) {
    const int s = sign_of(ax);
    if (s == 0) return sign_of(k) > 0 ? std::pair{0, dim} : std::pair{0, 0};
    // The first x in 0..dim where the sign has turned (G > 0 rising, G <= 0 falling).
    auto turned = [&](std::int32_t x) {
        const int g = sign_of(times(ax, x) + k);
        return s > 0 ? g > 0 : g <= 0;
    };
    std::int32_t lo = 0, hi = dim;
    while (lo < hi) {
        const std::int32_t mid = lo + (hi - lo) / 2;
        if (turned(mid))
            hi = mid;
        else
            lo = mid + 1;
    }
    return s > 0 ? std::pair{lo, dim} : std::pair{0, lo};
}

// Small coefficients: |a| < 2^110 and |d| < 2^124 keep every sum of a row below 2^126.
bool fits_128(const IntegerPlane& p) {
    return std::all_of(p.a.begin(), p.a.end(), [](const BigInt& a) { return a.bits() <= 110; }) && p.d.bits() <= 124;
}

void clear_voxels(TelesoRecord& rec, std::int64_t begin, std::int64_t end) {
    for (; begin < end && (begin & 7); ++begin) rec.data[begin >> 3] &= static_cast<std::uint8_t>(~(1u << (begin & 7)));
    if (end - begin >= 8) {
        std::memset(rec.data + (begin >> 3), 0, static_cast<std::size_t>((end - begin) >> 3));
        begin += (end - begin) & ~std::int64_t{7};
    }
    for (; begin < end; ++begin) rec.data[begin >> 3] &= static_cast<std::uint8_t>(~(1u << (begin & 7)));
}

}  // namespace

// n . (p - c) times 10^-(en + ec) > 0, en and ec the least exponents of n and c (at most 0):
// sum (N_k 10^-ec) p_k - sum N_k C_k, N_k = n_k 10^-en and C_k = c_k 10^-ec whole.
IntegerPlane integer_plane(const std::array<Decimal, 3>& normal, const std::array<Decimal, 3>& through) {
    const std::int32_t en = least_exponent(normal), ec = least_exponent(through);
    IntegerPlane p;
    for (int k = 0; k < 3; ++k) {
        p.a[k] = BigInt::from_decimal(normal[k], -en - ec);
        p.d = p.d + -(BigInt::from_decimal(normal[k], -en) * BigInt::from_decimal(through[k], -ec));
    }
    return p;
}

std::pair<std::int32_t, std::int32_t> removed_span(const IntegerPlane& plane, bool keep_plus, std::int32_t y,
                                                   std::int32_t z, std::int32_t dim, bool force_big) {
    // G = F keeping the - side, -F keeping the + side: the removed voxels are those with G > 0.
    if (!force_big && fits_128(plane)) {
        const __int128 sign = keep_plus ? -1 : 1;
        const __int128 k = sign * (plane.a[1].to_int128() * y + plane.a[2].to_int128() * z + plane.d.to_int128());
        return positive_span(sign * plane.a[0].to_int128(), k, dim);
    }
    BigInt k = times(plane.a[1], y) + times(plane.a[2], z) + plane.d;
    BigInt ax = plane.a[0];
    if (keep_plus) k = -k, ax = -ax;
    return positive_span(ax, k, dim);
}

}  // namespace geometry

int plane_side(const std::array<Decimal, 3>& normal, const std::array<Decimal, 3>& through, std::int32_t x,
               std::int32_t y, std::int32_t z) {
    const geometry::IntegerPlane p = geometry::integer_plane(normal, through);
    return (geometry::times(p.a[0], x) + geometry::times(p.a[1], y) + geometry::times(p.a[2], z) + p.d).sign();
}

Center cut_through(TelesoRecord& rec, const PointPlane& plane) {
    geometry::analyse(rec);
    const Center c = Get_center(rec);
    const std::array<Decimal, 3> through =
        plane.through ? *plane.through : std::array<Decimal, 3>{decimal_of(c.x), decimal_of(c.y), decimal_of(c.z)};
    const geometry::IntegerPlane p = geometry::integer_plane(plane.normal, through);
    const std::int32_t n = rec.dim;
    if (rec.voxels > 0)
        for (std::int32_t z = 0; z < n; ++z)
            for (std::int32_t y = 0; y < n; ++y) {
                const auto [begin, end] = geometry::removed_span(p, plane.keep_plus, y, z, n);
                if (begin < end) geometry::clear_voxels(rec, voxel_index(n, begin, y, z), voxel_index(n, end, y, z));
            }
    geometry::analyse(rec);
    return c;
}

}  // namespace tarvo
