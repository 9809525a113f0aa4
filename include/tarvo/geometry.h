// tarvo/geometry.h: the characteristics of a particle and its cut by a plane.
//
// API
//   Center                            a particle's centre: the middle of its bounding box
//   Analyse_teleso(rec)               voxel count, bounding box and truncated means into rec
//   Get_center(rec)                   the middle of the bounding box, (min + max) / 2 per axis
//   Cut_length(text)                  a cut length from a command-line text: atof, then float
//   Cut_teleso(rec, c, xc, yc, zc)    clear every voxel whose plane sum exceeds 1
//   analyse(rec, threads)             Analyse_teleso a row at a time, on `threads` (0: chosen)
//   cut(rec, c, xc, yc, zc, threads)  Cut_teleso a row at a time
//   cut_as_program(rec, lengths, ...) what the tarvo program does between reading and writing:
//                                     measure, take the centre, cut, measure again; `progress`
//                                     hears each step begin and end, so a program can report them
//
// A voxel (x, y, z) is cleared when ((x-cx)/x_cut + (y-cy)/y_cut) + (z-cz)/z_cut, formed in IEEE
// extended precision with a 64-bit significand and rounded to nearest after each operation, is
// greater than 1: the same decisions on every platform.
#pragma once

#include <cstdint>
#include <functional>

#include "tarvo/body.h"

namespace tarvo {

struct Center {
    std::int32_t x = 0, y = 0, z = 0;
};

void Analyse_teleso(TelesoRecord& rec);
Center Get_center(const TelesoRecord& rec);
float Cut_length(const char* text);
void Cut_teleso(TelesoRecord& rec, Center c, float x_cut, float y_cut, float z_cut);

// The measurement gathered while a particle is read (the library's own; see cut_as_program).
struct Tally;

namespace geometry {

// Analyse_teleso and Cut_teleso a row at a time (word counts, one run of cleared voxels per row),
// split by layers between threads. threads: 0 chooses by the size of the grid and the machine, 1
// or 2 forces that many. With `kept`, the cut also measures the voxels that stay, in the same pass.
// `all`, the tally of every set voxel of the body before the cut (as reading it measured), lets the
// cut skip what lies outside the particle's bounding box and measure the voxels kept from what it
// clears; it must be exact.
void analyse(TelesoRecord& rec, int threads = 0);
void cut(TelesoRecord& rec, Center c, float x_cut, float y_cut, float z_cut, int threads = 0,
         Tally* kept = nullptr, const Tally* all = nullptr);

}  // namespace geometry

// The three cut lengths, as Cut_length reads them.
struct CutLengths {
    float x = 0, y = 0, z = 0;
};

enum class CutStep { kMeasure, kCut, kRemeasure };

// Called as each step begins (done false) and ends (done true), with the record as it stands and
// the centre (known from the end of kMeasure on).
using CutProgress = std::function<void(CutStep step, bool done, const TelesoRecord& rec, Center centre)>;

// Measures the particle (or takes `measured`, the exact tally of its voxels gathered while it was
// read), takes its centre, clears every voxel beyond the plane of `lengths` around that centre and
// measures what stays into rec's fields. Returns the centre the cut was measured from.
Center cut_as_program(TelesoRecord& rec, CutLengths lengths, const CutProgress& progress = {},
                      const Tally* measured = nullptr, int threads = 0);

}  // namespace tarvo
