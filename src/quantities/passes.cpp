// The surface area of a particle's box from its packed rows, layer by layer: the passes behind
// properties(), with the same result, bit for bit, as the cell-by-cell form in reference.cpp.
//
// The gradients are formed by separable passes (the 3x3x3 Scharr weights are a smoothing 3, 10, 3
// along two axes times a difference along the third; the smoothings by passes over a layer, the
// differences at the faces), in place of two 27-cell sums for each face. The sums are whole
// numbers, so the order of the passes changes nothing; the faces' weights are added in the
// reference's order. A layer's smoothings are made just before its faces need them, so that the
// few layers in use stay in the cache. The cells with faces are found from the packed rows 64
// cells at a time and listed, and their faces' norms made from the list, eight cells at a time
// under AVX-512.
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
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tarvo::quantities {
namespace {

[[maybe_unused]] bool wide_vectors() { return chosen_kernel() >= Kernel::kAvx2; }

// |n|_2 / |n|_1 for each face (1 where n is 0), added to `area` face by face in order. Every term
// is a whole number a double holds exactly, and the square root and the quotient are rounded
// correctly by the scalar and the vector instructions alike, so both give the reference's weights;
// the vector forms store a few weights and add them one by one, so that the divisions of the next
// ones overlap the additions.
double add_weights_plain(const std::int32_t* norms, std::size_t n, double area) {
    for (std::size_t f = 0; f < n; ++f) {
        const std::int32_t l1 = norms[2 * f], l2 = norms[2 * f + 1];
        area += l1 > 0 ? std::sqrt(static_cast<double>(l2)) / static_cast<double>(l1) : 1.0;
    }
    return area;
}

#if TARVO_X86_SIMD
TARVO_AVX2_TARGET double add_weights_avx2(const std::int32_t* norms, std::size_t n, double area) {
    std::size_t f = 0;
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256i apart = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);  // the 1-norms, then the 2-norms
    alignas(32) double w[4];
    for (; f + 4 <= n; f += 4) {
        const __m256i both = _mm256_permutevar8x32_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(norms + 2 * f)), apart);
        const __m128i a = _mm256_castsi256_si128(both), b = _mm256_extracti128_si256(both, 1);
        const __m256d zero = _mm256_castsi256_pd(_mm256_cvtepi32_epi64(_mm_cmpeq_epi32(a, _mm_setzero_si128())));
        // A face without a normal divides by 1 (l2 is 0 there too) and is then set to 1.
        const __m256d d = _mm256_blendv_pd(_mm256_cvtepi32_pd(a), one, zero);
        const __m256d q = _mm256_div_pd(_mm256_sqrt_pd(_mm256_cvtepi32_pd(b)), d);
        _mm256_store_pd(w, _mm256_blendv_pd(q, one, zero));
        for (const double v : w) area += v;
    }
    return add_weights_plain(norms + 2 * f, n - f, area);
}

// Eight at a time; the division only where the normal is not 0, the others 1.
TARVO_AVX512_TARGET double add_weights_avx512(const std::int32_t* norms, std::size_t n, double area) {
    std::size_t f = 0;
    const __m512d one = _mm512_set1_pd(1.0);
    alignas(64) double w[8];
    for (; f + 8 <= n; f += 8) {
        // The 1-norm in the low half of each 64 bits. (The zero-masked forms with every lane: g++ 12
        // takes the plain ones' undefined start for uninitialised.)
        const __m512i both = _mm512_loadu_si512(norms + 2 * f);
        const __m256i a = _mm512_maskz_cvtepi64_epi32(0xff, both);
        const __m256i b = _mm512_maskz_cvtepi64_epi32(0xff, _mm512_maskz_srli_epi64(0xff, both, 32));
        const __mmask8 some = _mm256_cmpgt_epi32_mask(a, _mm256_setzero_si256());
        const __m512d root = _mm512_maskz_sqrt_pd(0xff, _mm512_maskz_cvtepi32_pd(0xff, b));
        _mm512_store_pd(w, _mm512_mask_div_pd(one, some, root, _mm512_maskz_cvtepi32_pd(0xff, a)));
        for (const double v : w) area += v;
    }
    return add_weights_plain(norms + 2 * f, n - f, area);
}
#endif

// norms: the 1- and 2-norm of each face side by side.
double add_weights(const std::int32_t* norms, std::size_t n, double area) {
#if TARVO_X86_SIMD
    if (chosen_kernel() >= Kernel::kAvx512) return add_weights_avx512(norms, n, area);
    if (wide_vectors()) return add_weights_avx2(norms, n, area);
#endif
    return add_weights_plain(norms, n, area);
}


// Eight bytes, 0 or 1, from the low eight bits of b (bit k to byte k): the multiplication copies b
// to every byte, the mask keeps bit k of byte k, and the addition carries it to the byte's top.
std::uint64_t spread_bits(std::uint64_t b) {
    const std::uint64_t r = ((b & 0xff) * 0x0101010101010101ULL) & 0x8040201008040201ULL;
    return ((r + 0x7f7f7f7f7f7f7f7fULL) >> 7) & 0x0101010101010101ULL;
}

// Rows [first, last] of layer z of the box, one byte a cell (x fastest), into out (a layer and
// kLayerSlack bytes more: the bytes are written several at a time, and a row's last ones run
// into the next row, written after, with 0s).
constexpr std::int64_t kLayerSlack = 64;

template <class RowBytes>
[[gnu::always_inline]] inline void layer_bytes(const BitRows& b, std::int64_t z, std::int64_t first, std::int64_t last,
                                               std::uint8_t* out, RowBytes row_bytes) {
    const std::int64_t nx = b.size[0], ny = b.size[1];
    for (std::int64_t y = first; y <= last; ++y) row_bytes(b.row(y + ny * z), out + y * nx);
}

void layer_bytes_plain(const BitRows& b, std::int64_t z, std::int64_t first, std::int64_t last, std::uint8_t* out) {
    const std::int64_t nx = b.size[0];
    layer_bytes(b, z, first, last, out, [nx](const std::uint64_t* row, std::uint8_t* o) {
        for (std::int64_t x = 0; x < nx; x += 8) {
            const std::uint64_t v = spread_bits(row[x >> 6] >> (x & 63));
            std::memcpy(o + x, &v, sizeof v);
        }
    });
}

