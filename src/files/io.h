// io: the one path from a shape form file to a body and the one path from a body to a file, for
// the program, the tools and the bindings alike (load_body and save_body of tarvo/file.h are
// made of these steps).
//
// API
//   Input                            an input file, read from front to back (a pipe will do), in the
//                                    steps the program reports one by one:
//     open(path)                     kOpenInput
//     read_header(header)            up to 52 bytes, parsed (check it with check_header); kReadInput
//     read_voxels(rec, threads, measured, kernel)   the voxel stream into rec's cleared bitmap,
//                                    stopping where the byte-wise reader stops; with `measured`, the
//                                    tally of the particle read (body/tally.h); `kernel` picks the
//                                    decoder's kernel (sys/cpu.h: the chosen one, or one to test);
//                                    kReadInput, kOutOfMemory. A regular file's stream of short
//                                    codes, kSplitStreamBytes or more, is read in two halves on two
//                                    threads where two are used; split_streams_from(bytes) splits
//                                    any stream of that many bytes (for tests); the results are the same
//     read_rest()                    reads on to the end of the file, counting the surplus bytes
//     facts(), file_bytes(), file()  the stream's facts, the bytes read, the input's identity
//   load_tape(path, rec, tape, info, count_surplus)   load_body onto a tape (no grid-sized block)
//   encode_voxels(rec, writer)       the voxel stream of a body into a stream writer
//   write_body(out, rec, threads)    the header image and the voxel stream into an open output
//   encode_tape(tape, cuts, writer), write_tape(out, rec, tape, cuts)   the same from a tape
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "codec/counter.h"
#include "codec/reader.h"
#include "codec/writer.h"
#include "format/format.h"
#include "files/output.h"
#include "sys/platform.h"
#include "tarvo/status.h"
#include "body/tally.h"
#include "body/tape.h"
#include "tarvo/body.h"
#include "tarvo/file.h"

namespace tarvo {

// Shorter streams are decoded on one thread: starting a second and counting the first half's
// values would outweigh what it saves.
inline constexpr std::uint64_t kSplitStreamBytes = std::uint64_t{4} << 20;

class Input {
public:
    Status open(const std::string& path);
    Status read_header(HeaderImage& header);
    Status read_voxels(TelesoRecord& rec, int threads = kAutoThreads, Tally* measured = nullptr,
                       Kernel path = chosen_kernel());
    // The voxel stream onto a tape of the header's edge (tape.dim()), in two halves as read_voxels
    // reads where that pays.
    Status read_tape(Tape& tape, Kernel path = chosen_kernel(), int threads = kAutoThreads);
    Status read_rest();
    void split_streams_from(std::uint64_t bytes) { split_from_ = bytes > 0 ? bytes : 1; }

    const StreamFacts& facts() const { return facts_; }
    std::uint64_t file_bytes() const { return header_bytes_ + facts_.code_bytes + facts_.surplus_bytes; }
    // The input's identity, for outputs that must not replace it (none when it is unknown).
    std::optional<InputFile> file() const;
    const std::string& path() const { return path_; }
    // The bytes after the header of a regular file (none for a pipe), known before reading them.
    std::optional<std::uint64_t> stream_bytes() const;
    // Whether the stream is long for a grid of `voxels`: a sixteenth of a byte a voxel or more
    // (literals over much of the grid). Only such a particle's bitmap is worth faulting in whole
    // ahead of the reading; a shorter one reaches few of its pages. False for a pipe.
    bool dense_for(std::int64_t voxels) const {
        const std::optional<std::uint64_t> bytes = stream_bytes();
        return bytes && *bytes * 16 >= static_cast<std::uint64_t>(voxels);
    }

private:
    tarvo::sys::Reader reader_;
    std::string path_;
    std::uint64_t header_bytes_ = 0;
    StreamFacts facts_;
    std::uint64_t split_from_ = kSplitStreamBytes;
};



// load_body onto a tape: the header's fields into rec (which gets no bitmap), the voxels onto
// `tape`; no grid-sized block is allocated.
Status load_tape(const std::string& path, TelesoRecord& rec, Tape& tape, LoadInfo* info = nullptr,
                 bool count_surplus = false);

void encode_voxels(const TelesoRecord& rec, StreamWriter& writer);
Status write_body(Output& out, const TelesoRecord& rec, int threads = kAutoThreads);
// The voxel stream of a tape, its runs cut by `cuts` where given (its blocks are cut in place).
void encode_tape(const Tape& tape, const RowCuts* cuts, StreamWriter& writer);
// The header image of rec and the voxel stream of the tape.
Status write_tape(Output& out, const TelesoRecord& rec, const Tape& tape, const RowCuts* cuts,
                  int threads = kAutoThreads);

}  // namespace tarvo
