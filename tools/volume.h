// 8-bit volumes for other programs: one byte per voxel, x fastest, then y, then z (the order of
// the shape form stream), and the NRRD headers that describe them.
//
// API
//   kExportSet / kExportEmpty     the bytes export writes for set and empty voxels
//   layer_bytes(rec, z, out)      one z layer of the body as bytes
//   nrrd_header(dim, data_file)   the text of a header; data_file empty: the data follows it
//   NrrdSource, read_nrrd_header  where an NRRD's voxel bytes are, with its edge length
//   file_bytes(path)              a file's length, as a Failure naming the file if unknown
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "teleso/teleso.h"

namespace tools {

inline constexpr std::uint8_t kExportSet = 255;
inline constexpr std::uint8_t kExportEmpty = 0;

void layer_bytes(const TelesoRecord& rec, std::int32_t z, std::vector<std::uint8_t>& out);

std::string nrrd_header(std::int32_t dim, const std::string& data_file, const std::string& source);

struct NrrdSource {
    std::int64_t edge = 0;      // the equal sizes of the three axes
    std::string data_path;      // the file holding the bytes (the header itself when attached)
    std::uint64_t offset = 0;   // where the bytes start in data_path
};

// Accepts uint8 data, three equal sizes, raw encoding; anything else is a Failure saying why.
NrrdSource read_nrrd_header(const std::string& path);

std::uint64_t file_bytes(const std::string& path);

}  // namespace tools
