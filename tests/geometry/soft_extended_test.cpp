// The software extended type against the hardware x87 format (where this platform has it), and
// golden results taken from x87 hardware that every platform must reproduce.
//
// TARVO_SOFT_SCALE=<n> in the environment multiplies the random case counts (default 1).
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "tarvo/geometry.h"
#include "geometry/plane.h"
#include "geometry/soft_extended.h"
#include "support.h"

namespace {

using tarvo::geometry::SoftExtended;
using tarvo::geometry::soft_add;
using tarvo::geometry::soft_above_one;
using tarvo::geometry::soft_finite;
using tarvo::geometry::soft_from_float;
using tarvo::geometry::soft_from_int;
using tarvo::geometry::soft_infinity;
using tarvo::geometry::soft_nan;
using tarvo::geometry::soft_quotient;
using tarvo::geometry::soft_zero;

constexpr std::uint64_t kTop = std::uint64_t{1} << 63;
constexpr std::int32_t kBias = 16383;

// The 80-bit image of a value: sign and biased exponent, and the significand with its explicit
// integer bit. Every NaN has one image: payloads and the sign of a NaN carry no meaning here.
struct Image {
    bool nan = false;
    std::uint16_t sign_exponent = 0;
    std::uint64_t significand = 0;
    bool operator==(const Image&) const = default;
};

std::string show(const Image& m) {
    if (m.nan) return "NaN";
    char text[64];
    std::snprintf(text, sizeof text, "%04X:%016llX", unsigned{m.sign_exponent},
                  static_cast<unsigned long long>(m.significand));
    return text;
}

Image nan_image() { return {true, 0, 0}; }
Image finite_image(bool negative, std::int32_t exponent, std::uint64_t significand) {
    return {false, static_cast<std::uint16_t>((negative ? 0x8000 : 0) + exponent + kBias),
            significand};
}
Image zero_image(bool negative) { return {false, static_cast<std::uint16_t>(negative ? 0x8000 : 0), 0}; }
Image infinity_image(bool negative) {
    return {false, static_cast<std::uint16_t>(negative ? 0xFFFF : 0x7FFF), kTop};
}

Image image_of(const SoftExtended& s) {
    switch (s.kind) {
        case SoftExtended::kNaN: return nan_image();
        case SoftExtended::kZero: return zero_image(s.negative);
        case SoftExtended::kInfinity: return infinity_image(s.negative);
        case SoftExtended::kFinite: break;
    }
    // A finite value outside the hardware's normal range has no image to compare with.
    EXPECT_GT(s.exponent, -kBias);
    EXPECT_LE(s.exponent, kBias);
    EXPECT_NE(s.significand & kTop, 0u);
    return finite_image(s.negative, s.exponent, s.significand);
}

float float_of_bits(std::uint32_t bits) {
    float f = 0;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// Only the comparisons with x87 hardware use it, which other platforms leave out.
[[maybe_unused]] std::uint64_t scale() {
    const char* text = std::getenv("TARVO_SOFT_SCALE");
    const long n = text != nullptr ? std::atol(text) : 1;
    return n > 0 ? static_cast<std::uint64_t>(n) : 1;
}

// Offsets: the whole 32-bit range, the small offsets of real grids, the ends of the range and
// every bit length equally often.
std::int32_t random_offset(std::mt19937_64& rng) {
    const std::uint64_t r = rng();
    switch (r % 8) {
        case 0:
        case 1: return static_cast<std::int32_t>(static_cast<std::uint32_t>(r >> 32));
        case 2:
        case 3: return static_cast<std::int32_t>((r >> 32) % 2601) - 1300;
        case 4: return std::numeric_limits<std::int32_t>::min() + static_cast<std::int32_t>((r >> 32) % 64);
        case 5: return std::numeric_limits<std::int32_t>::max() - static_cast<std::int32_t>((r >> 32) % 64);
        default: {
            const int bits = static_cast<int>((r >> 8) % 31) + 1;
            const auto magnitude = static_cast<std::int32_t>((r >> 32) & ((std::uint64_t{1} << bits) - 1));
            return (r & 16) != 0 ? -magnitude : magnitude;
        }
    }
}

float random_cut(std::mt19937_64& rng) {
    const std::uint64_t r = rng();
    const auto low = static_cast<std::uint32_t>(r >> 32);
    const std::uint32_t sign = (r & 1) != 0 ? 0x80000000u : 0u;
    switch (r % 16 / 2) {
        case 0: return float_of_bits(low);                                     // anything at all
        case 1: return float_of_bits(sign | (low & 0x7FFFFFu));                // subnormals
        case 2: return float_of_bits(sign | (((low >> 8) % 254 + 1) << 23));   // powers of two
        case 3: {                                                              // every exponent
            const std::uint32_t field = (low >> 23) % 256;
            return float_of_bits(sign | (field << 23) | (low & 0x7FFFFFu));
        }
        case 4: return static_cast<float>(static_cast<int>(low % 4000) - 2000);  // lengths people type
        case 5: return static_cast<float>((static_cast<double>(low % 100000) - 50000) / 1000);
        case 6: return static_cast<float>(static_cast<int>(low % 129) - 64) / 8.0f;
        default: {
            static const float specials[] = {0.0f, -0.0f, std::numeric_limits<float>::infinity(),
                                             -std::numeric_limits<float>::infinity(),
                                             std::numeric_limits<float>::quiet_NaN(),
                                             std::numeric_limits<float>::denorm_min(), FLT_MIN,
                                             FLT_MAX, 99999.0f, 1e30f, 0.1f, 3.0f};
            return specials[low % (sizeof specials / sizeof specials[0])];
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Golden results from x87 hardware: they hold on every platform.

TEST(SoftExtendedGolden, ConversionsAreExact) {
    EXPECT_EQ(image_of(soft_from_int(0)), zero_image(false));
    EXPECT_EQ(image_of(soft_from_int(1)), finite_image(false, 0, kTop));
    EXPECT_EQ(image_of(soft_from_int(-12)), finite_image(true, 3, 0xC000000000000000ull));
    EXPECT_EQ(image_of(soft_from_int(std::numeric_limits<std::int32_t>::min())),
              finite_image(true, 31, kTop));
    EXPECT_EQ(image_of(soft_from_int(std::numeric_limits<std::int32_t>::max())),
              finite_image(false, 30, 0xFFFFFFFE00000000ull));
    EXPECT_EQ(image_of(soft_from_float(0.0f)), zero_image(false));
    EXPECT_EQ(image_of(soft_from_float(-0.0f)), zero_image(true));
    EXPECT_EQ(image_of(soft_from_float(std::numeric_limits<float>::infinity())), infinity_image(false));
    EXPECT_EQ(image_of(soft_from_float(-std::numeric_limits<float>::infinity())), infinity_image(true));
    EXPECT_TRUE(image_of(soft_from_float(std::numeric_limits<float>::quiet_NaN())).nan);
    EXPECT_TRUE(image_of(soft_from_float(float_of_bits(0xFF800001u))).nan);  // signalling, negative
    EXPECT_EQ(image_of(soft_from_float(std::numeric_limits<float>::denorm_min())),
              finite_image(false, -149, kTop));
    EXPECT_EQ(image_of(soft_from_float(float_of_bits(0x807FFFFFu))),
              finite_image(true, -127, 0xFFFFFE0000000000ull));
    EXPECT_EQ(image_of(soft_from_float(FLT_MIN)), finite_image(false, -126, kTop));
    EXPECT_EQ(image_of(soft_from_float(FLT_MAX)), finite_image(false, 127, 0xFFFFFF0000000000ull));
    EXPECT_EQ(image_of(soft_from_float(0.1f)), finite_image(false, -4, 0xCCCCCD0000000000ull));
}

TEST(SoftExtendedGolden, QuotientsFollowTheDefaultResults) {
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_EQ(image_of(soft_quotient(1, 0.0f)), infinity_image(false));
    EXPECT_EQ(image_of(soft_quotient(-1, 0.0f)), infinity_image(true));
    EXPECT_EQ(image_of(soft_quotient(1, -0.0f)), infinity_image(true));
    EXPECT_EQ(image_of(soft_quotient(-7, -0.0f)), infinity_image(false));
    EXPECT_TRUE(image_of(soft_quotient(0, 0.0f)).nan);
    EXPECT_TRUE(image_of(soft_quotient(0, -0.0f)).nan);
    EXPECT_TRUE(image_of(soft_quotient(5, std::numeric_limits<float>::quiet_NaN())).nan);
    EXPECT_EQ(image_of(soft_quotient(0, -3.0f)), zero_image(true));
    EXPECT_EQ(image_of(soft_quotient(0, inf)), zero_image(false));
    EXPECT_EQ(image_of(soft_quotient(5, inf)), zero_image(false));
    EXPECT_EQ(image_of(soft_quotient(5, -inf)), zero_image(true));
    EXPECT_EQ(image_of(soft_quotient(-5, inf)), zero_image(true));
    EXPECT_EQ(image_of(soft_quotient(1, 3.0f)), finite_image(false, -2, 0xAAAAAAAAAAAAAAABull));
    EXPECT_EQ(image_of(soft_quotient(-1, 3.0f)), finite_image(true, -2, 0xAAAAAAAAAAAAAAABull));
    EXPECT_EQ(image_of(soft_quotient(1, 0.1f)), finite_image(false, 3, 0x9FFFFFD800000A00ull));
    EXPECT_EQ(image_of(soft_quotient(std::numeric_limits<std::int32_t>::min(),
                                     std::numeric_limits<float>::denorm_min())),
              finite_image(true, 180, kTop));
    EXPECT_EQ(image_of(soft_quotient(std::numeric_limits<std::int32_t>::max(), FLT_MAX)),
              finite_image(false, -97, 0x8000007F00007F00ull));
}

TEST(SoftExtendedGolden, SumsOfSpecialValues) {
    const SoftExtended one = soft_from_int(1);
    const SoftExtended minus_one = soft_from_int(-1);
    const SoftExtended five = soft_from_int(5);
    EXPECT_TRUE(image_of(soft_add(soft_infinity(false), soft_infinity(true))).nan);
    EXPECT_TRUE(image_of(soft_add(soft_infinity(true), soft_infinity(false))).nan);
    EXPECT_TRUE(image_of(soft_add(soft_nan(), one)).nan);
    EXPECT_TRUE(image_of(soft_add(soft_infinity(false), soft_nan())).nan);
    EXPECT_EQ(image_of(soft_add(soft_infinity(false), soft_infinity(false))), infinity_image(false));
    EXPECT_EQ(image_of(soft_add(soft_infinity(true), five)), infinity_image(true));
    EXPECT_EQ(image_of(soft_add(five, soft_infinity(false))), infinity_image(false));
    EXPECT_EQ(image_of(soft_add(soft_zero(false), soft_zero(true))), zero_image(false));
    EXPECT_EQ(image_of(soft_add(soft_zero(true), soft_zero(false))), zero_image(false));
    EXPECT_EQ(image_of(soft_add(soft_zero(true), soft_zero(true))), zero_image(true));
    EXPECT_EQ(image_of(soft_add(one, minus_one)), zero_image(false));
    EXPECT_EQ(image_of(soft_add(minus_one, one)), zero_image(false));
    EXPECT_EQ(image_of(soft_add(soft_zero(true), five)), image_of(five));
    EXPECT_EQ(image_of(soft_add(minus_one, soft_zero(false))), image_of(minus_one));
    EXPECT_EQ(image_of(soft_add(soft_quotient(1, 3.0f), soft_quotient(-1, 3.0f))), zero_image(false));
}

struct GapCase {
    SoftExtended a, b;
    Image sum;
};

// Operands whose exponents lie 63, 64 and 65 apart, where the smaller one falls on, just
// around or half-way between the last places of the larger.
std::vector<GapCase> gap_cases() {
    const std::uint64_t all = ~std::uint64_t{0};
    return {
        // 63 apart: b is a whole last place of a, or one and a half of them (a tie).
        {soft_finite(false, 0, kTop), soft_finite(false, -63, kTop), finite_image(false, 0, kTop + 1)},
        {soft_finite(false, 0, kTop), soft_finite(false, -63, 0xC000000000000000ull),
         finite_image(false, 0, kTop + 2)},
        {soft_finite(false, 0, kTop + 1), soft_finite(false, -63, 0xC000000000000000ull),
         finite_image(false, 0, kTop + 2)},
        {soft_finite(false, 0, kTop), soft_finite(true, -63, kTop), finite_image(false, -1, all - 1)},
        // 64 apart: b is half a last place: ties go to the even significand.
        {soft_finite(false, 0, kTop), soft_finite(false, -64, kTop), finite_image(false, 0, kTop)},
        {soft_finite(false, 0, kTop + 1), soft_finite(false, -64, kTop), finite_image(false, 0, kTop + 2)},
        {soft_finite(true, 0, kTop + 3), soft_finite(true, -64, kTop), finite_image(true, 0, kTop + 4)},
        {soft_finite(false, 0, kTop + 2), soft_finite(true, -64, kTop), finite_image(false, 0, kTop + 2)},
        {soft_finite(false, 0, kTop + 1), soft_finite(true, -64, kTop), finite_image(false, 0, kTop)},
        {soft_finite(false, 0, kTop), soft_finite(false, -64, kTop + 1), finite_image(false, 0, kTop + 1)},
        // Below a power of two the last place halves: 1 - 2^-64 is exact.
        {soft_finite(false, 0, kTop), soft_finite(true, -64, kTop), finite_image(false, -1, all)},
        // 65 apart: a quarter of a last place is lost, unless the spacing halves below 1.
        {soft_finite(false, 0, kTop), soft_finite(false, -65, all), finite_image(false, 0, kTop)},
        {soft_finite(false, 0, kTop + 1), soft_finite(false, -65, all), finite_image(false, 0, kTop + 1)},
        {soft_finite(false, 0, kTop), soft_finite(true, -65, kTop), finite_image(false, 0, kTop)},
        {soft_finite(false, 0, kTop), soft_finite(true, -65, kTop + 1), finite_image(false, -1, all)},
        {soft_finite(false, 0, kTop + 1), soft_finite(true, -65, kTop), finite_image(false, 0, kTop + 1)},
    };
}

TEST(SoftExtendedGolden, TiesToEvenAcrossExponentGaps) {
    for (const GapCase& c : gap_cases()) {
        EXPECT_EQ(image_of(soft_add(c.a, c.b)), c.sum)
            << show(image_of(c.a)) << " + " << show(image_of(c.b));
        EXPECT_EQ(image_of(soft_add(c.b, c.a)), c.sum)
            << show(image_of(c.b)) << " + " << show(image_of(c.a));
    }
}

SoftExtended soft_plane_sum(std::int32_t u, std::int32_t v, std::int32_t w, float xc, float yc, float zc) {
    return soft_add(soft_add(soft_quotient(u, xc), soft_quotient(v, yc)), soft_quotient(w, zc));
}

struct PlaneCase {
    std::int32_t u, v, w;
    float xc, yc, zc;
    Image sum;
    bool beyond;
};

// Voxels on the plane whose inexact quotients round the sum to either side of 1.
std::vector<PlaneCase> plane_cases() {
    return {
        {-12, 4, 11, 3, 3, 3, finite_image(false, 0, kTop + 2), true},     // 1 + 2^-62
        {-11, 5, 9, 3, 3, 3, finite_image(false, 0, kTop), false},         // exactly 1
        {1, 2, -1, 2, 3, 6, finite_image(false, 0, kTop + 1), true},       // 1 + 2^-63
        {-2, 2, -1, 3, 1, 3, finite_image(false, -1, ~std::uint64_t{0} - 1), false},  // 1 - 2^-63
        {1, 1, 0, 2, 2, 2, finite_image(false, 0, kTop), false},           // exact quotients
    };
}

TEST(SoftExtendedGolden, PlaneSumsNextToOne) {
    for (const PlaneCase& c : plane_cases()) {
        const SoftExtended s = soft_plane_sum(c.u, c.v, c.w, c.xc, c.yc, c.zc);
        EXPECT_EQ(image_of(s), c.sum) << c.u << " " << c.v << " " << c.w;
        EXPECT_EQ(soft_above_one(s), c.beyond) << c.u << " " << c.v << " " << c.w;
        // The build's own arithmetic, whichever it is.
        EXPECT_EQ(tarvo::geometry::voxel_beyond(c.u, c.v, c.w, c.xc, c.yc, c.zc), c.beyond)
            << c.u << " " << c.v << " " << c.w;
    }
}

TEST(SoftExtendedGolden, ComparisonWithOne) {
    EXPECT_FALSE(soft_above_one(soft_finite(false, 0, kTop)));
    EXPECT_TRUE(soft_above_one(soft_finite(false, 0, kTop + 1)));
    EXPECT_FALSE(soft_above_one(soft_finite(false, -1, ~std::uint64_t{0})));
    EXPECT_TRUE(soft_above_one(soft_finite(false, 1, kTop)));
    EXPECT_FALSE(soft_above_one(soft_finite(true, 1, kTop)));
    EXPECT_TRUE(soft_above_one(soft_infinity(false)));
    EXPECT_FALSE(soft_above_one(soft_infinity(true)));
    EXPECT_FALSE(soft_above_one(soft_nan()));
    EXPECT_FALSE(soft_above_one(soft_zero(false)));
    EXPECT_FALSE(soft_above_one(soft_zero(true)));
}

// The cut itself on the full grid of edge 8 (centre (3, 3, 3)), in the build's arithmetic.
TEST(SoftExtendedGolden, CutDecidesVoxelsOnThePlane) {
    {
        tarvo::Body body = test_support::body_of_edge(8);
        test_support::fill_all(body.rec);
        Cut_teleso(body.rec, Center{3, 3, 3}, 2, 3, 6);
        EXPECT_EQ(Get_voxel(body.rec, 4, 5, 2), 0);  // offsets (1, 2, -1): 1 + 2^-63
        EXPECT_EQ(Get_voxel(body.rec, 3, 6, 3), 1);  // offsets (0, 3, 0): exactly 1
    }
    {
        tarvo::Body body = test_support::body_of_edge(8);
        test_support::fill_all(body.rec);
        Cut_teleso(body.rec, Center{3, 3, 3}, 3, 1, 3);
        EXPECT_EQ(Get_voxel(body.rec, 1, 5, 2), 1);  // offsets (-2, 2, -1): 1 - 2^-63
        EXPECT_EQ(Get_voxel(body.rec, 3, 5, 3), 0);  // offsets (0, 2, 0): 2
    }
}

TEST(SoftExtendedPlane, BuildUsesTheChosenArithmetic) {
#if defined(TARVO_SOFT_EXTENDED) || LDBL_MANT_DIG != 64
    static_assert(tarvo::geometry::kSoftPlane);
    static_assert(std::is_same_v<tarvo::geometry::PlaneArithmetic, tarvo::geometry::SoftPlane>);
    static_assert(std::is_same_v<tarvo::geometry::PlaneValue, SoftExtended>);
#else
    static_assert(!tarvo::geometry::kSoftPlane);
    static_assert(std::is_same_v<tarvo::geometry::PlaneArithmetic, tarvo::geometry::HardwarePlane>);
    static_assert(std::is_same_v<tarvo::geometry::PlaneValue, long double>);
#endif
    // Whichever arithmetic the build uses, its decisions are those of the software type.
    std::mt19937_64 rng(77);
    for (int i = 0; i < 200000; ++i) {
        const std::int32_t u = random_offset(rng), v = random_offset(rng), w = random_offset(rng);
        const float xc = random_cut(rng), yc = random_cut(rng), zc = random_cut(rng);
        ASSERT_EQ(tarvo::geometry::voxel_beyond(u, v, w, xc, yc, zc),
                  soft_above_one(soft_plane_sum(u, v, w, xc, yc, zc)))
            << u << " " << v << " " << w << " / " << xc << " " << yc << " " << zc;
    }
}

// ---------------------------------------------------------------------------------------------
// Bit for bit against the hardware format, where long double is x87 extended.
#if LDBL_MANT_DIG == 64

Image image_of(long double v) {
    if (std::isnan(v)) return nan_image();
    unsigned char bytes[sizeof v];
    std::memcpy(bytes, &v, sizeof v);
    Image m;
    std::memcpy(&m.significand, bytes, 8);
    std::memcpy(&m.sign_exponent, bytes + 8, 2);
    return m;
}

long double hardware_of(const SoftExtended& s) {
    const Image m = image_of(s);
    if (m.nan) return std::numeric_limits<long double>::quiet_NaN();
    unsigned char bytes[sizeof(long double)] = {};
    std::memcpy(bytes, &m.significand, 8);
    std::memcpy(bytes + 8, &m.sign_exponent, 2);
    long double v = 0;
    std::memcpy(&v, bytes, sizeof v);
    return v;
}

// A finite value with a random significand.
SoftExtended random_finite(std::mt19937_64& rng, std::int32_t lo_exp, std::int32_t hi_exp) {
    const std::uint64_t r = rng();
    const auto span = static_cast<std::uint64_t>(hi_exp - lo_exp + 1);
    std::uint64_t significand = rng() | kTop;
    // Significands with few set bits make exact sums and ties likely.
    if (r % 4 == 0) significand &= ~((std::uint64_t{1} << ((r >> 8) % 63)) - 1);
    return soft_finite((r & 2) != 0, lo_exp + static_cast<std::int32_t>((r >> 16) % span), significand);
}

// One unit in the last place away from a finite value, towards larger (+1) or smaller (-1)
// magnitude.
SoftExtended step(SoftExtended s, int direction) {
    if (direction > 0) {
        if (++s.significand == 0) {
            s.significand = kTop;
            ++s.exponent;
        }
    } else if (s.significand == kTop) {
        s.significand = ~std::uint64_t{0};
        --s.exponent;
    } else {
        --s.significand;
    }
    return s;
}

std::vector<std::int32_t> special_offsets() {
    return {0, 1, -1, 2, -2, 3, -12, 11, 1290, -1290, std::numeric_limits<std::int32_t>::min(),
            std::numeric_limits<std::int32_t>::min() + 1, std::numeric_limits<std::int32_t>::max(),
            std::numeric_limits<std::int32_t>::max() - 1, 1 << 30, -(1 << 30)};
}

std::vector<float> special_cuts() {
    const float inf = std::numeric_limits<float>::infinity();
    const float denorm = std::numeric_limits<float>::denorm_min();
    return {0.0f, -0.0f, inf, -inf, std::numeric_limits<float>::quiet_NaN(),
            -std::numeric_limits<float>::quiet_NaN(), denorm, -denorm, float_of_bits(0x007FFFFFu),
            float_of_bits(0x807FFFFFu), float_of_bits(0x00400000u), FLT_MIN, -FLT_MIN, FLT_MAX,
            -FLT_MAX, 1.0f, -1.0f, 3.0f, -3.0f, 0.1f, 99999.0f, 1e30f, 0.5f, 0x1p-126f, 0x1p127f};
}

std::vector<SoftExtended> special_values() {
    std::vector<SoftExtended> v = {soft_zero(false), soft_zero(true), soft_infinity(false),
                                   soft_infinity(true), soft_nan()};
    for (const bool negative : {false, true}) {
        v.push_back(soft_finite(negative, 0, kTop));                     // 1
        v.push_back(soft_finite(negative, -1, ~std::uint64_t{0}));       // just below 1
        v.push_back(soft_finite(negative, 0, kTop + 1));                 // just above 1
        v.push_back(soft_finite(negative, -128, kTop));                  // about the smallest term
        v.push_back(soft_finite(negative, 180, kTop));                   // the largest term
        v.push_back(soft_finite(negative, -64, kTop));
        v.push_back(soft_finite(negative, -2, 0xAAAAAAAAAAAAAAABull));   // 1/3
    }
    return v;
}

using Hardware = tarvo::geometry::HardwarePlane;

// Counts every comparison made, for the report at the end of the run.
std::uint64_t g_compared = 0;

struct CountReport : ::testing::Environment {
    void TearDown() override {
        std::printf("soft extended: %llu operations compared with hardware long double\n",
                    static_cast<unsigned long long>(g_compared));
    }
};
const auto* const g_report = ::testing::AddGlobalTestEnvironment(new CountReport);

// Compares one sum in both arithmetics, with its decision; false after a difference.
bool same_sum(const SoftExtended& a, const SoftExtended& b) {
    ++g_compared;
    const SoftExtended s = soft_add(a, b);
    const long double h = Hardware::add(hardware_of(a), hardware_of(b));
    const bool same = image_of(s) == image_of(h) && soft_above_one(s) == Hardware::beyond(h);
    EXPECT_TRUE(same) << show(image_of(a)) << " + " << show(image_of(b)) << ": soft "
                      << show(image_of(s)) << ", hardware " << show(image_of(h));
    return same;
}

bool same_quotient(std::int32_t offset, float cut) {
    ++g_compared;
    const SoftExtended s = soft_quotient(offset, cut);
    const long double h = Hardware::term(offset, cut);
    const bool same = image_of(s) == image_of(h) && soft_above_one(s) == Hardware::beyond(h);
    EXPECT_TRUE(same) << offset << " / " << cut << " (" << std::hexfloat << cut << std::defaultfloat
                      << "): soft " << show(image_of(s)) << ", hardware " << show(image_of(h));
    return same;
}

TEST(SoftExtendedHardware, GoldenResultsAreTheHardwareOnes) {
    for (const GapCase& c : gap_cases()) {
        EXPECT_EQ(image_of(Hardware::add(hardware_of(c.a), hardware_of(c.b))), c.sum);
    }
    for (const PlaneCase& c : plane_cases()) {
        const long double h = Hardware::add(
            Hardware::add(Hardware::term(c.u, c.xc), Hardware::term(c.v, c.yc)), Hardware::term(c.w, c.zc));
        EXPECT_EQ(image_of(h), c.sum);
        EXPECT_EQ(Hardware::beyond(h), c.beyond);
    }
}

TEST(SoftExtendedHardware, ConversionsOfSpecialAndRandomValues) {
    for (const std::int32_t i : special_offsets()) {
        EXPECT_EQ(image_of(soft_from_int(i)), image_of(static_cast<long double>(i))) << i;
    }
    for (const float f : special_cuts()) {
        EXPECT_EQ(image_of(soft_from_float(f)), image_of(static_cast<long double>(f))) << f;
    }
    std::mt19937_64 rng(1);
    const std::uint64_t n = 1000000 * scale();
    for (std::uint64_t k = 0; k < n; ++k) {
        const std::int32_t i = random_offset(rng);
        const float f = random_cut(rng);
        g_compared += 2;
        ASSERT_EQ(image_of(soft_from_int(i)), image_of(static_cast<long double>(i))) << i;
        ASSERT_EQ(image_of(soft_from_float(f)), image_of(static_cast<long double>(f)))
            << std::hexfloat << f;
    }
}

TEST(SoftExtendedHardware, QuotientsOfSpecialValues) {
    for (const std::int32_t i : special_offsets()) {
        for (const float f : special_cuts()) same_quotient(i, f);
    }
}

TEST(SoftExtendedHardware, QuotientsOfRandomOperands) {
    std::mt19937_64 rng(2);
    const std::uint64_t n = 2000000 * scale();
    for (std::uint64_t k = 0; k < n; ++k) {
        ASSERT_TRUE(same_quotient(random_offset(rng), random_cut(rng)));
    }
}

TEST(SoftExtendedHardware, SumsOfSpecialValues) {
    const std::vector<SoftExtended> values = special_values();
    for (const SoftExtended& a : values) {
        for (const SoftExtended& b : values) same_sum(a, b);
    }
}

TEST(SoftExtendedHardware, SumsOfRandomOperands) {
    std::mt19937_64 rng(3);
    const std::uint64_t n = 1000000 * scale();
    for (std::uint64_t k = 0; k < n; ++k) {
        // Exponent gaps of 0 to 140, most around the width of the significand.
        const SoftExtended a = random_finite(rng, -200, 200);
        const std::uint64_t r = rng();
        const std::int32_t gap = r % 2 == 0 ? static_cast<std::int32_t>((r >> 8) % 141)
                                            : 58 + static_cast<std::int32_t>((r >> 8) % 12);
        const SoftExtended b = random_finite(rng, a.exponent - gap, a.exponent - gap);
        ASSERT_TRUE(same_sum(a, b));
        // Two plane terms, as the cut adds them.
        ASSERT_TRUE(same_sum(soft_quotient(random_offset(rng), random_cut(rng)),
                             soft_quotient(random_offset(rng), random_cut(rng))));
    }
}

TEST(SoftExtendedHardware, SumsNextToOne) {
    std::mt19937_64 rng(4);
    const std::uint64_t n = 500000 * scale();
    const SoftExtended one = soft_from_int(1);
    for (std::uint64_t k = 0; k < n; ++k) {
        // a + b where b is 1 - a rounded, then moved by a few last places either way.
        const std::uint64_t r = rng();
        const SoftExtended a = r % 2 == 0 ? soft_quotient(random_offset(rng), random_cut(rng))
                                          : random_finite(rng, -70, 3);
        if (a.kind != SoftExtended::kFinite) continue;
        const long double rest = 1.0L - hardware_of(a);
        if (rest == 0) continue;
        SoftExtended b = soft_add(one, soft_finite(!a.negative, a.exponent, a.significand));
        ASSERT_EQ(image_of(b), image_of(rest));
        const int moves = static_cast<int>((r >> 8) % 9) - 4;
        for (int m = 0; m < std::abs(moves); ++m) b = step(b, moves);
        ASSERT_TRUE(same_sum(a, b));
        ASSERT_TRUE(same_sum(b, a));
    }
}

// Whole plane sums of voxels on or next to the plane: integer cut lengths, also scaled by powers
// of two, and the offset along z chosen to make the exact sum 1 where it can.
TEST(SoftExtendedHardware, PlaneSumsOnAndNextToThePlane) {
    std::mt19937_64 rng(5);
    const std::uint64_t n = 200000 * scale();
    std::uint64_t exactly_one = 0;
    for (std::uint64_t k = 0; k < n; ++k) {
        const std::uint64_t r = rng();
        auto length = [&rng]() {
            const auto m = static_cast<std::int64_t>(rng() % 64) + 1;
            return (rng() & 1) != 0 ? -m : m;
        };
        const std::int64_t lx = length(), ly = length(), lz = length();
        const std::int64_t u = static_cast<std::int64_t>(rng() % 2001) - 1000;
        const std::int64_t v = static_cast<std::int64_t>(rng() % 2001) - 1000;
        // u/lx + v/ly + w/lz = 1  <=>  w = lz (lx ly - u ly - v lx) / (lx ly)
        const std::int64_t top = lz * (lx * ly - u * ly - v * lx);
        const std::int64_t w0 = top / (lx * ly);
        if (top % (lx * ly) == 0) ++exactly_one;
        // Scaling lengths and offsets by one power of two keeps the quotients.
        const int shift = static_cast<int>((r >> 4) % 8);
        const float unit = std::ldexp(1.0f, static_cast<int>((r >> 8) % 40) - 20);
        const float xc = static_cast<float>(lx) * unit, yc = static_cast<float>(ly) * unit,
                    zc = static_cast<float>(lz) * unit;
        for (std::int64_t w = w0 - 1; w <= w0 + 1; ++w) {
            const auto uu = static_cast<std::int32_t>(u * (std::int64_t{1} << shift));
            const auto vv = static_cast<std::int32_t>(v * (std::int64_t{1} << shift));
            const auto ww = static_cast<std::int32_t>(w * (std::int64_t{1} << shift));
            const SoftExtended tx = soft_quotient(uu, xc), ty = soft_quotient(vv, yc),
                               tz = soft_quotient(ww, zc);
            ASSERT_TRUE(same_quotient(uu, xc));
            ASSERT_TRUE(same_quotient(ww, zc));
            ASSERT_TRUE(same_sum(tx, ty));
            ASSERT_TRUE(same_sum(soft_add(tx, ty), tz));
        }
    }
    // The construction must actually reach the plane, not only pass near it.
    EXPECT_GT(exactly_one, n / 50);
}

#endif  // LDBL_MANT_DIG == 64

}  // namespace
