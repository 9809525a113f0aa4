// Geometric solids filled row by row: each row (y, z) meets a convex solid in one x interval and
// a ring in at most two, so a row costs a few square roots and word-wise bit fills.
#include <algorithm>
#include <cmath>
#include <vector>

#include "tarvo/shapes.h"

namespace tarvo::shapes {
namespace {

struct Interval {
    double lo, hi;  // offsets from the centre's x, inclusive
};

// Up to two x intervals of one row.
struct RowSpans {
    Interval part[2];
    int count = 0;
    void add(double lo, double hi) {
        if (lo <= hi) part[count++] = {lo, hi};
    }
};

// Calls spans(dy, dz, out) for every row with the row's offsets from the centre and fills the
// voxels whose x offset lies in the returned intervals: fill(y, z, x0, x1), x0..x1 inclusive and
// inside the grid (by default all of them are set).
template <typename SpansOfRow, typename FillRow>
void fill_rows(TelesoRecord& rec, Vec3 centre, SpansOfRow spans, FillRow fill) {
    const std::int32_t n = rec.dim;
    for (std::int32_t z = 0; z < n; ++z)
        for (std::int32_t y = 0; y < n; ++y) {
            RowSpans row;
            spans(y - centre.y, z - centre.z, row);
            for (int k = 0; k < row.count; ++k) {
                const double lo = std::ceil(centre.x + row.part[k].lo);
                const double hi = std::floor(centre.x + row.part[k].hi);
                if (lo > hi || hi < 0 || lo > n - 1) continue;
                fill(y, z, static_cast<std::int32_t>(std::max(lo, 0.0)), static_cast<std::int32_t>(std::min(hi, n - 1.0)));
            }
        }
}

template <typename SpansOfRow>
void fill_rows(TelesoRecord& rec, Vec3 centre, SpansOfRow spans) {
    fill_rows(rec, centre, spans, [&rec](std::int32_t y, std::int32_t z, std::int32_t x0, std::int32_t x1) {
        set_row_range(rec, y, z, x0, x1);
    });
}

double half_chord(double r2) { return r2 < 0 ? -1 : std::sqrt(r2); }

}  // namespace

void make_ellipsoid(TelesoRecord& rec, Vec3 centre, Vec3 semi) {
    if (semi.x <= 0 || semi.y <= 0 || semi.z <= 0) return;
    fill_rows(rec, centre, [&](double dy, double dz, RowSpans& row) {
        const double q = 1 - (dy / semi.y) * (dy / semi.y) - (dz / semi.z) * (dz / semi.z);
        if (q < 0) return;
        const double h = semi.x * std::sqrt(q);
        row.add(-h, h);
    });
}

void make_box(TelesoRecord& rec, Vec3 centre, Vec3 half) {
    fill_rows(rec, centre, [&](double dy, double dz, RowSpans& row) {
        if (std::fabs(dy) <= half.y && std::fabs(dz) <= half.z) row.add(-half.x, half.x);
    });
}

// For a round solid around an axis, a row either runs along the axis (axis x: its distance from
// the axis is fixed) or across it (its position along the axis is fixed, and so is its offset
// `w` on the second radial direction).
void make_cylinder(TelesoRecord& rec, Vec3 centre, double radius, double half_length, Axis axis) {
    fill_rows(rec, centre, [&](double dy, double dz, RowSpans& row) {
        if (axis == Axis::kX) {
            if (dy * dy + dz * dz <= radius * radius) row.add(-half_length, half_length);
            return;
        }
        const double along = axis == Axis::kY ? dy : dz;
        const double w = axis == Axis::kY ? dz : dy;
        if (std::fabs(along) > half_length) return;
        const double h = half_chord(radius * radius - w * w);
        row.add(-h, h);
    });
}

void make_torus(TelesoRecord& rec, Vec3 centre, double major, double minor, Axis axis) {
    fill_rows(rec, centre, [&](double dy, double dz, RowSpans& row) {
        if (axis == Axis::kX) {
            const double rho = std::sqrt(dy * dy + dz * dz) - major;
            const double h = half_chord(minor * minor - rho * rho);
            row.add(-h, h);
            return;
        }
        const double along = axis == Axis::kY ? dy : dz;
        const double w = axis == Axis::kY ? dz : dy;
        const double h = half_chord(minor * minor - along * along);
        if (h < 0) return;
        // Distance from the axis between major - h and major + h: |dx| between the two chords.
        const double outer = half_chord((major + h) * (major + h) - w * w);
        if (outer < 0) return;
        const double inner_r = std::max(major - h, 0.0);
        const double inner = half_chord(inner_r * inner_r - w * w);
        if (inner <= 0) {
            row.add(-outer, outer);
        } else {
            row.add(-outer, -inner);
            row.add(inner, outer);
        }
    });
}

// Each voxel of the ball draws once, in voxel order, so a seed gives the same particle everywhere.
void make_porous_ball(TelesoRecord& rec, Vec3 centre, double radius, double porosity, std::uint64_t seed) {
    SplitMix64 rng(seed);
    std::vector<std::uint8_t> row(static_cast<std::size_t>(std::max(rec.dim, 0)));
    fill_rows(
        rec, centre,
        [&](double dy, double dz, RowSpans& out) {
            const double h = half_chord(radius * radius - dy * dy - dz * dz);
            out.add(-h, h);
        },
        [&](std::int32_t y, std::int32_t z, std::int32_t x0, std::int32_t x1) {
            const std::int32_t k = x1 - x0 + 1;
            for (std::int32_t j = 0; j < k; ++j) row[static_cast<std::size_t>(j)] = rng.uniform() < porosity ? 0 : 1;
            tarvo::pack_voxels(rec, tarvo::voxel_index(rec.dim, x0, y, z), row.data(), k, 1);
        });
}

}  // namespace tarvo::shapes
