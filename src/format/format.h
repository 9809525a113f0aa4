// The shape form file (*.3d): the byte layout of its header and the rules of the run-length code
// of its voxel stream. Every other part of the code takes these facts from here.
//
// API
//   kHeaderBytes, kHeaderFields      the 52-byte header: the record's twelve fields by name, in
//                                    file order, 4 little-endian bytes each, then a 4-byte slot
//   load_le32 / store_le32           byte-wise little-endian access
//   HeaderImage, parse_header        the fields (and the slot) that arrived whole from up to 52 bytes
//   check_header(image, path)        why a parsed header is refused (no edge length, bad dim)
//   apply_header                     the stored measurement fields into a record
//   header_image                     the 52 bytes written for a record
//   kMarkerBits, kMaxRun, ...        the run-length code
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "tarvo/status.h"
#include "tarvo/body.h"
#include "tarvo/file.h"

namespace tarvo {

// Header: the fields of TelesoRecord in this order, then a slot without meaning (written as 0).

struct HeaderField {
    const char* name;
    std::int32_t TelesoRecord::*member;
};
inline constexpr std::array<HeaderField, kStoredFields> kHeaderFields = {{
    {"size", &TelesoRecord::size},     {"dim", &TelesoRecord::dim},       {"x_min", &TelesoRecord::x_min},
    {"x_max", &TelesoRecord::x_max},   {"y_min", &TelesoRecord::y_min},   {"y_max", &TelesoRecord::y_max},
    {"z_min", &TelesoRecord::z_min},   {"z_max", &TelesoRecord::z_max},   {"x_mean", &TelesoRecord::x_mean},
    {"y_mean", &TelesoRecord::y_mean}, {"z_mean", &TelesoRecord::z_mean}, {"voxels", &TelesoRecord::voxels},
}};
inline constexpr std::size_t kFirstMeasuredField = 2;  // x_min; size and dim come from the allocation
inline constexpr std::size_t kSlotOffset = kFieldBytes * kStoredFields;  // 48
// A file shorter than this has no complete edge length.
inline constexpr std::size_t kMinHeaderBytes = kFieldBytes * (kDimField + 1);  // 8

// Voxel stream, one value per voxel, x fastest, then y, then z.
//   0x00..0xBF  literal: one value, the byte itself
//   0xC0..0xFF  marker: the next byte v stands for n values v, n = byte & 0x3F (0 counts as 1)
// A value of 1..127 (positive as a signed byte) is a set voxel. Bytes past the end of the file
// read as 0xFF, so an exhausted stream yields empty voxels for ever.
inline constexpr std::uint8_t kMarkerBits = 0xC0;
inline constexpr std::uint8_t kCountMask = 0x3F;
inline constexpr std::int32_t kMaxRun = 63;        // the longest run a marker holds
inline constexpr std::uint8_t kFullMarker = kMarkerBits + kMaxRun;
inline constexpr std::int32_t kMinMarkerRun = 3;   // shorter runs of values below 0xC0 are literals
inline constexpr std::uint8_t kEndOfInputByte = 0xFF;

constexpr bool is_marker(std::uint8_t b) { return (b & kMarkerBits) == kMarkerBits; }
constexpr std::int32_t marker_count(std::uint8_t b) { return (b & kCountMask) == 0 ? 1 : (b & kCountMask); }
constexpr bool value_sets_voxel(std::uint8_t v) { return v >= 1 && v <= 127; }

inline std::int32_t load_le32(const std::uint8_t* p) {
    const std::uint32_t u = std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) |
                            (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
    return static_cast<std::int32_t>(u);
}

inline void store_le32(std::uint8_t* p, std::int32_t value) {
    const auto u = static_cast<std::uint32_t>(value);
    p[0] = static_cast<std::uint8_t>(u);
    p[1] = static_cast<std::uint8_t>(u >> 8);
    p[2] = static_cast<std::uint8_t>(u >> 16);
    p[3] = static_cast<std::uint8_t>(u >> 24);
}

HeaderImage parse_header(const std::uint8_t* bytes, std::size_t count);
// kNoEdgeLength or kEdgeOutOfRange for a header that cannot be read on, naming `path`.
Status check_header(const HeaderImage& header, const std::string& path);
// Copies the measurement fields that arrived whole into the record.
void apply_header(const HeaderImage& header, TelesoRecord& rec);
std::array<std::uint8_t, kHeaderBytes> header_image(const TelesoRecord& rec);

}  // namespace tarvo