#if TARVO_X86_SIMD
// A word's 64 bytes at once from its bits.
TARVO_AVX512_TARGET void layer_bytes_avx512(const BitRows& b, std::int64_t z, std::int64_t first, std::int64_t last,
                                            std::uint8_t* out) {
    const std::int64_t words = b.words;
    const __m512i one = _mm512_set1_epi8(1);
    layer_bytes(b, z, first, last, out, [words, one](const std::uint64_t* row, std::uint8_t* o) TARVO_AVX512_TARGET {
        for (std::int64_t w = 0; w < words; ++w) _mm512_storeu_si512(o + 64 * w, _mm512_maskz_mov_epi8(row[w], one));
    });
}
#endif

using LayerBytes = void (*)(const BitRows&, std::int64_t, std::int64_t, std::int64_t, std::uint8_t*);

LayerBytes layer_bytes_for([[maybe_unused]] Kernel k) {
#if TARVO_X86_SIMD
    if (k >= Kernel::kAvx512) return layer_bytes_avx512;
#endif
    return layer_bytes_plain;
}

// The cells [from, to) of a layer of n cells, rows of nx, outside which a pass's results are 0:
// the rows next to those with set cells in the layers the pass reads.
struct Span {
    std::int64_t nx, n, from, to;
};

// A layer's three smoothings, whose differences are the occupancy gradient (at most 16 * 16: 16
// bits hold them): component a at a cell is smooth[a] at the next cell along a minus smooth[a] at
// the one before.
struct LayerSmoothings {
    std::int16_t* smooth[3];  // S_y S_z c, S_x S_z c, S_x S_y c
};

// S_z c and S_y c over cells [from, to) of a layer, from the bytes of the layers below, here and
// above. (The fields lie apart: restrict spares the loops their checks for overlap.)
[[gnu::always_inline]] inline void smooth_bytes(const std::uint8_t* __restrict b, const std::uint8_t* __restrict h,
                                                const std::uint8_t* __restrict a, std::uint8_t* __restrict across_z,
                                                std::uint8_t* __restrict across_y, std::int64_t nx, std::int64_t from,
                                                std::int64_t to) {
    for (std::int64_t i = from; i < to; ++i) {
        across_z[i] = static_cast<std::uint8_t>(3 * b[i] + 10 * h[i] + 3 * a[i]);
        across_y[i] = static_cast<std::uint8_t>(3 * h[i - nx] + 10 * h[i] + 3 * h[i + nx]);
    }
}

// S_y S_z c, S_x S_z c and S_x S_y c over cells [from, to) from S_z c and S_y c.
[[gnu::always_inline]] inline void smooth_twice(const std::uint8_t* __restrict across_z,
                                                const std::uint8_t* __restrict across_y, std::int16_t* __restrict s0,
                                                std::int16_t* __restrict s1, std::int16_t* __restrict s2,
                                                std::int64_t nx, std::int64_t from, std::int64_t to) {
    // The sides' and the middle's parts (at most 96 and 160) fit a byte; only their sum (up to 256)
    // needs 16 bits, so most of the work is done 64 cells a register under AVX-512.
    for (std::int64_t i = from; i < to; ++i) {
        const auto z_middle = static_cast<std::uint8_t>(10 * across_z[i]), y_middle = static_cast<std::uint8_t>(10 * across_y[i]);
        const auto z_sides_y = static_cast<std::uint8_t>(3 * (across_z[i - nx] + across_z[i + nx]));
        const auto z_sides_x = static_cast<std::uint8_t>(3 * (across_z[i - 1] + across_z[i + 1]));
        const auto y_sides_x = static_cast<std::uint8_t>(3 * (across_y[i - 1] + across_y[i + 1]));
        s0[i] = static_cast<std::int16_t>(z_sides_y + z_middle);
        s1[i] = static_cast<std::int16_t>(z_sides_x + z_middle);
        s2[i] = static_cast<std::int16_t>(y_sides_x + y_middle);
    }
}

// The cells a layer's smoothings are made over: the span, away from the layer's first and last
// row and cell (margin cells, where they are 0).
std::array<std::int64_t, 2> smoothed_cells(const Span& span) {
    const std::int64_t from = std::max(span.from, span.nx + 1);
    return {from, std::max(from, std::min(span.to, span.n - span.nx - 1))};
}

// The smoothings in two passes over smoothed_cells(span): the first makes S_z c and S_y c from the
// layers' bytes (at most 16: into the two scratch arrays of a byte a cell), the second the three
// smoothings from those. The five must be 0 elsewhere (the caller clears them). Across the ends of a row the values
// are wrong, but only in cells on the box's faces, which no face reads.
[[gnu::always_inline]] inline void smooth_layer(const std::uint8_t* below, const std::uint8_t* here,
                                                const std::uint8_t* above, const Span& span, std::uint8_t* scratch,
                                                const LayerSmoothings& out) {
    const auto [from, to] = smoothed_cells(span);
    std::uint8_t* across_y = scratch + span.n;
    smooth_bytes(below, here, above, scratch, across_y, span.nx, from, to);
    smooth_twice(scratch, across_y, out.smooth[0], out.smooth[1], out.smooth[2], span.nx, from, to);
}

// The integer passes are compiled again for AVX2 and AVX-512, which vectorise them wider; their
// results are whole numbers, the same either way.
void smooth_layer_plain(const std::uint8_t* below, const std::uint8_t* here, const std::uint8_t* above,
                        const Span& span, std::uint8_t* scratch, const LayerSmoothings& out) {
    smooth_layer(below, here, above, span, scratch, out);
}
TARVO_AVX2_TARGET void smooth_layer_avx2(const std::uint8_t* below, const std::uint8_t* here, const std::uint8_t* above,
                                         const Span& span, std::uint8_t* scratch, const LayerSmoothings& out) {
    smooth_layer(below, here, above, span, scratch, out);
}
TARVO_AVX512_TARGET void smooth_layer_avx512(const std::uint8_t* below, const std::uint8_t* here,
                                             const std::uint8_t* above, const Span& span, std::uint8_t* scratch,
                                             const LayerSmoothings& out) {
    smooth_layer(below, here, above, span, scratch, out);
}

using SmoothLayer = void (*)(const std::uint8_t*, const std::uint8_t*, const std::uint8_t*, const Span&, std::uint8_t*,
                             const LayerSmoothings&);

SmoothLayer smooth_layer_for(Kernel k) {
    return k >= Kernel::kAvx512 ? smooth_layer_avx512 : k >= Kernel::kAvx2 ? smooth_layer_avx2 : smooth_layer_plain;
}

