// Measurement and plane cut.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <optional>
#include <string>

#include "tarvo/geometry.h"
#include "geometry/plane.h"
#include "support.h"

using namespace test_support;

namespace {

struct Measured {
    std::int32_t voxels, x_min, x_max, y_min, y_max, z_min, z_max, x_mean, y_mean, z_mean;
    bool operator==(const Measured&) const = default;
};

Measured measured(const TelesoRecord& r) {
    return {r.voxels, r.x_min, r.x_max, r.y_min, r.y_max, r.z_min, r.z_max, r.x_mean, r.y_mean, r.z_mean};
}

std::ostream& operator<<(std::ostream& os, const Measured& m) {
    return os << "voxels " << m.voxels << " x " << m.x_min << ".." << m.x_max << " y " << m.y_min << ".."
              << m.y_max << " z " << m.z_min << ".." << m.z_max << " means " << m.x_mean << "," << m.y_mean
              << "," << m.z_mean;
}

void set_voxels(TelesoRecord& rec, std::initializer_list<std::array<int, 3>> voxels) {
    for (auto [x, y, z] : voxels) Set_voxel(rec, x, y, z, 1);
}

using Predicate = std::function<bool(int, int, int)>;

// Cuts the full grid of edge n around its centre and checks which voxels went.
void expect_cut(std::int32_t n, const char* xs, const char* ys, const char* zs, const Predicate& cleared) {
    Body b = body_of_edge(n);
    fill_all(b.rec);
    Analyse_teleso(b.rec);
    Cut_teleso(b.rec, Get_center(b.rec), Cut_length(xs), Cut_length(ys), Cut_length(zs));
    for (int z = 0; z < n; ++z)
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x)
                ASSERT_EQ(Get_voxel(b.rec, x, y, z), cleared(x, y, z) ? 0 : 1)
                    << "cut " << xs << " " << ys << " " << zs << " voxel " << x << "," << y << "," << z;
}

Measured cut_full4(const char* xs, const char* ys, const char* zs) {
    Body b = body_of_edge(4);
    fill_all(b.rec);
    Analyse_teleso(b.rec);
    Cut_teleso(b.rec, Get_center(b.rec), Cut_length(xs), Cut_length(ys), Cut_length(zs));
    Analyse_teleso(b.rec);
    return measured(b.rec);
}

}  // namespace

TEST(Analyse, FullGridOfEdgeFour) {
    Body b = body_of_edge(4);
    fill_all(b.rec);
    Analyse_teleso(b.rec);
    EXPECT_EQ(measured(b.rec), (Measured{64, 0, 3, 0, 3, 0, 3, 1, 1, 1}));
    const Center c = Get_center(b.rec);
    EXPECT_EQ(std::tie(c.x, c.y, c.z), std::make_tuple(1, 1, 1));
}

TEST(Analyse, SingleAndPairedVoxels) {
    Body one = body_of_edge(4);
    set_voxels(one.rec, {{3, 0, 2}});
    Analyse_teleso(one.rec);
    EXPECT_EQ(measured(one.rec), (Measured{1, 3, 3, 0, 0, 2, 2, 3, 0, 2}));
    const Center c = Get_center(one.rec);
    EXPECT_EQ(std::tie(c.x, c.y, c.z), std::make_tuple(3, 0, 2));

    Body pair = body_of_edge(5);
    set_voxels(pair.rec, {{1, 2, 3}, {4, 2, 3}});
    Analyse_teleso(pair.rec);
    EXPECT_EQ(pair.rec.x_mean, 2);
    EXPECT_EQ(Get_center(pair.rec).x, 2);

    Body low = body_of_edge(5);
    set_voxels(low.rec, {{0, 2, 3}, {1, 2, 3}});
    Analyse_teleso(low.rec);
    EXPECT_EQ(low.rec.x_mean, 0);
    EXPECT_EQ(Get_center(low.rec).x, 0);
}

