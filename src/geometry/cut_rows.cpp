// The plane cut a row at a time.
//
// Along a row (fixed y and z) only the x term of the plane sum changes. When the x-cut is finite
// and not zero, that term is finite for every x and monotone in x (a correctly rounded quotient is
// monotone in its dividend), and so is the sum, since a correctly rounded addition is monotone in
// each operand; an infinite or NaN y or z term makes the sum the same for every x. So the voxels
// beyond the plane form one run at the end of the row (positive x-cut) or at its start (negative
// x-cut). Its boundary is guessed in double precision and then settled by the exact plane sum
// alone, by galloping and bisection from the guess, so a poor guess costs time, never results.
//
// When the x-cut is zero, infinite or NaN, the x term takes one value for all x below the centre,
// one at the centre and one above it: each of these pieces is decided by one exact sum.
//
// The part of a row that stays can be measured right after its cut, while the row is in the
// cache: the cut particle is measured in the same pass. When the measurement of the whole particle
// is known (it was taken while the particle was read), less is read: rows outside its bounding box
// are empty and skipped, the cleared parts are counted as they are cleared and taken from the
// whole's count and sums, and of the parts that stay only the first and last set voxels are
// looked for, for the bounding box. On a solid particle that reads the ends of each row instead of
// all of it.
#include <algorithm>
#include <cmath>
#include <vector>

#include "geometry/passes.h"
#include "geometry/plane.h"
#include "geometry/rows.h"
#include "body/bitmap.h"
#include "sys/threads.h"

