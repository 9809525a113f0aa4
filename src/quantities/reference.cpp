// The shape figures' first forms, cell by cell as their definitions read: the reference the fast
// passes (passes.cpp) are checked against, bit for bit.
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "quantities/grid.h"

namespace tarvo::quantities::reference {
namespace {

// The occupancy gradient at cell i, by the 3x3x3 Scharr weights (3, 10, 3 across, -1, 0, 1
// along): the direction of the surface normal, pointing into the particle.
std::array<double, 3> gradient(const BoxGrid& g, std::int64_t i) {
    static constexpr int kWeight[3] = {3, 10, 3};
    std::array<double, 3> out{};
    for (int axis = 0; axis < 3; ++axis) {
        const int a = (axis + 1) % 3, b = (axis + 2) % 3;
        long sum = 0;
        for (int da = -1; da <= 1; ++da)
            for (int db = -1; db <= 1; ++db) {
                const std::int64_t j = i + da * g.stride(a) + db * g.stride(b);
                sum += kWeight[da + 1] * kWeight[db + 1] * (g.cells[j + g.stride(axis)] - g.cells[j - g.stride(axis)]);
            }
        out[axis] = static_cast<double>(sum);
    }
    return out;
}

// A face between a set and an empty voxel stands for |n|_2 / |n|_1 of area, n the normal there:
// a plane patch of area A, of any orientation, shows A * |n|_1 faces.
double face_weight(const BoxGrid& g, std::int64_t a, std::int64_t b) {
    const std::array<double, 3> ga = gradient(g, a), gb = gradient(g, b);
    double l1 = 0, l2 = 0;
    for (int k = 0; k < 3; ++k) {
        const double n = ga[k] + gb[k];
        l1 += std::fabs(n);
        l2 += n * n;
    }
    return l1 > 0 ? std::sqrt(l2) / l1 : 1.0;
}

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

// weight(i, j, axis) of each face between a set and an empty cell (i, and j next to it along
// axis), added in order.
template <class Weight>
double sum_of_faces(const BoxGrid& g, Weight weight) {
    double area = 0;
    for (std::int64_t z = 1; z + 1 < g.size[2]; ++z)
        for (std::int64_t y = 1; y + 1 < g.size[1]; ++y)
            for (std::int64_t x = 1; x + 1 < g.size[0]; ++x) {
                const std::int64_t i = g.index(x, y, z);
                for (int axis = 0; axis < 3; ++axis) {
                    const std::int64_t j = i + g.stride(axis);
                    if (g.cells[i] != g.cells[j]) area += weight(i, j, axis);
                }
            }
    return area;
}

}  // namespace

double surface_area(const BoxGrid& g) {
    return sum_of_faces(g, [&g](std::int64_t i, std::int64_t j, int) { return face_weight(g, i, j); });
}

// In the units of a voxel size: the normal's components over the spacing along each, and a face
// across axis a stands for its area F_a (the product of the other two spacings) times
// |m|_2 / |m|_1 of the normal m in those units.
double surface_area(const BoxGrid& g, const std::array<double, 3>& spacing) {
    const double face[3] = {spacing[1] * spacing[2], spacing[0] * spacing[2], spacing[0] * spacing[1]};
    return sum_of_faces(g, [&](std::int64_t i, std::int64_t j, int axis) {
        const std::array<double, 3> gi = gradient(g, i), gj = gradient(g, j);
        double l1 = 0, l2 = 0;
        for (int k = 0; k < 3; ++k) {
            const double m = (gi[k] + gj[k]) / spacing[k];
            l1 += std::fabs(m);
            l2 += m * m;
        }
        return l1 > 0 ? face[axis] * std::sqrt(l2) / l1 : face[axis];
    });
}

// Empty cells that no 6-connected path of empty cells joins to the margin (which joins the
// grid's border: every voxel outside the bounding box does).
std::int64_t enclosed_cells(BoxGrid g) {
    constexpr std::uint8_t kReached = 2;
    std::vector<std::int64_t> stack;
    auto reach = [&](std::int64_t i) {
        if (g.cells[i] == 0) {
            g.cells[i] = kReached;
            stack.push_back(i);
        }
    };
    for (std::int64_t z = 0; z < g.size[2]; ++z)
        for (std::int64_t y = 0; y < g.size[1]; ++y)
            for (std::int64_t x = 0; x < g.size[0]; ++x)
                if (x == 0 || y == 0 || z == 0 || x + 1 == g.size[0] || y + 1 == g.size[1] || z + 1 == g.size[2])
                    reach(g.index(x, y, z));
    while (!stack.empty()) {
        const std::int64_t i = stack.back();
        stack.pop_back();
        // Margin cells are reached from the start, so the walk never steps off the box.
        for (int axis = 0; axis < 3; ++axis) {
            const std::int64_t s = g.stride(axis);
            const std::int64_t x = axis == 0 ? i % g.size[0] : axis == 1 ? i / g.size[0] % g.size[1] : i / (g.size[0] * g.size[1]);
            if (x > 0) reach(i - s);
            if (x + 1 < g.size[axis]) reach(i + s);
        }
    }
    std::int64_t enclosed = 0;
    for (std::uint8_t c : g.cells) enclosed += c == 0;
    return enclosed;
}

Moments moments_of(const BoxGrid& g) {
    Moments m;
    for (std::int64_t z = 0; z < g.size[2]; ++z)
        for (std::int64_t y = 0; y < g.size[1]; ++y)
            for (std::int64_t x = 0; x < g.size[0]; ++x) {
                if (!g.cells[static_cast<std::size_t>(g.index(x, y, z))]) continue;
                const std::array<__int128, 3> p{x + g.lo[0], y + g.lo[1], z + g.lo[2]};
                ++m.n;
                for (int a = 0; a < 3; ++a) {
                    m.s[a] += p[a];
                    for (int b = a; b < 3; ++b) m.ss[a][b] += p[a] * p[b];
                }
            }
    return m;
}

// The Euler number from a table of the eight cubes around each lattice point.
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

}  // namespace tarvo::quantities::reference
