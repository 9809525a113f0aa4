// The moments, the surface area and the enclosed pores of a particle's box: the passes behind
// properties(), with the same results, bit for bit, as the cell-by-cell forms in reference.cpp.
//
// The gradients are formed by separable passes over the whole box (the 3x3x3 Scharr weights are a
// smoothing 3, 10, 3 along two axes times a difference along the third; the smoothings by passes,
// the differences at the faces), in place of two 27-cell sums for each face. The sums are whole numbers, so the order of the passes
// changes nothing; the faces' weights are added in the reference's order. The pores are what is
// left empty when the space is filled from the box's border a run of a row at a time.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "quantities/grid.h"
#include "sys/cpu.h"

#if TARVO_X86_SIMD
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tarvo::quantities {
namespace {

// Every cell is written by the pass that makes it: no need to clear it first.
using Field = std::unique_ptr<std::int16_t[]>;

Field field(std::int64_t n) { return Field(new std::int16_t[static_cast<std::size_t>(n)]); }

// out[i] = 3 in[i - s] + 10 in[i] + 3 in[i + s] where both neighbours exist in the flat array, 0 at
// its two ends. Across the ends of a row or layer the values are wrong, but only in cells on the
// box's faces across the pass's axis, which no later pass along another axis moves inwards.
template <class In>
[[gnu::always_inline]] inline void smooth(const In* in, std::int16_t* out, std::int64_t n, std::int64_t s) {
    const std::int64_t edge = std::min(s, n);
    std::fill(out, out + edge, std::int16_t{0});
    std::fill(out + std::max(n - s, edge), out + n, std::int16_t{0});
    for (std::int64_t i = s; i < n - s; ++i)
        out[i] = static_cast<std::int16_t>(3 * in[i - s] + 10 * in[i] + 3 * in[i + s]);
}

// The occupancy gradient of every cell not on the box's faces, kept as the three smoothings it is
// the difference of: component a at i is smooth[a][i + s_a] - smooth[a][i - s_a] (at most 16 * 16:
// 16 bits hold them). Only the cells at faces need it, some tenth of the box, so the differences
// are taken there rather than in three more passes over the box.
struct Gradients {
    Field smooth[3];  // S_y S_z c, S_x S_z c, S_x S_y c
    std::int64_t step[3];

    int at(int a, std::int64_t i) const {
        return smooth[a][static_cast<std::size_t>(i + step[a])] - smooth[a][static_cast<std::size_t>(i - step[a])];
    }
};

[[gnu::always_inline]] inline Gradients gradients_of(const BoxGrid& box) {
    const std::int64_t n = static_cast<std::int64_t>(box.cells.size());
    const std::int64_t sx = box.stride(0), sy = box.stride(1), sz = box.stride(2);
    const std::uint8_t* c = box.cells.data();
    Gradients out{{}, {sx, sy, sz}};
    for (Field& f : out.smooth) f = field(n);
    const Field a = field(n);
    smooth(c, a.get(), n, sz);                    // a = S_z c
    smooth(a.get(), out.smooth[0].get(), n, sy);  // S_y S_z c
    smooth(a.get(), out.smooth[1].get(), n, sx);  // S_x S_z c
    smooth(c, a.get(), n, sy);                    // a = S_y c
    smooth(a.get(), out.smooth[2].get(), n, sx);  // S_x S_y c
    return out;
}

// The integer passes are compiled a second time for AVX2, which vectorises them wider; their
// results are whole numbers, the same either way.
Gradients gradients_plain(const BoxGrid& box) { return gradients_of(box); }
TARVO_AVX2_TARGET Gradients gradients_avx2(const BoxGrid& box) { return gradients_of(box); }

bool wide_vectors() { return chosen_kernel() >= Kernel::kAvx2; }

Gradients gradients(const BoxGrid& box) { return wide_vectors() ? gradients_avx2(box) : gradients_plain(box); }

// The 1- and 2-norms of the normal n summed over the face's two cells: whole numbers.
void face_norms(const Gradients& g, std::int64_t i, std::int64_t j, std::int32_t& l1, std::int32_t& l2) {
    l1 = 0, l2 = 0;
    for (int a = 0; a < 3; ++a) {
        const int n = g.at(a, i) + g.at(a, j);
        l1 += std::abs(n);
        l2 += n * n;
    }
}

// |n|_2 / |n|_1 for each face (1 where n is 0). Every term is a whole number a double holds
// exactly, and the square root and the quotient are rounded correctly by the scalar and the
// vector instructions alike, so both give the reference's weights.
void face_weights_plain(const std::int32_t* l1, const std::int32_t* l2, double* w, std::size_t n) {
    for (std::size_t f = 0; f < n; ++f)
        w[f] = l1[f] > 0 ? std::sqrt(static_cast<double>(l2[f])) / static_cast<double>(l1[f]) : 1.0;
}

#if TARVO_X86_SIMD
TARVO_AVX2_TARGET void face_weights_avx2(const std::int32_t* l1, const std::int32_t* l2, double* w, std::size_t n) {
    std::size_t f = 0;
    const __m256d one = _mm256_set1_pd(1.0);
    for (; f + 4 <= n; f += 4) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(l1 + f));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(l2 + f));
        const __m256d zero = _mm256_castsi256_pd(_mm256_cvtepi32_epi64(_mm_cmpeq_epi32(a, _mm_setzero_si128())));
        // A face without a normal divides by 1 (l2 is 0 there too) and is then set to 1.
        const __m256d d = _mm256_blendv_pd(_mm256_cvtepi32_pd(a), one, zero);
        const __m256d q = _mm256_div_pd(_mm256_sqrt_pd(_mm256_cvtepi32_pd(b)), d);
        _mm256_storeu_pd(w + f, _mm256_blendv_pd(q, one, zero));
    }
    face_weights_plain(l1 + f, l2 + f, w + f, n - f);
}
#endif

