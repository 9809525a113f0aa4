// The shape form file (*.3d): byte layout of the header and the run-length code of the voxel
// stream. Every other part of the code takes these facts from here.
//
// API
//   kHeaderBytes, kOffset*          the 52-byte header: thirteen little-endian 32-bit fields
//   load_le32 / store_le32          byte-wise little-endian access
//   HeaderImage, parse_header       the fields that arrived whole from up to 52 bytes
//   check_header                    refusal reasons for a parsed header (no edge length, bad dim)
//   header_refusal, read_failure    the reader's messages for them
//   header_image                    the 52 bytes written for a record
//   kMarker*, kMaxRun, is_marker    the run-length code
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "teleso/teleso.h"

namespace shape_form {

// Header: the fields of TelesoRecord in order, then a 4-byte slot without meaning (written as 0).
inline constexpr std::size_t kFieldBytes = 4;
inline constexpr std::size_t kFieldCount = 13;
inline constexpr std::size_t kHeaderBytes = kFieldBytes * kFieldCount;  // 52
inline constexpr std::size_t kOffsetSize = 0;
inline constexpr std::size_t kOffsetDim = 4;
inline constexpr std::size_t kOffsetXMin = 8;
inline constexpr std::size_t kOffsetXMax = 12;
inline constexpr std::size_t kOffsetYMin = 16;
inline constexpr std::size_t kOffsetYMax = 20;
inline constexpr std::size_t kOffsetZMin = 24;
inline constexpr std::size_t kOffsetZMax = 28;
inline constexpr std::size_t kOffsetXMean = 32;
inline constexpr std::size_t kOffsetYMean = 36;
inline constexpr std::size_t kOffsetZMean = 40;
inline constexpr std::size_t kOffsetVoxels = 44;
inline constexpr std::size_t kOffsetSlot = 48;
// A file shorter than this has no complete edge length.
inline constexpr std::size_t kMinHeaderBytes = kOffsetDim + kFieldBytes;  // 8

// Voxel stream, one value per voxel, x fastest, then y, then z.
//   0x00..0xBF  literal: one value, the byte itself
//   0xC0..0xFF  marker: the next byte v stands for n values v, n = byte & 0x3F (0 counts as 1)
// A value of 1..127 (positive as a signed byte) is a set voxel. Bytes past the end of the file
// read as 0xFF, so an exhausted stream yields empty voxels for ever.
inline constexpr std::uint8_t kMarkerBits = 0xC0;
inline constexpr std::uint8_t kCountMask = 0x3F;
inline constexpr std::int32_t kMaxRun = 63;              // the longest run a marker holds
inline constexpr std::int32_t kMinMarkerRun = 3;         // shorter runs of 0/1 are literals
inline constexpr std::uint8_t kEndOfInputByte = 0xFF;
inline constexpr std::uint8_t kValueSet = 1;
inline constexpr std::uint8_t kValueEmpty = 0;

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

// The twelve integer fields as stored, and how many of the thirteen arrived whole.
struct HeaderImage {
    std::array<std::int32_t, 12> fields{};
    std::size_t whole_fields = 0;
    std::size_t bytes = 0;
    std::int32_t dim() const { return fields[kOffsetDim / kFieldBytes]; }
};

HeaderImage parse_header(const std::uint8_t* bytes, std::size_t count);

enum class HeaderProblem { kNone, kNoEdgeLength, kEdgeOutOfRange };
HeaderProblem check_header(const HeaderImage& header);

// The reader's messages (without a line break), shared by every program that reads files:
// why a parsed header is refused (empty when it is usable), and a failed read.
std::string header_refusal(const char* path, const HeaderImage& header);
std::string read_failure(const char* path, int err);

// Copies the measurement fields that arrived whole into the record (size and dim are left to
// the allocation).
void apply_header(const HeaderImage& header, TelesoRecord& rec);

std::array<std::uint8_t, kHeaderBytes> header_image(const TelesoRecord& rec);

}  // namespace shape_form
