// tarvo/file.h: shape form files (*.3d): a 52-byte header followed by a run-length coded voxel
// stream. Reading checks the header before it allocates; writing replaces the target whole or
// leaves it as it was.
//
// API
//   kHeaderBytes, kStoredFields       the header: twelve 32-bit little-endian fields and a slot
//   HeaderImage                       the fields as stored, and how many arrived whole
//   StreamFacts                       what a stream held against what its edge length needs
//   FileId, InputFile, Protected      the inputs that no output may replace, by any name
//   LoadInfo, load_body(path, rec, info, count_surplus, measured)
//                                     open, read the header, check it, allocate and decode (with
//                                     `measured`, the tally of the particle read); on failure rec
//                                     holds no bitmap
//   encode_stream(rec)                the voxel stream of a body, in memory
//   save_body(path, rec, protect)     the whole file, through a temporary file renamed over the
//                                     target (devices, pipes and /dev/stdout written in place)
//   set_signal_guard(on)              whether temporary files are removed when a signal ends the
//                                     process (on by default; a host with its own handlers turns it off)
//   hold_signal_guard(on)             keeps that guard's handlers installed between outputs (a batch of
//                                     many small files), rather than installing and restoring them
//                                     for each, until called with false
//   kAutoThreads                      let the size of the grid and the machine choose
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tarvo/body.h"
#include "tarvo/status.h"

namespace tarvo {

inline constexpr int kAutoThreads = 0;

inline constexpr std::size_t kFieldBytes = 4;
inline constexpr std::size_t kStoredFields = 12;
inline constexpr std::size_t kHeaderBytes = kFieldBytes * (kStoredFields + 1);  // 52
inline constexpr std::size_t kDimField = 1;

// The twelve integer fields as stored, and how many of them arrived whole.
struct HeaderImage {
    std::array<std::int32_t, kStoredFields> fields{};
    std::size_t whole_fields = 0;
    std::size_t bytes = 0;
    std::int32_t slot = 0;  // as stored, when all kHeaderBytes arrived
    std::int32_t dim() const { return fields[kDimField]; }
};

struct StreamFacts {
    std::int64_t voxels_needed = 0;  // dim^3
    std::int64_t voxels_coded = 0;   // values the stream delivers before it ends (at most needed)
    std::uint64_t code_bytes = 0;    // bytes the reader consumes
    std::uint64_t surplus_bytes = 0; // bytes after the last code needed (when they were counted)
    bool ends_early() const { return voxels_coded < voxels_needed; }
};

// A file's identity: device and inode (links followed).
struct FileId {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const FileId&) const = default;
};

// An input that an output must not replace: its identity, and its name for the message.
struct InputFile {
    FileId id;
    std::string path;
};
using Protected = std::span<const InputFile>;

struct LoadInfo {
    HeaderImage header;  // as stored
    StreamFacts stream;
    std::uint64_t file_bytes = 0;  // all of the file when the surplus was counted
    std::optional<InputFile> file;
};

// The measurement gathered while the stream is read (the library's own; see tarvo/geometry.h).
struct Tally;

// With `measured`, the particle is measured while its stream is read (work in proportion to the
// stream, not to the grid its header claims).
Status load_body(const std::string& path, TelesoRecord& rec, LoadInfo* info = nullptr, bool count_surplus = false,
                 Tally* measured = nullptr);

std::vector<std::uint8_t> encode_stream(const TelesoRecord& rec);
Status save_body(const std::string& path, const TelesoRecord& rec, Protected protect = {});

void set_signal_guard(bool on);
void hold_signal_guard(bool on);

}  // namespace tarvo
