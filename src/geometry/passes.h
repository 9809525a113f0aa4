// passes: the measuring and cutting passes behind tarvo/geometry.h that work with the tally of a
// particle (body/tally.h), and the voxel-by-voxel definitions they are tested against.
//
// API
//   set_measurement(rec, tally)       the measurement fields from the tally of all set voxels
//   set_empty_measurement(rec)        the fields of a body without a set voxel
//   reference::analyse / cut          voxel by voxel, the definitions
#pragma once

#include "body/tally.h"
#include "tarvo/geometry.h"

namespace tarvo::geometry {

// The measurement fields from the tally of all the body's set voxels: Analyse_teleso's results.
void set_measurement(TelesoRecord& rec, const Tally& tally);

// The measurement of a body without a set voxel: minima dim-1, maxima 0, means and count 0.
void set_empty_measurement(TelesoRecord& rec);

// The definitions voxel by voxel, the reference for the code above.
namespace reference {
void analyse(TelesoRecord& rec);
void cut(TelesoRecord& rec, Center c, float x_cut, float y_cut, float z_cut);
}  // namespace reference

}  // namespace tarvo::geometry
