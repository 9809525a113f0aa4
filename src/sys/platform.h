// platform: the operating-system calls of the core, in one place. On POSIX systems files are
// descriptors (open, read, write, fstat, fchmod, rename); elsewhere a portable fallback does the
// same through the C and C++ standard libraries, without the guards that need the system
// (descriptor paths, private temporary files, file identities).
//
// API
//   FileId, identity_of(path)          device and inode of a file (links followed), when known
//   FileKind, kind_of(path)            missing, regular, directory, FIFO, other (device, socket)
//   may_write(path), may_create_in(dir)  permission checks that create nothing
//   may_follow_link(link, owner)       the kernel's rule for links in shared directories
//   descriptor_in_path(path)           n when path names an open descriptor n of this process
//   descriptor_writable(n)             whether descriptor n is open for writing
//   Reader                             a file read front to back: open, read, id; a
//                                      regular file's size, and reads at an offset (read_at) and
//                                      seek, with which two threads can take parts of it
//   Writer                             a file written front to back: create_private (0600,
//                                      exclusive), open_existing (device, pipe), from_descriptor
//   rename_over, remove_file, file_mode, new_file_mode (0666 less the umask)
//   allocate_zeroed / release_zeroed   the bitmap block
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "tarvo/file.h"

namespace tarvo::sys {

using FileId = tarvo::FileId;

std::optional<FileId> identity_of(const char* path);

enum class FileKind { kMissing, kRegular, kDirectory, kFifo, kOther };
FileKind kind_of(const char* path);

// Whether this process may write the existing file, or create a file in the directory.
bool may_write(const char* path);
bool may_create_in(const char* directory);

// Whether the kernel's protected_symlinks rule lets this process follow the symbolic link at
// `link`: not when the link lies in a sticky, world-writable directory (/tmp) and belongs neither
// to the effective user nor to the directory's owner. `owner` is the link's owner.
bool may_follow_link(const char* link, unsigned& owner);

// The descriptor a path stands for: /dev/stdin, /dev/stdout, /dev/stderr, /dev/fd/N,
// /proc/self/fd/N and /proc/<this process>/fd/N. -1 for any other path.
int descriptor_in_path(const char* path);
// Whether descriptor n is open for writing.
bool descriptor_writable(int n);

// Failures return false and leave the system's error number in error().
class Reader {
public:
    Reader() = default;
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    bool open(const char* path);
    // Up to n bytes; fewer only at the end of the file. got = 0 at the end.
    bool read(std::uint8_t* buf, std::size_t n, std::size_t& got);
    // The size of a regular file read through descriptors; none for pipes and devices, and in
    // the portable fallback, where read_at and seek are not offered.
    std::optional<std::uint64_t> regular_size() const;
    // Up to n bytes from the offset, leaving the position of read() where it is; safe on two
    // threads at once (a failure's error number goes to `error`, not to error()). Fewer only at
    // the end of the file.
    bool read_at(std::uint64_t offset, std::uint8_t* buf, std::size_t n, std::size_t& got, int& error) const;
    // read() goes on from the offset.
    bool seek(std::uint64_t offset);
    std::optional<FileId> id() const;
    int error() const { return error_; }

private:
    int fd_ = -1;
    void* stream_ = nullptr;  // the portable fallback's FILE*
    int error_ = 0;
};

class Writer {
public:
    Writer() = default;
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // A new file that no one else can have opened, readable and writable by its owner alone.
    bool create_private(const char* path);
    // A device or a pipe, written in place.
    bool open_existing(const char* path);
    // A copy of one of this process's descriptors, which must be open for writing.
    bool from_descriptor(int fd);

    bool write(const std::uint8_t* p, std::size_t n);
    // Asks the system to start writing bytes offset..offset+n-1 to the disk, without waiting;
    // a hint, which the portable fallback ignores.
    void start_write_back(std::uint64_t offset, std::uint64_t n);
    bool set_mode(unsigned mode);
    std::optional<FileId> id() const;
    bool close();
    int error() const { return error_; }

private:
    int fd_ = -1;
    void* stream_ = nullptr;
    std::string path_;  // the portable fallback sets modes by name
    int error_ = 0;
};

bool rename_over(const char* from, const char* to, int& error);
void remove_file(const char* path);
// The permission bits of an existing file.
std::optional<unsigned> file_mode(const char* path);
// The permission bits a new file gets when created with 0666. The process umask is never set for
// it (the system reports it), except once when the library is loaded where it is not reported.
unsigned new_file_mode();

// A zeroed block of whole pages; null when memory runs out.
std::uint8_t* allocate_zeroed(std::size_t bytes);
void release_zeroed(std::uint8_t* block, std::size_t bytes);

}  // namespace tarvo::sys