namespace tarvo::geometry {
namespace {

using tarvo::SharedWords;

struct Plane {
    Center c;
    float x_cut, y_cut, z_cut;
};

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

// Clamps a guessed x to -1..n+1 before it is taken as an integer.
std::int32_t guess_to_index(double x, std::int32_t n) {
    if (!(x > -1.0)) return std::isnan(x) ? 0 : -1;
    if (x > n + 1.0) return n + 1;
    return static_cast<std::int32_t>(x);
}

// The terms of the plane sum along one axis, one per coordinate of the grid: each is a pure
// function of its offset, so it is formed once here instead of once per row or voxel.
std::vector<PlaneValue> axis_terms(std::int32_t n, std::int32_t centre, float cut) {
    std::vector<PlaneValue> terms;
    terms.reserve(static_cast<std::size_t>(n));
    for (std::int32_t k = 0; k < n; ++k) terms.push_back(plane_term(k - centre, cut));
    return terms;
}

struct Terms {
    std::vector<PlaneValue> x, y, z;
};

// What a part of the layers measured: the voxels kept, or, when the whole was known, the voxels
// cleared and the bounds of those kept.
struct PartTally {
    tarvo::Tally kept;
    tarvo::Tally cleared;
};

// The cut of the layers z_begin..z_end-1; with `measure`, the tally of the voxels that stay, or,
// with `all` (the tally of every set voxel before the cut), what is cleared and the kept bounds.
PartTally cut_layers(TelesoRecord& rec, const Plane& p, const Terms& terms, std::int32_t z_begin, std::int32_t z_end,
                     const SharedWords& shared, bool measure, const tarvo::Tally* all) {
    PartTally part;  // on this thread's stack: the threads' tallies never share a cache line
    tarvo::Tally& kept = part.kept;
    const std::int32_t n = rec.dim;
    const std::int64_t n64 = n;
    // Where set voxels can be: the whole grid, or the bounding box of the particle before the cut.
    std::int32_t y_lo = 0, y_hi = n;
    std::int64_t x_lo = 0, x_hi = n64;
    if (all) {
        if (all->count == 0) return part;
        z_begin = std::max(z_begin, all->z_min);
        z_end = std::min(z_end, all->z_max + 1);
        y_lo = all->y_min;
        y_hi = all->y_max + 1;
        x_lo = all->x_min;
        x_hi = all->x_max + 1;
    }
    const bool x_pieces = !(std::isfinite(p.x_cut) && p.x_cut != 0.0f);
    // The three pieces of a row, as x ranges clipped to the grid.
    const std::int64_t cx = p.c.x;
    const std::int64_t below_end = std::clamp<std::int64_t>(cx, 0, n64);
    const std::int64_t above_begin = std::clamp<std::int64_t>(cx + 1, 0, n64);
    const double xc = p.x_cut;

    // The y part of the guessed crossing of each row, formed once per y rather than once per row.
    std::vector<double> ry;
    if (!x_pieces) {
        ry.reserve(static_cast<std::size_t>(n));
        for (std::int32_t y = 0; y < n; ++y) ry.push_back((y - p.c.y) / static_cast<double>(p.y_cut));
    }

    for (std::int32_t z = z_begin; z < z_end; ++z) {
        const PlaneValue tz = terms.z[static_cast<std::size_t>(z)];
        const double rz = (z - p.c.z) / static_cast<double>(p.z_cut);
        for (std::int32_t y = y_lo; y < y_hi; ++y) {
            const PlaneValue ty = terms.y[static_cast<std::size_t>(y)];
            const std::int64_t row = n64 * (y + n64 * z);
            auto beyond = [&](std::int64_t x) {
                return plane_beyond(plane_add(plane_add(terms.x[static_cast<std::size_t>(x)], ty), tz));
            };
            // The voxels x_begin..x_end-1 of the row go, or stay and are measured.
            auto decide = [&](std::int64_t x_begin, std::int64_t x_end, bool cleared) {
                x_begin = std::max(x_begin, x_lo);
                x_end = std::min(x_end, x_hi);
                if (x_begin >= x_end) return;
                if (cleared) {
                    if (measure && all) measure_row_part(part.cleared, rec.data, row, x_begin, x_end, y, z, shared);
                    tarvo::clear_bits(rec.data, row + x_begin, row + x_end, shared);
                } else if (measure) {
                    if (all)
                        bound_row_part(kept, rec.data, row, x_begin, x_end, y, z, shared);
                    else
                        measure_row_part(kept, rec.data, row, x_begin, x_end, y, z, shared);
                }
            };
            if (x_pieces) {
                if (below_end > 0) decide(0, below_end, beyond(0));
                if (above_begin > below_end) decide(below_end, above_begin, beyond(below_end));
                if (above_begin < n64) decide(above_begin, n64, beyond(above_begin));
                continue;
            }
            // Where the real plane crosses the row: (x - cx) / x_cut = 1 - Ty - Tz.
            const double cross = static_cast<double>(cx) + xc * (1.0 - ry[static_cast<std::size_t>(y)] - rz);
            if (p.x_cut > 0.0f) {
                const std::int32_t from = first_reached(n, guess_to_index(std::floor(cross), n) + 1, beyond);
                decide(0, from, false);
                decide(from, n64, true);
            } else {
                const std::int32_t to = first_reached(n, guess_to_index(std::ceil(cross), n),
                                                      [&](std::int32_t x) { return !beyond(x); });
                decide(0, to, true);
                decide(to, n64, false);
            }
        }
    }
    return part;
}

}  // namespace

void cut(TelesoRecord& rec, Center c, float x_cut, float y_cut, float z_cut, int threads, tarvo::Tally* kept,
         const tarvo::Tally* all) {
    const std::int32_t n = rec.dim;
    if (kept) *kept = tarvo::Tally{};
    if (n <= 0) return;
    const Plane plane{c, x_cut, y_cut, z_cut};
    const Terms terms{axis_terms(n, c.x, x_cut), axis_terms(n, c.y, y_cut), axis_terms(n, c.z, z_cut)};
    const std::int64_t layer_bits = std::int64_t{n} * n;
    PartTally parts[tarvo::kMaxPassThreads];
    tarvo::for_layer_parts(n, tarvo::pass_threads(tarvo::voxel_count(n), threads), [&](std::int32_t z0, std::int32_t z1, int part) {
        // Words that hold bits of a neighbouring part.
        SharedWords shared;
        const std::int64_t begin = layer_bits * z0, end = layer_bits * z1;
        if (begin % tarvo::kWordBits != 0) shared.first = begin / tarvo::kWordBits;
        if (end % tarvo::kWordBits != 0) shared.last = end / tarvo::kWordBits;
        parts[part] = cut_layers(rec, plane, terms, z0, z1, shared, kept != nullptr, all);
    });
    if (!kept) return;
    for (const PartTally& t : parts) kept->merge(t.kept);
    if (!all) return;
    // The bounds were found; the count and the sums are the whole's less what was cleared.
    tarvo::Tally cleared;
    for (const PartTally& t : parts) cleared.merge(t.cleared);
    kept->count = all->count - cleared.count;
    kept->sx = all->sx - cleared.sx;
    kept->sy = all->sy - cleared.sy;
    kept->sz = all->sz - cleared.sz;
}

}  // namespace tarvo::geometry
