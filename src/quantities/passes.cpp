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
#include <array>
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

// |n|_2 / |n|_1 for each face (1 where n is 0), added to `area` face by face in order. Every term
// is a whole number a double holds exactly, and the square root and the quotient are rounded
// correctly by the scalar and the vector instructions alike, so both give the reference's weights;
// the vector forms store a few weights and add them one by one, so that the divisions of the next
// ones overlap the additions.
double add_weights_plain(const std::int32_t* l1, const std::int32_t* l2, std::size_t n, double area) {
    for (std::size_t f = 0; f < n; ++f) area += l1[f] > 0 ? std::sqrt(static_cast<double>(l2[f])) / static_cast<double>(l1[f]) : 1.0;
    return area;
}

#if TARVO_X86_SIMD
TARVO_AVX2_TARGET double add_weights_avx2(const std::int32_t* l1, const std::int32_t* l2, std::size_t n, double area) {
    std::size_t f = 0;
    const __m256d one = _mm256_set1_pd(1.0);
    alignas(32) double w[4];
    for (; f + 4 <= n; f += 4) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(l1 + f));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(l2 + f));
        const __m256d zero = _mm256_castsi256_pd(_mm256_cvtepi32_epi64(_mm_cmpeq_epi32(a, _mm_setzero_si128())));
        // A face without a normal divides by 1 (l2 is 0 there too) and is then set to 1.
        const __m256d d = _mm256_blendv_pd(_mm256_cvtepi32_pd(a), one, zero);
        const __m256d q = _mm256_div_pd(_mm256_sqrt_pd(_mm256_cvtepi32_pd(b)), d);
        _mm256_store_pd(w, _mm256_blendv_pd(q, one, zero));
        for (const double v : w) area += v;
    }
    return add_weights_plain(l1 + f, l2 + f, n - f, area);
}

// Eight at a time; the division only where the normal is not 0, the others 1.
TARVO_AVX512_TARGET double add_weights_avx512(const std::int32_t* l1, const std::int32_t* l2, std::size_t n, double area) {
    std::size_t f = 0;
    const __m512d one = _mm512_set1_pd(1.0);
    alignas(64) double w[8];
    for (; f + 8 <= n; f += 8) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(l1 + f));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(l2 + f));
        const __mmask8 some = _mm256_cmpgt_epi32_mask(a, _mm256_setzero_si256());
        // (The zero-masked forms with every lane: g++ 12 takes the plain ones' undefined start for
        // uninitialised.)
        const __m512d root = _mm512_maskz_sqrt_pd(0xff, _mm512_maskz_cvtepi32_pd(0xff, b));
        _mm512_store_pd(w, _mm512_mask_div_pd(one, some, root, _mm512_maskz_cvtepi32_pd(0xff, a)));
        for (const double v : w) area += v;
    }
    return add_weights_plain(l1 + f, l2 + f, n - f, area);
}
#endif