// The occupancy gradient of a layer from the smoothings, its three components side by side in four
// 16-bit numbers a cell (the fourth 0), so that a face reads a cell's with one load: component a at
// a cell is smoothing a at the next cell along a minus the same at the one before (for z, of the
// layers after and before). Only the cells on the box's faces are left wrong (or 0), and no face
// reads them.
// The cells of the span away from the layer's first and last rows (where the differences along y
// would leave the layer). The gradient is left as it was elsewhere: the faces read it only at the
// cells of a face and their neighbours, in rows next to set cells of the layer or the layers beside
// it, which are in the span.
std::array<std::int64_t, 2> inner_span(const Span& span) {
    return {std::max(span.from, span.nx), std::min(span.to, span.n - span.nx)};
}

[[gnu::always_inline]] inline void gradient_cells(const std::int16_t* s0, const std::int16_t* s1,
                                                  const std::int16_t* s2_below, const std::int16_t* s2_above,
                                                  std::int64_t nx, std::int64_t from, std::int64_t to, std::int16_t* g) {
    for (std::int64_t i = from; i < to; ++i) {
        g[4 * i] = static_cast<std::int16_t>(s0[i + 1] - s0[i - 1]);
        g[4 * i + 1] = static_cast<std::int16_t>(s1[i + nx] - s1[i - nx]);
        g[4 * i + 2] = static_cast<std::int16_t>(s2_above[i] - s2_below[i]);
        g[4 * i + 3] = 0;
    }
}

void gradient_layer_plain(const std::int16_t* s0, const std::int16_t* s1, const std::int16_t* s2_below,
                          const std::int16_t* s2_above, const Span& span, std::int16_t* g) {
    const auto [from, to] = inner_span(span);
    gradient_cells(s0, s1, s2_below, s2_above, span.nx, from, to, g);
}

