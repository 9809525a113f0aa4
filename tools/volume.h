// 8-bit volumes for other programs: one byte per voxel, x fastest, then y, then z (the order of
// the shape form stream), and the NRRD headers that describe them.
//
// API
//   kExportSet / kExportEmpty      the bytes export writes for set and empty voxels
//   layer_bytes(rec, z, out)       one z layer of the body as bytes
//   nrrd_header(dim, data_file)    the text of a header; data_file empty: the data follows it
//   VolumeReader                   the bytes of a volume file, read once from front to back (a
//                                  pipe will do): open, read, skip, at_end, position; failures
//                                  name the file
//   NrrdHeader, read_nrrd_header   the edge length and where the voxel bytes are; the header is
//                                  read in bounded pieces and refused beyond kMaxNrrdHeader
//   regular_file_bytes(path)       the length of a regular file, or nothing for a pipe or device
//   particle_voxel_size, write_sidecar   the voxel size beside a particle (NAME.3d.json)
//   voxel_size_options             --spacing and --unit
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sys/platform.h"
#include "tarvo/body.h"
#include "volumes/voxel_size.h"

namespace tarvo::tools {

inline constexpr std::uint8_t kExportSet = 255;
inline constexpr std::uint8_t kExportEmpty = 0;
inline constexpr std::size_t kMaxNrrdHeader = std::size_t{1} << 16;
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

class VolumeReader {
public:
    // Opens the file and remembers it as an input of the run.
    void open(const std::string& path);
    // Bytes already read from the file that come before anything read next (an attached NRRD's
    // first data bytes, read with its header).
    void put_back(std::vector<std::uint8_t> bytes);
    // Up to n bytes; fewer only at the end of the file.
    std::size_t read(std::uint8_t* buf, std::size_t n);
    void skip(std::uint64_t n);
    // Goes n bytes on without reading them where the file can seek (else as skip); a later read
    // finds whether they were there.
    void skip_ahead(std::uint64_t n);
    bool at_end();
    const std::string& path() const { return path_; }
    // Bytes delivered so far.
    std::uint64_t position() const { return position_; }
    // The length of the open file when it is a regular file (by its name where the build reads
    // files through the standard library).
    std::optional<std::uint64_t> regular_size() const;

private:
    tarvo::sys::Reader reader_;
    std::string path_;
    std::vector<std::uint8_t> back_;
    std::size_t back_pos_ = 0;
    std::uint64_t position_ = 0;
};

struct NrrdHeader {
    std::int64_t edge = 0;           // the equal sizes of the three axes
    std::string data_path;           // the detached data file; empty when the data follows the header
    std::uint64_t byte_skip = 0;     // bytes to skip before the data
    bool data_at_end = false;        // byte skip -1: the data are the file's last edge^3 bytes
    volumes::VoxelSize voxel_size;   // spacings or space directions, with their unit
};

// Reads the header from `in` (positioned at its start); for attached data, `in` is left at the
// first data byte. Accepts uint8 data, three equal sizes, raw encoding; anything else is a
// Failure saying why.
NrrdHeader read_nrrd_header(VolumeReader& in);

std::optional<std::uint64_t> regular_file_bytes(const std::string& path);

// The fields of an NRRD header by name without inner spaces ("spacedirections"); `in` is left at
// the first byte after the header.
using NrrdFields = std::map<std::string, std::string>;
NrrdFields read_nrrd_fields(VolumeReader& in);
const std::string* nrrd_field(const NrrdFields& f, const char* name);

}  // namespace tarvo::tools