void face_weights(const std::int32_t* l1, const std::int32_t* l2, double* w, std::size_t n) {
#if TARVO_X86_SIMD
    if (wide_vectors()) return face_weights_avx2(l1, l2, w, n);
#endif
    face_weights_plain(l1, l2, w, n);
}

std::uint64_t eight_at(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Bit k of the result is byte k of v, each byte 0 or 1: the multiplication moves byte k's bit to
// bit 56 + k, and no two products meet.
std::uint64_t packed_bytes(std::uint64_t v) { return (v * 0x0102040810204080ULL) >> 56; }

// Which of eight cells from c on differ from their neighbour at c + step: bit k for cell k.
// The cells are 0 or 1, so a byte of an XOR is 0 or 1.
std::uint64_t differ(const std::uint8_t* c, std::int64_t step) { return packed_bytes(eight_at(c) ^ eight_at(c + step)); }

#if defined(__SSE2__)
// The same for sixteen cells, by a byte compare (SSE2 is part of x86-64).
std::uint64_t differ16(const std::uint8_t* c, std::int64_t step) {
    const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c));
    const __m128i there = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c + step));
    return ~static_cast<std::uint64_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(here, there))) & 0xffff;
}
#endif

// The faces of the box gathered by bit masks of the cells with a face across x, y and z (eight
// cells at a time), in the reference's order (row by row, cell by cell, x then y then z), then
// weighed by weigh(from, to, count, weights) some thousands at a time, and added in that order: a
// branch on every cell and face was mispredicted at every crossing of the surface.
template <class Weigh>
double sum_of_faces(const BoxGrid& box, Weigh&& weigh) {
    const std::int64_t sy = box.stride(1), sz = box.stride(2);
    const std::uint8_t* c = box.cells.data();
    const std::size_t row_most = static_cast<std::size_t>(3 * box.size[0] + 3);  // faces a row has at most
    const std::size_t batch = std::max<std::size_t>(4096, row_most);
    std::vector<std::int64_t> from(batch + row_most), to(from.size());
    std::vector<double> weight(from.size());
    double area = 0;
    std::size_t n = 0;
    auto add_batch = [&] {
        weigh(from.data(), to.data(), n, weight.data());
        for (std::size_t f = 0; f < n; ++f) area += weight[f];
        n = 0;
    };
    for (std::int64_t z = 1; z + 1 < box.size[2]; ++z)
        for (std::int64_t y = 1; y + 1 < box.size[1]; ++y) {
            const std::int64_t row = box.index(0, y, z);
            // Cells from i on with faces mx, my, mz (bit k for cell i + k).
            auto take = [&](std::int64_t i, std::uint64_t mx, std::uint64_t my, std::uint64_t mz) {
                for (std::uint64_t any = mx | my | mz; any; any &= any - 1) {
                    const int k = std::countr_zero(any);
                    const std::int64_t at = i + k;
                    from[n] = at, to[n] = at + 1, n += (mx >> k) & 1;
                    from[n] = at, to[n] = at + sy, n += (my >> k) & 1;
                    from[n] = at, to[n] = at + sz, n += (mz >> k) & 1;
                }
            };
            std::int64_t x = 1;
#if defined(__SSE2__)
            for (; x + 16 < box.size[0]; x += 16) {
                const std::uint8_t* p = c + row + x;
                take(row + x, differ16(p, 1), differ16(p, sy), differ16(p, sz));
            }
#endif
            for (; x + 8 < box.size[0]; x += 8) {
                const std::uint8_t* p = c + row + x;
                take(row + x, differ(p, 1), differ(p, sy), differ(p, sz));
            }
            for (; x + 1 < box.size[0]; ++x) {
                const std::int64_t i = row + x;
                take(i, c[i] != c[i + 1], c[i] != c[i + sy], c[i] != c[i + sz]);
            }
            if (n >= batch) add_batch();
        }
    add_batch();
    return area;
}

}  // namespace