#if TARVO_X86_SIMD
TARVO_AVX2_TARGET inline __m256i load16(const std::int16_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

// Sixteen cells at a time: the three components' differences, then interleaved by unpacking 16-bit
// and 32-bit lanes (within each half of the register) and putting the halves in order.
TARVO_AVX2_TARGET void gradient_layer_avx2(const std::int16_t* s0, const std::int16_t* s1, const std::int16_t* s2_below,
                                           const std::int16_t* s2_above, const Span& span, std::int16_t* g) {
    const auto [from, to] = inner_span(span);
    const std::int64_t nx = span.nx;
    const __m256i zero = _mm256_setzero_si256();
    std::int64_t i = from;
    for (; i + 16 <= to; i += 16) {
        const __m256i g0 = _mm256_sub_epi16(load16(s0 + i + 1), load16(s0 + i - 1));
        const __m256i g1 = _mm256_sub_epi16(load16(s1 + i + nx), load16(s1 + i - nx));
        const __m256i g2 = _mm256_sub_epi16(load16(s2_above + i), load16(s2_below + i));
        const __m256i a_lo = _mm256_unpacklo_epi16(g0, g1), a_hi = _mm256_unpackhi_epi16(g0, g1);
        const __m256i b_lo = _mm256_unpacklo_epi16(g2, zero), b_hi = _mm256_unpackhi_epi16(g2, zero);
        const __m256i q0 = _mm256_unpacklo_epi32(a_lo, b_lo), q1 = _mm256_unpackhi_epi32(a_lo, b_lo);  // cells 0-3, 8-11
        const __m256i q2 = _mm256_unpacklo_epi32(a_hi, b_hi), q3 = _mm256_unpackhi_epi32(a_hi, b_hi);  // 4-7, 12-15
        auto* out = reinterpret_cast<__m256i*>(g + 4 * i);
        _mm256_storeu_si256(out, _mm256_permute2x128_si256(q0, q1, 0x20));
        _mm256_storeu_si256(out + 1, _mm256_permute2x128_si256(q2, q3, 0x20));
        _mm256_storeu_si256(out + 2, _mm256_permute2x128_si256(q0, q1, 0x31));
        _mm256_storeu_si256(out + 3, _mm256_permute2x128_si256(q2, q3, 0x31));
    }
    gradient_cells(s0, s1, s2_below, s2_above, nx, i, to, g);
}
#endif

using GradientLayer = void (*)(const std::int16_t*, const std::int16_t*, const std::int16_t*, const std::int16_t*,
                               const Span&, std::int16_t*);

GradientLayer gradient_layer_for([[maybe_unused]] Kernel k) {
#if TARVO_X86_SIMD
    if (k >= Kernel::kAvx2) return gradient_layer_avx2;
#endif
    return gradient_layer_plain;
}

// The layers' bytes, smoothings and gradients of a box, made in order as the faces need them: the
// faces of layer z read the gradients of layers z and z + 1, and the gradient of a layer the
// smoothings of the layers beside it. Each is formed only over the rows near set cells, 0 beyond
// (cleared only where the slot's last layer wrote). Four layers' bytes and smoothings are kept
// (layer k in slot k % 4), two layers' gradients; by each thread from one box to the next: no
// allocation, no fresh pages.
class LayerWindow {
public:
    explicit LayerWindow(const BitRows& b)
        : b_(b), nx_(b.size[0]), n_(b.size[0] * b.size[1]), smooth_layer_(smooth_layer_for(chosen_kernel())),
          gradient_layer_(gradient_layer_for(chosen_kernel())), layer_bytes_(layer_bytes_for(chosen_kernel())) {
        const auto n = static_cast<std::size_t>(n_);
        bytes_.resize(5 * (n + kLayerSlack) + 2 * n);
        std::fill(zero_layer(), zero_layer() + n + kLayerSlack, std::uint8_t{0});
        fields_.resize(kFields * n);
        std::fill(zero_field(), zero_field() + n, std::int16_t{0});
        written_.fill({0, n_});  // left by the last box
        scratch_written_ = {0, n_};
        rows_written_.fill({0, b.size[1] - 1});
    }

    // Makes the gradients of layers up to z (at most the last), in order.
    void make_through(std::int64_t z) {
        z = std::min(z, b_.size[2] - 1);
        for (; gradients_made_ < z; ++gradients_made_) {
            const std::int64_t k = gradients_made_ + 1;
            smooth_through(k + 1);
            const std::int16_t* below = k > 0 ? field(smoothing_slot(k - 1, 2)) : zero_field();
            const std::int16_t* above = k + 1 < b_.size[2] ? field(smoothing_slot(k + 1, 2)) : zero_field();
            gradient_layer_(field(smoothing_slot(k, 0)), field(smoothing_slot(k, 1)), below, above, span(k),
                            field(gradient_slot(k)));
        }
    }

    // The gradient of layer k, four numbers a cell (made, and not before the last made but one).
    const std::int16_t* gradient(std::int64_t k) { return field(gradient_slot(k)); }

private:
    static constexpr int kFields = 12 + 8 + 1;  // smoothings, gradients (four a cell), zero
    static int smoothing_slot(std::int64_t k, int a) { return static_cast<int>(k & 3) * 3 + a; }
    static int gradient_slot(std::int64_t k) { return 12 + static_cast<int>(k & 1) * 4; }
    std::int16_t* field(int slot) { return &fields_[static_cast<std::size_t>(slot * n_)]; }
    std::int16_t* zero_field() { return field(kFields - 1); }
    std::uint8_t* layer_of(std::int64_t k) { return &bytes_[static_cast<std::size_t>((k & 3) * (n_ + kLayerSlack))]; }
    std::uint8_t* zero_layer() { return &bytes_[static_cast<std::size_t>(4 * (n_ + kLayerSlack))]; }
    std::uint8_t* scratch() { return &bytes_[static_cast<std::size_t>(5 * (n_ + kLayerSlack))]; }  // two layers

    // Makes the smoothings of layers up to z (at most the last), in order.
    void smooth_through(std::int64_t z) {
        z = std::min(z, b_.size[2] - 1);
        if (smoothed_ < 0 && z >= 0) bytes_of(0);
        for (; smoothed_ < z; ++smoothed_) {
            const std::int64_t k = smoothed_ + 1;
            if (k + 1 < b_.size[2]) bytes_of(k + 1);
            const std::uint8_t* below = k > 0 ? layer_of(k - 1) : zero_layer();
            const std::uint8_t* above = k + 1 < b_.size[2] ? layer_of(k + 1) : zero_layer();
            const LayerSmoothings out{{field(smoothing_slot(k, 0)), field(smoothing_slot(k, 1)), field(smoothing_slot(k, 2))}};
            const Span cells = span(k);
            for (const int slot : {smoothing_slot(k, 0), smoothing_slot(k, 1), smoothing_slot(k, 2)})
                clear_around(field(slot), written_[static_cast<std::size_t>(slot)], smoothed_cells(cells));
            clear_around(scratch(), scratch_written_, smoothed_cells(cells));
            smooth_layer_(below, layer_of(k), above, cells, scratch(), out);
        }
    }

    // A field is cleared only where it was written last and is not written now: the cells it holds
    // other than 0 in.
    // (The scratch: two arrays of n bytes.)
    void clear_around(std::int16_t* f, std::array<std::int64_t, 2>& written, std::array<std::int64_t, 2> now) {
        auto& [from, to] = written;
        if (from < now[0]) std::fill(f + from, f + std::min(to, now[0]), std::int16_t{0});
        if (to > now[1]) std::fill(f + std::max(from, now[1]), f + to, std::int16_t{0});
        from = now[0], to = now[1];
    }
    void clear_around(std::uint8_t* f, std::array<std::int64_t, 2>& written, std::array<std::int64_t, 2> now) {
        auto& [from, to] = written;
        for (std::uint8_t* a : {f, f + n_}) {
            if (from < now[0]) std::fill(a + from, a + std::min(to, now[0]), std::uint8_t{0});
            if (to > now[1]) std::fill(a + std::max(from, now[1]), a + to, std::uint8_t{0});
        }
        from = now[0], to = now[1];
    }

    // The same for the layers' bytes, by rows: only the rows with set cells are written (the bytes
    // that run past a row's end are 0).
    void bytes_of(std::int64_t k) {
        auto [first, last] = b_.layer_rows[static_cast<std::size_t>(k)];
        if (first > last) first = b_.size[1], last = b_.size[1] - 1;  // none
        auto& [was_first, was_last] = rows_written_[static_cast<std::size_t>(k & 3)];
        std::uint8_t* bytes = layer_of(k);
        if (was_first < first) std::memset(bytes + was_first * nx_, 0, static_cast<std::size_t>((std::min(was_last + 1, first) - was_first) * nx_));
        if (was_last > last) {
            const std::int64_t from = std::max(was_first, last + 1);
            std::memset(bytes + from * nx_, 0, static_cast<std::size_t>((was_last + 1 - from) * nx_));
        }
        was_first = first, was_last = last;
        layer_bytes_(b_, k, first, last, bytes);
    }

    // The cells of layer k that the smoothings and gradients may be other than 0 at: the rows with
    // set cells in the layers k - 1 to k + 1, and one more on either side (the smoothing across y).
    Span span(std::int64_t k) const {
        std::int64_t first = b_.size[1], last = -1;
        for (std::int64_t j = std::max<std::int64_t>(k - 1, 0); j <= std::min(k + 1, b_.size[2] - 1); ++j)
            first = std::min(first, b_.layer_rows[static_cast<std::size_t>(j)][0]),
            last = std::max(last, b_.layer_rows[static_cast<std::size_t>(j)][1]);
        if (first > last) return {nx_, n_, 0, 0};
        return {nx_, n_, std::max<std::int64_t>(first - 1, 0) * nx_, std::min(last + 2, b_.size[1]) * nx_};
    }

    const BitRows& b_;
    std::int64_t nx_, n_;
    SmoothLayer smooth_layer_;
    GradientLayer gradient_layer_;
    LayerBytes layer_bytes_;
    std::int64_t smoothed_ = -1, gradients_made_ = -1;
    std::array<std::array<std::int64_t, 2>, kFields> written_;   // the cells of each field that may not be 0
    std::array<std::int64_t, 2> scratch_written_;               // and of the scratch
    std::array<std::array<std::int64_t, 2>, 4> rows_written_;    // the rows of each layer's bytes that may not be 0
    static thread_local std::vector<std::uint8_t> bytes_;
    static thread_local std::vector<std::int16_t> fields_;
};

thread_local std::vector<std::uint8_t> LayerWindow::bytes_;
thread_local std::vector<std::int16_t> LayerWindow::fields_;

// The faces of a layer's face cells (face_cells), one cell after the other, through faces.cell.
template <class Faces>
std::size_t faces_cell_by_cell(Faces& faces, const std::int16_t* g, const std::int16_t* up, std::int64_t nx,
                               const std::int32_t* index, const std::uint8_t* there, std::size_t count) {
    std::size_t n = 0;
    for (std::size_t c = 0; c < count; ++c) n = faces.cell(g, up, index[c], nx, there[c], n);
    return n;
}

#if TARVO_X86_SIMD
// The normals of eight faces from the gradients of their two cells, four 16-bit numbers a cell in
// each 64-bit lane: the 1-norm in the low half of each lane, the square of the 2-norm in the high.
TARVO_AVX512_TARGET inline __m512i face_norms(__m512i here, __m512i next) {
    const __m512i v = _mm512_add_epi16(here, next);
    const __m512i l2 = _mm512_madd_epi16(v, v), l1 = _mm512_madd_epi16(_mm512_abs_epi16(v), _mm512_set1_epi16(1));
    return _mm512_mask_blend_epi32(0xaaaa, _mm512_add_epi32(l1, _mm512_maskz_srli_epi64(0xff, l1, 32)),
                                   _mm512_add_epi32(l2, _mm512_maskz_slli_epi64(0xff, l2, 32)));
}

// The 64 bits at each of eight cells of a field of four 16-bit numbers a cell. (The zero-masked
// forms with every lane: g++ 12 takes the plain ones' undefined start for uninitialised.)
TARVO_AVX512_TARGET inline __m512i gather_cells(__m256i cells, const std::int16_t* field) {
    return _mm512_mask_i32gather_epi64(_mm512_setzero_si512(), 0xff, cells, field, 8);
}

// The 128 bits at each of four cells of a field of four 16-bit numbers a cell: the cell's and the
// next one's.
TARVO_AVX512_TARGET inline __m512i pairs_of_cells(const std::int16_t* field, const std::int32_t* cells) {
    auto pair = [field, cells](int k) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(field + 4 * std::int64_t{cells[k]})); };
    const __m512i two = _mm512_inserti32x4(_mm512_zextsi128_si512(pair(0)), pair(1), 1);
    return _mm512_inserti32x4(_mm512_inserti32x4(two, pair(2), 2), pair(3), 3);
}

