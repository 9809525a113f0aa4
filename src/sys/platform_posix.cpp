// The operating-system calls of the core on POSIX systems: files as descriptors (open, read,
// write, fstat, fchmod, rename). platform_portable.cpp does the same through the standard library.
#include "sys/platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarvo::sys {


namespace {

// The number at the end of `path` after `prefix`, or -1.
int number_after(const std::string& path, const std::string& prefix) {
    if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0) return -1;
    long n = 0;
    for (std::size_t k = prefix.size(); k < path.size(); ++k) {
        const char c = path[k];
        if (c < '0' || c > '9' || n > 1000000) return -1;
        n = n * 10 + (c - '0');
    }
    return static_cast<int>(n);
}

}  // namespace

std::optional<FileId> identity_of(const char* path) {
    struct stat st;
    if (::stat(path, &st) != 0) return std::nullopt;
    return FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

FileKind kind_of(const char* path) {
    struct stat st;
    if (::stat(path, &st) != 0) return FileKind::kMissing;
    if (S_ISREG(st.st_mode)) return FileKind::kRegular;
    if (S_ISDIR(st.st_mode)) return FileKind::kDirectory;
    if (S_ISFIFO(st.st_mode)) return FileKind::kFifo;
    return FileKind::kOther;
}

bool may_write(const char* path) { return ::faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) == 0; }

bool may_create_in(const char* directory) {
    return ::faccessat(AT_FDCWD, directory, W_OK | X_OK, AT_EACCESS) == 0;
}

bool may_follow_link(const char* link, unsigned& owner) {
    struct stat l, d;
    if (::lstat(link, &l) != 0) return true;  // nothing to follow: what comes next meets the error
    owner = static_cast<unsigned>(l.st_uid);
    if (!S_ISLNK(l.st_mode) || l.st_uid == ::geteuid()) return true;
    const std::string parent = std::filesystem::path(link).parent_path().string();
    if (::stat(parent.empty() ? "." : parent.c_str(), &d) != 0) return true;
    const bool shared = (d.st_mode & S_ISVTX) && (d.st_mode & S_IWOTH);
    return !shared || d.st_uid == l.st_uid;
}

int descriptor_in_path(const char* path) {
    const std::string p(path);
    if (p == "/dev/stdin") return 0;
    if (p == "/dev/stdout") return 1;
    if (p == "/dev/stderr") return 2;
    const std::string own = "/proc/" + std::to_string(::getpid()) + "/fd/";
    for (const std::string& prefix : {std::string("/dev/fd/"), std::string("/proc/self/fd/"),
                                      std::string("/proc/thread-self/fd/"), own}) {
        const int n = number_after(p, prefix);
        if (n >= 0) return n;
    }
    return -1;
}

bool descriptor_writable(int n) {
    const int flags = ::fcntl(n, F_GETFL);
    return flags >= 0 && (flags & O_ACCMODE) != O_RDONLY;
}

namespace {

std::optional<FileId> identity_of_descriptor(int fd) {
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0) return std::nullopt;
    return FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

}  // namespace

Reader::~Reader() {
    if (fd_ >= 0) ::close(fd_);
}

bool Reader::open(const char* path) {
    fd_ = ::open(path, O_RDONLY | O_CLOEXEC);
    error_ = fd_ < 0 ? errno : 0;
    return fd_ >= 0;
}

namespace {

// Up to n bytes through read_some(buf, want, done) (a read of at most `want` bytes, `done` having
// arrived before), retried where a signal cut it short; fewer only at the end of the file.
template <class ReadSome>
bool read_fully(ReadSome read_some, std::uint8_t* buf, std::size_t n, std::size_t& got, int& error) {
    got = 0;
    while (got < n) {
        const ssize_t k = read_some(buf + got, n - got, got);
        if (k < 0 && errno == EINTR) continue;
        if (k < 0) {
            error = errno;
            return false;
        }
        if (k == 0) break;
        got += static_cast<std::size_t>(k);
    }
    return true;
}

}  // namespace

bool Reader::read(std::uint8_t* buf, std::size_t n, std::size_t& got) {
    return read_fully([this](std::uint8_t* p, std::size_t want, std::size_t) { return ::read(fd_, p, want); }, buf, n,
                      got, error_);
}

std::optional<std::uint64_t> Reader::regular_size() const {
    struct stat st;
    if (fd_ < 0 || ::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size);
}

