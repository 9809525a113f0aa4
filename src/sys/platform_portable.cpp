// The portable fallback of the operating-system calls: the C and C++ standard libraries, without
// the guards that need the system (descriptor paths, private temporary files, file identities).
// Built where the system is not POSIX, and with TARVO_PORTABLE to test it on one that is.
#include "sys/platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

namespace tarvo::sys {

namespace fs = std::filesystem;

std::optional<FileId> identity_of(const char*) { return std::nullopt; }

FileKind kind_of(const char* path) {
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    if (ec || !fs::exists(st)) return FileKind::kMissing;
    if (fs::is_regular_file(st)) return FileKind::kRegular;
    if (fs::is_directory(st)) return FileKind::kDirectory;
    if (fs::is_fifo(st)) return FileKind::kFifo;
    return FileKind::kOther;
}

bool may_write(const char* path) {
    std::error_code ec;
    const fs::perms p = fs::status(path, ec).permissions();
    return !ec && (p & fs::perms::owner_write) != fs::perms::none;
}

bool may_create_in(const char* directory) {
    std::error_code ec;
    return fs::is_directory(directory, ec);
}

// Owners of links are not known here.
bool may_follow_link(const char*, unsigned&) { return true; }

// Without descriptors, the standard streams are what a program can write through.
int descriptor_in_path(const char* path) {
    const std::string p(path);
    return p == "/dev/stdout" ? 1 : p == "/dev/stderr" ? 2 : -1;
}

bool descriptor_writable(int n) { return n == 1 || n == 2; }

namespace {
std::FILE* standard_stream(int n) { return n == 1 ? stdout : n == 2 ? stderr : nullptr; }
}  // namespace

Reader::~Reader() {
    if (stream_) std::fclose(static_cast<std::FILE*>(stream_));
}

bool Reader::open(const char* path) {
    errno = 0;
    stream_ = std::fopen(path, "rb");
    error_ = stream_ ? 0 : (errno ? errno : ENOENT);
    return stream_ != nullptr;
}

bool Reader::read(std::uint8_t* buf, std::size_t n, std::size_t& got) {
    auto* f = static_cast<std::FILE*>(stream_);
    errno = 0;
    got = std::fread(buf, 1, n, f);
    if (got < n && std::ferror(f)) {
        error_ = errno ? errno : EIO;
        return false;
    }
    return true;
}

std::optional<std::uint64_t> Reader::regular_size() const { return std::nullopt; }

bool Reader::read_at(std::uint64_t, std::uint8_t*, std::size_t, std::size_t& got, int& error) const {
    got = 0;
    error = ENOSYS;
    return false;
}

bool Reader::seek(std::uint64_t) {
    error_ = ENOSYS;
    return false;
}

std::optional<FileId> Reader::id() const { return std::nullopt; }

Writer::~Writer() { close(); }

bool Writer::create_private(const char* path) {
    errno = 0;
    path_ = path;
    stream_ = std::fopen(path, "wbx");
    error_ = stream_ ? 0 : (errno ? errno : EEXIST);
    if (stream_) {
        std::error_code ec;
        fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace, ec);
    }
    return stream_ != nullptr;
}

bool Writer::open_existing(const char* path) {
    errno = 0;
    stream_ = std::fopen(path, "wb");
    error_ = stream_ ? 0 : (errno ? errno : EIO);
    return stream_ != nullptr;
}

bool Writer::from_descriptor(int fd) {
    // The standard stream is borrowed: flushed when done, never closed.
    stream_ = standard_stream(fd);
    fd_ = stream_ ? fd : -1;
    error_ = stream_ ? 0 : EBADF;
    if (stream_) std::fflush(static_cast<std::FILE*>(stream_));
    return stream_ != nullptr;
}

bool Writer::write(const std::uint8_t* p, std::size_t n) {
    errno = 0;
    if (std::fwrite(p, 1, n, static_cast<std::FILE*>(stream_)) == n) return true;
    error_ = errno ? errno : EIO;
    return false;
}

void Writer::start_write_back(std::uint64_t, std::uint64_t) {}

bool Writer::set_mode(unsigned mode) {
    if (path_.empty()) return true;
    std::error_code ec;
    fs::permissions(path_, static_cast<fs::perms>(mode), fs::perm_options::replace, ec);
    error_ = ec.value();
    return !ec;
}

std::optional<FileId> Writer::id() const { return std::nullopt; }

bool Writer::close() {
    if (!stream_) return true;
    auto* f = static_cast<std::FILE*>(stream_);
    errno = 0;
    const int r = fd_ >= 0 ? std::fflush(f) : std::fclose(f);
    stream_ = nullptr;
    fd_ = -1;
    if (r != 0) error_ = errno ? errno : EIO;
    return r == 0;
}


bool rename_over(const char* from, const char* to, int& error) {
    std::error_code ec;
    fs::rename(from, to, ec);
    error = ec.value();
    return !ec;
}

void remove_file(const char* path) { std::remove(path); }

std::optional<unsigned> file_mode(const char* path) {
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    if (ec || !fs::exists(st)) return std::nullopt;
    return static_cast<unsigned>(st.permissions());
}

unsigned new_file_mode() { return 0644; }

}  // namespace tarvo::sys
