// Volume files: the errors of reading and writing them, their names, and reading one from front to
// back. Nothing here prints: failures are thrown with a message naming the file, for the
// program to show.
//
// API
//   Failure, UsageError            a volume that cannot be read or written (a bad file, status 1),
//                                  a description of it that contradicts it (a usage error, status 2)
//   lower_extension(path)          ".vtk", ".raw", ... in lower case
//   regular_file_bytes(path)       the length of a regular file, or nothing for a pipe or device
//   set_input_hook(hook)           hook(file) for every file a VolumeReader opens (the program
//                                  keeps its outputs from replacing them)
//   VolumeReader                   the bytes of a volume file, read once from front to back (a
//                                  pipe will do): open, read, skip, skip_ahead, at_end, position;
//                                  failures name the file
//   VolumeSink                     where a written volume goes: opened once the volume is known to
//                                  be writable, written, committed (the program's safe output)
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "sys/platform.h"
#include "tarvo/file.h"
#include "tarvo/status.h"

namespace tarvo::volumes {

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The failure of a library call, in the library's words.
[[noreturn]] void fail_with(const tarvo::Status& status);

std::string lower_extension(const std::string& path);
std::optional<std::uint64_t> regular_file_bytes(const std::string& path);

using InputHook = void (*)(const tarvo::InputFile&);
void set_input_hook(InputHook hook);

class VolumeReader {
public:
    // Opens the file and reports it to the input hook.
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

class VolumeSink {
public:
    virtual ~VolumeSink() = default;
    virtual void open() = 0;
    virtual void write(const void* bytes, std::size_t n) = 0;
    virtual void commit() = 0;
};

}  // namespace tarvo::volumes
