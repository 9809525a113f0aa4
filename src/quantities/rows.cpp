// The moments, the enclosed pores and the Euler number of a particle's box from its rows packed 64
// cells to a word: a row of a grain of edge 64 is one word, so these passes touch an eighth of the
// bytes of the byte box and count whole words at once. All three are whole numbers, the same as
// the cell-by-cell forms in reference.cpp.
#include <bit>
#include <cstring>
#include <vector>

#include "quantities/grid.h"
#include "sys/cpu.h"

#if TARVO_X86_SIMD
#include <immintrin.h>
#endif

namespace tarvo::quantities {
namespace {

// Bits [from, from + n) of the bitmap (n <= 64), bit 0 first. Only whole words holding a wanted
// bit are read: the bitmap is padded to whole words.
std::uint64_t bitmap_bits(const std::uint8_t* data, std::int64_t from, std::int64_t n) {
    auto word = [data](std::int64_t k) {
        std::uint64_t v;
        std::memcpy(&v, data + 8 * k, sizeof v);
        return v;
    };
    const std::int64_t k = from >> 6, shift = from & 63;
    std::uint64_t v = word(k) >> shift;
    if (shift && n > 64 - shift) v |= word(k + 1) << (64 - shift);
    return n < 64 ? v & ((std::uint64_t{1} << n) - 1) : v;
}

// ORs the n bits of v into the row at cell x.
void put_bits(std::uint64_t* row, std::int64_t x, std::uint64_t v, std::int64_t n) {
    const std::int64_t k = x >> 6, shift = x & 63;
    row[k] |= v << shift;
    if (shift && n > 64 - shift) row[k + 1] |= v >> (64 - shift);
}

}  // namespace

BitRows bit_rows(const TelesoRecord& rec, std::int32_t margin) {
    BitRows b;
    const BoxExtent e = box_extent(rec, margin);
    const std::array<std::int32_t, 3>&lo = e.first, &hi = e.last;
    b.lo = e.lo;
    b.size = e.size;
    b.words = (b.size[0] + 63) / 64;
    b.bits.assign(static_cast<std::size_t>(b.words * b.size[1] * b.size[2]), 0);
    b.layer_rows.assign(static_cast<std::size_t>(b.size[2]), {b.size[1], -1});
    const std::int64_t length = std::int64_t{hi[0]} - lo[0] + 1;
    for (std::int32_t z = lo[2]; z <= hi[2]; ++z)
        for (std::int32_t y = lo[1]; y <= hi[1]; ++y) {
            const std::int64_t by = y - b.lo[1], bz = z - b.lo[2];
            std::uint64_t* row = b.row(by + b.size[1] * bz);
            const std::int64_t from = voxel_index(rec.dim, lo[0], y, z);
            std::uint64_t any = 0;
            for (std::int64_t x = 0; x < length; x += 64) {
                const std::int64_t n = std::min<std::int64_t>(64, length - x);
                const std::uint64_t v = bitmap_bits(rec.data, from + x, n);
                put_bits(row, margin + x, v, n);
                any |= v;
            }
            if (any) {
                auto& [first, last] = b.layer_rows[static_cast<std::size_t>(bz)];
                first = std::min(first, by), last = by;
            }
        }
    return b;
}

namespace {

// Mask k holds the bit positions j of a word with bit k of j set: sum of j over v's set bits =
// sum over k of 2^k popcount(v & mask k).
constexpr std::uint64_t kPlace[6] = {0xAAAAAAAAAAAAAAAAULL, 0xCCCCCCCCCCCCCCCCULL, 0xF0F0F0F0F0F0F0F0ULL,
                                     0xFF00FF00FF00FF00ULL, 0xFFFF0000FFFF0000ULL, 0xFFFFFFFF00000000ULL};

struct LocalSums {
    std::int64_t n = 0, x = 0, y = 0, z = 0, xx = 0, yy = 0, zz = 0, xy = 0, xz = 0, yz = 0;
};

// The sum of x^2 over the set bits of v, x = base + the bit's place: from the popcounts under the
// masks of the place's bits and of their pairs (j^2 = sum over bits k, l of j of 2^(k + l)).
[[gnu::always_inline]] inline std::int64_t squares_of(std::uint64_t v, std::int64_t base) {
    std::int64_t j = 0, jj = 0;  // the sums of the places and of their squares
    for (int k = 0; k < 6; ++k) {
        const std::uint64_t vk = v & kPlace[k];
        j += std::int64_t{std::popcount(vk)} << k;
        jj += std::int64_t{std::popcount(vk)} << (2 * k);
        for (int l = k + 1; l < 6; ++l) jj += std::int64_t{std::popcount(vk & kPlace[l])} << (k + l + 1);
    }
    return base * base * std::popcount(v) + 2 * base * j + jj;
}

// The sums without x that a row of n set cells at y, z adds.
[[gnu::always_inline]] inline void add_row(LocalSums& s, std::int64_t y, std::int64_t z, std::int64_t n) {
    s.n += n;
    s.y += y * n;
    s.z += z * n;
    s.yy += y * y * n;
    s.zz += z * z * n;
    s.yz += y * z * n;
}

// The sums in the box's own coordinates: per row its count and the sum of its x (popcounts under
// the masks of x's bits); the sum of x^2 from how many set cells each x has over all rows, counted
// in eight bit planes (a row added by a carry through them, no branch) and taken out every 255 rows.
[[gnu::always_inline]] inline LocalSums local_sums(const BitRows& b) {
    constexpr int kPlanes = 8;
    constexpr std::int64_t kRowsAPass = (1 << kPlanes) - 1;
    std::vector<std::uint64_t> planes(static_cast<std::size_t>(kPlanes * b.words), 0);
    std::int64_t added = 0;
    LocalSums s;
    auto take_out = [&] {
        for (std::int64_t w = 0; w < b.words; ++w)
            for (int k = 0; k < kPlanes; ++k) {
                std::uint64_t& p = planes[static_cast<std::size_t>(kPlanes * w + k)];
                if (p) s.xx += squares_of(p, 64 * w) << k;
                p = 0;
            }
        added = 0;
    };
    for (std::int64_t z = 0; z < b.size[2]; ++z)
        for (std::int64_t y = 0; y < b.size[1]; ++y) {
            const std::uint64_t* row = b.row(y + b.size[1] * z);
            std::int64_t n = 0, x_sum = 0;
            for (std::int64_t w = 0; w < b.words; ++w) {
                const std::uint64_t v = row[w];
                const std::int64_t count = std::popcount(v);
                n += count;
                x_sum += 64 * w * count;
                for (int k = 0; k < 6; ++k) x_sum += std::int64_t{std::popcount(v & kPlace[k])} << k;
                std::uint64_t* p = &planes[static_cast<std::size_t>(kPlanes * w)];
                for (std::uint64_t carry = v, k = 0; k < kPlanes; ++k) {
                    const std::uint64_t next = p[k] & carry;
                    p[k] ^= carry;
                    carry = next;
                }
            }
            if (++added == kRowsAPass) take_out();
            add_row(s, y, z, n);
            s.x += x_sum;
            s.xy += y * x_sum;
            s.xz += z * x_sum;
        }
    take_out();
    return s;
}

LocalSums local_sums_plain(const BitRows& b) { return local_sums(b); }
TARVO_AVX2_TARGET LocalSums local_sums_avx2(const BitRows& b) { return local_sums(b); }

#if TARVO_X86_SIMD
// Rows of one word (boxes up to 64 cells wide) under AVX-512: for each x, the number of set cells
// and the sums of their y and of their z, in sixteen 32-bit lanes of four registers each, added
// to under the row's bits as masks; the sums over x taken out every 65,536 rows (65,536 times a
// coordinate fits 32 bits). Per row only its count is needed (for the sums of y, z, and their
// products); the sums with x come from the columns.
class OneWordColumns {
public:
    [[gnu::always_inline]] TARVO_AVX512_TARGET void add(std::uint64_t v, std::int64_t y, std::int64_t z) {
        const __m512i one = _mm512_set1_epi32(1), ys = _mm512_set1_epi32(static_cast<std::int32_t>(y)),
                      zs = _mm512_set1_epi32(static_cast<std::int32_t>(z));
        for (int q = 0; q < 4; ++q) {
            const auto cells = static_cast<__mmask16>(v >> (16 * q));
            count_[q] = _mm512_mask_add_epi32(count_[q], cells, count_[q], one);
            y_[q] = _mm512_mask_add_epi32(y_[q], cells, y_[q], ys);
            z_[q] = _mm512_mask_add_epi32(z_[q], cells, z_[q], zs);
        }
    }
    [[gnu::always_inline]] TARVO_AVX512_TARGET void take_out(LocalSums& s) {
        alignas(64) std::int32_t count[16], y[16], z[16];
        for (int q = 0; q < 4; ++q) {
            _mm512_store_si512(count, count_[q]), _mm512_store_si512(y, y_[q]), _mm512_store_si512(z, z_[q]);
            for (std::int64_t j = 0; j < 16; ++j) {
                const std::int64_t x = 16 * q + j;
                s.x += x * count[j], s.xx += x * x * count[j], s.xy += x * y[j], s.xz += x * z[j];
            }
            count_[q] = y_[q] = z_[q] = _mm512_setzero_si512();
        }
    }

private:
    __m512i count_[4] = {}, y_[4] = {}, z_[4] = {};
};

TARVO_AVX512_TARGET LocalSums local_sums_one_word_avx512(const BitRows& b) {
    constexpr std::int64_t kRowsAPass = std::int64_t{1} << 16;
    OneWordColumns columns;
    LocalSums s;
    std::int64_t added = 0;
    for (std::int64_t z = 0; z < b.size[2]; ++z)
        for (std::int64_t y = 0; y < b.size[1]; ++y) {
            const std::uint64_t v = b.row(y + b.size[1] * z)[0];
            const std::int64_t n = std::popcount(v);
            columns.add(v, y, z);
            if (++added == kRowsAPass) columns.take_out(s), added = 0;
            add_row(s, y, z, n);
        }
    columns.take_out(s);
    return s;
}
#endif

bool wide() { return chosen_kernel() >= Kernel::kAvx2; }

}  // namespace

// The sums of the positions (box coordinates plus lo) and their products from the box's own sums,
// exactly: sum (x + lx)(y + ly) = sum xy + ly sum x + lx sum y + n lx ly, and so on.
Moments moments_of(const BitRows& b) {
#if TARVO_X86_SIMD
    const LocalSums s = b.words == 1 && chosen_kernel() >= Kernel::kAvx512 ? local_sums_one_word_avx512(b)
                        : wide()                                          ? local_sums_avx2(b)
                                                                          : local_sums_plain(b);
#else
    const LocalSums s = wide() ? local_sums_avx2(b) : local_sums_plain(b);
#endif
    Moments m;
    const __int128 n = s.n, sum[3] = {s.x, s.y, s.z};
    const __int128 products[3][3] = {{s.xx, s.xy, s.xz}, {s.xy, s.yy, s.yz}, {s.xz, s.yz, s.zz}};
    const __int128 lo[3] = {b.lo[0], b.lo[1], b.lo[2]};
    m.n = s.n;
    for (int a = 0; a < 3; ++a) {
        m.s[a] = sum[a] + n * lo[a];
        for (int c = a; c < 3; ++c) m.ss[a][c] = products[a][c] + lo[c] * sum[a] + lo[a] * sum[c] + n * lo[a] * lo[c];
    }
    return m;
}

namespace {

// The bits of `through` reached from `seed` (within it) by steps to higher bits, and to lower
// bits: the fills of 1, 2, 4 ... steps, each through cells that hold that many in a row.
std::uint64_t fill_up(std::uint64_t seed, std::uint64_t through) {
    for (int step = 1; step < 64; step *= 2) {
        seed |= through & (seed << step);
        through &= through << step;
    }
    return seed;
}

std::uint64_t fill_down(std::uint64_t seed, std::uint64_t through) {
    for (int step = 1; step < 64; step *= 2) {
        seed |= through & (seed >> step);
        through &= through >> step;
    }
    return seed;
}

// The runs of `open` (a row of n words) that hold a cell of `seed`, whole: up word by word from
// the first, a run that reaches a word's top going on at the next word's bit 0, then down.
void fill_runs(const std::uint64_t* open, const std::uint64_t* seed, std::uint64_t* out, std::int64_t n) {
    std::uint64_t in = 0;
    for (std::int64_t w = 0; w < n; ++w) {
        out[w] = fill_up(seed[w] | (in & open[w]), open[w]);
        in = out[w] >> 63;
    }
    in = 0;
    for (std::int64_t w = n - 1; w >= 0; --w) {
        const std::uint64_t down = fill_down(seed[w] | ((in << 63) & open[w]), open[w]);
        out[w] |= down;
        in = down & 1;
    }
}

}  // namespace

namespace {

// The empty cells of row `cells` (n words, the last holding `last` bits) between its first and its
// last set cell into `open`; whether there are any. The others join the row's two ends, on the
// box's border.
bool open_between_ends(const std::uint64_t* cells, std::uint64_t* open, std::int64_t n, std::int64_t last) {
    std::int64_t first_word = 0, last_word = n - 1;
    while (first_word < n && !cells[first_word]) ++first_word;
    if (first_word == n) return false;
    while (!cells[last_word]) --last_word;
    std::uint64_t any = 0;
    for (std::int64_t w = first_word; w <= last_word; ++w) {
        std::uint64_t o = ~cells[w];
        if (w == first_word) o &= ~((cells[w] & (0 - cells[w])) - 1);          // from the first set cell
        if (w == last_word) o &= ~std::uint64_t{0} >> std::countl_zero(cells[w]);  // to the last
        if (w + 1 == n && last % 64) o &= (std::uint64_t{1} << (last % 64)) - 1;
        open[w] = o;
        any |= o;
    }
    return any != 0;
}

// The empty cells reached from the box's border through empty cells, row by row: a row's runs
// holding a cell next to a reached cell of the rows beside it (y +- 1, z +- 1) are reached whole,
// and the rows beside a row that gained are looked at again, until none gains. Border rows are
// reached whole, the others from their two ends first. What is left open is enclosed.
template <class OpenLayer>
[[gnu::always_inline]] inline std::int64_t enclosed(const BitRows& b, OpenLayer open_layer) {
    const std::int64_t ny = b.size[1], nz = b.size[2], words = b.words;
    // Kept by each thread from one box to the next: no allocation, no fresh pages.
    static thread_local std::vector<std::uint64_t> open, seed, grown;
    static thread_local std::vector<std::int64_t> todo, candidates;  // rows with open cells between their ends
    static thread_local std::vector<std::uint8_t> queued, inner;
    open.assign(b.bits.size(), 0), seed.assign(static_cast<std::size_t>(words), 0), grown.assign(seed.size(), 0);
    todo.clear(), candidates.clear();
    queued.assign(static_cast<std::size_t>(ny * nz), 0), inner.assign(queued.size(), 0);
    auto open_row = [&](std::int64_t r) { return &open[static_cast<std::size_t>(r * words)]; };
    auto found = [&](std::int64_t r) {
        todo.push_back(r);
        candidates.push_back(r);
        queued[static_cast<std::size_t>(r)] = 1;
    };
    for (std::int64_t z = 1; z + 1 < nz; ++z) {
        if (ny > 2) std::memset(&inner[static_cast<std::size_t>(1 + ny * z)], 1, static_cast<std::size_t>(ny - 2));
        open_layer(z, open.data(), found);
    }
    // Reached: empty and no longer open (outside the box's last cell too, never open).
    auto reached = [&](std::int64_t r, std::int64_t w) { return ~b.row(r)[w] & ~open_row(r)[w]; };
    const std::int64_t beside[4] = {-1, 1, -ny, ny};
    while (!todo.empty()) {
        const std::int64_t r = todo.back();
        todo.pop_back();
        queued[static_cast<std::size_t>(r)] = 0;
        std::uint64_t* o = open_row(r);
        std::uint64_t any = 0;
        for (std::int64_t w = 0; w < words; ++w) {
            const std::uint64_t near = reached(r - 1, w) | reached(r + 1, w) | reached(r - ny, w) | reached(r + ny, w);
            any |= seed[static_cast<std::size_t>(w)] = o[w] & near;
        }
        if (!any) continue;
        fill_runs(o, seed.data(), grown.data(), words);
        for (std::int64_t w = 0; w < words; ++w) o[w] &= ~grown[static_cast<std::size_t>(w)];
        for (const std::int64_t d : beside) {
            const auto next = static_cast<std::size_t>(r + d);
            if (!inner[next] || queued[next]) continue;
            queued[next] = 1;
            todo.push_back(r + d);
        }
    }
    std::int64_t count = 0;
    for (const std::int64_t r : candidates)
        for (std::int64_t w = 0; w < words; ++w) count += std::popcount(open_row(r)[w]);
    return count;
}

// The open cells of the inner rows of layer z (rows y = 1 to ny - 2) into open (the box's rows),
// found(r) for each row r with any.
template <class Found>
[[gnu::always_inline]] inline void open_rows(const BitRows& b, std::int64_t z, std::int64_t y, std::uint64_t* open,
                                             Found found) {
    const std::int64_t ny = b.size[1], words = b.words;
    for (; y + 1 < ny; ++y) {
        const std::int64_t r = y + ny * z;
        if (open_between_ends(b.row(r), open + r * words, words, b.size[0])) found(r);
    }
}

std::int64_t enclosed_plain(const BitRows& b) {
    return enclosed(b, [&b](std::int64_t z, std::uint64_t* open, auto found) { open_rows(b, z, 1, open, found); });
}
TARVO_AVX2_TARGET std::int64_t enclosed_avx2(const BitRows& b) {
    return enclosed(b, [&b](std::int64_t z, std::uint64_t* open, auto found) TARVO_AVX2_TARGET { open_rows(b, z, 1, open, found); });
}

#if TARVO_X86_SIMD
// The same for eight rows of one word: from the first set cell (the lowest set bit negated) to the
// last (the cells smeared down), not set.
TARVO_AVX512_TARGET inline __m512i open_between_ends8(__m512i cells) {
    const __m512i zero = _mm512_setzero_si512();
    __m512i to_last = cells;
    for (const unsigned shift : {1u, 2u, 4u, 8u, 16u, 32u})
        to_last = _mm512_or_si512(to_last, _mm512_maskz_srlv_epi64(0xff, to_last, _mm512_set1_epi64(shift)));
    const __m512i from_first = _mm512_sub_epi64(zero, _mm512_and_si512(cells, _mm512_sub_epi64(zero, cells)));
    return _mm512_and_si512(_mm512_xor_si512(cells, _mm512_set1_epi64(-1)), _mm512_and_si512(from_first, to_last));
}

// Boxes one word wide under AVX-512: a layer's inner rows are consecutive words, eight at a time.
TARVO_AVX512_TARGET std::int64_t enclosed_one_word_avx512(const BitRows& b) {
    const std::int64_t ny = b.size[1];
    return enclosed(b, [&b, ny](std::int64_t z, std::uint64_t* open, auto found) TARVO_AVX512_TARGET {
        std::int64_t y = 1;
        for (; y + 8 < ny; y += 8) {
            const std::int64_t r = y + ny * z;
            const __m512i o = open_between_ends8(_mm512_loadu_si512(b.row(r)));
            _mm512_storeu_si512(open + r, o);
            for (unsigned any = _mm512_test_epi64_mask(o, o); any; any &= any - 1) found(r + std::countr_zero(any));
        }
        open_rows(b, z, y, open, found);
    });
}
#endif

}  // namespace

std::int64_t enclosed_cells(const BitRows& b) {
#if TARVO_X86_SIMD
    if (b.words == 1 && chosen_kernel() >= Kernel::kAvx512) return enclosed_one_word_avx512(b);
#endif
    return wide() ? enclosed_avx2(b) : enclosed_plain(b);
}

namespace {

// The Euler number's terms of row r (y >= 1, z >= 1: the others hold margin cells only): for the
// lattice elements whose lower corner is each cell, with the row's cells A, the rows before it
// along y (B), z (C) and both (D), and each shifted by one cell along x (the cell before).
[[gnu::always_inline]] inline std::int64_t euler_row(const BitRows& b, std::int64_t r) {
    const std::int64_t ny = b.size[1], words = b.words;
    const std::uint64_t *a = b.row(r), *pb = b.row(r - 1), *pc = b.row(r - ny), *pd = b.row(r - ny - 1);
    std::uint64_t a_in = 0, b_in = 0, c_in = 0, d_in = 0;  // the previous word's top cell
    std::int64_t sum = 0;
    for (std::int64_t w = 0; w < words; ++w) {
        const std::uint64_t A = a[w], B = pb[w], C = pc[w], D = pd[w];
        if (!(A | B | C | D | a_in | b_in | c_in | d_in)) continue;
        const std::uint64_t As = A << 1 | a_in, Bs = B << 1 | b_in, Cs = C << 1 | c_in, Ds = D << 1 | d_in;
        a_in = A >> 63, b_in = B >> 63, c_in = C >> 63, d_in = D >> 63;
        const std::uint64_t x0 = A | As, y0 = A | B, z0 = A | C;                  // faces across x, y, z
        const std::uint64_t xy = x0 | B | Bs, xz = x0 | C | Cs, yz = y0 | C | D;  // edges along z, y, x
        const std::uint64_t v = xy | C | Cs | D | Ds;                             // vertex
        sum += std::popcount(v) - std::popcount(xy) - std::popcount(xz) - std::popcount(yz) +
               std::popcount(x0) + std::popcount(y0) + std::popcount(z0) - std::popcount(A);
    }
    return sum;
}

[[gnu::always_inline]] inline std::int64_t euler_rows(const BitRows& b) {
    std::int64_t sum = 0;
    for (std::int64_t z = 1; z < b.size[2]; ++z)
        for (std::int64_t y = 1; y < b.size[1]; ++y) sum += euler_row(b, y + b.size[1] * z);
    return sum;
}

std::int64_t euler_rows_plain(const BitRows& b) { return euler_rows(b); }
TARVO_AVX2_TARGET std::int64_t euler_rows_avx2(const BitRows& b) { return euler_rows(b); }

#if TARVO_X86_SIMD
// The set bits of each byte of m.
TARVO_AVX512_TARGET inline __m512i byte_counts(__m512i m) {
    // (The zero-masked forms with every lane: g++ 12 takes the plain ones' undefined start for
    // uninitialised.)
    const __m512i counts = _mm512_maskz_broadcast_i32x4(0xffff, _mm_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4));
    const __m512i low = _mm512_set1_epi8(0x0f);
    return _mm512_add_epi8(_mm512_shuffle_epi8(counts, _mm512_and_si512(m, low)),
                           _mm512_shuffle_epi8(counts, _mm512_and_si512(_mm512_maskz_srli_epi16(~0u, m, 4), low)));
}

// The cells of eight rows of one word, and each one's cell before.
TARVO_AVX512_TARGET inline __m512i shifted(__m512i v) { return _mm512_or_si512(v, _mm512_maskz_slli_epi64(0xff, v, 1)); }

// Rows of one word (boxes up to 64 cells wide) under AVX-512, eight rows of a layer at a time (the
// rows are consecutive words, so the rows before them along y and z are too): the eight terms'
// counts a byte, added with their signs (-32 to 32 a byte, 32 added) and summed by byte sums
// against 0; the rows left at a layer's end one by one.
TARVO_AVX512_TARGET std::int64_t euler_one_word_avx512(const BitRows& b) {
    const std::int64_t ny = b.size[1];
    const std::uint64_t* bits = b.bits.data();
    const __m512i bias = _mm512_set1_epi8(32);
    __m512i sums = _mm512_setzero_si512();
    std::int64_t sum = 0, biased = 0;
    for (std::int64_t z = 1; z < b.size[2]; ++z) {
        std::int64_t y = 1;
        for (; y + 8 <= ny; y += 8) {
            const std::int64_t r = y + ny * z;
            const __m512i A = _mm512_loadu_si512(bits + r), B = _mm512_loadu_si512(bits + r - 1);
            const __m512i C = _mm512_loadu_si512(bits + r - ny), D = _mm512_loadu_si512(bits + r - ny - 1);
            const __m512i x0 = shifted(A), y0 = _mm512_or_si512(A, B), z0 = _mm512_or_si512(A, C);
            const __m512i xy = _mm512_or_si512(x0, shifted(B)), xz = _mm512_or_si512(x0, shifted(C));
            const __m512i yz = _mm512_or_si512(y0, _mm512_or_si512(C, D));
            const __m512i v = _mm512_or_si512(_mm512_or_si512(xy, shifted(C)), shifted(D));
            const __m512i plus = _mm512_add_epi8(_mm512_add_epi8(byte_counts(v), byte_counts(x0)),
                                                 _mm512_add_epi8(byte_counts(y0), byte_counts(z0)));
            const __m512i minus = _mm512_add_epi8(_mm512_add_epi8(byte_counts(xy), byte_counts(xz)),
                                                  _mm512_add_epi8(byte_counts(yz), byte_counts(A)));
            const __m512i terms = _mm512_add_epi8(_mm512_sub_epi8(plus, minus), bias);
            sums = _mm512_add_epi64(sums, _mm512_sad_epu8(terms, _mm512_setzero_si512()));
            biased += 64 * 32;
        }
        for (; y < ny; ++y) sum += euler_row(b, y + ny * z);
    }
    alignas(64) std::int64_t lanes[8];
    _mm512_store_si512(lanes, sums);
    for (const std::int64_t lane : lanes) sum += lane;
    return sum - biased;
}
#endif

}  // namespace

// The Euler characteristic as vertices - edges + faces - cubes of the union of the set cells'
// closed cubes. Each lattice element is counted at the cell it is the lower corner of: it is part
// of the union when one of the cells around it is set. The margin keeps every element touched by a
// set cell inside the box.
std::int64_t euler_number(const BitRows& b) {
#if TARVO_X86_SIMD
    if (b.words == 1 && chosen_kernel() >= Kernel::kAvx512) return euler_one_word_avx512(b);
#endif
    return wide() ? euler_rows_avx2(b) : euler_rows_plain(b);
}

}  // namespace tarvo::quantities
