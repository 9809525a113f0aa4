// rows: the measurement of the set voxels of a part of a row, shared by the measurement and the
// cut (which measures the voxels it keeps).
//
// API
//   measure_row_part(t, data, row, x_begin, x_end, y, z, shared)   adds the set voxels
//                                  x_begin..x_end-1 of the row (y, z) that starts at voxel `row`
//                                  to the tally; `shared` words may be changed by another thread
//   bound_row_part(...)            the same for the bounding box alone
#pragma once

#include <cstdint>

#include "body/bitmap.h"
#include "body/tally.h"

namespace tarvo::geometry {

void measure_row_part(tarvo::Tally& t, const std::uint8_t* data, std::int64_t row, std::int64_t x_begin,
                      std::int64_t x_end, std::int32_t y, std::int32_t z, const tarvo::SharedWords& shared);

// The bounds alone: widens the tally's bounding box to the first and last set voxels of the part
// (count and sums untouched), reading the row from both ends until it meets one.
void bound_row_part(tarvo::Tally& t, const std::uint8_t* data, std::int64_t row, std::int64_t x_begin,
                    std::int64_t x_end, std::int32_t y, std::int32_t z, const tarvo::SharedWords& shared);

}  // namespace tarvo::geometry
