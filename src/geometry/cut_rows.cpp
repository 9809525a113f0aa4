// The plane cut a row at a time, over the pieces of a tape (body/tape.h): a dense bitmap is a tape
// of one block, so the same pass cuts both.
//
// Along a row (fixed y and z) only the x term of the plane sum changes. When the x-cut is finite
// and not zero, that term is finite for every x and monotone in x (a correctly rounded quotient is
// monotone in its dividend), and so is the sum, since a correctly rounded addition is monotone in
// each operand; an infinite or NaN y or z term makes the sum the same for every x. So the voxels
// beyond the plane form one run at the end of the row (positive x-cut) or at its start (negative
// x-cut). Its boundary is guessed in double precision and then settled by galloping and bisection
// from the guess, so a poor guess costs time, never results.
//
// Each decision on the way is first tried in double precision: the double sum of the double terms
// lies within a proven margin of the extended one (below), so a double sum farther than that from
// 1 decides the side alone; a sum within the margin, or a term that is not finite, is decided by
// the extended sum. Both give the same decision on every voxel; the double one is several times
// cheaper.
//
// When the x-cut is zero, infinite or NaN, the x term takes one value for all x below the centre,
// one at the centre and one above it: each of these pieces is decided by one sum.
//
// The part of a row that stays is measured right after its cut, while the row is in the cache: the
// cut particle is measured in the same pass. When the measurement of the whole particle is known
// (it was taken while the particle was read), less is read: rows outside its bounding box are
// skipped, the cleared parts are counted as they are cleared and taken from the whole's count and
// sums, and of the parts of blocks that stay only the first and last set voxels are looked for
// (in a grid of short rows, a word or two, the parts that stay are measured instead: one pass
// over a row costs less than two).
//
// A run within one row is clipped in place to what the cut keeps of it, where that is one stretch
// (a finite x-cut that is not zero). Other runs are not cut in place (a run over many rows would
// become one a row): what a cut keeps of them is found again, row by row, when the tape is coded
// (PlaneRows is the RowCuts the coder asks).
#include <algorithm>
#include <cmath>
#include <vector>

#include "geometry/passes.h"
#include "geometry/plane.h"
#include "geometry/rows.h"
#include "geometry/tape_cut.h"
#include "body/bitmap.h"
#include "body/tape.h"
#include "sys/threads.h"