double surface_area(const BoxGrid& box) {
    const Gradients g = gradients(box);
    std::vector<std::int32_t> l1, l2;
    return sum_of_faces(box, [&](const std::int64_t* from, const std::int64_t* to, std::size_t n, double* w) {
        l1.resize(std::max(l1.size(), n)), l2.resize(l1.size());
        for (std::size_t f = 0; f < n; ++f) face_norms(g, from[f], to[f], l1[f], l2[f]);
        face_weights(l1.data(), l2.data(), w, n);
    });
}

// A plane patch of area A and unit normal m (in the spacing's units) shows A |m_a| / F_a faces
// across axis a, F_a the area of such a face (the product of the other two spacings): a face
// across a weighted F_a |m|_2 / |m|_1 sums to A. The gradient along a in those units is the
// gradient along the grid's axis over s_a. With unit spacing these are the weights above.
double surface_area(const BoxGrid& box, const std::array<double, 3>& spacing) {
    if (spacing == std::array<double, 3>{1, 1, 1}) return surface_area(box);
    const Gradients g = gradients(box);
    const std::int64_t sy = box.stride(1);
    const double face[3] = {spacing[1] * spacing[2], spacing[0] * spacing[2], spacing[0] * spacing[1]};
    return sum_of_faces(box, [&](const std::int64_t* from, const std::int64_t* to, std::size_t n, double* w) {
        for (std::size_t f = 0; f < n; ++f) {
            const std::int64_t step = to[f] - from[f];
            const double area = face[step == 1 ? 0 : step == sy ? 1 : 2];
            double l1 = 0, l2 = 0;
            for (int a = 0; a < 3; ++a) {
                const double m = (g.at(a, from[f]) + g.at(a, to[f])) / spacing[a];
                l1 += std::fabs(m);
                l2 += m * m;
            }
            w[f] = l1 > 0 ? area * std::sqrt(l2) / l1 : area;
        }
    });
}