double add_weights(const std::int32_t* l1, const std::int32_t* l2, std::size_t n, double area) {
#if TARVO_X86_SIMD
    if (chosen_kernel() >= Kernel::kAvx512) return add_weights_avx512(l1, l2, n, area);
    if (wide_vectors()) return add_weights_avx2(l1, l2, n, area);
#endif
    return add_weights_plain(l1, l2, n, area);
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

// The integer passes are compiled again for AVX2 and AVX-512, which vectorise them wider; their
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
TARVO_AVX512_TARGET void smooth_layer_avx512(const std::uint8_t* below, const std::uint8_t* here,
                                             const std::uint8_t* above, std::int64_t nx, std::int64_t n,
                                             std::int16_t* scratch, const LayerSmoothings& out) {
    smooth_layer(below, here, above, nx, n, scratch, out);
}

using SmoothLayer = void (*)(const std::uint8_t*, const std::uint8_t*, const std::uint8_t*, std::int64_t, std::int64_t,
                             std::int16_t*, const LayerSmoothings&);

SmoothLayer smooth_layer_for(Kernel k) {
    return k >= Kernel::kAvx512 ? smooth_layer_avx512 : k >= Kernel::kAvx2 ? smooth_layer_avx2 : smooth_layer_plain;
}

// The occupancy gradient of a layer from the smoothings: component a at a cell is smoothing a at
// the next cell along a minus the same at the one before (for z, of the layers after and before).
// Only the cells on the box's faces are left wrong (or 0), and no face reads them.
[[gnu::always_inline]] inline void gradient_layer(const std::int16_t* s0, const std::int16_t* s1, const std::int16_t* s2_below,
                                                  const std::int16_t* s2_above, std::int64_t nx, std::int64_t n,
                                                  std::int16_t* const g[3]) {
    const std::int64_t edge = std::min(nx, n);
    for (std::int64_t i = 1; i + 1 < n; ++i) g[0][i] = static_cast<std::int16_t>(s0[i + 1] - s0[i - 1]);
    g[0][0] = 0, g[0][n - 1] = 0;
    std::fill(g[1], g[1] + edge, std::int16_t{0});
    std::fill(g[1] + std::max(n - nx, edge), g[1] + n, std::int16_t{0});
    for (std::int64_t i = nx; i < n - nx; ++i) g[1][i] = static_cast<std::int16_t>(s1[i + nx] - s1[i - nx]);
    for (std::int64_t i = 0; i < n; ++i) g[2][i] = static_cast<std::int16_t>(s2_above[i] - s2_below[i]);
}

void gradient_layer_plain(const std::int16_t* s0, const std::int16_t* s1, const std::int16_t* s2_below,
                          const std::int16_t* s2_above, std::int64_t nx, std::int64_t n, std::int16_t* const g[3]) {
    gradient_layer(s0, s1, s2_below, s2_above, nx, n, g);
}
TARVO_AVX2_TARGET void gradient_layer_avx2(const std::int16_t* s0, const std::int16_t* s1, const std::int16_t* s2_below,
                                           const std::int16_t* s2_above, std::int64_t nx, std::int64_t n,
                                           std::int16_t* const g[3]) {
    gradient_layer(s0, s1, s2_below, s2_above, nx, n, g);
}
TARVO_AVX512_TARGET void gradient_layer_avx512(const std::int16_t* s0, const std::int16_t* s1,
                                               const std::int16_t* s2_below, const std::int16_t* s2_above,
                                               std::int64_t nx, std::int64_t n, std::int16_t* const g[3]) {
    gradient_layer(s0, s1, s2_below, s2_above, nx, n, g);
}

using GradientLayer = void (*)(const std::int16_t*, const std::int16_t*, const std::int16_t*, const std::int16_t*,
                               std::int64_t, std::int64_t, std::int16_t* const[3]);

GradientLayer gradient_layer_for(Kernel k) {
    return k >= Kernel::kAvx512 ? gradient_layer_avx512 : k >= Kernel::kAvx2 ? gradient_layer_avx2 : gradient_layer_plain;
}

// The layers' bytes, smoothings and gradients of a box, made in order as the faces need them: the
// faces of layer z read the gradients of layers z and z + 1, and the gradient of a layer the
// smoothings of the layers beside it. Four layers' bytes and smoothings are kept (layer k in slot
// k % 4), two layers' gradients; by each thread from one box to the next: no allocation, no fresh
// pages.
class LayerWindow {
public:
    explicit LayerWindow(const BitRows& b)
        : b_(b), nx_(b.size[0]), n_(b.size[0] * b.size[1]), smooth_layer_(smooth_layer_for(chosen_kernel())),
          gradient_layer_(gradient_layer_for(chosen_kernel())) {
        const auto n = static_cast<std::size_t>(n_);
        bytes_.resize(5 * (n + 8));
        std::fill(bytes_.begin() + static_cast<std::ptrdiff_t>(4 * (n + 8)), bytes_.end(), std::uint8_t{0});
        fields_.resize(kFields * n);
        std::fill(zero_field(), zero_field() + n, std::int16_t{0});
    }

    // Makes the gradients of layers up to z (at most the last), in order.
    void make_through(std::int64_t z) {
        z = std::min(z, b_.size[2] - 1);
        for (; gradients_made_ < z; ++gradients_made_) {
            const std::int64_t k = gradients_made_ + 1;
            smooth_through(k + 1);
            const std::int16_t* below = k > 0 ? field(smoothing_slot(k - 1, 2)) : zero_field();
            const std::int16_t* above = k + 1 < b_.size[2] ? field(smoothing_slot(k + 1, 2)) : zero_field();
            std::int16_t* const out[3] = {field(gradient_slot(k, 0)), field(gradient_slot(k, 1)), field(gradient_slot(k, 2))};
            gradient_layer_(field(smoothing_slot(k, 0)), field(smoothing_slot(k, 1)), below, above, nx_, n_, out);
        }
    }

    // Component a of the gradient of layer k (made, and not before the last made but one).
    const std::int16_t* gradient(std::int64_t k, int a) { return field(gradient_slot(k, a)); }

private:
    static constexpr int kFields = 12 + 6 + 2;  // smoothings, gradients, scratch, zero
    static int smoothing_slot(std::int64_t k, int a) { return static_cast<int>(k & 3) * 3 + a; }
    static int gradient_slot(std::int64_t k, int a) { return 12 + static_cast<int>(k & 1) * 3 + a; }
    std::int16_t* field(int slot) { return &fields_[static_cast<std::size_t>(slot * n_)]; }
    std::int16_t* zero_field() { return field(kFields - 1); }
    std::uint8_t* layer_of(std::int64_t k) { return &bytes_[static_cast<std::size_t>((k & 3) * (n_ + 8))]; }
    std::uint8_t* zero_layer() { return &bytes_[static_cast<std::size_t>(4 * (n_ + 8))]; }

    // Makes the smoothings of layers up to z (at most the last), in order.
    void smooth_through(std::int64_t z) {
        z = std::min(z, b_.size[2] - 1);
        if (smoothed_ < 0 && z >= 0) layer_bytes(b_, 0, layer_of(0));
        for (; smoothed_ < z; ++smoothed_) {
            const std::int64_t k = smoothed_ + 1;
            if (k + 1 < b_.size[2]) layer_bytes(b_, k + 1, layer_of(k + 1));
            const std::uint8_t* below = k > 0 ? layer_of(k - 1) : zero_layer();
            const std::uint8_t* above = k + 1 < b_.size[2] ? layer_of(k + 1) : zero_layer();
            const LayerSmoothings out{{field(smoothing_slot(k, 0)), field(smoothing_slot(k, 1)), field(smoothing_slot(k, 2))}};
            smooth_layer_(below, layer_of(k), above, nx_, n_, field(kFields - 2), out);
        }
    }

    const BitRows& b_;
    std::int64_t nx_, n_;
    SmoothLayer smooth_layer_;
    GradientLayer gradient_layer_;
    std::int64_t smoothed_ = -1, gradients_made_ = -1;
    static thread_local std::vector<std::uint8_t> bytes_;
    static thread_local std::vector<std::int16_t> fields_;
};

thread_local std::vector<std::uint8_t> LayerWindow::bytes_;
thread_local std::vector<std::int16_t> LayerWindow::fields_;

// The faces of a layer in voxel units: the 1- and 2-norms of each one's normal (whole numbers).
struct UnitFaces {
    std::vector<std::int32_t> l1, l2;

    void reserve(std::size_t n) { l1.resize(n), l2.resize(n); }
    void put(std::size_t f, int a, int b, int c, int) {
        l1[f] = std::abs(a) + std::abs(b) + std::abs(c);
        l2[f] = a * a + b * b + c * c;
    }
    double add(std::size_t n, double area) const { return add_weights(l1.data(), l2.data(), n, area); }
};

// A plane patch of area A and unit normal m (in the spacing's units) shows A |m_a| / F_a faces
// across axis a, F_a the area of such a face (the product of the other two spacings): a face
// across a weighted F_a |m|_2 / |m|_1 sums to A. The gradient along a in those units is the
// gradient along the grid's axis over s_a. With unit spacing these are the weights above.
struct ScaledFaces {
    std::array<double, 3> spacing, face;
    std::vector<std::int32_t> n[3];
    std::vector<std::uint8_t> axis;

    explicit ScaledFaces(const std::array<double, 3>& s)
        : spacing(s), face{s[1] * s[2], s[0] * s[2], s[0] * s[1]} {}
    void reserve(std::size_t size) {
        for (auto& v : n) v.resize(size);
        axis.resize(size);
    }
    void put(std::size_t f, int a, int b, int c, int across) {
        n[0][f] = a, n[1][f] = b, n[2][f] = c;
        axis[f] = static_cast<std::uint8_t>(across);
    }
    double add(std::size_t count, double area) const {
        for (std::size_t f = 0; f < count; ++f) {
            const double patch = face[axis[f]];
            double l1 = 0, l2 = 0;
            for (int a = 0; a < 3; ++a) {
                const double m = n[a][f] / spacing[a];
                l1 += std::fabs(m);
                l2 += m * m;
            }
            area += l1 > 0 ? patch * std::sqrt(l2) / l1 : patch;
        }
        return area;
    }
};

template <class Faces>
double sum_of_faces(const BitRows& b, Faces& faces) {
    const std::int64_t nx = b.size[0], ny = b.size[1], nz = b.size[2], words = b.words;
    LayerWindow window(b);
    faces.reserve(static_cast<std::size_t>(3 * nx * ny + 1));  // and one written past the last
    double area = 0;
    for (std::int64_t z = 1; z + 1 < nz; ++z) {
        window.make_through(z + 1);
        const std::int16_t *g0 = window.gradient(z, 0), *g1 = window.gradient(z, 1), *g2 = window.gradient(z, 2);
        const std::int16_t *u0 = window.gradient(z + 1, 0), *u1 = window.gradient(z + 1, 1), *u2 = window.gradient(z + 1, 2);
        std::size_t n = 0;
        auto add = [&](std::int64_t i, int j0, int j1, int j2, int axis, std::uint64_t there) {
            faces.put(n, g0[i] + j0, g1[i] + j1, g2[i] + j2, axis);
            n += there;
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
                    add(i, g0[i + 1], g1[i + 1], g2[i + 1], 0, (mx >> k) & 1);
                    add(i, g0[i + nx], g1[i + nx], g2[i + nx], 1, (my >> k) & 1);
                    add(i, u0[i], u1[i], u2[i], 2, (mz >> k) & 1);
                }
            }
        }
        area = faces.add(n, area);
    }
    return area;
}

}  // namespace

double surface_area(const BitRows& b) {
    UnitFaces faces;
    return sum_of_faces(b, faces);
}

double surface_area(const BitRows& b, const std::array<double, 3>& spacing) {
    if (spacing == std::array<double, 3>{1, 1, 1}) return surface_area(b);
    ScaledFaces faces(spacing);
    return sum_of_faces(b, faces);
}

}  // namespace tarvo::quantities