// The lanes of `faces` under `mask`, packed, at face n (a whole register stored: the storage runs
// on); the next free face.
TARVO_AVX512_TARGET inline std::size_t put_faces(__m512i faces, unsigned mask, std::int64_t* out, std::size_t n) {
    _mm512_storeu_si512(out + n, _mm512_maskz_compress_epi64(static_cast<__mmask8>(mask), faces));
    return n + static_cast<std::size_t>(std::popcount(mask));
}

// Something made of each face of eight face cells at a time, 64 bits a face, by face(here, next)
// from the gradients of the face's two cells in 64-bit lanes (four 16-bit numbers a cell): those
// of the cells' next cells along x (side by side with the cells': loaded in pairs, 128 bits a
// cell), y and z (gathered); the 24 faces put in the cells' order (x, y, z of each) and packed
// down to those that are faces, from out on; with the 24-bit mask of each eight cells' faces to
// mask_of (which of them are faces). The count of faces.
template <class Face, class Masks>
TARVO_AVX512_TARGET inline std::size_t faces_avx512(const std::int16_t* g, const std::int16_t* up, std::int64_t nx,
                                                    const std::int32_t* index, const std::uint8_t* there,
                                                    std::size_t count, std::int64_t* out, Face face, Masks masks) {
    // Lanes 0-7 of x, 8-15 of y, then z's put in where the mask says.
    const __m512i xy0 = _mm512_setr_epi64(0, 8, 0, 1, 9, 0, 2, 10), z0 = _mm512_setr_epi64(0, 0, 0, 0, 0, 1, 0, 0);
    const __m512i xy1 = _mm512_setr_epi64(0, 3, 11, 0, 4, 12, 0, 5), z1 = _mm512_setr_epi64(2, 0, 0, 3, 0, 0, 4, 0);
    const __m512i xy2 = _mm512_setr_epi64(13, 0, 6, 14, 0, 7, 15, 0), z2 = _mm512_setr_epi64(0, 5, 0, 0, 6, 0, 0, 7);
    const __m512i firsts = _mm512_setr_epi64(0, 2, 4, 6, 8, 10, 12, 14), seconds = _mm512_setr_epi64(1, 3, 5, 7, 9, 11, 13, 15);
    std::size_t n = 0;
    for (std::size_t c = 0; c < count; c += 8) {
        const __m256i cells = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(index + c));
        const __m512i four = pairs_of_cells(g, index + c), next_four = pairs_of_cells(g, index + c + 4);
        const __m512i here = _mm512_permutex2var_epi64(four, firsts, next_four);
        const __m512i x = face(here, _mm512_permutex2var_epi64(four, seconds, next_four));
        const __m512i y = face(here, gather_cells(cells, g + 4 * nx));
        const __m512i z = face(here, gather_cells(cells, up));
        std::uint64_t bytes;
        std::memcpy(&bytes, there + c, sizeof bytes);
        const auto mask = static_cast<unsigned>(_pext_u64(bytes, 0x0707070707070707ULL));  // bit 3 cell + axis
        masks(mask, n);
        n = put_faces(_mm512_mask_permutexvar_epi64(_mm512_permutex2var_epi64(x, xy0, y), 0x24, z0, z), mask & 0xff, out, n);
        n = put_faces(_mm512_mask_permutexvar_epi64(_mm512_permutex2var_epi64(x, xy1, y), 0x49, z1, z), (mask >> 8) & 0xff, out, n);
        n = put_faces(_mm512_mask_permutexvar_epi64(_mm512_permutex2var_epi64(x, xy2, y), 0x92, z2, z), mask >> 16, out, n);
    }
    return n;
}

// What faces_avx512 makes of a face: its norms (see face_norms), or its normal.
struct NormsOfFace {
    TARVO_AVX512_TARGET __m512i operator()(__m512i here, __m512i next) const { return face_norms(here, next); }
};
struct NormalOfFace {
    TARVO_AVX512_TARGET __m512i operator()(__m512i here, __m512i next) const { return _mm512_add_epi16(here, next); }
};

// The norms of the faces of eight face cells at a time (see faces_avx512): the three normals'
// squares and absolute values summed in pairs by multiply-adds and the pairs in each lane.
TARVO_AVX512_TARGET std::size_t face_norms_avx512(const std::int16_t* g, const std::int16_t* up, std::int64_t nx,
                                                  const std::int32_t* index, const std::uint8_t* there,
                                                  std::size_t count, std::int32_t* norms) {
    return faces_avx512(
        g, up, nx, index, there, count, reinterpret_cast<std::int64_t*>(norms),
        NormsOfFace{}, [](unsigned, std::size_t) {});
}

