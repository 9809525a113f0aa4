// The face of a plane section: sampled at unit spacing, classified, measured (definitions in
// docs/quantities.md).
#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <utility>

#include "tarvo/quantities.h"
#include "tarvo/shapes.h"

namespace tarvo {
namespace {

using Vec = std::array<double, 3>;

double dot(const Vec& a, const Vec& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
Vec cross(const Vec& a, const Vec& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
Vec scaled(const Vec& a, double s) { return {a[0] * s, a[1] * s, a[2] * s}; }
Vec unit(const Vec& a) { return scaled(a, 1.0 / std::sqrt(dot(a, a))); }

// u across the plane, away from the axis the normal is least along (the first of equals); v = n x u.
void plane_basis(const Vec& normal, Vec& u, Vec& v) {
    const Vec n = unit(normal);
    int least = 0;
    for (int k = 1; k < 3; ++k)
        if (std::fabs(n[k]) < std::fabs(n[least])) least = k;
    Vec e{};
    e[least] = 1;
    u = unit(cross(n, e));
    v = cross(n, u);
}

// The half width of an image about `origin` that covers the grid: the farthest corner, plus one.
std::int32_t half_width(const Vec& origin, std::int32_t dim) {
    double far = 0;
    for (int c = 0; c < 8; ++c) {
        Vec d{};
        for (int k = 0; k < 3; ++k) d[k] = ((c >> k) & 1 ? dim : -1) - origin[k];
        far = std::max(far, std::sqrt(dot(d, d)));
    }
    return static_cast<std::int32_t>(std::ceil(far)) + 1;
}

// The nearest voxel's value, or none outside the grid. Voxel k holds the points k - 0.5 up to
// k + 0.5; a point's coordinate plus a half, when it lies in 0..dim, is truncated to its voxel's
// (the floor of a number that is not negative, and no library call).
int sample(const TelesoRecord& rec, const Vec& q) {
    std::int32_t p[3];
    for (int k = 0; k < 3; ++k) {
        const double shifted = q[k] + 0.5;
        if (!(shifted >= 0 && shifted < rec.dim)) return -1;
        p[k] = static_cast<std::int32_t>(shifted);
    }
    return voxel_at(rec, voxel_index(rec.dim, p[0], p[1], p[2]));
}

constexpr std::uint8_t kEmpty = 3;  // not yet told pore from outside

// The pixels i of row j (offset b from the middle) whose points may lie in the grid, widened by
// two pixels against rounding; the image covers the grid's every corner, so most of a row lies
// off it. An empty span (first > last) when none may.
std::pair<std::int32_t, std::int32_t> grid_span(const Section& s, double b, std::int32_t dim) {
    const std::int32_t w = s.width, half = w / 2;
    double lo = -half, hi = half;  // the range of a = i - half
    for (int k = 0; k < 3; ++k) {
        const double c = s.origin[k] + b * s.v[k];
        const double from = -0.5 - c, to = dim - 0.5 - c;  // u_k a must lie in from..to
        if (std::fabs(s.u[k]) < 1e-9) {
            if (c < -2.5 || c > dim + 1.5) return {1, 0};
            continue;
        }
        const double x = from / s.u[k], y = to / s.u[k];
        lo = std::max(lo, std::min(x, y));
        hi = std::min(hi, std::max(x, y));
    }
    if (!(lo <= hi + 4)) return {1, 0};
    const double first = std::max(0.0, std::floor(lo) + half - 2), last = std::min(w - 1.0, std::ceil(hi) + half + 2);
    return {static_cast<std::int32_t>(first), static_cast<std::int32_t>(last)};
}

// The pixels of each row that were sampled (first > last: none); all others are off the grid.
using Spans = std::vector<std::pair<std::int32_t, std::int32_t>>;

// visit(x, y, i) for each sampled pixel, row by row, i its index in the image.
template <class Visit>
void each_sampled(const Section& s, const Spans& spans, Visit&& visit) {
    const std::int64_t w = s.width;
    for (std::int64_t y = 0; y < w; ++y) {
        const auto [first, last] = spans[static_cast<std::size_t>(y)];
        for (std::int64_t x = first; x <= last; ++x) visit(x, y, x + w * y);
    }
}

Spans sample_face(const TelesoRecord& rec, Section& s) {
    const std::int32_t w = s.width, half = w / 2;
    s.pixels.assign(static_cast<std::size_t>(w) * w, kOutsidePixel);
    Spans spans(static_cast<std::size_t>(w));
    for (std::int32_t j = 0; j < w; ++j) {
        const auto [first, last] = spans[static_cast<std::size_t>(j)] = grid_span(s, j - half, rec.dim);
        for (std::int32_t i = first; i <= last; ++i) {
            const double a = i - half, b = j - half;
            Vec q;
            for (int k = 0; k < 3; ++k) q[k] = s.origin[k] + a * s.u[k] + b * s.v[k];
            const int value = sample(rec, q);
            s.pixels[static_cast<std::size_t>(i) + static_cast<std::size_t>(w) * j] =
                value < 0 ? kOutsidePixel : value ? kSolidPixel : kEmpty;
        }
    }
    return spans;
}

// Empty pixels joined to the image's edge by a 4-connected path of empty or off-grid pixels are
// outside; the others are pores, measured one 4-connected pore at a time. The off-grid pixels are
// the pixels outside a convex polygon (the grid's section), and so each is joined to the edge by
// off-grid pixels (step away from the polygon along an axis): the empty pixels outside are those
// joined by empty pixels to one on the edge or next to an off-grid pixel. The fill starts there
// and never walks the off-grid pixels, most of the image; the passes look at the sampled pixels
// only, the only ones that can be empty.
void tell_pores(Section& s, const Spans& spans) {
    constexpr std::uint8_t kReached = 4;
    const std::int64_t w = s.width;
    std::vector<std::uint8_t>& px = s.pixels;
    std::vector<std::int64_t> stack;
    // Marks `start` and the empty pixels 4-connected to it; their count.
    auto fill = [&](std::int64_t start, std::uint8_t to) {
        auto takes = [&](std::uint8_t p) { return p == kEmpty; };
        std::int64_t count = 0;
        px[start] = to;
        stack.push_back(start);
        while (!stack.empty()) {
            const std::int64_t i = stack.back();
            stack.pop_back();
            ++count;
            const std::int64_t x = i % w, y = i / w;
            const std::int64_t next[4] = {x > 0 ? i - 1 : -1, x + 1 < w ? i + 1 : -1, y > 0 ? i - w : -1,
                                          y + 1 < w ? i + w : -1};
            for (std::int64_t k : next)
                if (k >= 0 && takes(px[k])) {
                    px[k] = to;
                    stack.push_back(k);
                }
        }
        return count;
    };
    each_sampled(s, spans, [&](std::int64_t x, std::int64_t y, std::int64_t i) {
        if (px[i] != kEmpty) return;
        const bool edge = x == 0 || y == 0 || x + 1 == w || y + 1 == w;
        if (edge || px[i - 1] == kOutsidePixel || px[i + 1] == kOutsidePixel || px[i - w] == kOutsidePixel ||
            px[i + w] == kOutsidePixel)
            fill(i, kReached);
    });
    each_sampled(s, spans, [&](std::int64_t, std::int64_t, std::int64_t i) {
        if (px[i] == kReached) px[i] = kOutsidePixel;
    });
    each_sampled(s, spans, [&](std::int64_t, std::int64_t, std::int64_t i) {
        if (px[i] == kEmpty) s.pore_sizes.push_back(fill(i, kPorePixel));
    });
    std::sort(s.pore_sizes.rbegin(), s.pore_sizes.rend());
}

void measure_face(Section& s, const Spans& spans) {
    const std::int64_t w = s.width;
    auto face = [&](std::int64_t x, std::int64_t y) {
        return x >= 0 && y >= 0 && x < w && y < w && s.pixels[static_cast<std::size_t>(x + w * y)] != kOutsidePixel;
    };
    each_sampled(s, spans, [&](std::int64_t x, std::int64_t y, std::int64_t i) {
        const std::uint8_t p = s.pixels[static_cast<std::size_t>(i)];
        s.solid_area += p == kSolidPixel;
        s.pore_area += p == kPorePixel;
        if (p == kOutsidePixel) return;
        s.edges_across_u += !face(x - 1, y) + !face(x + 1, y);
        s.edges_across_v += !face(x, y - 1) + !face(x, y + 1);
    });
    s.face_area = s.solid_area + s.pore_area;
    s.section_porosity = s.face_area ? static_cast<double>(s.pore_area) / static_cast<double>(s.face_area)
                                     : std::numeric_limits<double>::quiet_NaN();
    // A boundary of every direction crosses pixel edges 4/pi times its length on average.
    s.perimeter = static_cast<double>(s.edges_across_u + s.edges_across_v) * std::numbers::pi / 4;
    s.equivalent_diameter = std::sqrt(4 * static_cast<double>(s.face_area) / std::numbers::pi);
}

}  // namespace

std::optional<SectionPlane> section_plane_of(CutLengths lengths, Center centre) {
    const float l[3] = {lengths.x, lengths.y, lengths.z};
    const double c[3] = {static_cast<double>(centre.x), static_cast<double>(centre.y), static_cast<double>(centre.z)};
    Vec n{};
    for (int k = 0; k < 3; ++k) n[k] = std::isfinite(l[k]) && l[k] != 0 ? 1.0 / l[k] : 0.0;
    const double nn = dot(n, n);
    if (!(nn > 0) || !std::isfinite(nn)) return std::nullopt;
    SectionPlane p;
    p.normal = n;
    for (int k = 0; k < 3; ++k) p.point[k] = c[k] + n[k] / nn;  // the foot of the perpendicular from the centre
    return p;
}

std::vector<std::array<double, 3>> random_normals(int count, std::uint64_t seed) {
    shapes::SplitMix64 random(seed);
    std::vector<std::array<double, 3>> normals;
    for (int k = 0; k < count; ++k) {
        // z uniform in [-1, 1) and the angle around z uniform: uniform on the sphere (Archimedes).
        const double z = random.uniform(-1, 1);
        const double phi = random.uniform(0, 2 * std::numbers::pi);
        const double r = std::sqrt(1 - z * z);
        normals.push_back({r * std::cos(phi), r * std::sin(phi), z});
    }
    return normals;
}

Section section(const TelesoRecord& rec, const SectionPlane& plane) {
    Section s;
    s.origin = plane.point;
    plane_basis(plane.normal, s.u, s.v);
    s.width = 2 * half_width(s.origin, rec.dim) + 1;
    const Spans spans = sample_face(rec, s);
    tell_pores(s, spans);
    measure_face(s, spans);
    return s;
}

// A boundary crossing the rows of pixels at any angle has staircase edges across u as long in sum
// as its extent along v, and across v as its extent along u, whatever the pixels' size: pi/4 of
// their lengths is its length on average over directions, as for square pixels.
SectionMeasures section_measures(const Section& s, const Spacing& spacing) {
    SectionMeasures m;
    const auto len = [](const Vec& a) { return std::sqrt(dot(a, a)); };
    if (spacing == kVoxelUnits) {
        m.perimeter = s.perimeter;
        m.equivalent_diameter = s.equivalent_diameter;
    } else {
        Vec su, sv;
        for (int k = 0; k < 3; ++k) su[k] = spacing[k] * s.u[k], sv[k] = spacing[k] * s.v[k];
        const Vec n{su[1] * sv[2] - su[2] * sv[1], su[2] * sv[0] - su[0] * sv[2], su[0] * sv[1] - su[1] * sv[0]};
        m.pixel_area = len(n);
        m.perimeter = (static_cast<double>(s.edges_across_u) * len(sv) + static_cast<double>(s.edges_across_v) * len(su)) *
                      std::numbers::pi / 4;
    }
    m.face_area = static_cast<double>(s.face_area) * m.pixel_area;
    m.solid_area = static_cast<double>(s.solid_area) * m.pixel_area;
    m.pore_area = static_cast<double>(s.pore_area) * m.pixel_area;
    for (std::int64_t p : s.pore_sizes) m.pore_sizes.push_back(static_cast<double>(p) * m.pixel_area);
    if (spacing != kVoxelUnits) m.equivalent_diameter = std::sqrt(4 * m.face_area / std::numbers::pi);
    return m;
}

}  // namespace tarvo
