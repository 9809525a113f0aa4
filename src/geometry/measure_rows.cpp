// Measuring a particle a row at a time: counts by popcount, the bounding box from the first and
// last set bits of the rows, the coordinate sums from word-level counts.
#include <algorithm>
#include <bit>

#include "geometry/passes.h"
#include "geometry/rows.h"
#include "geometry/tape_cut.h"
#include "body/bitmap.h"
#include "sys/threads.h"
#include "sys/cpu.h"

namespace tarvo::geometry {
namespace {

using namespace tarvo;

struct RowTally {
    std::int64_t count = 0;
    std::int64_t sx = 0;  // sum of x over the set voxels of the row
    std::int64_t first = -1, last = -1;
};

// The row of n voxels that starts at bit s. Its first and last word are masked to the row (and may
// be shared with a thread that cuts the neighbouring rows); the words between are mostly empty or
// full in a solid particle, so they are told apart first and only mixed words are counted bit by
// bit, by Count (tally.h).
template <class Count>
[[gnu::always_inline]] inline RowTally measure_row_with(const std::uint8_t* data, std::int64_t s, std::int64_t n,
                                                        const SharedWords& shared) {
    RowTally r;
    const auto [wb, we, head, tail] = word_range(s, s + n);
    auto add = [&](std::int64_t w, std::uint64_t word) {
        const WordCount c = Count()(word);
        r.count += c.ones;
        r.sx += (w * kWordBits - s) * c.ones + c.position_sum;
    };
    auto first_in = [&](std::int64_t w, std::uint64_t word) { return w * kWordBits - s + std::countr_zero(word); };
    auto last_in = [&](std::int64_t w, std::uint64_t word) {
        return w * kWordBits - s + (kWordBits - 1 - std::countl_zero(word));
    };
    if (wb == we) {
        const std::uint64_t word = load_word(data, wb, shared) & head & tail;
        add(wb, word);
        if (word != 0) {
            r.first = first_in(wb, word);
            r.last = last_in(wb, word);
        }
        return r;
    }
    const std::uint64_t first_word = load_word(data, wb, shared) & head;
    const std::uint64_t last_word = load_word(data, we, shared) & tail;
    add(wb, first_word);
    add(we, last_word);
    std::int64_t lo = wb + 1, hi = we - 1;  // the inner words, trimmed of empty ones at both ends
    while (lo <= hi && load_word(data, lo) == 0) ++lo;
    while (hi > lo && load_word(data, hi) == 0) --hi;
    std::int64_t full = 0, full_index_sum = 0;
    for (std::int64_t w = lo; w <= hi; ++w) {
        const std::uint64_t word = load_word(data, w);
        if (word == kAllOnes) {
            ++full;
            full_index_sum += w;
        } else if (word != 0) {
            add(w, word);
        }
    }
    // A full word w holds x = 64w - s .. 64w - s + 63.
    r.count += kWordBits * full;
    r.sx += kWordBits * (kWordBits * full_index_sum - s * full) + full * (kWordBits * (kWordBits - 1) / 2);
    if (first_word != 0)
        r.first = first_in(wb, first_word);
    else if (lo <= hi)
        r.first = first_in(lo, load_word(data, lo));
    else if (last_word != 0)
        r.first = first_in(we, last_word);
    if (last_word != 0)
        r.last = last_in(we, last_word);
    else if (lo <= hi)
        r.last = last_in(hi, load_word(data, hi));
    else if (first_word != 0)
        r.last = last_in(wb, first_word);
    return r;
}

TARVO_TARGET("popcnt") RowTally measure_row_by_popcount(const std::uint8_t* data, std::int64_t s, std::int64_t n,
                                                      const SharedWords& shared) {
    return measure_row_with<PopcountCount>(data, s, n, shared);
}

[[gnu::always_inline]] inline RowTally measure_row(const std::uint8_t* data, std::int64_t s, std::int64_t n,
                                                 const SharedWords& shared) {
    static const bool popcount = use_popcnt();  // fixed for the process: not asked on every row
    return popcount ? measure_row_by_popcount(data, s, n, shared) : measure_row_with<TableCount>(data, s, n, shared);
}

}  // namespace

void measure_row_part(Tally& t, const std::uint8_t* data, std::int64_t row, std::int64_t x_begin, std::int64_t x_end,
                      std::int32_t y, std::int32_t z, const SharedWords& shared) {
    if (x_begin >= x_end) return;
    const RowTally r = measure_row(data, row + x_begin, x_end - x_begin, shared);
    if (r.count != 0) t.add_row_piece(r.count, r.sx + r.count * x_begin, r.first + x_begin, r.last + x_begin, y, z);
}

void bound_row_part(Tally& t, const std::uint8_t* data, std::int64_t row, std::int64_t x_begin, std::int64_t x_end,
                    std::int32_t y, std::int32_t z, const SharedWords& shared) {
    if (x_begin >= x_end) return;
    const std::int64_t s = row + x_begin, e = row + x_end;  // the voxels s..e-1
    const auto [wb, we, head, tail] = word_range(s, e);
    // Only the end words are masked or may be shared; the words between are read plainly.
    const std::uint64_t first_word = load_word(data, wb, shared) & head & (wb == we ? tail : kAllOnes);
    const std::uint64_t last_word = wb == we ? first_word : load_word(data, we, shared) & tail;
    std::int64_t fw = wb;
    std::uint64_t f = first_word;
    if (f == 0) {
        for (fw = wb + 1; fw < we && (f = load_word(data, fw)) == 0;) ++fw;
        if (fw >= we) {
            fw = we;
            f = last_word;
        }
        if (f == 0) return;
    }
    std::int64_t lw = we;
    std::uint64_t l = last_word;
    if (l == 0) {
        for (lw = we - 1; lw > fw && (l = load_word(data, lw)) == 0;) --lw;
        if (lw == fw) l = f;
    }
    const std::int64_t first = fw * kWordBits + std::countr_zero(f) - row;
    const std::int64_t last = lw * kWordBits + (kWordBits - 1 - std::countl_zero(l)) - row;
    t.add_row_piece(0, 0, first, last, y, z);
}

namespace {

// The tally of the set voxels of the tape's voxels lo..hi-1: a run's part of a row by its
// arithmetic series, a block's by its words.
Tally measure_part(const Tape& tape, std::int64_t lo, std::int64_t hi) {
    Tally t;
    for_row_parts(tape, lo, hi, [&](const Tape::Piece& p, std::int32_t y, std::int32_t z, std::int64_t row,
                                    std::int64_t xb, std::int64_t xe) {
        if (p.block())
            measure_row_part(t, p.words, row - p.begin, xb, xe, y, z, {});
        else
            t.add_row_piece(xe - xb, (xb + xe - 1) * (xe - xb) / 2, xb, xe - 1, y, z);
    });
    return t;
}

}  // namespace

Tally measure_tape(const Tape& tape, int threads) {
    const std::int32_t n = tape.dim();
    const std::int64_t layer = std::int64_t{n} * n;
    const std::int64_t work = std::min(tape.total(), (tape.words() + static_cast<std::int64_t>(tape.pieces())) * kWordBits);
    Tally parts[kMaxPassThreads];
    for_layer_parts(n, pass_threads(work, threads),
                    [&](std::int32_t z0, std::int32_t z1, int part) { parts[part] = measure_part(tape, layer * z0, layer * z1); });
    Tally t;
    for (const Tally& p : parts) t.merge(p);
    return t;
}

void set_measurement(TelesoRecord& rec, const Tally& t) {
    if (t.count == 0) {
        set_empty_measurement(rec);
        return;
    }
    rec.voxels = static_cast<std::int32_t>(t.count);  // at most 1290^3, below 2^31
    rec.x_min = t.x_min;
    rec.x_max = t.x_max;
    rec.y_min = t.y_min;
    rec.y_max = t.y_max;
    rec.z_min = t.z_min;
    rec.z_max = t.z_max;
    rec.x_mean = static_cast<std::int32_t>(t.sx / t.count);
    rec.y_mean = static_cast<std::int32_t>(t.sy / t.count);
    rec.z_mean = static_cast<std::int32_t>(t.sz / t.count);
}

void analyse(TelesoRecord& rec, int threads) {
    if (rec.dim <= 0 || rec.data == nullptr) {
        set_empty_measurement(rec);
        return;
    }
    set_measurement(rec, measure_tape(Tape::over(rec), threads));
}

}  // namespace tarvo::geometry