// The normals of the faces of eight face cells at a time (see faces_avx512), four 16-bit numbers a
// face, and the axis each face lies across.
TARVO_AVX512_TARGET std::size_t face_normals_avx512(const std::int16_t* g, const std::int16_t* up, std::int64_t nx,
                                                    const std::int32_t* index, const std::uint8_t* there,
                                                    std::size_t count, std::int64_t* normals, std::uint8_t* axis) {
    // 0, 1, 2 for the x, y and z faces of each of eight cells.
    const __m512i axes = _mm512_set_epi8(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                         0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 1, 0, 2, 1, 0, 2, 1, 0, 2, 1, 0, 2, 1, 0, 2,
                                         1, 0, 2, 1, 0, 2, 1, 0);
    return faces_avx512(
        g, up, nx, index, there, count, normals,
        NormalOfFace{},
        [axes, axis](unsigned mask, std::size_t n) TARVO_AVX512_TARGET {
            _mm512_storeu_si512(axis + n, _mm512_maskz_compress_epi8(mask, axes));
        });
}
#endif

// The faces of a layer in voxel units: the 1- and 2-norms of each one's normal (whole numbers),
// side by side.
struct UnitFaces {
    static thread_local std::vector<std::int32_t> storage;  // kept from one box to the next
    std::int32_t* norms = nullptr;
    bool sse2 = chosen_kernel() >= Kernel::kSse2, avx512 = chosen_kernel() >= Kernel::kAvx512;

    void reserve(std::size_t n) {
        storage.resize(std::max(storage.size(), 2 * n));
        norms = storage.data();
    }
    // The faces of cell i across x, y and z where `there` has bits 0, 1, 2, from the gradients of
    // this layer (g) and the next (up), four numbers a cell, put from face n on; the next free face.
    std::size_t cell(const std::int16_t* g, const std::int16_t* up, std::int64_t i, std::int64_t nx, unsigned there,
                     std::size_t n) {
#if defined(__SSE2__)
        if (sse2) return cell_sse2(g, up, i, nx, there, n);
#endif
        const std::int16_t* here = g + 4 * i;
        const std::int16_t* next[3] = {g + 4 * (i + 1), g + 4 * (i + nx), up + 4 * i};
        for (int axis = 0; axis < 3; ++axis) {
            std::int32_t l1 = 0, l2 = 0;
            for (int a = 0; a < 3; ++a) {
                const int v = here[a] + next[axis][a];
                l1 += std::abs(v);
                l2 += v * v;
            }
            norms[2 * n] = l1, norms[2 * n + 1] = l2;
            n += (there >> axis) & 1;
        }
        return n;
    }
#if defined(__SSE2__)
    // The three faces at once: the normals of x and y in one register, of z in another; the squares
    // and the absolute values summed in pairs by multiply-adds, and the pairs by shuffles.
    std::size_t cell_sse2(const std::int16_t* g, const std::int16_t* up, std::int64_t i, std::int64_t nx, unsigned there,
                          std::size_t n) {
        auto four = [](const std::int16_t* p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)); };
        const __m128i here = four(g + 4 * i);
        const __m128i xy = _mm_add_epi16(_mm_unpacklo_epi64(here, here), _mm_unpacklo_epi64(four(g + 4 * (i + 1)), four(g + 4 * (i + nx))));
        const __m128i z = _mm_add_epi16(here, four(up + 4 * i));
        const __m128i ones = _mm_set1_epi16(1);
        auto pairs_added = [](__m128i p, __m128i q) {  // [p0 + p1, p2 + p3, q0 + q1, q2 + q3]
            const __m128 a = _mm_castsi128_ps(p), b = _mm_castsi128_ps(q);
            return _mm_add_epi32(_mm_castps_si128(_mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0))),
                                 _mm_castps_si128(_mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1))));
        };
        auto abs16 = [](__m128i v) { return _mm_max_epi16(v, _mm_sub_epi16(_mm_setzero_si128(), v)); };
        const __m128i l2 = pairs_added(_mm_madd_epi16(xy, xy), _mm_madd_epi16(z, z));
        const __m128i l1 = pairs_added(_mm_madd_epi16(abs16(xy), ones), _mm_madd_epi16(abs16(z), ones));
        const __m128i face_xy = _mm_unpacklo_epi32(l1, l2), face_z = _mm_unpackhi_epi32(l1, l2);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(&norms[2 * n]), face_xy);
        n += there & 1;
        _mm_storeh_pd(reinterpret_cast<double*>(&norms[2 * n]), _mm_castsi128_pd(face_xy));
        n += (there >> 1) & 1;
        _mm_storel_epi64(reinterpret_cast<__m128i*>(&norms[2 * n]), face_z);
        return n + ((there >> 2) & 1);
    }
#endif
    // The faces of a layer's face cells (face_cells); their count.
    std::size_t layer(const std::int16_t* g, const std::int16_t* up, std::int64_t nx, const std::int32_t* index,
                      const std::uint8_t* there, std::size_t count) {
#if TARVO_X86_SIMD
        if (avx512) return face_norms_avx512(g, up, nx, index, there, count, norms);
#endif
        return faces_cell_by_cell(*this, g, up, nx, index, there, count);
    }
    double add(std::size_t n, double area) const { return add_weights(norms, n, area); }
};

thread_local std::vector<std::int32_t> UnitFaces::storage;

// The faces of a layer in the units of a voxel size: each one's normal (whole numbers, packed
// in 64 bits), the axis it lies across, and the spacing with the area of a face across each axis.
struct ScaledNorms {
    const std::int64_t* normal;  // four 16-bit numbers a face: the three components and 0
    const std::uint8_t* axis;
    std::array<double, 3> spacing, face;
};

// Component a of face f's normal.
double component(const ScaledNorms& s, std::size_t f, int a) {
    std::int16_t n[4];
    std::memcpy(n, &s.normal[f], sizeof n);
    return n[a];
}

// The weights of faces [from, to) added to `area` face by face in order (see ScaledFaces). Never
// inlined: within a function compiled for AVX-512 (which has multiply-adds) the compiler would fuse
// l2 += m * m, and the weights of the last faces would be rounded otherwise.
[[gnu::noinline]] double add_scaled_plain(const ScaledNorms& s, std::size_t from, std::size_t to, double area) {
    for (std::size_t f = from; f < to; ++f) {
        const double patch = s.face[s.axis[f]];
        double l1 = 0, l2 = 0;
        for (int a = 0; a < 3; ++a) {
            const double m = component(s, f, a) / s.spacing[a];
            l1 += std::fabs(m);
            l2 += m * m;
        }
        area += l1 > 0 ? patch * std::sqrt(l2) / l1 : patch;
    }
    return area;
}

#if TARVO_X86_SIMD
// The same weights eight faces at a time, each operation the scalar one's, in its order and
// rounded as it is (0 + v is v: the sums start from their first terms); the products and sums
// by their explicitly rounded forms, which the compiler never fuses into multiply-adds as it may
// the plain ones. The weights are stored and added one by one.
constexpr int kNearest = _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC;

