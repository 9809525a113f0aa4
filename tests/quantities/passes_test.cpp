// The passes behind the shape figures over the box's packed rows (separable gradients a layer at a
// time, row fills, popcounts, the Euler number's counts of lattice elements) against their
// cell-by-cell forms: the same numbers, bit for bit, on random particles of every density, grains
// with pores, boxes one voxel thin, rows of several words, and empty and full layers and rows; the
// surface area in voxel units and in those of voxel sizes.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "quantities/grid.h"
#include "support.h"

namespace {

using namespace test_support;
using tarvo::quantities::BitRows;
using tarvo::quantities::BoxGrid;

void put(TelesoRecord& rec, int x, int y, int z, bool on) {
    const std::int64_t i = tarvo::voxel_index(rec.dim, x, y, z);
    const auto bit = static_cast<std::uint8_t>(1u << (i & 7));
    rec.data[i >> 3] = static_cast<std::uint8_t>(on ? rec.data[i >> 3] | bit : rec.data[i >> 3] & ~bit);
}

// Balls of random centre and radius, some set and some cleared (pores, often enclosed), with
// voxels flipped at random on top.
void fill_grain(TelesoRecord& rec, std::mt19937_64& rng, double noise) {
    const int n = rec.dim;
    std::uniform_real_distribution<double> u(0, 1);
    for (int ball = 0; ball < 12; ++ball) {
        const double cx = u(rng) * n, cy = u(rng) * n, cz = u(rng) * n, r = 1 + u(rng) * n / 3.0;
        const bool set = ball < 6;
        for (int z = 0; z < n; ++z)
            for (int y = 0; y < n; ++y)
                for (int x = 0; x < n; ++x)
                    if ((x - cx) * (x - cx) + (y - cy) * (y - cy) + (z - cz) * (z - cz) <= r * r)
                        put(rec, x, y, z, set);
    }
    for (int z = 0; z < n; ++z)
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x)
                if (u(rng) < noise) put(rec, x, y, z, u(rng) < 0.5);
}

