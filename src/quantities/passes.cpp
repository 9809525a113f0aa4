// The surface area of a particle's box from its packed rows, layer by layer: the passes behind
// properties(), with the same result, bit for bit, as the cell-by-cell form in reference.cpp.
//
// The gradients are formed by separable passes (the 3x3x3 Scharr weights are a smoothing 3, 10, 3
// along two axes times a difference along the third; the smoothings by passes over a layer, the
// differences at the faces), in place of two 27-cell sums for each face. The sums are whole
// numbers, so the order of the passes changes nothing; the faces' weights are added in the
// reference's order. A layer's smoothings are made just before its faces need them, so that the
// few layers in use stay in the cache, and the faces are found from the packed rows 64 cells at
// a time.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "quantities/grid.h"
#include "sys/cpu.h"

#if TARVO_X86_SIMD
#include <immintrin.h>
#endif

namespace tarvo::quantities {
namespace {

bool wide_vectors() { return chosen_kernel() >= Kernel::kAvx2; }

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


// Eight bytes, 0 or 1, from the low eight bits of b (bit k to byte k): the multiplication copies b
// to every byte, the mask keeps bit k of byte k, and the addition carries it to the byte's top.
std::uint64_t spread_bits(std::uint64_t b) {
    const std::uint64_t r = ((b & 0xff) * 0x0101010101010101ULL) & 0x8040201008040201ULL;
    return ((r + 0x7f7f7f7f7f7f7f7fULL) >> 7) & 0x0101010101010101ULL;
}

// Layer z of the box, one byte a cell (x fastest), into out (8 bytes longer than the layer: the
// bytes are written eight at a time, and a row's last ones run into the next row, written after).
void layer_bytes(const BitRows& b, std::int64_t z, std::uint8_t* out) {
    const std::int64_t nx = b.size[0], ny = b.size[1];
    for (std::int64_t y = 0; y < ny; ++y) {
        const std::uint64_t* row = b.row(y + ny * z);
        std::uint8_t* o = out + y * nx;
        for (std::int64_t x = 0; x < nx; x += 8) {
            const std::uint64_t v = spread_bits(row[x >> 6] >> (x & 63));
            std::memcpy(o + x, &v, sizeof v);
        }
    }
}

// out[i] = 3 in[i - s] + 10 in[i] + 3 in[i + s] where both neighbours exist in the layer, 0 in
// its first and last s cells. Across the ends of a row the values are wrong, but only in cells on
// the box's faces across the pass's axis, which no later pass along another axis moves inwards.
template <class In>
[[gnu::always_inline]] inline void smooth(const In* in, std::int16_t* out, std::int64_t n, std::int64_t s) {
    const std::int64_t edge = std::min(s, n);
    std::fill(out, out + edge, std::int16_t{0});
    std::fill(out + std::max(n - s, edge), out + n, std::int16_t{0});
    for (std::int64_t i = s; i < n - s; ++i)
        out[i] = static_cast<std::int16_t>(3 * in[i - s] + 10 * in[i] + 3 * in[i + s]);
}

// The same across layers: 3 below + 10 here + 3 above.
[[gnu::always_inline]] inline void smooth_across(const std::uint8_t* below, const std::uint8_t* here,
                                                 const std::uint8_t* above, std::int16_t* out, std::int64_t n) {
    for (std::int64_t i = 0; i < n; ++i) out[i] = static_cast<std::int16_t>(3 * below[i] + 10 * here[i] + 3 * above[i]);
}

// A layer's three smoothings, whose differences are the occupancy gradient (at most 16 * 16: 16
// bits hold them): component a at a cell is smooth[a] at the next cell along a minus smooth[a] at
// the one before.
struct LayerSmoothings {
    std::int16_t* smooth[3];  // S_y S_z c, S_x S_z c, S_x S_y c
};

[[gnu::always_inline]] inline void smooth_layer(const std::uint8_t* below, const std::uint8_t* here,
                                                const std::uint8_t* above, std::int64_t nx, std::int64_t n,
                                                std::int16_t* scratch, const LayerSmoothings& out) {
    smooth_across(below, here, above, scratch, n);  // S_z c
    smooth(scratch, out.smooth[0], n, nx);          // S_y S_z c
    smooth(scratch, out.smooth[1], n, 1);           // S_x S_z c
    smooth(here, scratch, n, nx);                   // S_y c
    smooth(scratch, out.smooth[2], n, 1);           // S_x S_y c
}

// The integer passes are compiled a second time for AVX2, which vectorises them wider; their
// results are whole numbers, the same either way.
void smooth_layer_plain(const std::uint8_t* below, const std::uint8_t* here, const std::uint8_t* above,
                        std::int64_t nx, std::int64_t n, std::int16_t* scratch, const LayerSmoothings& out) {
    smooth_layer(below, here, above, nx, n, scratch, out);
}
TARVO_AVX2_TARGET void smooth_layer_avx2(const std::uint8_t* below, const std::uint8_t* here, const std::uint8_t* above,
                                         std::int64_t nx, std::int64_t n, std::int16_t* scratch,
                                         const LayerSmoothings& out) {
    smooth_layer(below, here, above, nx, n, scratch, out);
}

// The layers' bytes and smoothings of a box, four layers at a time (layer k in slot k % 4): the
// faces of layer z need the gradients of layers z and z + 1, and so the smoothings of z - 1 to
// z + 2. Kept by each thread from one box to the next: no allocation, no fresh pages.
class LayerWindow {
public:
    explicit LayerWindow(const BitRows& b)
        : b_(b), nx_(b.size[0]), n_(b.size[0] * b.size[1]), wide_(wide_vectors()) {
        const auto n = static_cast<std::size_t>(n_);
        bytes_.resize(5 * (n + 8));
        std::fill(bytes_.begin() + static_cast<std::ptrdiff_t>(4 * (n + 8)), bytes_.end(), std::uint8_t{0});
        smoothings_.resize(13 * n);
    }

