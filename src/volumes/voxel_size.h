// The physical size of a voxel, carried beside a particle: the shape form file has no place for it,
// so it travels in a sidecar NAME.3d.json (and in split's index). Nothing here prints or throws;
// failures come back as a message.
//
// API
//   VoxelSize                      size along x, y, z and its unit ("" when unknown)
//   sidecar_path(particle)         "NAME.3d.json" for "NAME.3d"
//   sidecar_text(size, source)     the sidecar's JSON text
//   parse_sidecar(text, size)      reads a sidecar's text; a message when it is no sidecar
//   nrrd_spacing(spacings, directions, units, size)   the voxel size of NRRD header fields
//   parse_voxel_size(text, size)   "X" or "X,Y,Z", each positive and finite
//   format_number(v)               the shortest text that reads back as v
//   plain_unit(u)                  a unit that stands unquoted in JSON, CSV and NRRD
#pragma once

#include <array>
#include <optional>
#include <string>

namespace tarvo::volumes {

struct VoxelSize {
    std::array<double, 3> size{1, 1, 1};
    std::string unit;     // "um", "mm", ...; empty when not known
    bool known = false;   // false: voxel units (size 1), as before a size was given
    bool operator==(const VoxelSize&) const = default;
};

std::string sidecar_path(const std::string& particle);
std::string sidecar_text(const VoxelSize& size, const std::string& source);
// Empty on success, else why the text is no sidecar.
std::string parse_sidecar(const std::string& text, VoxelSize& size);

// The fields "spacings", "space directions" and "space units" (or "units") of an NRRD header, each
// nullptr when absent. Empty on success (size.known false when the header gives no size), else why.
std::string nrrd_spacing(const std::string* spacings, const std::string* directions, const std::string* units,
                         VoxelSize& size);

std::string parse_voxel_size(const std::string& text, std::array<double, 3>& size);
std::string format_number(double v);
bool plain_unit(const std::string& u);

}  // namespace tarvo::volumes
