// The exact plane: decimals read wholly or refused, the 128-bit and the unbounded integer paths
// agreeing, and a plane whose double sum puts voxels on the wrong side.
#include <gtest/gtest.h>

#include <random>

#include "geometry/exact.h"
#include "support.h"

namespace {

TEST(Decimal, ReadsWholeNumbersAndRefusesTheRest) {
    const auto d = parse_decimal("-012.5000e-3");
    ASSERT_TRUE(d);
    EXPECT_TRUE(d->negative);
    EXPECT_EQ(d->digits, "125");
    EXPECT_EQ(d->exponent, -4);
    EXPECT_TRUE(parse_decimal(".5") && parse_decimal("5.") && parse_decimal("+0") && parse_decimal("1E+2"));
    EXPECT_TRUE(parse_decimal("-0.000")->zero());
    for (const char* bad : {"", "l", "1,5", "1.5.2", "e3", "1e", "1e+", " 1", "1 ", "0x10", "inf", "nan", ".", "-", "1e1001"})
        EXPECT_FALSE(parse_decimal(bad)) << bad;
    EXPECT_FALSE(parse_decimal(std::string(kMaxDecimalDigits + 1, '7')));
    EXPECT_TRUE(parse_decimal(std::string(kMaxDecimalDigits, '7')));
}

std::string random_decimal(std::mt19937_64& g, int max_digits) {
    std::string s = g() % 2 ? "-" : "";
    const int digits = 1 + static_cast<int>(g() % max_digits);
    for (int k = 0; k < digits; ++k) s += static_cast<char>('0' + g() % 10);
    return s + "e" + std::to_string(static_cast<int>(g() % 9) - 6);
}

TEST(ExactPlane, TheNarrowAndTheWidePathsGiveTheSameSpans) {
    std::mt19937_64 g(22);
    for (int c = 0; c < 300; ++c) {
        std::array<Decimal, 3> n, t;
        for (int k = 0; k < 3; ++k) {
            n[k] = *parse_decimal(random_decimal(g, c % 2 ? 3 : 12));
            t[k] = *parse_decimal(random_decimal(g, c % 2 ? 3 : 12));
        }
        const geometry::IntegerPlane p = geometry::integer_plane(n, t);
        const std::int32_t dim = 1 + static_cast<std::int32_t>(g() % 40);
        for (int row = 0; row < 20; ++row) {
            const std::int32_t y = static_cast<std::int32_t>(g() % dim), z = static_cast<std::int32_t>(g() % dim);
            for (bool plus : {false, true}) {
                const auto narrow = geometry::removed_span(p, plus, y, z, dim);
                EXPECT_EQ(narrow, geometry::removed_span(p, plus, y, z, dim, true));
                // Every voxel of the span is on the removed side, every other one is not.
                for (std::int32_t x = 0; x < dim; ++x) {
                    const int side = plane_side(n, t, x, y, z);
                    const bool removed = plus ? side < 0 : side > 0;
                    EXPECT_EQ(removed, x >= narrow.first && x < narrow.second) << c << " " << x;
                }
            }
        }
    }
}

TEST(ExactPlane, HugeCoefficientsTakeTheWidePath) {
    // 1e-200 x + y - 2e-200 z through the origin: on the plane where y = 0 and x = 2 z.
    const std::array<Decimal, 3> n{*parse_decimal("1e-200"), *parse_decimal("1"), *parse_decimal("-2e-200")};
    const std::array<Decimal, 3> t{decimal_of(0), decimal_of(0), decimal_of(0)};
    EXPECT_GT(geometry::integer_plane(n, t).a[1].bits(), 600);
    EXPECT_EQ(plane_side(n, t, 4, 0, 2), 0);
    EXPECT_EQ(plane_side(n, t, 5, 0, 2), 1);
    EXPECT_EQ(plane_side(n, t, 3, 0, 2), -1);
    EXPECT_EQ(plane_side(n, t, 0, 1, 1000), 1);
    const geometry::IntegerPlane p = geometry::integer_plane(n, t);
    EXPECT_EQ(geometry::removed_span(p, false, 0, 2, 9), (std::pair<std::int32_t, std::int32_t>{5, 9}));
    EXPECT_EQ(geometry::removed_span(p, true, 0, 2, 9), (std::pair<std::int32_t, std::int32_t>{0, 4}));
}

TEST(ExactPlane, ADoubleSumPutsOnPlaneVoxelsOnASide) {
    const std::array<Decimal, 3> n{*parse_decimal("0.1"), *parse_decimal("0.2"), *parse_decimal("-0.3")};
    const std::array<Decimal, 3> c{decimal_of(0), decimal_of(0), decimal_of(0)};
    int wrong = 0;
    for (int k = 1; k < 30; ++k) {
        EXPECT_EQ(plane_side(n, c, k, k, k), 0);
        wrong += 0.1 * k + 0.2 * k - 0.3 * k != 0;
    }
    EXPECT_GT(wrong, 0);
}

TEST(ExactPlane, CutThroughKeepsThePlaneOnBothSides) {
    Body a = test_support::body_of_edge(9);
    for (std::int64_t i = 0; i < voxel_count(9); ++i) a.rec.data[i >> 3] |= static_cast<std::uint8_t>(1u << (i & 7));
    Body b = test_support::body_of_edge(9);
    std::memcpy(b.rec.data, a.rec.data, padded_bytes(a.rec.size));
    PointPlane p;
    p.normal = {decimal_of(1), decimal_of(-1), decimal_of(0)};
    cut_through(a.rec, p);
    p.keep_plus = true;
    cut_through(b.rec, p);
    // x <= y and x >= y: 45 + 45 of each layer's 81, the 9 on the diagonal in both.
    EXPECT_EQ(a.rec.voxels, 45 * 9);
    EXPECT_EQ(b.rec.voxels, 45 * 9);
    EXPECT_EQ(a.rec.x_max, 8);
    EXPECT_EQ(b.rec.y_min, 0);
}

}  // namespace