    // Makes layers up to `z` (at most the last), in order.
    void make_through(std::int64_t z) {
        z = std::min(z, b_.size[2] - 1);
        if (made_ < 0 && z >= 0) bytes_of(0);
        for (; made_ < z; ++made_) {
            const std::int64_t k = made_ + 1;
            if (k + 1 < b_.size[2]) bytes_of(k + 1);
            const std::uint8_t* below = k > 0 ? layer_of(k - 1) : zero();
            const std::uint8_t* above = k + 1 < b_.size[2] ? layer_of(k + 1) : zero();
            const LayerSmoothings out{{slot(k, 0), slot(k, 1), slot(k, 2)}};
            std::int16_t* scratch = &smoothings_[static_cast<std::size_t>(12 * n_)];
            (wide_ ? smooth_layer_avx2 : smooth_layer_plain)(below, layer_of(k), above, nx_, n_, scratch, out);
        }
    }

    // Smoothing a of layer k (made, and not more than three layers before the last made).
    const std::int16_t* smoothing(std::int64_t k, int a) const { return slot(k, a); }

private:
    std::int16_t* slot(std::int64_t k, int a) const {
        return const_cast<std::int16_t*>(&smoothings_[static_cast<std::size_t>(((k & 3) * 3 + a) * n_)]);
    }
    std::uint8_t* layer_of(std::int64_t k) { return &bytes_[static_cast<std::size_t>((k & 3) * (n_ + 8))]; }
    std::uint8_t* zero() { return &bytes_[static_cast<std::size_t>(4 * (n_ + 8))]; }
    void bytes_of(std::int64_t k) { layer_bytes(b_, k, layer_of(k)); }

    const BitRows& b_;
    std::int64_t nx_, n_;
    bool wide_;
    std::int64_t made_ = -1;
    static thread_local std::vector<std::uint8_t> bytes_;
    static thread_local std::vector<std::int16_t> smoothings_;
};

thread_local std::vector<std::uint8_t> LayerWindow::bytes_;
thread_local std::vector<std::int16_t> LayerWindow::smoothings_;

// The normals of a run of faces, component by component (the sums of the two cells' gradients),
// with the axis each face is across.
struct FaceNormals {
    std::vector<std::int32_t> n[3];
    std::vector<std::uint8_t> axis;
    std::size_t count = 0;