bool Reader::read_at(std::uint64_t offset, std::uint8_t* buf, std::size_t n, std::size_t& got, int& error) const {
    return read_fully([this, offset](std::uint8_t* p, std::size_t want, std::size_t done) {
                          return ::pread(fd_, p, want, static_cast<off_t>(offset + done));
                      },
                      buf, n, got, error);
}

bool Reader::seek(std::uint64_t offset) {
    if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) >= 0) return true;
    error_ = errno;
    return false;
}

std::optional<FileId> Reader::id() const { return identity_of_descriptor(fd_); }

Writer::~Writer() {
    if (fd_ >= 0) ::close(fd_);
}

bool Writer::create_private(const char* path) {
    fd_ = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    error_ = fd_ < 0 ? errno : 0;
    return fd_ >= 0;
}

bool Writer::open_existing(const char* path) {
    fd_ = ::open(path, O_WRONLY | O_CLOEXEC);
    error_ = fd_ < 0 ? errno : 0;
    return fd_ >= 0;
}

bool Writer::from_descriptor(int fd) {
    if (!descriptor_writable(fd)) {
        error_ = EBADF;
        return false;
    }
    fd_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    error_ = fd_ < 0 ? errno : 0;
    return fd_ >= 0;
}

bool Writer::write(const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        const ssize_t k = ::write(fd_, p, n);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) {
            error_ = k < 0 ? errno : EIO;
            return false;
        }
        p += k;
        n -= static_cast<std::size_t>(k);
    }
    return true;
}

void Writer::start_write_back(std::uint64_t offset, std::uint64_t n) {
#ifdef __linux__
    ::sync_file_range(fd_, static_cast<off_t>(offset), static_cast<off_t>(n), SYNC_FILE_RANGE_WRITE);
#else
    (void)offset;
    (void)n;
#endif
}

bool Writer::set_mode(unsigned mode) {
    if (::fchmod(fd_, static_cast<mode_t>(mode)) == 0) return true;
    error_ = errno;
    return false;
}

std::optional<FileId> Writer::id() const { return identity_of_descriptor(fd_); }

bool Writer::close() {
    if (fd_ < 0) return true;
    const int r = ::close(fd_);
    fd_ = -1;
    // A close interrupted by a signal has still released the descriptor (Linux).
    if (r != 0 && errno != EINTR) {
        error_ = errno;
        return false;
    }
    return true;
}


bool rename_over(const char* from, const char* to, int& error) {
    if (::rename(from, to) == 0) return true;
    error = errno;
    return false;
}

void remove_file(const char* path) { ::unlink(path); }

std::optional<unsigned> file_mode(const char* path) {
    struct stat st;
    if (::stat(path, &st) != 0) return std::nullopt;
    return static_cast<unsigned>(st.st_mode & 07777);
}

namespace {

// The umask as the system reports it (Linux 4.7 on), read without setting it: a umask set for an
// instant would give a file made meanwhile on another thread the wrong mode.
std::optional<unsigned> reported_umask() {
    const int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string text;
    char buf[4096];
    for (ssize_t k; (k = ::read(fd, buf, sizeof buf)) != 0;) {
        if (k < 0 && errno == EINTR) continue;
        if (k < 0) break;
        text.append(buf, static_cast<std::size_t>(k));
    }
    ::close(fd);
    const std::size_t at = text.find("\nUmask:");
    if (at == std::string::npos) return std::nullopt;
    const char* digits = text.c_str() + at + 7;
    char* end = nullptr;
    const unsigned long mask = std::strtoul(digits, &end, 8);
    if (end == digits) return std::nullopt;
    return static_cast<unsigned>(mask & 0777);
}

// Where the system does not report it, the umask is read the only other way, by setting it and
// setting it back: once, when the library is loaded, before the program starts any thread.
unsigned umask_at_load() {
    static std::once_flag once;
    static unsigned mask = 022;
    std::call_once(once, [] {
        if (reported_umask()) return;
        const mode_t m = ::umask(022);
        ::umask(m);
        mask = static_cast<unsigned>(m);
    });
    return mask;
}
[[maybe_unused]] const unsigned g_umask_at_load = umask_at_load();

}  // namespace

unsigned new_file_mode() { return 0666u & ~reported_umask().value_or(umask_at_load()); }

}  // namespace tarvo::sys