// (The zero-masked forms with every lane: g++ 12 takes the plain ones' undefined start for
// uninitialised.)
TARVO_AVX512_TARGET inline __m512d add_avx512(__m512d a, __m512d b) { return _mm512_maskz_add_round_pd(0xff, a, b, kNearest); }
TARVO_AVX512_TARGET inline __m512d mul_avx512(__m512d a, __m512d b) { return _mm512_maskz_mul_round_pd(0xff, a, b, kNearest); }
TARVO_AVX512_TARGET inline __m512d div_avx512(__m512d a, __m512d b) { return _mm512_maskz_div_round_pd(0xff, a, b, kNearest); }
TARVO_AVX512_TARGET inline __m512d abs_avx512(__m512d v) {
    return _mm512_castsi512_pd(_mm512_and_si512(_mm512_castpd_si512(v), _mm512_set1_epi64(0x7fffffffffffffffLL)));
}

TARVO_AVX512_TARGET double add_scaled_avx512(const ScaledNorms& s, std::size_t count, double area) {
    const __m512d spacing[3] = {_mm512_set1_pd(s.spacing[0]), _mm512_set1_pd(s.spacing[1]), _mm512_set1_pd(s.spacing[2])};
    const __m512d faces = _mm512_setr_pd(s.face[0], s.face[1], s.face[2], 0, 0, 0, 0, 0);
    alignas(64) double w[8];
    std::size_t f = 0;
    for (; f + 8 <= count; f += 8) {
        // Each component to the top 16 bits of its lane, then down with its sign, then to doubles.
        const __m512i lanes = _mm512_loadu_si512(s.normal + f);
        const __m512i top[3] = {_mm512_maskz_slli_epi64(0xff, lanes, 48), _mm512_maskz_slli_epi64(0xff, lanes, 32),
                                _mm512_maskz_slli_epi64(0xff, lanes, 16)};
        __m512d m[3];
        for (int a = 0; a < 3; ++a) {
            const __m256i n = _mm512_maskz_cvtepi64_epi32(0xff, _mm512_maskz_srai_epi64(0xff, top[a], 48));
            m[a] = div_avx512(_mm512_maskz_cvtepi32_pd(0xff, n), spacing[a]);
        }
        const __m512d l1 = add_avx512(add_avx512(abs_avx512(m[0]), abs_avx512(m[1])), abs_avx512(m[2]));
        const __m512d l2 = add_avx512(add_avx512(mul_avx512(m[0], m[0]), mul_avx512(m[1], m[1])), mul_avx512(m[2], m[2]));
        const __m512i across = _mm512_maskz_cvtepu8_epi64(0xff, _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s.axis + f)));
        const __m512d patch = _mm512_maskz_permutexvar_pd(0xff, across, faces);
        const __mmask8 some = _mm512_cmp_pd_mask(l1, _mm512_setzero_pd(), _CMP_GT_OQ);
        const __m512d weight = div_avx512(mul_avx512(patch, _mm512_maskz_sqrt_round_pd(0xff, l2, kNearest)), l1);
        _mm512_store_pd(w, _mm512_mask_blend_pd(some, patch, weight));
        for (const double v : w) area += v;
    }
    return add_scaled_plain(s, f, count, area);
}
#endif

// A plane patch of area A and unit normal m (in the spacing's units) shows A |m_a| / F_a faces
// across axis a, F_a the area of such a face (the product of the other two spacings): a face
// across a weighted F_a |m|_2 / |m|_1 sums to A. The gradient along a in those units is the
// gradient along the grid's axis over s_a. With unit spacing these are the weights above.
struct ScaledFaces {
    std::array<double, 3> spacing, face;
    std::vector<std::int64_t> normal;  // see ScaledNorms
    std::vector<std::uint8_t> axis;
    bool avx512 = chosen_kernel() >= Kernel::kAvx512;

    explicit ScaledFaces(const std::array<double, 3>& s)
        : spacing(s), face{s[1] * s[2], s[0] * s[2], s[0] * s[1]} {}
    void reserve(std::size_t size) {
        normal.resize(size);
        axis.resize(size + 64);  // a register's bytes stored at the last face
    }
    std::size_t cell(const std::int16_t* g, const std::int16_t* up, std::int64_t i, std::int64_t nx, unsigned there,
                     std::size_t f) {
        const std::int16_t* here = g + 4 * i;
        const std::int16_t* next[3] = {g + 4 * (i + 1), g + 4 * (i + nx), up + 4 * i};
        for (int across = 0; across < 3; ++across) {
            std::int16_t n[4] = {};
            for (int a = 0; a < 3; ++a) n[a] = static_cast<std::int16_t>(here[a] + next[across][a]);  // at most 2 * 256
            std::memcpy(&normal[f], n, sizeof n);
            axis[f] = static_cast<std::uint8_t>(across);
            f += (there >> across) & 1;
        }
        return f;
    }
    std::size_t layer(const std::int16_t* g, const std::int16_t* up, std::int64_t nx, const std::int32_t* index,
                      const std::uint8_t* there, std::size_t count) {
#if TARVO_X86_SIMD
        if (avx512) return face_normals_avx512(g, up, nx, index, there, count, normal.data(), axis.data());
#endif
        return faces_cell_by_cell(*this, g, up, nx, index, there, count);
    }
    double add(std::size_t count, double area) const {
        const ScaledNorms norms{normal.data(), axis.data(), spacing, face};
#if TARVO_X86_SIMD
        if (avx512) return add_scaled_avx512(norms, count, area);
#endif
        return add_scaled_plain(norms, 0, count, area);
    }
};

// Which cells of word w of a row have a face between them and the next cell along x, y and z (one
// set, the other empty): cells 1 to nx - 2 of the row only, the reference's.
struct FaceMasks {
    std::uint64_t x, y, z;
};

[[gnu::always_inline]] inline std::uint64_t face_masks_inside(std::int64_t w, std::int64_t nx) {
    std::uint64_t inside = w == 0 ? ~std::uint64_t{1} : ~std::uint64_t{0};
    if (const std::int64_t keep = nx - 1 - 64 * w; keep < 64) inside &= keep <= 0 ? 0 : ~std::uint64_t{0} >> (64 - keep);
    return inside;
}

[[gnu::always_inline]] inline FaceMasks face_masks(const std::uint64_t* row, const std::uint64_t* next_y,
                                                   const std::uint64_t* next_z, std::int64_t w, std::int64_t words,
                                                   std::int64_t nx) {
    const std::uint64_t inside = face_masks_inside(w, nx);
    const std::uint64_t next_cells = w + 1 < words ? row[w + 1] << 63 : 0;
    return {(row[w] ^ (row[w] >> 1 | next_cells)) & inside, (row[w] ^ next_y[w]) & inside, (row[w] ^ next_z[w]) & inside};
}