namespace {

// The first cell of row r (n cells) that is not 0, n when none is: eight cells at a time.
std::int64_t first_set(const std::uint8_t* r, std::int64_t n) {
    std::int64_t x = 0;
    for (; x + 8 <= n; x += 8)
        if (const std::uint64_t v = eight_at(r + x)) return x + std::countr_zero(v) / 8;
    while (x < n && r[x] == 0) ++x;
    return x;
}

// The last cell of row r that is not 0, r[f] being one.
std::int64_t last_set(const std::uint8_t* r, std::int64_t f, std::int64_t n) {
    std::int64_t x = n;
    for (; x - 8 > f; x -= 8)
        if (const std::uint64_t v = eight_at(r + x - 8)) return x - 1 - std::countl_zero(v) / 8;
    for (--x; r[x] == 0; --x) {
    }
    return x;
}

}  // namespace

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
        const std::int64_t f = first_set(r, nx);
        const std::int64_t l = f < nx ? last_set(r, f, nx) : nx - 1;
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

namespace {

// The box's sums in its own coordinates, from the counts of set cells along lines and planes:
// per column (x, y) through all layers, per x within a layer, per row. Only additions pass over
// the box, which the compiler vectorises; the products are taken on those counts.
struct LocalSums {
    std::int64_t n = 0, x = 0, y = 0, z = 0, xx = 0, yy = 0, zz = 0, xy = 0, xz = 0, yz = 0;
};

[[gnu::always_inline]] inline LocalSums local_sums(const BoxGrid& g) {
    const std::int64_t w = g.size[0], h = g.size[1], layer = w * h;
    // 16 bits hold the counts: a box's edges are below 2^16 (the grid's below 1300, the margin small).
    std::vector<std::uint16_t> column(static_cast<std::size_t>(layer), 0);  // set cells at (x, y), all z
    std::vector<std::uint16_t> in_layer(static_cast<std::size_t>(w));        // set cells at x in one layer
    LocalSums s;
    for (std::int64_t z = 0; z < g.size[2]; ++z) {
        const std::uint8_t* c = &g.cells[static_cast<std::size_t>(z * layer)];
        for (std::int64_t i = 0; i < layer; ++i) column[static_cast<std::size_t>(i)] = static_cast<std::uint16_t>(column[static_cast<std::size_t>(i)] + c[i]);
        std::fill(in_layer.begin(), in_layer.end(), std::uint16_t{0});
        std::int64_t count = 0, y_sum = 0;
        for (std::int64_t y = 0; y < h; ++y) {
            const std::uint8_t* row = c + y * w;
            std::uint32_t n = 0;
            for (std::int64_t x = 0; x < w; ++x) {
                in_layer[static_cast<std::size_t>(x)] = static_cast<std::uint16_t>(in_layer[static_cast<std::size_t>(x)] + row[x]);
                n += row[x];
            }
            count += n;
            y_sum += y * std::int64_t{n};
        }
        std::int64_t x_sum = 0;
        for (std::int64_t x = 0; x < w; ++x) x_sum += x * std::int64_t{in_layer[static_cast<std::size_t>(x)]};
        s.z += z * count;
        s.zz += z * z * count;
        s.xz += z * x_sum;
        s.yz += z * y_sum;
    }
    for (std::int64_t y = 0; y < h; ++y) {
        std::int64_t n = 0, x_sum = 0, xx_sum = 0;
        for (std::int64_t x = 0; x < w; ++x) {
            const std::int64_t k = column[static_cast<std::size_t>(y * w + x)];
            n += k;
            x_sum += x * k;
            xx_sum += x * x * k;
        }
        s.n += n;
        s.x += x_sum;
        s.xx += xx_sum;
        s.y += y * n;
        s.yy += y * y * n;
        s.xy += y * x_sum;
    }
    return s;
}

LocalSums local_sums_plain(const BoxGrid& g) { return local_sums(g); }
TARVO_AVX2_TARGET LocalSums local_sums_avx2(const BoxGrid& g) { return local_sums(g); }

// The Euler number's share of cells [from, to): see euler_number().
[[gnu::always_inline]] inline std::int32_t euler_part(const std::uint8_t* c, std::int64_t from, std::int64_t to,
                                                      std::int64_t sy, std::int64_t sz) {
    std::int32_t part = 0;
    for (std::int64_t p = from; p < to; ++p) {
        const int x0 = c[p] | c[p - 1];                  // face across x
        const int y0 = c[p] | c[p - sy];                 // face across y
        const int z0 = c[p] | c[p - sz];                 // face across z
        const int xy = x0 | c[p - sy] | c[p - sy - 1];   // edge along z
        const int xz = x0 | c[p - sz] | c[p - sz - 1];   // edge along y
        const int yz = y0 | c[p - sz] | c[p - sz - sy];  // edge along x
        const int v = xy | c[p - sz] | c[p - sz - 1] | c[p - sz - sy] | c[p - sz - sy - 1];  // vertex
        part += v - xy - xz - yz + x0 + y0 + z0 - c[p];
    }
    return part;
}
std::int32_t euler_part_plain(const std::uint8_t* c, std::int64_t from, std::int64_t to, std::int64_t sy, std::int64_t sz) {
    return euler_part(c, from, to, sy, sz);
}
TARVO_AVX2_TARGET std::int32_t euler_part_avx2(const std::uint8_t* c, std::int64_t from, std::int64_t to,
                                               std::int64_t sy, std::int64_t sz) {
    return euler_part(c, from, to, sy, sz);
}

}  // namespace

