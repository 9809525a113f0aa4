// The row-by-row solids against their definitions tested voxel by voxel.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "tarvo/shapes.h"
#include "support.h"

namespace {

using tarvo::shapes::Axis;
using tarvo::shapes::Vec3;
using test_support::body_of_edge;

using Inside = std::function<bool(double dx, double dy, double dz)>;

// Every voxel against the predicate on its offset from the centre; returns the count inside.
std::int64_t expect_matches(const TelesoRecord& rec, Vec3 c, const Inside& inside) {
    std::int64_t count = 0;
    for (std::int32_t z = 0; z < rec.dim; ++z)
        for (std::int32_t y = 0; y < rec.dim; ++y)
            for (std::int32_t x = 0; x < rec.dim; ++x) {
                const bool want = inside(x - c.x, y - c.y, z - c.z);
                EXPECT_EQ(Get_voxel(rec, x, y, z), want ? 1 : 0) << "voxel " << x << "," << y << "," << z;
                count += want;
                if (::testing::Test::HasFailure()) return count;
            }
    return count;
}

// Rotates an offset so that the solid's axis becomes z: (along, u, w).
Vec3 to_axis_frame(double dx, double dy, double dz, Axis axis) {
    if (axis == Axis::kX) return {dy, dz, dx};
    if (axis == Axis::kY) return {dx, dz, dy};
    return {dx, dy, dz};
}

const Vec3 kCentres[] = {{10.5, 9, 11.25}, {3, 17, 2.5}, {0, 0, 0}};
constexpr std::int32_t kEdge = 21;

TEST(Solids, EllipsoidAndBoxMatchTheirDefinitions) {
    for (const Vec3& c : kCentres) {
        const Vec3 semi{7.5, 4.25, 9};
        Body e = body_of_edge(kEdge);
        tarvo::shapes::make_ellipsoid(e.rec, c, semi);
        const auto in_e = expect_matches(e.rec, c, [&](double dx, double dy, double dz) {
            return (dx / semi.x) * (dx / semi.x) + (dy / semi.y) * (dy / semi.y) + (dz / semi.z) * (dz / semi.z) <= 1;
        });
        EXPECT_GT(in_e, 0);

        const Vec3 half{3.5, 6, 2};
        Body b = body_of_edge(kEdge);
        tarvo::shapes::make_box(b.rec, c, half);
        const auto in_b = expect_matches(b.rec, c, [&](double dx, double dy, double dz) {
            return std::fabs(dx) <= half.x && std::fabs(dy) <= half.y && std::fabs(dz) <= half.z;
        });
        EXPECT_GT(in_b, 0);
    }
}

TEST(Solids, CylinderMatchesItsDefinitionOnEveryAxis) {
    for (Axis axis : {Axis::kX, Axis::kY, Axis::kZ})
        for (const Vec3& c : kCentres) {
            Body b = body_of_edge(kEdge);
            tarvo::shapes::make_cylinder(b.rec, c, 5.5, 7, axis);
            const auto in = expect_matches(b.rec, c, [&](double dx, double dy, double dz) {
                const Vec3 f = to_axis_frame(dx, dy, dz, axis);
                return f.x * f.x + f.y * f.y <= 5.5 * 5.5 && std::fabs(f.z) <= 7;
            });
            EXPECT_GT(in, 0);
        }
}

TEST(Solids, TorusMatchesItsDefinitionOnEveryAxisWithItsHole) {
    for (Axis axis : {Axis::kX, Axis::kY, Axis::kZ})
        for (const Vec3& c : kCentres) {
            Body b = body_of_edge(kEdge);
            const double major = 6.5, minor = 2.75;
            tarvo::shapes::make_torus(b.rec, c, major, minor, axis);
            const auto in = expect_matches(b.rec, c, [&](double dx, double dy, double dz) {
                const Vec3 f = to_axis_frame(dx, dy, dz, axis);
                const double ring = std::sqrt(f.x * f.x + f.y * f.y) - major;
                return ring * ring + f.z * f.z <= minor * minor;
            });
            EXPECT_GT(in, 0);
        }
    // A fat ring whose tube reaches the axis has no hole there.
    Body fat = body_of_edge(kEdge);
    tarvo::shapes::make_torus(fat.rec, {10, 10, 10}, 3, 5, Axis::kZ);
    EXPECT_EQ(Get_voxel(fat.rec, 10, 10, 10), 1);
    Body thin = body_of_edge(kEdge);
    tarvo::shapes::make_torus(thin.rec, {10, 10, 10}, 6, 2, Axis::kZ);
    EXPECT_EQ(Get_voxel(thin.rec, 10, 10, 10), 0);
    EXPECT_EQ(Get_voxel(thin.rec, 16, 10, 10), 1);
}

TEST(Solids, SolidsOutsideTheGridOrDegenerateSetNothing) {
    Body b = body_of_edge(8);
    tarvo::shapes::make_box(b.rec, {-20, 3, 3}, {4, 4, 4});
    tarvo::shapes::make_ellipsoid(b.rec, {3, 3, 3}, {0, 2, 2});
    tarvo::shapes::make_cylinder(b.rec, {3, 3, 40}, 2, 3, Axis::kZ);
    Body empty = body_of_edge(8);
    EXPECT_TRUE(test_support::same_voxels(b.rec, empty.rec));
}

}  // namespace
