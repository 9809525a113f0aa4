// geometry: the characteristics of a particle and its cut by a plane.
//
// API
//   Analyse_teleso(rec)               voxel count, bounding box and truncated means into rec
//   Get_center(rec)                   the middle of the bounding box, (min + max) / 2 per axis
//   Cut_length(text)                  a cut length from a command-line text: atof, then float
//   Cut_teleso(rec, c, xc, yc, zc)    clear every voxel whose plane sum exceeds 1
//   geometry::analyse / cut           the same with a choice of threads; the cut can measure the
//                                     voxels it keeps on the way
//   geometry::set_measurement         the fields from a tally (teleso/tally.h), gathered while the
//                                     particle was read or cut
//   geometry::set_empty_measurement   the fields of a body without a set voxel
//   geometry::reference::analyse / cut   voxel by voxel, the definitions
//
// The plane arithmetic is in plane.h.
#pragma once

#include <cstdint>

#include "teleso/tally.h"
#include "teleso/teleso.h"

struct Center {
    std::int32_t x = 0, y = 0, z = 0;
};

void Analyse_teleso(TelesoRecord& rec);
Center Get_center(const TelesoRecord& rec);
float Cut_length(const char* text);
void Cut_teleso(TelesoRecord& rec, Center c, float x_cut, float y_cut, float z_cut);

namespace geometry {

// Analyse_teleso and Cut_teleso a row at a time (word counts, one run of cleared voxels per row),
// split by layers between threads. threads: 0 chooses by the size of the grid and the machine, 1
// or 2 forces that many. With `kept`, the cut also measures the voxels that stay, in the same pass.
// `all`, the tally of every set voxel of the body before the cut (as reading it measured), lets the
// cut skip what lies outside the particle's bounding box and measure the voxels kept from what it
// clears; it must be exact.
void analyse(TelesoRecord& rec, int threads = 0);
void cut(TelesoRecord& rec, Center c, float x_cut, float y_cut, float z_cut, int threads = 0,
         teleso::Tally* kept = nullptr, const teleso::Tally* all = nullptr);

// The measurement fields from the tally of all the body's set voxels: Analyse_teleso's results.
void set_measurement(TelesoRecord& rec, const teleso::Tally& tally);

// The measurement of a body without a set voxel: minima dim-1, maxima 0, means and count 0.
void set_empty_measurement(TelesoRecord& rec);

// The definitions voxel by voxel, the reference for the code above.
namespace reference {
void analyse(TelesoRecord& rec);
void cut(TelesoRecord& rec, Center c, float x_cut, float y_cut, float z_cut);
}  // namespace reference

}  // namespace geometry
