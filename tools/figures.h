// The shape figures of the library (tarvo/quantities.h) as columns and cells of a sheet, for
// measure and table --measure.
//
// API
//   property_columns()          volume ... euler_number, named plainly (voxel units)
//   property_cells(p)           one cell a column, empty where an empty particle has none
//   append_property_cells(row, p) / append_empty_property_cells(row)
#pragma once

#include <vector>

#include "sheet.h"
#include "tarvo/quantities.h"

namespace tarvo::tools {

std::vector<Column> property_columns();
void append_property_cells(Row& row, const Properties& p);
void append_empty_property_cells(Row& row);

}  // namespace tarvo::tools
