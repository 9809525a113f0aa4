// The figures of a particle's shape (definitions in docs/quantities.md).
#include <Eigen/Eigenvalues>

#include <cmath>
#include <limits>
#include <numbers>

#include "geometry/passes.h"
#include "quantities/grid.h"
#include "tarvo/quantities.h"

namespace tarvo {
namespace {

using quantities::BoxGrid;
using quantities::Moments;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Two voxels of margin: the gradient of a margin voxel next to the particle reads one further.
constexpr std::int32_t kMargin = 2;

// 8 times the Euler characteristic each lattice point contributes: its vertex, half of each of
// its 6 edges, a quarter of each of its 12 faces, an eighth of each of its 8 cubes, for the 256
// ways the 8 cubes around it can be set (bit dx + 2 dy + 4 dz).
std::array<int, 256> corner_table() {
    std::array<int, 256> t{};
    for (int c = 0; c < 256; ++c) {
        auto bit = [c](int dx, int dy, int dz) { return (c >> (dx + 2 * dy + 4 * dz)) & 1; };
        int edges = 0, faces = 0, cubes = 0;
        for (int axis = 0; axis < 3; ++axis)
            for (int side = 0; side < 2; ++side) {
                int any = 0;  // the edge along `axis` on `side` touches the 4 cubes on that side
                for (int p = 0; p < 2; ++p)
                    for (int q = 0; q < 2; ++q) {
                        int d[3];
                        d[axis] = side, d[(axis + 1) % 3] = p, d[(axis + 2) % 3] = q;
                        any |= bit(d[0], d[1], d[2]);
                    }
                edges += any;
            }
        for (int axis = 0; axis < 3; ++axis)
            for (int p = 0; p < 2; ++p)
                for (int q = 0; q < 2; ++q) {
                    int any = 0;  // the face across `axis` in quadrant (p, q) touches the cubes either side
                    for (int side = 0; side < 2; ++side) {
                        int d[3];
                        d[axis] = side, d[(axis + 1) % 3] = p, d[(axis + 2) % 3] = q;
                        any |= bit(d[0], d[1], d[2]);
                    }
                    faces += any;
                }
        for (int k = 0; k < 8; ++k) cubes += (c >> k) & 1;
        t[static_cast<std::size_t>(c)] = 8 * (c != 0) - 4 * edges + 2 * faces - cubes;
    }
    return t;
}

std::int64_t euler_number(const BoxGrid& g) {
    static const std::array<int, 256> table = corner_table();
    std::int64_t sum = 0;
    const std::int64_t sx = g.stride(0), sy = g.stride(1), sz = g.stride(2);
    for (std::int64_t z = 1; z < g.size[2]; ++z)
        for (std::int64_t y = 1; y < g.size[1]; ++y)
            for (std::int64_t x = 1; x < g.size[0]; ++x) {
                const std::uint8_t* c = &g.cells[static_cast<std::size_t>(g.index(x - 1, y - 1, z - 1))];
                const int config = c[0] | c[sx] << 1 | c[sy] << 2 | c[sx + sy] << 3 | c[sz] << 4 | c[sz + sx] << 5 |
                                   c[sz + sy] << 6 | c[sz + sx + sy] << 7;
                sum += table[static_cast<std::size_t>(config)];
            }
    return sum / 8;
}

void principal_axes(const Moments& m, Properties& p) {
    Eigen::Matrix3d cov;
    const __int128 n = m.n;
    for (int a = 0; a < 3; ++a)
        for (int b = a; b < 3; ++b) {
            // (n * sum(ab) - sum(a) sum(b)) / n^2, the numerator exact
            const double c = static_cast<double>(n * m.ss[a][b] - m.s[a] * m.s[b]) / static_cast<double>(n) /
                             static_cast<double>(n);
            cov(a, b) = cov(b, a) = c;
        }
    const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> solver(cov);
    for (int k = 0; k < 3; ++k) {
        const int e = 2 - k;  // ascending in the solver
        p.moments[k] = solver.eigenvalues()(e);
        Eigen::Vector3d axis = solver.eigenvectors().col(e);
        int big = 0;
        for (int a = 1; a < 3; ++a)
            if (std::fabs(axis(a)) > std::fabs(axis(big))) big = a;
        if (axis(big) < 0) axis = -axis;
        for (int a = 0; a < 3; ++a) p.axes[k][a] = axis(a);
    }
}

Properties none_of_empty() {
    Properties p;
    p.surface_area = 0;
    p.equivalent_diameter = 0;
    p.sphericity = kNaN;
    p.centroid = {kNaN, kNaN, kNaN};
    p.moments = {kNaN, kNaN, kNaN};
    for (auto& a : p.axes) a = {kNaN, kNaN, kNaN};
    p.enclosed_porosity = kNaN;
    return p;
}

}  // namespace

Properties properties(const TelesoRecord& body) {
    TelesoRecord rec = body;  // the fields measured here; the bitmap is only read
    geometry::analyse(rec, 1);
    if (rec.voxels == 0) return none_of_empty();
    const BoxGrid g = quantities::box_grid(rec, kMargin);
    Properties p;
    const Moments m = quantities::moments_of(g);
    p.volume = m.n;
    for (int a = 0; a < 3; ++a) p.centroid[a] = static_cast<double>(m.s[a]) / static_cast<double>(m.n);
    principal_axes(m, p);
    p.surface_area = quantities::surface_area(g);
    const double v = static_cast<double>(p.volume);
    p.equivalent_diameter = std::cbrt(6 * v / std::numbers::pi);
    p.sphericity = std::numbers::pi * p.equivalent_diameter * p.equivalent_diameter / p.surface_area;
    p.enclosed_voxels = quantities::enclosed_cells(g);
    p.enclosed_porosity = static_cast<double>(p.enclosed_voxels) / (v + static_cast<double>(p.enclosed_voxels));
    p.euler_number = euler_number(g);
    return p;
}

}  // namespace tarvo