// The cells of layer z (away from the box's faces) with a face, in order: each one's index in the
// layer and which of its three faces are faces (bits 0, 1, 2). Padded with faceless copies of the
// last to a multiple of eight; the count without them. The buffers run 64 past the layer's cells.
std::size_t face_cells_plain(const BitRows& b, std::int64_t z, std::int32_t* index, std::uint8_t* there) {
    const std::int64_t nx = b.size[0], ny = b.size[1], words = b.words;
    std::size_t count = 0;
    for (std::int64_t y = 1; y + 1 < ny; ++y) {
        const std::uint64_t *row = b.row(y + ny * z), *next_y = b.row(y + 1 + ny * z), *next_z = b.row(y + ny * (z + 1));
        for (std::int64_t w = 0; w < words; ++w) {
            const FaceMasks m = face_masks(row, next_y, next_z, w, words, nx);
            const auto first = static_cast<std::int32_t>(y * nx + 64 * w);
            for (std::uint64_t any = m.x | m.y | m.z; any; any &= any - 1) {
                const int k = std::countr_zero(any);
                index[count] = first + k;
                there[count++] = static_cast<std::uint8_t>(((m.x >> k) & 1) | ((m.y >> k) & 1) << 1 | ((m.z >> k) & 1) << 2);
            }
        }
    }
    return count;
}

#if TARVO_X86_SIMD
// The face cells of one word (masks m, its first cell's index `first`) from face `count` on, a
// word at a time without a branch a cell: the word's 64 cells' bits spread to bytes and their
// indices counted up, both packed down to the face cells (whole registers stored, each over the
// last one's unused end); the next free place.
TARVO_AVX512_TARGET inline std::size_t put_face_cells(const FaceMasks& m, std::int32_t first, std::int32_t* index,
                                                     std::uint8_t* there, std::size_t count) {
    const std::uint64_t any = m.x | m.y | m.z;
    if (!any) return count;
    const __m512i one = _mm512_set1_epi8(1), two = _mm512_set1_epi8(2), four = _mm512_set1_epi8(4);
    const __m512i bits = _mm512_or_si512(_mm512_maskz_mov_epi8(m.x, one),
                                         _mm512_or_si512(_mm512_maskz_mov_epi8(m.y, two), _mm512_maskz_mov_epi8(m.z, four)));
    _mm512_storeu_si512(there + count, _mm512_maskz_compress_epi8(any, bits));
    __m512i cells = _mm512_add_epi32(_mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15), _mm512_set1_epi32(first));
    for (int quarter = 0; quarter < 4; ++quarter) {
        const auto part = static_cast<__mmask16>(any >> (16 * quarter));
        _mm512_storeu_si512(index + count, _mm512_maskz_compress_epi32(part, cells));
        count += static_cast<std::size_t>(std::popcount(static_cast<unsigned>(part)));
        cells = _mm512_add_epi32(cells, _mm512_set1_epi32(16));
    }
    return count;
}

// The face cells of layer z under AVX-512. Rows of one word are consecutive words, and so are the
// rows after them along y and z: their masks are made eight rows at a time.
TARVO_AVX512_TARGET std::size_t face_cells_avx512(const BitRows& b, std::int64_t z, std::int32_t* index,
                                                  std::uint8_t* there) {
    const std::int64_t nx = b.size[0], ny = b.size[1], words = b.words;
    std::size_t count = 0;
    std::int64_t y = 1;
    if (words == 1) {
        const auto inside = _mm512_set1_epi64(static_cast<std::int64_t>(face_masks_inside(0, nx)));
        for (; y + 9 <= ny; y += 8) {
            const std::uint64_t* row = b.row(y + ny * z);
            const __m512i a = _mm512_loadu_si512(row), next_y = _mm512_loadu_si512(row + 1),
                          next_z = _mm512_loadu_si512(row + ny);
            alignas(64) std::uint64_t mx[8], my[8], mz[8];
            _mm512_store_si512(mx, _mm512_and_si512(_mm512_xor_si512(a, _mm512_maskz_srli_epi64(0xff, a, 1)), inside));
            _mm512_store_si512(my, _mm512_and_si512(_mm512_xor_si512(a, next_y), inside));
            _mm512_store_si512(mz, _mm512_and_si512(_mm512_xor_si512(a, next_z), inside));
            for (int k = 0; k < 8; ++k)
                count = put_face_cells({mx[k], my[k], mz[k]}, static_cast<std::int32_t>((y + k) * nx), index, there, count);
        }
    }
    for (; y + 1 < ny; ++y) {
        const std::uint64_t *row = b.row(y + ny * z), *next_y = b.row(y + 1 + ny * z), *next_z = b.row(y + ny * (z + 1));
        for (std::int64_t w = 0; w < words; ++w)
            count = put_face_cells(face_masks(row, next_y, next_z, w, words, nx), static_cast<std::int32_t>(y * nx + 64 * w),
                                   index, there, count);
    }
    return count;
}
#endif

std::size_t face_cells(const BitRows& b, std::int64_t z, std::int32_t* index, std::uint8_t* there) {
#if TARVO_X86_SIMD
    const std::size_t count = chosen_kernel() >= Kernel::kAvx512 ? face_cells_avx512(b, z, index, there)
                                                                 : face_cells_plain(b, z, index, there);
#else
    const std::size_t count = face_cells_plain(b, z, index, there);
#endif
    for (std::size_t pad = count; pad % 8; ++pad) index[pad] = index[count - 1], there[pad] = 0;
    return count;
}

template <class Faces>
double sum_of_faces(const BitRows& b, Faces& faces) {
    const std::int64_t nx = b.size[0], ny = b.size[1], nz = b.size[2];
    LayerWindow window(b);
    const auto most = static_cast<std::size_t>(nx * ny + 64);
    static thread_local std::vector<std::int32_t> index;  // kept from one box to the next
    static thread_local std::vector<std::uint8_t> there;
    index.resize(std::max(index.size(), most)), there.resize(std::max(there.size(), most));
    faces.reserve(3 * most);
    double area = 0;
    for (std::int64_t z = 1; z + 1 < nz; ++z) {
        window.make_through(z + 1);
        const std::size_t count = face_cells(b, z, index.data(), there.data());
        const std::size_t n = faces.layer(window.gradient(z), window.gradient(z + 1), nx, index.data(), there.data(), count);
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
