// 8-bit volumes for other programs: one byte per voxel, x fastest, then y, then z (the order of
// the shape form stream), and the NRRD headers that describe them.
//
// API
//   kExportSet / kExportEmpty      the bytes export writes for set and empty voxels
//   layer_bytes(rec, z, out)       one z layer of the body as bytes
//   nrrd_header(dim, data_file)    the text of a header; data_file empty: the data follows it
//   particle_voxel_size, write_sidecar   the voxel size beside a particle (NAME.3d.json)
//   voxel_size_options             --spacing and --unit
//   write_label_volume, write_tiff_stack   the volumes room's writers into the safe output
//   and the names of the volumes room's files, NRRD headers, labelled volumes and TIFF stacks
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tarvo/body.h"
#include "volumes/files.h"
#include "volumes/label_volume.h"
#include "volumes/nrrd.h"
#include "volumes/tiff.h"
#include "volumes/voxel_size.h"

namespace tarvo::tools {

inline constexpr std::uint8_t kExportSet = 255;
inline constexpr std::uint8_t kExportEmpty = 0;
inline constexpr std::uint64_t kMaxSidecar = 1 << 16;

void layer_bytes(const TelesoRecord& rec, std::int32_t z, std::vector<std::uint8_t>& out);

std::string nrrd_header(std::int32_t dim, const std::string& data_file, const std::string& source,
                        const volumes::VoxelSize& size = {});

// The voxel size of a particle: its sidecar NAME.3d.json when there is one, else voxel units.
// A sidecar that cannot be read is a failure naming it.
volumes::VoxelSize particle_voxel_size(const std::string& particle);
// Writes (or replaces) the sidecar of a particle file; nothing for standard output.
void write_sidecar(const std::string& particle, const volumes::VoxelSize& size, const std::string& source);
// The voxel size of `from` beside `to` (a particle made from it, e.g. cut): its sidecar copied,
// or an old sidecar of `to` replaced when `from` has none.
void carry_sidecar(const std::string& from, const std::string& to);
// --spacing X[,Y,Z] and --unit U over `base` (a unit alone keeps the size, and needs a known size).
volumes::VoxelSize voxel_size_options(const std::string* spacing, const std::string* unit, volumes::VoxelSize base);

// The volume formats of the volumes room, by their names here.
using volumes::regular_file_bytes;
using volumes::VolumeReader;
using volumes::kMaxNrrdHeader;
using volumes::NrrdHeader;
using volumes::read_nrrd_header;
using volumes::NrrdFields;
using volumes::read_nrrd_fields;
using volumes::nrrd_field;
using volumes::kMaxLayerVoxels;
using volumes::kMaxVolumeVoxels;
using volumes::LabelLayout;
using volumes::LabelRows;
using volumes::layout_of;
using volumes::find_components;
using volumes::parts;
using volumes::type_name;
using volumes::is_tiff_name;

// The writers of the volumes room into the safe output (OutputFile), opened when they open it.
void write_label_volume(const std::string& path, const std::array<std::int64_t, 3>& size, int width,
                        const volumes::VoxelSize& voxel_size,
                        const std::function<void(std::int64_t, std::vector<std::uint32_t>&)>& layer);
void write_tiff_stack(const std::string& path, const std::array<std::int64_t, 3>& size, int width,
                      const volumes::VoxelSize& voxel_size,
                      const std::function<void(std::int64_t, std::vector<std::uint32_t>&)>& layer);

}  // namespace tarvo::tools
