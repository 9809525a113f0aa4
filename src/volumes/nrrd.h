// NRRD headers: read in bounded pieces, their fields by name, and the header of a cubic uint8
// volume as import reads it. Failures name the file (volumes/files.h).
//
// API
//   kMaxNrrdHeader                 the longest header read
//   NrrdFields, read_nrrd_fields   the fields of a header by name without inner spaces
//                                  ("spacedirections"); the reader is left after the header
//   nrrd_field(fields, name)       a field by its name as written ("space directions"), or null
//   NrrdHeader, read_nrrd_header   the edge length and where the voxel bytes are; accepts uint8
//                                  data, three equal sizes, raw encoding
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "volumes/files.h"
#include "volumes/voxel_size.h"

namespace tarvo::volumes {

inline constexpr std::size_t kMaxNrrdHeader = std::size_t{1} << 16;

struct NrrdHeader {
    std::int64_t edge = 0;           // the equal sizes of the three axes
    std::string data_path;           // the detached data file; empty when the data follows the header
    std::uint64_t byte_skip = 0;     // bytes to skip before the data
    bool data_at_end = false;        // byte skip -1: the data are the file's last edge^3 bytes
    VoxelSize voxel_size;            // spacings or space directions, with their unit
};

// Reads the header from `in` (positioned at its start); for attached data, `in` is left at the
// first data byte. Anything it cannot import is a Failure saying why.
NrrdHeader read_nrrd_header(VolumeReader& in);

using NrrdFields = std::map<std::string, std::string>;
NrrdFields read_nrrd_fields(VolumeReader& in);
const std::string* nrrd_field(const NrrdFields& f, const char* name);

}  // namespace tarvo::volumes
