// The moments, the surface area and the enclosed pores of a particle's box: the passes behind
// properties(), with the same results, bit for bit, as the cell-by-cell forms in reference.cpp.
//
// The gradient of every cell is formed once, by separable passes over the whole box (the 3x3x3
// Scharr weights are a smoothing 3, 10, 3 along two axes times a difference along the third), in
// place of two 27-cell sums for each face. The sums are whole numbers, so the order of the passes
// changes nothing; the faces' weights are added in the reference's order. The pores are what is
// left empty when the space is filled from the box's border a run of a row at a time.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "quantities/grid.h"

namespace tarvo::quantities {
namespace {

// Every cell is written by the pass that makes it: no need to clear it first.
using Field = std::unique_ptr<std::int16_t[]>;

Field field(std::int64_t n) { return Field(new std::int16_t[static_cast<std::size_t>(n)]); }

// out[i] = 3 in[i - s] + 10 in[i] + 3 in[i + s] where both neighbours exist in the flat array, 0 at
// its two ends. Across the ends of a row or layer the values are wrong, but only in cells on the
// box's faces across the pass's axis, which no later pass along another axis moves inwards.
template <class In>
void smooth(const In* in, std::int16_t* out, std::int64_t n, std::int64_t s) {
    const std::int64_t edge = std::min(s, n);
    std::fill(out, out + edge, std::int16_t{0});
    std::fill(out + std::max(n - s, edge), out + n, std::int16_t{0});
    for (std::int64_t i = s; i < n - s; ++i)
        out[i] = static_cast<std::int16_t>(3 * in[i - s] + 10 * in[i] + 3 * in[i + s]);
}

// out[i] = in[i + s] - in[i - s], with the same ends as smooth().
void difference(const std::int16_t* in, std::int16_t* out, std::int64_t n, std::int64_t s) {
    const std::int64_t edge = std::min(s, n);
    std::fill(out, out + edge, std::int16_t{0});
    std::fill(out + std::max(n - s, edge), out + n, std::int16_t{0});
    for (std::int64_t i = s; i < n - s; ++i) out[i] = static_cast<std::int16_t>(in[i + s] - in[i - s]);
}

// The three components of the occupancy gradient of every cell not on the box's faces (at most
// 16 * 16 in size: 16 bits hold them).
struct Gradients {
    Field g[3];
};

Gradients gradients(const BoxGrid& box) {
    const std::int64_t n = static_cast<std::int64_t>(box.cells.size());
    const std::int64_t sx = box.stride(0), sy = box.stride(1), sz = box.stride(2);
    const std::uint8_t* c = box.cells.data();
    Gradients out;
    for (Field& f : out.g) f = field(n);
    const Field a = field(n), b = field(n);
    smooth(c, a.get(), n, sz);  // a = S_z c
    smooth(a.get(), b.get(), n, sy);  // b = S_y S_z c
    difference(b.get(), out.g[0].get(), n, sx);  // D_x S_y S_z c
    smooth(a.get(), b.get(), n, sx);  // b = S_x S_z c
    difference(b.get(), out.g[1].get(), n, sy);  // D_y S_x S_z c
    smooth(c, a.get(), n, sy);  // a = S_y c
    smooth(a.get(), b.get(), n, sx);  // b = S_x S_y c
    difference(b.get(), out.g[2].get(), n, sz);  // D_z S_x S_y c
    return out;
}

// |n|_2 / |n|_1 for the normal n summed over the face's two cells. Every term is a whole number a
// double holds exactly, as in the reference.
double face_weight(const Gradients& g, std::int64_t i, std::int64_t j) {
    int l1 = 0, l2 = 0;
    for (const Field& f : g.g) {
        const int n = f[static_cast<std::size_t>(i)] + f[static_cast<std::size_t>(j)];
        l1 += std::abs(n);
        l2 += n * n;
    }
    return l1 > 0 ? std::sqrt(static_cast<double>(l2)) / static_cast<double>(l1) : 1.0;
}

std::uint64_t eight_at(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

}  // namespace

double surface_area(const BoxGrid& box) {
    const Gradients g = gradients(box);
    const std::int64_t sy = box.stride(1), sz = box.stride(2);
    const std::uint8_t* c = box.cells.data();
    double area = 0;
    for (std::int64_t z = 1; z + 1 < box.size[2]; ++z)
        for (std::int64_t y = 1; y + 1 < box.size[1]; ++y) {
            const std::int64_t row = box.index(0, y, z);
            for (std::int64_t x = 1; x + 1 < box.size[0];) {
                const std::int64_t i = row + x;
                // Eight cells alike their three upper neighbours hold no face.
                if (x + 8 < box.size[0]) {
                    const std::uint64_t here = eight_at(c + i);
                    if (here == eight_at(c + i + 1) && here == eight_at(c + i + sy) && here == eight_at(c + i + sz)) {
                        x += 8;
                        continue;
                    }
                }
                if (c[i] != c[i + 1]) area += face_weight(g, i, i + 1);
                if (c[i] != c[i + sy]) area += face_weight(g, i, i + sy);
                if (c[i] != c[i + sz]) area += face_weight(g, i, i + sz);
                ++x;
            }
        }
    return area;
}

// The empty cells of a row before its first set cell and after its last one join its ends, and
// so the border: they are reached at once, a run each. Only the empty cells between (pores and
// hollows) are filled run by run from those next to a reached cell.
std::int64_t enclosed_cells(const BoxGrid& box) {
    constexpr std::uint8_t kReached = 2;
    const std::int64_t nx = box.size[0], ny = box.size[1], nz = box.size[2];
    std::vector<std::uint8_t> cells = box.cells;
    auto row_of = [&](std::int64_t row) { return &cells[static_cast<std::size_t>(row * nx)]; };
    struct Seed {
        std::int64_t row, x;  // row: y + ny z
    };
    std::vector<Seed> stack;
    // The empty runs of row `row` that begin within [from, to] (ends included) are to be filled.
    auto seed_runs = [&](std::int64_t row, std::int64_t from, std::int64_t to) {
        const std::uint8_t* r = row_of(row);
        for (std::int64_t x = from; x <= to; ++x)
            if (r[x] == 0 && (x == from || r[x - 1] != 0)) stack.push_back({row, x});
    };
    const std::int64_t rows = ny * nz;
    std::vector<std::int64_t> first(static_cast<std::size_t>(rows)), last(static_cast<std::size_t>(rows));
    for (std::int64_t row = 0; row < rows; ++row) {
        std::uint8_t* r = row_of(row);
        std::int64_t f = 0, l = nx - 1;
        while (f < nx && r[f] == 0) ++f;
        while (l > f && r[l] == 0) --l;
        std::fill(r, r + f, kReached);
        if (f < nx) std::fill(r + l + 1, r + nx, kReached);
        first[static_cast<std::size_t>(row)] = f;
        last[static_cast<std::size_t>(row)] = f < nx ? l : -1;
        const std::int64_t y = row % ny, z = row / ny;
        if (y == 0 || z == 0 || y + 1 == ny || z + 1 == nz) seed_runs(row, f, l);  // on the border
    }
    // Every empty cell between a row's ends next to a reached cell of another row.
    for (std::int64_t row = 0; row < rows; ++row) {
        const std::uint8_t* r = row_of(row);
        const std::int64_t y = row % ny, z = row / ny;
        for (std::int64_t x = first[static_cast<std::size_t>(row)] + 1; x < last[static_cast<std::size_t>(row)]; ++x) {
            const void* hole = std::memchr(r + x, 0, static_cast<std::size_t>(last[static_cast<std::size_t>(row)] - x));
            if (!hole) break;
            x = static_cast<const std::uint8_t*>(hole) - r;
            const std::int64_t i = row * nx + x;
            if ((y > 0 && cells[static_cast<std::size_t>(i - nx)] == kReached) ||
                (y + 1 < ny && cells[static_cast<std::size_t>(i + nx)] == kReached) ||
                (z > 0 && cells[static_cast<std::size_t>(i - nx * ny)] == kReached) ||
                (z + 1 < nz && cells[static_cast<std::size_t>(i + nx * ny)] == kReached))
                stack.push_back({row, x});
        }
    }
    while (!stack.empty()) {
        const Seed s = stack.back();
        stack.pop_back();
        std::uint8_t* r = row_of(s.row);
        if (r[s.x] != 0) continue;
        std::int64_t lo = s.x, hi = s.x;
        while (lo > 0 && r[lo - 1] == 0) --lo;
        while (hi + 1 < nx && r[hi + 1] == 0) ++hi;
        std::fill(r + lo, r + hi + 1, kReached);
        const std::int64_t y = s.row % ny, z = s.row / ny;
        if (y > 0) seed_runs(s.row - 1, lo, hi);
        if (y + 1 < ny) seed_runs(s.row + 1, lo, hi);
        if (z > 0) seed_runs(s.row - ny, lo, hi);
        if (z + 1 < nz) seed_runs(s.row + ny, lo, hi);
    }
    return std::count(cells.begin(), cells.end(), std::uint8_t{0});
}

// A row at a time: its count and sums of x and x^2 in 64 bits (a row is far shorter than 2^21
// cells), then the row's share of every sum from them, exactly.
Moments moments_of(const BoxGrid& g) {
    Moments m;
    const __int128 lx = g.lo[0];
    for (std::int64_t z = 0; z < g.size[2]; ++z)
        for (std::int64_t y = 0; y < g.size[1]; ++y) {
            const std::uint8_t* row = &g.cells[static_cast<std::size_t>(g.index(0, y, z))];
            std::int64_t n = 0, sx = 0, sxx = 0;
            for (std::int64_t x = 0; x < g.size[0]; ++x) {
                const std::int64_t c = row[x];
                n += c;
                sx += c * x;
                sxx += c * x * x;
            }
            if (n == 0) continue;
            const __int128 yy = y + g.lo[1], zz = z + g.lo[2];
            const __int128 sum_x = sx + n * lx;  // the sum of the positions x + lo
            m.n += n;
            m.s[0] += sum_x;
            m.s[1] += n * yy;
            m.s[2] += n * zz;
            m.ss[0][0] += sxx + 2 * lx * sx + n * lx * lx;
            m.ss[0][1] += sum_x * yy;
            m.ss[0][2] += sum_x * zz;
            m.ss[1][1] += n * yy * yy;
            m.ss[1][2] += n * yy * zz;
            m.ss[2][2] += n * zz * zz;
        }
    return m;
}

}  // namespace tarvo::quantities
