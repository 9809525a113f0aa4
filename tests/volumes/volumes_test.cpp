// The volumes room: components against a flood fill, the label census's bound, voxel sizes from
// NRRD fields and through the sidecar.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <random>
#include <vector>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "volumes/components.h"
#include "volumes/label_volume.h"
#include "volumes/labels.h"
#include "volumes/voxel_size.h"

namespace tarvo::volumes {
namespace {

// Components by breadth-first flood fill from each unlabelled voxel in scan order: the reference.
std::vector<std::uint32_t> flood(const std::vector<std::uint32_t>& mask, int nx, int ny, int nz, int connectivity) {
    std::vector<std::uint32_t> label(mask.size(), 0);
    std::uint32_t next = 0;
    std::vector<int> stack;
    for (int start = 0; start < static_cast<int>(mask.size()); ++start) {
        if (!mask[start] || label[start]) continue;
        label[start] = ++next;
        stack.push_back(start);
        while (!stack.empty()) {
            const int i = stack.back();
            stack.pop_back();
            const int x = i % nx, y = i / nx % ny, z = i / (nx * ny);
            for (int dz = -1; dz <= 1; ++dz)
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx) {
                        const int order = std::abs(dx) + std::abs(dy) + std::abs(dz);
                        if (order == 0 || (connectivity == 6 && order > 1)) continue;
                        const int X = x + dx, Y = y + dy, Z = z + dz;
                        if (X < 0 || Y < 0 || Z < 0 || X >= nx || Y >= ny || Z >= nz) continue;
                        const int j = (Z * ny + Y) * nx + X;
                        if (mask[j] && !label[j]) label[j] = next, stack.push_back(j);
                    }
        }
    }
    return label;
}

TEST(Components, AreTheFloodFillsInItsNumbering) {
    std::mt19937 rng(7);
    for (int round = 0; round < 40; ++round) {
        const int nx = 3 + round % 9, ny = 2 + round % 7, nz = 1 + round % 6, connectivity = round % 2 ? 26 : 6;
        std::vector<std::uint32_t> mask(static_cast<std::size_t>(nx * ny * nz));
        const double fill = 0.2 + 0.5 * (round % 5) / 4.0;
        for (auto& v : mask) v = std::uniform_real_distribution<>(0, 1)(rng) < fill ? 1 + rng() % 3 : 0;
        const std::vector<std::uint32_t> expected = flood(mask, nx, ny, nz, connectivity);
        // Two runs of the labeller over the same rows: the first joins, the second reads the labels.
        RunLabeller first(nx, ny, connectivity), second(nx, ny, connectivity);
        std::vector<std::uint32_t> ids(static_cast<std::size_t>(nx));
        for (int r = 0; r < ny * nz; ++r) ASSERT_TRUE(first.label_row(&mask[r * nx], r % ny, r / ny, ids.data()));
        const std::vector<std::uint32_t> labels = first.labels();
        for (int r = 0; r < ny * nz; ++r) {
            ASSERT_TRUE(second.label_row(&mask[r * nx], r % ny, r / ny, ids.data()));
            for (int x = 0; x < nx; ++x)
                ASSERT_EQ(labels[ids[x]], expected[r * nx + x]) << "round " << round << " voxel " << r * nx + x;
        }
    }
}

TEST(Census, CountsBoxesAndStopsAtItsBound) {
    Census c;
    const std::uint32_t row[] = {0, 5, 5, 0, 9, 5};
    ASSERT_TRUE(c.add_row(row, 6, 2, 3));
    ASSERT_TRUE(c.add_row(row, 6, 4, 1));
    const std::vector<LabelBox> b = c.boxes();
    ASSERT_EQ(b.size(), 2u);
    EXPECT_EQ(b[0].label, 5u);
    EXPECT_EQ(b[0].voxels, 6);
    EXPECT_EQ(b[0].min, (std::array<std::int64_t, 3>{1, 2, 1}));
    EXPECT_EQ(b[0].max, (std::array<std::int64_t, 3>{5, 4, 3}));
    std::vector<std::uint32_t> many(kMaxLabels + 1);
    for (std::size_t i = 0; i < many.size(); ++i) many[i] = static_cast<std::uint32_t>(i + 100);
    Census full;
    EXPECT_FALSE(full.add_row(many.data(), many.size(), 0, 0));
    EXPECT_EQ(full.size(), kMaxLabels);
}

// Any run of layers read on its own (as split's two threads read halves) gives the rows of the
// whole: after an attached NRRD header with a byte skip (its first data bytes read with the
// header and put back, the rest sought past) and in a .raw.
TEST(LabelRows, LayersFromAnyStartAreThoseOfTheWhole) {
    char dir_template[] = "/tmp/tarvo-volumes-XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    const std::filesystem::path dir(dir_template);
    const std::int64_t nx = 40, ny = 30, nz = 20;
    std::mt19937 rng(3);
    std::vector<std::uint32_t> labels(static_cast<std::size_t>(nx * ny * nz));
    for (auto& v : labels) v = rng() % 70000;
    std::string bytes4;
    for (std::uint32_t v : labels)
        for (int k = 0; k < 4; ++k) bytes4 += static_cast<char>(v >> (8 * k) & 0xFF);
    std::ofstream(dir / "l.nrrd", std::ios::binary)
        << "NRRD0004\ntype: uint32\ndimension: 3\nsizes: 40 30 20\nendian: little\nencoding: raw\nbyte skip: 3\n\n"
        << "abc" << bytes4;
    std::ofstream(dir / "l.raw", std::ios::binary) << bytes4;
    const std::string size = "40,30,20", type = "uint32";
    for (const std::string name : {"l.nrrd", "l.raw"}) {
        const std::string path = (dir / name).string();
        const LabelLayout layout =
            name == "l.raw" ? layout_of(path, &size, &type) : layout_of(path, nullptr, nullptr);
        ASSERT_TRUE(parts(layout));
        for (const std::int64_t first : {0, 1, 7, 19}) {
            LabelRows rows(path, layout, first, nz - first);
            std::vector<std::uint32_t> row(static_cast<std::size_t>(nx));
            for (std::int64_t r = first * ny; r < nz * ny; ++r) {
                rows.next(row.data());
                ASSERT_TRUE(std::equal(row.begin(), row.end(), labels.begin() + r * nx)) << name << " from " << first << " row " << r;
            }
            EXPECT_NO_THROW(rows.finish());
        }
    }
    std::filesystem::remove_all(dir);
}

// Rows of every length around the 4-label comparisons and the 64-label words, labels from few
// values so that runs of all lengths come: the runs must tile the row, each of one label and
// differing from the next, and the census's sums must be the voxels' coordinates summed.
TEST(Census, RunsAndSumsAgainstTheVoxels) {
    std::mt19937 rng(7);
    for (std::size_t n = 1; n <= 200; ++n) {
        for (int values : {2, 5}) {
            std::vector<std::uint32_t> row(n);
            for (auto& v : row) v = rng() % values == 0 ? rng() % values : 0;
            std::size_t next = 0;
            std::uint32_t before = 0;
            for_each_run(row.data(), n, [&](std::size_t begin, std::size_t end, std::uint32_t label) {
                ASSERT_EQ(begin, next) << n;
                ASSERT_LT(begin, end);
                if (begin > 0) {
                    ASSERT_NE(label, before) << n << " at " << begin;
                }
                for (std::size_t x = begin; x < end; ++x) ASSERT_EQ(row[x], label) << n << " at " << x;
                next = end;
                before = label;
            });
            ASSERT_EQ(next, n);
            Census c;
            ASSERT_TRUE(c.add_row(row.data(), n, 3, 11));
            ASSERT_TRUE(c.add_row(row.data(), n, 5, 2));
            for (const LabelBox& b : c.boxes()) {
                std::uint64_t sx = 0, count = 0;
                for (std::size_t x = 0; x < n; ++x)
                    if (row[x] == b.label) sx += x, ++count;
                EXPECT_EQ(b.voxels, static_cast<std::int64_t>(2 * count));
                EXPECT_EQ(b.sums, (std::array<std::uint64_t, 3>{2 * sx, 8 * count, 13 * count})) << n;
            }
        }
    }
}

// Parts of a volume counted apart and merged: the census of the whole, and the bound of both.
TEST(Census, MergedPartsAreTheWhole) {
    const std::uint32_t a[] = {4, 4, 0, 9}, b[] = {9, 0, 7, 7};
    Census whole, first, second;
    ASSERT_TRUE(whole.add_row(a, 4, 1, 0));
    ASSERT_TRUE(whole.add_row(b, 4, 0, 1));
    ASSERT_TRUE(first.add_row(a, 4, 1, 0));
    ASSERT_TRUE(second.add_row(b, 4, 0, 1));
    ASSERT_TRUE(first.merge(second));
    const auto x = whole.boxes(), y = first.boxes();
    ASSERT_EQ(x.size(), 3u);
    ASSERT_EQ(y.size(), 3u);
    for (std::size_t k = 0; k < x.size(); ++k) {
        EXPECT_EQ(x[k].label, y[k].label);
        EXPECT_EQ(x[k].voxels, y[k].voxels);
        EXPECT_EQ(x[k].min, y[k].min);
        EXPECT_EQ(x[k].max, y[k].max);
        EXPECT_EQ(x[k].sums, y[k].sums);
    }
    std::vector<std::uint32_t> low(kMaxLabels), high(1, 5);
    for (std::size_t i = 0; i < low.size(); ++i) low[i] = static_cast<std::uint32_t>(2 * i + 10);
    Census full, one;
    ASSERT_TRUE(full.add_row(low.data(), low.size(), 0, 0));
    ASSERT_TRUE(one.add_row(high.data(), 1, 0, 1));
    EXPECT_FALSE(full.merge(one));
}

TEST(VoxelSize, FromNrrdFieldsAndRefusals) {
    VoxelSize v;
    const std::string dirs = "(0.003,0.004,0) (0,0.5,0) (0,0,2)", units = "\"mm\" \"mm\" \"mm\"";
    ASSERT_EQ(nrrd_spacing(nullptr, &dirs, &units, v), "");
    EXPECT_TRUE(v.known);
    EXPECT_DOUBLE_EQ(v.size[0], 0.005);
    EXPECT_EQ(v.size[1], 0.5);
    EXPECT_EQ(v.unit, "mm");
    const std::string nans = "nan nan nan";
    ASSERT_EQ(nrrd_spacing(&nans, nullptr, nullptr, v), "");
    EXPECT_FALSE(v.known);
    const std::pair<std::string, std::string> bad[] = {{"1e400 1 1", "not positive"},   {"1 -2 1", "not positive"},
                                                       {"1 nan 1", "leave an axis"},    {"1 1", "not three numbers"},
                                                       {"1 1 1 1", "not three numbers"}};
    for (const auto& [spacings, why] : bad) EXPECT_NE(nrrd_spacing(&spacings, nullptr, nullptr, v).find(why), std::string::npos) << spacings;
    const std::string mixed = "\"mm\" \"um\" \"mm\"", one = "1 1 1", zero = "(0,0,0) (0,1,0) (0,0,1)";
    EXPECT_NE(nrrd_spacing(&one, nullptr, &mixed, v).find("differ"), std::string::npos);
    EXPECT_NE(nrrd_spacing(nullptr, &zero, nullptr, v).find("zero vector"), std::string::npos);
}

TEST(VoxelSize, SidecarTextReadsBackExactly) {
    std::mt19937_64 rng(3);
    for (int i = 0; i < 200; ++i) {
        VoxelSize v;
        v.known = true;
        for (double& s : v.size) s = std::ldexp(std::uniform_real_distribution<>(1, 2)(rng), static_cast<int>(rng() % 40) - 20);
        v.unit = i % 2 ? "um" : "";
        VoxelSize back;
        ASSERT_EQ(parse_sidecar(sidecar_text(v, "a \"quoted\" source\n"), back), "");
        EXPECT_EQ(back, v);
    }
    VoxelSize back;
    EXPECT_NE(parse_sidecar("{\"voxel_size\": [1, 0, 1]}", back), "");
    EXPECT_NE(parse_sidecar("{\"voxel_size\": [1, 1]}", back), "");
    EXPECT_NE(parse_sidecar("[]", back), "");
}

}  // namespace
}  // namespace tarvo::volumes
