// tape_cut: the measuring and cutting passes over a tape (body/tape.h), which the bitmap's passes
// of tarvo/geometry.h are made of (a bitmap is a tape of one block).
//
// API
//   PlaneRows(n, c, xc, yc, zc)       the plane of the three cut lengths, decided a row at a time:
//     row(y, z)                       what it clears of row (y, z) (RowCut)
//     beyond(x, y, z)                 the decision for one voxel (the program's, exactly)
//   cut_tape(tape, plane, threads, measure, all, clip_runs)   clears what the plane clears of the
//                                     blocks; with `clip_runs`, a run within one row is clipped to
//                                     what stays of it where that is one stretch (the plane then says
//                                     so: one_row_runs_clipped()); the other runs are cut when coded,
//                                     by the same PlaneRows; with `measure`, returns the tally of the
//                                     voxels that stay; `all` as for cut()
//   measure_tape(tape, threads)       the tally of every set voxel
//   cut_tape_as_program(rec, tape, lengths, progress, measured, threads, plane)   cut_as_program
//                                     on a tape
#pragma once

#include <memory>
#include <vector>

#include "body/tally.h"
#include "body/tape.h"
#include "geometry/plane.h"
#include "tarvo/geometry.h"

namespace tarvo::geometry {

class PlaneRows final : public RowCuts {
public:
    PlaneRows(std::int32_t n, Center c, float x_cut, float y_cut, float z_cut);
    RowCut row(std::int32_t y, std::int32_t z) const override;
    // The same, inlined into the cut's pass (cut_rows.cpp): a call returning a RowCut stalls on
    // the store of its parts.
    RowCut row_cut(std::int32_t y, std::int32_t z) const;
    bool beyond(std::int32_t x, std::int32_t y, std::int32_t z) const;
    // The side of x_first..x_last of row (y, z) where the double filter proves it for both ends of
    // a row that keeps one stretch (1 beyond, 0 not); -1 otherwise.
    int stretch_side(std::int32_t x_first, std::int32_t x_last, std::int32_t y, std::int32_t z) const;
    // Whether a row keeps one stretch of itself (a finite x-cut that is not zero) or may keep two.
    bool keeps_one_stretch() const { return !x_pieces_; }
    bool one_row_runs_clipped() const override { return runs_clipped_; }
    void set_runs_clipped() { runs_clipped_ = keeps_one_stretch(); }

private:
    int filtered_side(std::int32_t x, std::int32_t y, std::int32_t z) const;
    RowCut pieces_row(std::int32_t y, std::int32_t z) const;
    std::int32_t searched_boundary(std::int32_t y, std::int32_t z, std::int32_t guess) const;

    std::int32_t n_;
    Center c_;
    float x_cut_, y_cut_, z_cut_;
    bool x_pieces_;
    std::int32_t below_end_ = 0, above_begin_ = 0;
    std::vector<PlaneValue> ex_, ey_, ez_;  // the extended terms, per coordinate
    std::vector<double> fx_, fy_, fz_;      // the same in double, for the filter
    bool runs_clipped_ = false;};

Tally cut_tape(Tape& tape, PlaneRows& plane, int threads, bool measure, const Tally* all = nullptr,
               bool clip_runs = false);
Tally measure_tape(const Tape& tape, int threads);

}  // namespace tarvo::geometry

namespace tarvo {

// cut_as_program on a tape: the record takes the measurements, the tape's blocks are cut in place;
// `plane` receives the plane, which cuts the tape's runs as they are coded.
Center cut_tape_as_program(TelesoRecord& rec, Tape& tape, CutLengths lengths, const CutProgress& progress,
                           const Tally* measured, int threads, std::unique_ptr<geometry::PlaneRows>* plane);

}  // namespace tarvo