namespace tarvo::geometry {
namespace {

// The first x in 0..n where `reached` holds, for a predicate that is false up to some x and true
// from there on; `guess` is where the search starts.
template <class Pred>
std::int32_t first_reached(std::int32_t n, std::int32_t guess, Pred reached) {
    std::int32_t lo = -1, hi = n;  // reached(lo) is false and reached(hi) true, as far as known
    guess = std::clamp(guess, 0, n);
    if (guess < n && !reached(guess)) {
        lo = guess;
        for (std::int32_t step = 1; step < hi - lo; step *= 2) {
            const std::int32_t x = lo + step;
            if (reached(x)) {
                hi = x;
                break;
            }
            lo = x;
        }
    } else {
        hi = guess;
        for (std::int32_t step = 1; step < hi - lo; step *= 2) {
            const std::int32_t x = hi - step;
            if (!reached(x)) {
                lo = x;
                break;
            }
            hi = x;
        }
    }
    while (hi - lo > 1) {
        const std::int32_t mid = lo + (hi - lo) / 2;
        if (reached(mid))
            hi = mid;
        else
            lo = mid;
    }
    return hi;
}

// The first x of the second stretch of a row whose plane crossing is at `cross`: the first x above
// it (positive x-cut) or the first at or above it, within 0..n. Only a guess (no NaN reaches the
// conversion); an integer floor, as std::floor is a library call without SSE4.1.
std::int32_t boundary_guess(double cross, bool positive, std::int32_t n) {
    if (!(cross >= 0.0)) return 0;
    if (cross >= n) return n;
    const auto whole = static_cast<std::int32_t>(cross);  // the floor: cross is not negative
    return positive ? whole + 1 : whole + (whole < cross ? 1 : 0);
}

// What a part of the layers measured: the voxels kept, or, when the whole was known, the voxels
// cleared and the bounds of those kept.
struct PartTally {
    tarvo::Tally kept;
    tarvo::Tally cleared;
};

// Rows of at most this many voxels are measured where they stay, whatever is known of the whole.
constexpr std::int32_t kShortRow = 128;

// The sum of x over x_begin..x_end-1.
std::int64_t x_sum(std::int64_t x_begin, std::int64_t x_end) { return (x_begin + x_end - 1) * (x_end - x_begin) / 2; }

}  // namespace

// The double filter's margin. A term's double quotient is within 2^-53 of the real quotient, its
// extended one within 2^-64, relative; each of the two additions adds at most the same relative
// error of its result. So both sums lie within 3 (2^-53 + 2^-64) (|tx| + |ty| + |tz|) (1 + 2^-50)
// of the real sum of the real quotients, and within twice that of each other; 2^-48 of the sum of
// the magnitudes is more than that by a factor above four, the double rounding of the bound
// itself included. No term is subnormal or overflows in double: |offset| <= 1290 and a float's
// magnitude lies in 2^-149..2^128.
inline constexpr double kFilterMargin = 0x1p-48;

PlaneRows::PlaneRows(std::int32_t n, Center c, float x_cut, float y_cut, float z_cut)
    : n_(n), c_(c), x_cut_(x_cut), y_cut_(y_cut), z_cut_(z_cut),
      x_pieces_(!(std::isfinite(x_cut) && x_cut != 0.0f)) {
    const auto terms = [n](std::int32_t centre, float cut, std::vector<PlaneValue>& exact, std::vector<double>& fast) {
        exact.reserve(static_cast<std::size_t>(n));
        fast.reserve(static_cast<std::size_t>(n));
        for (std::int32_t k = 0; k < n; ++k) {
            exact.push_back(plane_term(k - centre, cut));
            fast.push_back(static_cast<double>(k - centre) / static_cast<double>(cut));
        }
    };
    terms(c.x, x_cut, ex_, fx_);
    terms(c.y, y_cut, ey_, fy_);
    terms(c.z, z_cut, ez_, fz_);
    below_end_ = std::clamp<std::int32_t>(c.x, 0, n);
    above_begin_ = static_cast<std::int32_t>(std::clamp<std::int64_t>(std::int64_t{c.x} + 1, 0, n));
}

int PlaneRows::filtered_side(std::int32_t x, std::int32_t y, std::int32_t z) const {
    const auto ux = static_cast<std::size_t>(x), uy = static_cast<std::size_t>(y), uz = static_cast<std::size_t>(z);
    const double s = (fx_[ux] + fy_[uy]) + fz_[uz];
    const double bound = (std::fabs(fx_[ux]) + std::fabs(fy_[uy]) + std::fabs(fz_[uz])) * kFilterMargin;
    if (!(std::isfinite(s) && std::isfinite(bound))) return -1;
    return s - 1.0 > bound ? 1 : (1.0 - s > bound ? 0 : -1);
}

bool PlaneRows::beyond(std::int32_t x, std::int32_t y, std::int32_t z) const {
    const int side = filtered_side(x, y, z);
    if (side >= 0) return side == 1;
    const auto ux = static_cast<std::size_t>(x), uy = static_cast<std::size_t>(y), uz = static_cast<std::size_t>(z);
    return plane_beyond(plane_add(plane_add(ex_[ux], ey_[uy]), ez_[uz]));
}

int PlaneRows::stretch_side(std::int32_t x_first, std::int32_t x_last, std::int32_t y, std::int32_t z) const {
    if (x_pieces_) return -1;
    const int first = filtered_side(x_first, y, z);
    return first >= 0 && filtered_side(x_last, y, z) == first ? first : -1;
}

RowCut PlaneRows::pieces_row(std::int32_t y, std::int32_t z) const {
    RowCut r;
    r.a = below_end_;
    r.b = above_begin_;
    if (below_end_ > 0 && beyond(0, y, z)) r.cleared |= 1;
    if (above_begin_ > below_end_ && beyond(below_end_, y, z)) r.cleared |= 2;
    if (above_begin_ < n_ && beyond(above_begin_, y, z)) r.cleared |= 4;
    return r;
}

std::int32_t PlaneRows::searched_boundary(std::int32_t y, std::int32_t z, std::int32_t guess) const {
    if (x_cut_ > 0.0f) return first_reached(n_, guess, [&](std::int32_t x) { return beyond(x, y, z); });
    return first_reached(n_, guess, [&](std::int32_t x) { return !beyond(x, y, z); });
}

[[gnu::always_inline]] inline RowCut PlaneRows::row_cut(std::int32_t y, std::int32_t z) const {
    if (x_pieces_) return pieces_row(y, z);
    // Where the real plane crosses the row: (x - cx) / x_cut = 1 - Ty - Tz.
    const double ty = fy_[static_cast<std::size_t>(y)], tz = fz_[static_cast<std::size_t>(z)];
    const double cross = static_cast<double>(c_.x) + static_cast<double>(x_cut_) * (1.0 - ty - tz);
    RowCut r;
    r.b = n_;
    const bool positive = x_cut_ > 0.0f;
    r.cleared = positive ? 2 : 1;
    // The boundary is x = guess when the filter tells the voxels on both sides of it apart (one
    // in the first stretch, one in the second); the y and z terms are added once for the row (the
    // filter's bound holds for any grouping of the three terms).
    const std::int32_t guess = boundary_guess(cross, positive, n_);
    const double yz = ty + tz, yz_size = std::fabs(ty) + std::fabs(tz);
    // 1 beyond, 0 not, -1 when the filter cannot tell.
    const auto side = [&](std::int32_t x) {
        const double tx = fx_[static_cast<std::size_t>(x)];
        const double s = tx + yz, bound = (std::fabs(tx) + yz_size) * kFilterMargin;
        if (!(std::isfinite(s) && std::isfinite(bound))) return -1;
        return s - 1.0 > bound ? 1 : (1.0 - s > bound ? 0 : -1);
    };
    const int first = positive ? 0 : 1;  // the side of the first stretch
    if ((guess == 0 || side(guess - 1) == first) && (guess == n_ || side(guess) == 1 - first))
        r.a = guess;
    else
        r.a = searched_boundary(y, z, guess);
    return r;
}

RowCut PlaneRows::row(std::int32_t y, std::int32_t z) const { return row_cut(y, z); }

namespace {

// The cut of the tape's voxels lo..hi-1 (whole layers); see cut_tape.
PartTally cut_part(Tape& tape, const PlaneRows& plane, std::int64_t lo, std::int64_t hi, bool measure,
                   const tarvo::Tally* all, bool subtract, bool clip_runs) {
    PartTally part;  // on this thread's stack: the threads' tallies never share a cache line
    if (all && all->count == 0) return part;
    const std::int64_t n = tape.dim();
    clip_runs = clip_runs && plane.keeps_one_stretch();
    std::int64_t x_lo = 0, x_hi = tape.dim();
    std::int32_t y_lo = 0, y_hi = tape.dim() - 1, z_lo = 0, z_hi = tape.dim() - 1;
    if (all) {
        x_lo = all->x_min;
        x_hi = all->x_max + std::int64_t{1};
        y_lo = all->y_min;
        y_hi = all->y_max;
        z_lo = all->z_min;
        z_hi = all->z_max;
    }
    if (all) {  // the layers outside the particle hold nothing
        lo = std::max(lo, std::int64_t{z_lo} * n * n);
        hi = std::min(hi, (std::int64_t{z_hi} + 1) * n * n);
    }
    std::int64_t cut_row = -1;  // the row whose cut is in `rc`
    RowCut rc;
    for_row_parts(tape, lo, hi, [&](const Tape::Piece& p, std::int32_t y, std::int32_t z, std::int64_t row,
                                    std::int64_t xb, std::int64_t xe) {
        if (y < y_lo || y > y_hi || z < z_lo || z > z_hi) return;
        xb = std::max(xb, x_lo);
        xe = std::min(xe, x_hi);
        if (xb >= xe) return;
        // Taken from the register copy: read back from `rc` at once, the store would stall the load.
        RowCut cuts;
        if (row == cut_row) {
            cuts = rc;
        } else {
            cuts = plane.row_cut(y, z);
            rc = cuts;
            cut_row = row;
        }
        if (!p.block()) {
            // A run within the row keeps one stretch of itself (or none): it is clipped to that.
            const bool clip = clip_runs && p.begin >= row && p.end <= row + n;
            // Most runs lie on one side of the plane, which the filter tells from their ends alone.
            if (clip && measure) {
                const int side = plane.stretch_side(static_cast<std::int32_t>(xb), static_cast<std::int32_t>(xe - 1), y, z);
                if (side == 0) {
                    part.kept.add_row_piece(xe - xb, x_sum(xb, xe), xb, xe - 1, y, z);
                    return;
                }
                if (side == 1) {
                    if (subtract) part.cleared.add_row_piece(xe - xb, x_sum(xb, xe), xb, xe - 1, y, z);
                    tape.set_run(p.index, row + xe, row + xe);
                    return;
                }
            }
            std::int64_t kb = xe, ke = xe;
            cuts.for_stretches(xb, xe, [&](std::int64_t b, std::int64_t e, bool cleared) {
                if (!cleared) {
                    kb = std::min(kb, b);
                    ke = e;
                }
                if (!measure) return;
                tarvo::Tally& t = cleared ? part.cleared : part.kept;
                if (!cleared || subtract) t.add_row_piece(e - b, x_sum(b, e), b, e - 1, y, z);
            });
            if (clip) tape.set_run(p.index, row + kb, row + std::max(kb, ke));
            return;
        }
        // The block's words from its first voxel: the part boundaries' words may be shared.
        std::uint8_t* data = p.words;
        const std::int64_t local = row - p.begin;
        SharedWords shared;
        if (lo % kWordBits != 0 && lo > p.begin && lo < p.end) shared.first = (lo - p.begin) / kWordBits;
        if (hi % kWordBits != 0 && hi > p.begin && hi < p.end) shared.last = (hi - p.begin) / kWordBits;
        cuts.for_stretches(xb, xe, [&](std::int64_t b, std::int64_t e, bool cleared) {
            if (cleared) {
                if (measure && subtract) measure_row_part(part.cleared, data, local, b, e, y, z, shared);
                tarvo::clear_bits(data, local + b, local + e, shared);
            } else if (measure) {
                if (subtract)
                    bound_row_part(part.kept, data, local, b, e, y, z, shared);
                else
                    measure_row_part(part.kept, data, local, b, e, y, z, shared);
            }
        });
    });
    return part;
}

// The work of a pass over a tape, in the voxel units of the thread policy: the rows it visits and
// the words it reads.
std::int64_t tape_work(const Tape& tape) {
    return std::min(tape.total(), (tape.words() + static_cast<std::int64_t>(tape.pieces())) * kWordBits);
}

}  // namespace

Tally cut_tape(Tape& tape, PlaneRows& plane, int threads, bool measure, const Tally* all, bool clip_runs) {
    const std::int32_t n = tape.dim();
    Tally kept;
    if (n <= 0) return kept;
    const std::int64_t layer = std::int64_t{n} * n;
    // Short rows are measured where they stay: one pass over a row's word or two costs less than
    // counting what is cleared and bounding what stays.
    const bool subtract = all && n > kShortRow;
    PartTally parts[tarvo::kMaxPassThreads];
    tarvo::for_layer_parts(n, tarvo::pass_threads(tape_work(tape), threads), [&](std::int32_t z0, std::int32_t z1, int part) {
        parts[part] = cut_part(tape, plane, layer * z0, layer * z1, measure, all, subtract, clip_runs);
    });
    if (clip_runs) plane.set_runs_clipped();
    if (!measure) return kept;
    for (const PartTally& t : parts) kept.merge(t.kept);
    if (!subtract) return kept;
    // The bounds were found; the count and the sums are the whole's less what was cleared.
    tarvo::Tally cleared;
    for (const PartTally& t : parts) cleared.merge(t.cleared);
    kept.count = all->count - cleared.count;
    kept.sx = all->sx - cleared.sx;
    kept.sy = all->sy - cleared.sy;
    kept.sz = all->sz - cleared.sz;
    return kept;
}

void cut(TelesoRecord& rec, Center c, float x_cut, float y_cut, float z_cut, int threads, tarvo::Tally* kept,
         const tarvo::Tally* all) {
    if (kept) *kept = tarvo::Tally{};
    if (rec.dim <= 0) return;
    Tape tape = Tape::over(rec);
    PlaneRows plane(rec.dim, c, x_cut, y_cut, z_cut);
    const Tally t = cut_tape(tape, plane, threads, kept != nullptr, all);
    if (kept) *kept = t;
}

}  // namespace tarvo::geometry
