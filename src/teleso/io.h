// io: the one path from a shape form file to a body and the one path from a body to a file, for
// the program, the tools and the bindings alike.
//
// API
//   Input                            an input file, read from front to back (a pipe will do), in the
//                                    steps the program reports one by one:
//     open(path)                     kOpenInput
//     read_header(header)            up to 52 bytes, parsed (check it with check_header); kReadInput
//     read_voxels(rec, threads, measured, path)   the voxel stream into rec's cleared bitmap,
//                                    stopping where the byte-wise reader stops; with `measured`, the
//                                    tally of the particle read (tally.h); `path` picks the decoder
//                                    (codec.h: the fastest, or one to test); kReadInput, kOutOfMemory
//                                    A regular file's stream of short codes, kSplitStreamBytes or
//                                    more, is read in two halves on two threads where two are used;
//                                    split_streams_from(bytes) splits any stream of that many bytes
//                                    (for tests); the results are the same
//     read_rest()                    reads on to the end of the file, counting the surplus bytes
//     facts(), file_bytes(), file()  the stream's facts, the bytes read, the input's identity
//   LoadInfo, load_body(path, rec, info, count_surplus, measured)
//                                    open, read the header, check it, allocate and decode (with
//                                    `measured`, the tally of the particle read); on failure rec
//                                    holds no bitmap
//   encode_voxels(rec, writer)       the voxel stream of a body into a stream writer
//   encode_stream(rec)               the voxel stream of a body in memory
//   write_body(out, rec, threads)    the header image and the voxel stream into an open output
//   save_body(path, rec, protect)    the whole file through a safe output
//   kAutoThreads                     let the size of the grid and the machine choose
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "teleso/codec.h"
#include "teleso/format.h"
#include "teleso/output.h"
#include "teleso/platform.h"
#include "teleso/status.h"
#include "teleso/tally.h"
#include "teleso/teleso.h"

namespace teleso {

inline constexpr int kAutoThreads = 0;
// Shorter streams are decoded on one thread: starting a second and counting the first half's
// values would outweigh what it saves.
inline constexpr std::uint64_t kSplitStreamBytes = std::uint64_t{4} << 20;

class Input {
public:
    Status open(const std::string& path);
    Status read_header(HeaderImage& header);
    Status read_voxels(TelesoRecord& rec, int threads = kAutoThreads, Tally* measured = nullptr,
                       DecodePath path = fastest_decode_path());
    Status read_rest();
    void split_streams_from(std::uint64_t bytes) { split_from_ = bytes > 0 ? bytes : 1; }

    const StreamFacts& facts() const { return facts_; }
    std::uint64_t file_bytes() const { return header_bytes_ + facts_.code_bytes + facts_.surplus_bytes; }
    // The input's identity, for outputs that must not replace it (none when it is unknown).
    std::optional<InputFile> file() const;
    const std::string& path() const { return path_; }

private:
    platform::Reader reader_;
    std::string path_;
    std::uint64_t header_bytes_ = 0;
    StreamFacts facts_;
    std::uint64_t split_from_ = kSplitStreamBytes;
};

struct LoadInfo {
    HeaderImage header;  // as stored
    StreamFacts stream;
    std::uint64_t file_bytes = 0;  // all of the file when the surplus was counted
    std::optional<InputFile> file;
};

Status load_body(const std::string& path, TelesoRecord& rec, LoadInfo* info = nullptr, bool count_surplus = false,
                 Tally* measured = nullptr);

void encode_voxels(const TelesoRecord& rec, StreamWriter& writer);
std::vector<std::uint8_t> encode_stream(const TelesoRecord& rec);
Status write_body(Output& out, const TelesoRecord& rec, int threads = kAutoThreads);
Status save_body(const std::string& path, const TelesoRecord& rec, Protected protect = {});

}  // namespace teleso
