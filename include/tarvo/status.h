// status: how the library reports a failure. Every operation that can fail returns a Status; the
// programs decide what to print, and describe() gives the library's own wording.
//
// API
//   Error                 what failed
//   Status                the error with the file concerned, the system's error number and a number
//                         of the case (bytes of a short header, an edge length); true when all went well
//   fail(error, path, err, value)   a failed Status
//   describe(status)      one line (no line break) that names the file and says why
#pragma once

#include <cstdint>
#include <string>

namespace tarvo {

enum class Error {
    kNone,
    kOpenInput,       // the input cannot be opened (err)
    kReadInput,       // reading the input failed (err)
    kNoEdgeLength,    // the input ends before its edge length (value: its length)
    kEdgeOutOfRange,  // the edge length lies outside 0..1290 (value)
    kOutOfMemory,     // value: the edge of the particle that could not be allocated, or 0
    kSameFile,        // the output is one of the inputs (other: the output)
    kOpenOutput,      // the output cannot be written or created (err, 0 when refused by a check)
    kUnsafeLink,      // the output leads through a symbolic link another user put in a shared
                      // sticky directory (other: the link, value: its owner, err: EACCES)
    kWriteOutput,     // writing, closing or renaming the output failed (err)
};

struct Status {
    Error error = Error::kNone;
    int err = 0;
    std::int64_t value = 0;
    std::string path;
    std::string other;

    bool ok() const { return error == Error::kNone; }
    explicit operator bool() const { return ok(); }
};

Status fail(Error error, std::string path, int err = 0, std::int64_t value = 0);

std::string describe(const Status& status);

}  // namespace tarvo