TEST(Analyse, EmptyAndDegenerateGrids) {
    Body four = body_of_edge(4);
    four.rec.voxels = 99;  // values from a header are overwritten unread
    four.rec.x_min = -7;
    four.rec.z_mean = 12;
    Analyse_teleso(four.rec);
    EXPECT_EQ(measured(four.rec), (Measured{0, 3, 0, 3, 0, 3, 0, 0, 0, 0}));
    EXPECT_EQ(Get_center(four.rec).y, 1);

    Body five = body_of_edge(5);
    Analyse_teleso(five.rec);
    EXPECT_EQ(five.rec.x_min, 4);
    EXPECT_EQ(Get_center(five.rec).z, 2);

    Body one = body_of_edge(1);
    Analyse_teleso(one.rec);
    EXPECT_EQ(measured(one.rec), (Measured{0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    Set_voxel(one.rec, 0, 0, 0, 1);
    Analyse_teleso(one.rec);
    EXPECT_EQ(measured(one.rec), (Measured{1, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

    Body zero = body_of_edge(0);
    Analyse_teleso(zero.rec);
    EXPECT_EQ(measured(zero.rec), (Measured{0, -1, 0, -1, 0, -1, 0, 0, 0, 0}));
    const Center c = Get_center(zero.rec);
    EXPECT_EQ(std::tie(c.x, c.y, c.z), std::make_tuple(0, 0, 0));
}

TEST(Analyse, MeansStayTrueBeyondThirtyTwoBitSums) {
    Body b = body_of_edge(300);  // the x sum of the full grid is 4,036,500,000
    fill_all(b.rec);
    Analyse_teleso(b.rec);
    EXPECT_EQ(b.rec.voxels, 27000000);
    EXPECT_EQ(b.rec.x_mean, 149);
    EXPECT_EQ(b.rec.y_mean, 149);
    EXPECT_EQ(b.rec.z_mean, 149);
}

TEST(CutLength, ConvertsThroughDoubleToFloat) {
    EXPECT_EQ(Cut_length("0.1"), 0.1f);
    EXPECT_NE(static_cast<double>(Cut_length("0.1")), 0.1);
    EXPECT_EQ(Cut_length("99999"), 99999.0f);
    EXPECT_EQ(Cut_length("abc"), 0.0f);
    EXPECT_FALSE(std::signbit(Cut_length("abc")));
    EXPECT_TRUE(std::signbit(Cut_length("-0")));
    EXPECT_EQ(Cut_length("-0"), 0.0f);
    EXPECT_TRUE(std::isinf(Cut_length("1e39")));
    EXPECT_TRUE(std::isinf(Cut_length("-1e39")) && Cut_length("-1e39") < 0);
    EXPECT_TRUE(std::isinf(Cut_length("inf")));
    EXPECT_TRUE(std::isnan(Cut_length("nan")));
    EXPECT_EQ(Cut_length("0x10"), 16.0f);
    EXPECT_EQ(Cut_length("  2.5xyz"), 2.5f);
}

// The tools, the page's warning and Python take a text only when the program reads all of it: then
// the value is the program's own, bits and all (the sign of -0, NaN).
TEST(CutLength, WholeNumbersAreTheProgramsReadingAndTheRestAreRefused) {
    for (const char* text : {"1", "-1", "+2", "-0", ".5", "5.", "-3.25e-1", "1E+2", "1e39", "-1e39", "1e-50", "inf",
                             "-INF", "Infinity", "+iNfInItY", "nan", "NaN", "-nan", "0x10", "0X1p-3", "-0x.8", "099"}) {
        const std::optional<float> v = whole_cut_length(text);
        ASSERT_TRUE(v) << text;
        const float program = Cut_length(text);
        EXPECT_EQ(std::memcmp(&*v, &program, sizeof program), 0) << text;
        EXPECT_TRUE(whole_number(text)) << text;
    }
    for (const char* text : {"", "l", "1,5", " 1", "\t1", "1 ", "1.5.2", "1e", "1e+", "e3", ".", "-", "+", "0x",
                             "infx", "in", "1_0", "2.5xyz", "１"})
        EXPECT_FALSE(whole_cut_length(text)) << "'" << text << "'";
    EXPECT_FALSE(whole_cut_length(std::string("1\0" "5", 3)));
}

TEST(Cut, WorkedExamplesOnTheFullGridOfEdgeFour) {
    expect_cut(4, "1", "1", "99999", [](int x, int y, int z) { return x + y >= 4 || (x + y == 3 && z >= 2); });
    expect_cut(4, "1", "1", "1e39", [](int x, int y, int) { return x + y >= 4; });
    expect_cut(4, "1", "1", "1e30", [](int x, int y, int) { return x + y >= 4; });
    expect_cut(4, "1", "1", "1", [](int x, int y, int z) { return x + y + z >= 5; });
    expect_cut(4, "2", "2", "2", [](int x, int y, int z) { return x + y + z >= 6; });
    expect_cut(4, "-1", "-1", "99999", [](int x, int y, int z) { return x + y == 0 || (x + y == 1 && z >= 2); });
    expect_cut(4, "0", "99999", "99999", [](int x, int, int) { return x >= 2; });
    expect_cut(4, "0", "0", "99999", [](int x, int y, int) { return x >= 2 && y >= 2; });
    expect_cut(4, "0", "0", "0", [](int x, int y, int z) { return x >= 2 && y >= 2 && z >= 2; });
    expect_cut(4, "-0", "99999", "99999", [](int x, int, int) { return x <= 0; });
    expect_cut(4, "99999", "99999", "99999", [](int, int, int) { return false; });
    expect_cut(4, "nan", "1", "1", [](int, int, int) { return false; });
}

TEST(Cut, SecondMeasurementOfTheWorkedExamples) {
    EXPECT_EQ(cut_full4("1", "1", "99999"), (Measured{32, 0, 3, 0, 3, 0, 3, 0, 0, 1}));
    EXPECT_EQ(cut_full4("1", "1", "1e39"), (Measured{40, 0, 3, 0, 3, 0, 3, 1, 1, 1}));
    EXPECT_EQ(cut_full4("1", "1", "1"), (Measured{32, 0, 3, 0, 3, 0, 3, 0, 0, 0}));
    EXPECT_EQ(cut_full4("2", "2", "2"), (Measured{44, 0, 3, 0, 3, 0, 3, 1, 1, 1}));
    EXPECT_EQ(cut_full4("-1", "-1", "99999"), (Measured{56, 0, 3, 0, 3, 0, 3, 1, 1, 1}));
    EXPECT_EQ(cut_full4("0", "99999", "99999"), (Measured{32, 0, 1, 0, 3, 0, 3, 0, 1, 1}));
    EXPECT_EQ(cut_full4("0", "0", "99999"), (Measured{48, 0, 3, 0, 3, 0, 3, 1, 1, 1}));
    EXPECT_EQ(cut_full4("99999", "99999", "99999"), (Measured{64, 0, 3, 0, 3, 0, 3, 1, 1, 1}));
}

TEST(Cut, ExtendedPrecisionDecidesVoxelsOnThePlane) {
    // Exact sum 1 for both; the 64-bit-significand roundings give 1 + 2^-63 and 1 - 2^-63.
    Body b = body_of_edge(8);
    fill_all(b.rec);
    Analyse_teleso(b.rec);
    const Center c = Get_center(b.rec);
    ASSERT_EQ(std::tie(c.x, c.y, c.z), std::make_tuple(3, 3, 3));
    Cut_teleso(b.rec, c, 2.0f, 3.0f, 6.0f);
    EXPECT_EQ(Get_voxel(b.rec, 4, 5, 2), 0);
    Body d = body_of_edge(8);
    fill_all(d.rec);
    Cut_teleso(d.rec, c, 3.0f, 1.0f, 3.0f);
    EXPECT_EQ(Get_voxel(d.rec, 1, 5, 2), 1);
    // In double precision the decisions would be the opposite ones.
    EXPECT_FALSE((1.0 / 2.0 + 2.0 / 3.0) + -1.0 / 6.0 > 1.0);
    EXPECT_TRUE((-2.0 / 3.0 + 2.0 / 1.0) + -1.0 / 3.0 > 1.0);
    EXPECT_TRUE(tarvo::geometry::voxel_beyond(1, 2, -1, 2.0f, 3.0f, 6.0f));
    EXPECT_FALSE(tarvo::geometry::voxel_beyond(-2, 2, -1, 3.0f, 1.0f, 3.0f));
}

TEST(Cut, CentreVoxelAndEmptyParticlesAreNeverCut) {
    for (const char* len : {"1", "0", "-0", "1e-30", "-1e39"}) {
        Body b = body_of_edge(5);
        fill_all(b.rec);
        Cut_teleso(b.rec, Center{2, 2, 2}, Cut_length(len), Cut_length(len), Cut_length(len));
        EXPECT_EQ(Get_voxel(b.rec, 2, 2, 2), 1) << len;
    }
    Body empty = body_of_edge(6);
    Cut_teleso(empty.rec, Center{2, 2, 2}, 1.0f, 1.0f, 1.0f);
    for (std::int32_t i = 0; i < empty.rec.size; ++i) EXPECT_EQ(empty.rec.data[i], 0);
    Body zero = body_of_edge(0);
    Cut_teleso(zero.rec, Center{0, 0, 0}, 1.0f, 1.0f, 1.0f);
    EXPECT_EQ(zero.rec.data[0], 0);
}
