// Output files that are replaced whole or not at all: the one way the programs write a file.
//
// API
//   check_output(path)          can path be written? Creates, truncates and removes nothing
//   Output                      one file being written:
//     open(path, protect)       a temporary file (mode 0600) beside the target, renamed over it by
//                               commit(); a device or a pipe is written in place; a path that names
//                               one of this process's descriptors (/dev/stdout, /proc/self/fd/N) is
//                               written through that descriptor. kSameFile when the target is one
//                               of the files in `protect` (the inputs), by any name;
//                               kUnsafeLink for a symbolic link that another user put in a
//                               shared sticky directory (/tmp), ELOOP for a chain without end
//     write(p, n)               the next bytes; the first failure is kept and returned again
//     commit()                  close, give the file its mode (the old target's, or 0666 less the
//                               umask), rename over the target
//     abandon()                 close and remove the temporary file; the destructor does it too
//   set_signal_guard(on), hold_signal_guard(on)   (tarvo/file.h) are defined here
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "sys/platform.h"
#include "tarvo/file.h"
#include "tarvo/status.h"

namespace tarvo {


Status check_output(const std::string& path);

class Output {
public:
    Output() = default;
    ~Output() { abandon(); }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    Status open(const std::string& path, Protected protect = {});
    Status write(const std::uint8_t* p, std::size_t n);
    Status commit();
    void abandon();

    const std::string& path() const { return path_; }

private:
    enum class Mode { kClosed, kTemporary, kInPlace, kPipe };
    Status open_pipe();
    void start_write_back(std::size_t n);

    Mode mode_ = Mode::kClosed;
    std::string path_;    // as the caller named it
    std::string target_;  // the file replaced (links followed)
    std::string temp_;
    int guard_slot_ = -1;
    tarvo::sys::Writer writer_;
    Status status_;
    bool replacing_ = false;          // a regular file is to be replaced
    std::uint64_t written_ = 0;       // bytes written to the temporary file
    std::uint64_t written_back_ = 0;  // of which the system was asked to write these to the disk
};


}  // namespace tarvo
