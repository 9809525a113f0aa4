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

using quantities::Moments;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Two voxels of margin: the gradient of a margin voxel next to the particle reads one further.
constexpr std::int32_t kMargin = 2;

void principal_axes(const Moments& m, const Spacing& spacing, Properties& p) {
    Eigen::Matrix3d cov;
    const __int128 n = m.n;
    for (int a = 0; a < 3; ++a)
        for (int b = a; b < 3; ++b) {
            // (n * sum(ab) - sum(a) sum(b)) / n^2, the numerator exact
            const double c = static_cast<double>(n * m.ss[a][b] - m.s[a] * m.s[b]) / static_cast<double>(n) /
                             static_cast<double>(n);
            cov(a, b) = cov(b, a) = c * spacing[a] * spacing[b];  // the positions scaled along each axis
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

Properties properties(const TelesoRecord& body, const Spacing& spacing) {
    TelesoRecord rec = body;  // the fields measured here; the bitmap is only read
    geometry::analyse(rec, 1);
    return properties_of_measured(rec, spacing);
}

Properties properties_of_measured(const TelesoRecord& rec, const Spacing& spacing) {
    if (rec.voxels == 0) return none_of_empty();
    const quantities::BitRows rows = quantities::bit_rows(rec, kMargin);
    Properties p;
    const Moments m = quantities::moments_of(rows);
    p.volume = m.n;
    p.scaled_volume = static_cast<double>(m.n) * (spacing[0] * spacing[1] * spacing[2]);
    for (int a = 0; a < 3; ++a) p.centroid[a] = static_cast<double>(m.s[a]) / static_cast<double>(m.n) * spacing[a];
    principal_axes(m, spacing, p);
    p.surface_area = quantities::surface_area(rows, spacing);
    const double v = p.scaled_volume;
    p.equivalent_diameter = std::cbrt(6 * v / std::numbers::pi);
    p.sphericity = std::numbers::pi * p.equivalent_diameter * p.equivalent_diameter / p.surface_area;
    p.enclosed_voxels = quantities::enclosed_cells(rows);
    p.enclosed_porosity = static_cast<double>(p.enclosed_voxels) / (static_cast<double>(p.volume) + static_cast<double>(p.enclosed_voxels));
    p.euler_number = quantities::euler_number(rows);
    return p;
}

}  // namespace tarvo