    void reserve(std::size_t size) {
        for (auto& v : n) v.resize(size);
        axis.resize(size);
    }
};

// The faces of the box in the reference's order (layer by layer, row by row, cell by cell, x then
// y then z), found by bit masks of the cells with a face across x, y and z, 64 cells at a time, then
// weighed by weigh(normals, weights) a layer at a time and added in that order: a branch on every
// cell and face was mispredicted at every crossing of the surface.
template <class Weigh>
double sum_of_faces(const BitRows& b, Weigh&& weigh) {
    const std::int64_t nx = b.size[0], ny = b.size[1], nz = b.size[2], words = b.words;
    LayerWindow window(b);
    FaceNormals faces;
    faces.reserve(static_cast<std::size_t>(3 * nx * ny));
    std::vector<double> weight(faces.axis.size());
    double area = 0;
    for (std::int64_t z = 1; z + 1 < nz; ++z) {
        window.make_through(z + 2);
        const std::int16_t* here[3] = {window.smoothing(z, 0), window.smoothing(z, 1), window.smoothing(z, 2)};
        const std::int16_t* above[3] = {window.smoothing(z + 1, 0), window.smoothing(z + 1, 1), window.smoothing(z + 1, 2)};
        const std::int16_t *below_z = window.smoothing(z - 1, 2), *two_above_z = window.smoothing(z + 2, 2);
        // The gradient at cell i of this layer, and of the next.
        auto gradient = [&](std::int64_t i, int g[3]) {
            g[0] = here[0][i + 1] - here[0][i - 1];
            g[1] = here[1][i + nx] - here[1][i - nx];
            g[2] = above[2][i] - below_z[i];
        };
        auto gradient_above = [&](std::int64_t i, int g[3]) {
            g[0] = above[0][i + 1] - above[0][i - 1];
            g[1] = above[1][i + nx] - above[1][i - nx];
            g[2] = two_above_z[i] - here[2][i];
        };
        std::size_t n = 0;
        auto add = [&](const int gi[3], const int gj[3], int axis) {
            for (int a = 0; a < 3; ++a) faces.n[a][n] = gi[a] + gj[a];
            faces.axis[n] = static_cast<std::uint8_t>(axis);
            ++n;
        };
        for (std::int64_t y = 1; y + 1 < ny; ++y) {
            const std::uint64_t *row = b.row(y + ny * z), *next_y = b.row(y + 1 + ny * z), *next_z = b.row(y + ny * (z + 1));
            for (std::int64_t w = 0; w < words; ++w) {
                // Cells 1 to nx - 2 of the row: the reference's.
                std::uint64_t inside = w == 0 ? ~std::uint64_t{1} : ~std::uint64_t{0};
                if (const std::int64_t keep = nx - 1 - 64 * w; keep < 64) inside &= keep <= 0 ? 0 : ~std::uint64_t{0} >> (64 - keep);
                const std::uint64_t next_cells = w + 1 < words ? row[w + 1] << 63 : 0;
                const std::uint64_t mx = (row[w] ^ (row[w] >> 1 | next_cells)) & inside;
                const std::uint64_t my = (row[w] ^ next_y[w]) & inside, mz = (row[w] ^ next_z[w]) & inside;
                for (std::uint64_t any = mx | my | mz; any; any &= any - 1) {
                    const int k = std::countr_zero(any);
                    const std::int64_t i = y * nx + 64 * w + k;
                    int gi[3], gj[3];
                    gradient(i, gi);
                    if ((mx >> k) & 1) gradient(i + 1, gj), add(gi, gj, 0);
                    if ((my >> k) & 1) gradient(i + nx, gj), add(gi, gj, 1);
                    if ((mz >> k) & 1) gradient_above(i, gj), add(gi, gj, 2);
                }
            }
        }
        faces.count = n;
        weigh(faces, weight.data());
        for (std::size_t f = 0; f < n; ++f) area += weight[f];
    }
    return area;
}

}  // namespace

double surface_area(const BitRows& b) {
    std::vector<std::int32_t> l1, l2;
    return sum_of_faces(b, [&](const FaceNormals& faces, double* w) {
        l1.resize(faces.count), l2.resize(faces.count);
        for (std::size_t f = 0; f < faces.count; ++f) {
            std::int32_t s1 = 0, s2 = 0;
            for (int a = 0; a < 3; ++a) {
                const std::int32_t v = faces.n[a][f];
                s1 += std::abs(v);
                s2 += v * v;
            }
            l1[f] = s1, l2[f] = s2;
        }
        face_weights(l1.data(), l2.data(), w, faces.count);
    });
}

// A plane patch of area A and unit normal m (in the spacing's units) shows A |m_a| / F_a faces
// across axis a, F_a the area of such a face (the product of the other two spacings): a face
// across a weighted F_a |m|_2 / |m|_1 sums to A. The gradient along a in those units is the
// gradient along the grid's axis over s_a. With unit spacing these are the weights above.
double surface_area(const BitRows& b, const std::array<double, 3>& spacing) {
    if (spacing == std::array<double, 3>{1, 1, 1}) return surface_area(b);
    const double face[3] = {spacing[1] * spacing[2], spacing[0] * spacing[2], spacing[0] * spacing[1]};
    return sum_of_faces(b, [&](const FaceNormals& faces, double* w) {
        for (std::size_t f = 0; f < faces.count; ++f) {
            const double area = face[faces.axis[f]];
            double l1 = 0, l2 = 0;
            for (int a = 0; a < 3; ++a) {
                const double m = faces.n[a][f] / spacing[a];
                l1 += std::fabs(m);
                l2 += m * m;
            }
            w[f] = l1 > 0 ? area * std::sqrt(l2) / l1 : area;
        }
    });
}

}  // namespace tarvo::quantities