// The sums of the positions (box coordinates plus lo) and their products from the box's own sums,
// exactly: sum (x + lx)(y + ly) = sum xy + ly sum x + lx sum y + n lx ly, and so on.
Moments moments_of(const BoxGrid& g) {
    const LocalSums s = wide_vectors() ? local_sums_avx2(g) : local_sums_plain(g);
    Moments m;
    const __int128 n = s.n, sum[3] = {s.x, s.y, s.z};
    const __int128 products[3][3] = {{s.xx, s.xy, s.xz}, {s.xy, s.yy, s.yz}, {s.xz, s.yz, s.zz}};
    const __int128 lo[3] = {g.lo[0], g.lo[1], g.lo[2]};
    m.n = s.n;
    for (int a = 0; a < 3; ++a) {
        m.s[a] = sum[a] + n * lo[a];
        for (int b = a; b < 3; ++b) m.ss[a][b] = products[a][b] + lo[b] * sum[a] + lo[a] * sum[b] + n * lo[a] * lo[b];
    }
    return m;
}

// The Euler characteristic as vertices - edges + faces - cubes of the union of the set cells'
// closed cubes. Each lattice element is counted at the cell it is the lower corner (edge, face)
// of: it is part of the union when one of the cells around it is set. ORs of shifted rows, no
// table look-up, so the compiler vectorises the pass. The margin keeps every element touched by
// a set cell inside the box, and the flat offsets' wrap-arounds on margin cells, which are empty.
std::int64_t euler_number(const BoxGrid& g) {
    const std::int64_t sy = g.stride(1), sz = g.stride(2), total = static_cast<std::int64_t>(g.cells.size());
    const std::uint8_t* c = g.cells.data();
    std::int64_t sum = 0;
    const std::int64_t first = std::min(total, sz + sy + 1);
    const bool wide = wide_vectors();
    for (std::int64_t from = first; from < total; from += sz) {
        const std::int64_t to = std::min(total, from + sz);  // a layer's share fits 32 bits
        sum += wide ? euler_part_avx2(c, from, to, sy, sz) : euler_part_plain(c, from, to, sy, sz);
    }
    return sum;
}

}  // namespace tarvo::quantities