bool bits_equal(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void expect_same_passes(TelesoRecord& rec, const std::string& what) {
    tarvo::geometry::analyse(rec, 1);
    if (rec.voxels == 0) return;
    for (const std::int32_t margin : {2, 3}) {
        const BoxGrid g = tarvo::quantities::box_grid(rec, margin);
        const BitRows rows = tarvo::quantities::bit_rows(rec, margin);
        const double fast = tarvo::quantities::surface_area(rows), slow = tarvo::quantities::reference::surface_area(g);
        EXPECT_TRUE(bits_equal(fast, slow)) << what << ": area " << fast << " against " << slow;
        for (const std::array<double, 3> spacing : {std::array<double, 3>{0.5, 1.5, 2}, {0.1, 0.3, 0.7}, {3, 1, 1e-3}}) {
            const double fast_scaled = tarvo::quantities::surface_area(rows, spacing);
            const double slow_scaled = tarvo::quantities::reference::surface_area(g, spacing);
            EXPECT_TRUE(bits_equal(fast_scaled, slow_scaled))
                << what << ": area in units of " << spacing[0] << ", " << spacing[1] << ", " << spacing[2] << ": "
                << fast_scaled << " against " << slow_scaled;
        }
        EXPECT_EQ(tarvo::quantities::enclosed_cells(rows), tarvo::quantities::reference::enclosed_cells(g)) << what;
        EXPECT_EQ(tarvo::quantities::euler_number(rows), tarvo::quantities::reference::euler_number(g)) << what;
        const auto m = tarvo::quantities::moments_of(rows), r = tarvo::quantities::reference::moments_of(g);
        EXPECT_EQ(m.n, r.n) << what;
        for (int a = 0; a < 3; ++a) {
            EXPECT_TRUE(m.s[a] == r.s[a]) << what << ": sum " << a;
            for (int b = a; b < 3; ++b) EXPECT_TRUE(m.ss[a][b] == r.ss[a][b]) << what << ": product " << a << b;
        }
    }
}

TEST(ShapePasses, EqualTheCellByCellForms) {
    std::mt19937_64 rng(22);
    for (int round = 0; round < 40; ++round) {
        const int n = 1 + static_cast<int>(rng() % 40);
        tarvo::Body body = body_of_edge(n);
        if (round % 2)
            fill_grain(body.rec, rng, round % 4 == 1 ? 0.0 : 0.02);
        else
            fill_random(body.rec, rng, 0.05 + 0.9 * static_cast<double>(rng() % 100) / 100);
        expect_same_passes(body.rec, "round " + std::to_string(round) + " edge " + std::to_string(n));
    }
}

// Boxes of one voxel in some direction, and of rows shorter and longer than the eight cells the
// area pass skips at once.
TEST(ShapePasses, EqualOnThinBoxes) {
    std::mt19937_64 rng(7);
    for (const auto& [sx, sy, sz] : {std::array{1, 1, 1}, std::array{1, 9, 9}, std::array{9, 1, 9}, std::array{9, 9, 1},
                                     std::array{17, 2, 3}, std::array{3, 17, 2}, std::array{30, 30, 1}}) {
        tarvo::Body body = body_of_edge(32);
        for (int z = 0; z < sz; ++z)
            for (int y = 0; y < sy; ++y)
                for (int x = 0; x < sx; ++x)
                    if (rng() % 5) put(body.rec, 4 + x, 1 + y, z, true);
        expect_same_passes(body.rec, std::to_string(sx) + "x" + std::to_string(sy) + "x" + std::to_string(sz));
    }
}

// Rows of two and three words, mostly set with pores, tunnels and empty rows across the words'
// ends: the packed passes carry runs, shifts and fills from word to word.
TEST(ShapePasses, EqualOnRowsOfSeveralWords) {
    std::mt19937_64 rng(11);
    for (int round = 0; round < 12; ++round) {
        tarvo::Body body = body_of_edge(150);
        const int sx = 60 + static_cast<int>(rng() % 91), sy = 3 + static_cast<int>(rng() % 10), sz = 3 + static_cast<int>(rng() % 10);
        const double full = round % 3 == 0 ? 0.5 : round % 3 == 1 ? 0.85 : 0.98;
        for (int z = 0; z < sz; ++z)
            for (int y = 0; y < sy; ++y) {
                const bool empty_row = rng() % 7 == 0, tunnelled = rng() % 3 == 0;
                const int tunnel_from = static_cast<int>(rng() % sx), tunnel_to = tunnel_from + static_cast<int>(rng() % 80);
                for (int x = 0; x < sx; ++x) {
                    const bool tunnel = tunnelled && x >= tunnel_from && x < tunnel_to;
                    const bool on = !empty_row && !tunnel && static_cast<double>(rng() % 1000) < 1000 * full;
                    put(body.rec, 150 - sx + x, 1 + y, 1 + z, on);
                }
            }
        expect_same_passes(body.rec, "rows of " + std::to_string(sx));
    }
}

// Narrow boxes of more rows than the column sums of one-word rows hold before they are taken out
// (65,536): the sums must carry over.
TEST(ShapePasses, EqualOnNarrowBoxesOfManyRows) {
    std::mt19937_64 rng(13);
    tarvo::Body body = body_of_edge(300);
    for (int z = 0; z < 250; ++z)
        for (int y = 0; y < 300; ++y)
            for (int x = 0; x < 3; ++x)
                if (rng() % 3) put(body.rec, 100 + x, y, z, true);
    expect_same_passes(body.rec, "3 x 300 x 250");
}

// Layers and rows left empty between set ones, and full ones: the passes skip the rows far from set
// cells, and must still see every cell near them.
TEST(ShapePasses, EqualAcrossEmptyAndFullLayersAndRows) {
    std::mt19937_64 rng(5);
    for (int round = 0; round < 20; ++round) {
        const int n = 6 + static_cast<int>(rng() % 30);
        tarvo::Body body = body_of_edge(n);
        for (int z = 0; z < n; ++z) {
            const int layer = static_cast<int>(rng() % 4);  // empty, sparse rows, full rows, full
            if (layer == 0) continue;
            for (int y = 0; y < n; ++y) {
                if (layer == 1 && rng() % 3) continue;
                const bool full = layer == 3 || rng() % 2;
                for (int x = 0; x < n; ++x) put(body.rec, x, y, z, full || rng() % 3 == 0);
            }
        }
        expect_same_passes(body.rec, "round " + std::to_string(round) + " edge " + std::to_string(n));
    }
}

// The row fill must reach every empty cell of the border, even where set cells touch the box's faces.
TEST(ShapePasses, EnclosedCountsWithSetCellsOnTheBorder) {
    std::mt19937_64 rng(3);
    for (int round = 0; round < 30; ++round) {
        const int n = 2 + static_cast<int>(rng() % 20);
        tarvo::Body body = body_of_edge(n);
        fill_random(body.rec, rng, 0.3 + 0.5 * static_cast<double>(rng() % 100) / 100);
        tarvo::geometry::analyse(body.rec, 1);
        if (body.rec.voxels == 0) continue;
        const BoxGrid g = tarvo::quantities::box_grid(body.rec, 0);
        EXPECT_EQ(tarvo::quantities::enclosed_cells(tarvo::quantities::bit_rows(body.rec, 0)), tarvo::quantities::reference::enclosed_cells(g)) << round;
    }
}

}  // namespace
