// The shape figures of the library (tarvo/quantities.h) as columns and cells of a sheet, for
// measure and table --measure, and the voxel size they are given in.
//
// API
//   property_columns()          spacing_x/y/z, unit, then volume ... euler_number
//   append_property_cells(row, p, size) / append_empty_property_cells(row)
//   check_size_options(a)       the usage errors of --spacing X[,Y,Z] and --unit U, before any
//                               file is read
//   figures_voxel_size(a, path) the options' voxel size, else the file's sidecar, else voxel units
//   spacing_of(size)            the spacing the library takes (1, 1, 1 when unknown)
//   unit_text(size)             the unit column: the unit, "" for a size without one, "voxel" when unknown
#pragma once

#include <string>
#include <vector>

#include "common.h"
#include "sheet.h"
#include "tarvo/quantities.h"
#include "volumes/voxel_size.h"

namespace tarvo::tools {

std::vector<Column> property_columns();
void append_property_cells(Row& row, const Properties& p, const volumes::VoxelSize& size);
void append_empty_property_cells(Row& row);

void check_size_options(const Arguments& a);
volumes::VoxelSize figures_voxel_size(const Arguments& a, const std::string& path);
Spacing spacing_of(const volumes::VoxelSize& size);
std::string unit_text(const volumes::VoxelSize& size);

}  // namespace tarvo::tools
