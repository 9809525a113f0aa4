// Replacing an output file safely: write a temporary file in the target's directory, then rename
// it over the target, so that a failed or interrupted run never leaves a damaged file.
#include "files/output.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <random>
#include <system_error>

namespace fs = std::filesystem;

namespace tarvo {
namespace {

// ---------------------------------------------------------------------------------------------
// Where a path leads.

constexpr int kMaxLinkHops = 40;

struct Target {
    int descriptor = -1;  // a descriptor of this process the path stands for
    std::string path;     // otherwise the file at the end of its chain of symbolic links
    Status refused;       // or why the chain is not followed
};

Status unsafe_link(const std::string& path, const fs::path& link, unsigned owner) {
    Status s = fail(Error::kUnsafeLink, path, EACCES, owner);
    s.other = link.string();
    return s;
}

// Follows a chain of symbolic links, so that the file they lead to is replaced and the links stay
// links (a dangling link leads to the path it names). A link into /proc/self/fd or /dev/fd stands
// for a descriptor, whatever file that descriptor has open. As the chain is followed here and not
// by the kernel, the kernel's rule for links in shared directories is applied here too; a chain
// without end is refused as the kernel refuses it.
Target resolve(const std::string& path) {
    fs::path p(path);
    std::error_code ec;
    for (int hop = 0;; ++hop) {
        const int fd = tarvo::sys::descriptor_in_path(p.c_str());
        if (fd >= 0) return {fd, {}, {}};
        if (!fs::is_symlink(fs::symlink_status(p, ec))) break;
        if (hop == kMaxLinkHops) return {-1, {}, fail(Error::kOpenOutput, path, ELOOP)};
        unsigned owner = 0;
        if (!tarvo::sys::may_follow_link(p.c_str(), owner)) return {-1, {}, unsafe_link(path, p, owner)};
        const fs::path next = fs::read_symlink(p, ec);
        if (ec) break;
        p = next.is_absolute() ? next : p.parent_path() / next;
    }
    return {-1, p.string(), {}};
}

std::string directory_of(const std::string& path) {
    const fs::path parent = fs::path(path).parent_path();
    return parent.empty() ? std::string(".") : parent.string();
}

// The input the file `id` is, if it is one of them.
const InputFile* protected_input(const std::optional<tarvo::sys::FileId>& id, Protected protect) {
    if (!id) return nullptr;
    for (const InputFile& p : protect)
        if (p.id == *id) return &p;
    return nullptr;
}

Status same_file(const InputFile& input, const std::string& output) {
    Status s = fail(Error::kSameFile, input.path);
    s.other = output;
    return s;
}

// ---------------------------------------------------------------------------------------------
// Temporary files, removed when a signal ends the process: Ctrl-C or Ctrl-\, kill, a closed
// terminal, a console pipe whose reader has gone (`tarvo ... | true`), a file size or CPU limit,
// the timer and user signals, and an abort.

constexpr std::size_t kGuardSlots = 8;
constexpr std::size_t kMaxGuardedPath = 4096;

// The handler reads the names only while their slot is marked in use.
char g_guarded_names[kGuardSlots][kMaxGuardedPath];
std::atomic<bool> g_guarded_in_use[kGuardSlots];
static_assert(std::atomic<bool>::is_always_lock_free);

using Handler = void (*)(int);
constexpr int kGuardedSignals[] = {
    SIGINT, SIGTERM, SIGABRT,
#ifdef SIGHUP
    SIGHUP, SIGQUIT, SIGPIPE, SIGALRM, SIGUSR1, SIGUSR2, SIGXFSZ, SIGXCPU, SIGVTALRM, SIGPROF,
#endif
};
constexpr std::size_t kGuardedCount = std::size(kGuardedSignals);
Handler g_previous[kGuardedCount] = {};

std::mutex g_guard_mutex;
int g_guards_held = 0;  // temporary files guarded, and the hold
bool g_guard_enabled = true;
bool g_guard_holding = false;

extern "C" void remove_temps_and_reraise(int sig) {
    for (std::size_t k = 0; k < kGuardSlots; ++k)
        if (g_guarded_in_use[k].load()) std::remove(g_guarded_names[k]);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

void install_handlers() {
    for (std::size_t k = 0; k < kGuardedCount; ++k) {
        g_previous[k] = std::signal(kGuardedSignals[k], remove_temps_and_reraise);
        // A signal the caller ignores (nohup, a script's background job) must not end the run.
        if (g_previous[k] == SIG_IGN) std::signal(kGuardedSignals[k], SIG_IGN);
    }
}

void restore_handlers() {
    for (std::size_t k = 0; k < kGuardedCount; ++k)
        std::signal(kGuardedSignals[k], g_previous[k] == SIG_ERR ? SIG_DFL : g_previous[k]);
}

// The slot that guards `temp`, or -1 when none is free, the name is too long or guarding is off.
int guard(const std::string& temp) {
    std::lock_guard<std::mutex> lock(g_guard_mutex);
    if (!g_guard_enabled || temp.size() >= kMaxGuardedPath) return -1;
    for (std::size_t k = 0; k < kGuardSlots; ++k) {
        if (g_guarded_in_use[k].load()) continue;
        std::memcpy(g_guarded_names[k], temp.c_str(), temp.size() + 1);
        g_guarded_in_use[k].store(true);
        if (g_guards_held++ == 0) install_handlers();
        return static_cast<int>(k);
    }
    return -1;
}

void unguard(int slot) {
    if (slot < 0) return;
    std::lock_guard<std::mutex> lock(g_guard_mutex);
    g_guarded_in_use[slot].store(false);
    if (--g_guards_held == 0) restore_handlers();
}

// Directory entries hold at most 255 bytes; the temporary name adds 14 to the target's, so a
// long target name is shortened in it (it only has to show whose temporary file it is).
constexpr std::size_t kMaxTempStem = 200;
constexpr int kTempNameTries = 100;

// A fresh number for each temporary name: the system's entropy once a thread (opening it for
// every file costs more than writing a small one), stepped on after.
std::uint64_t temp_salt() {
    thread_local std::uint64_t state = [] {
        std::random_device entropy;
        return (std::uint64_t{entropy()} << 32) ^ entropy();
    }();
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return state ^ (state >> 29);
}

std::string temp_name_for(const std::string& target, std::uint64_t salt) {
    static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string suffix;
    for (int k = 0; k < 8; ++k, salt /= 36) suffix += kDigits[salt % 36];
    const fs::path t(target);
    std::string name(".");
    name.append(t.filename().string().substr(0, kMaxTempStem)).append(".").append(suffix).append(".tmp");
    return (t.parent_path() / name).string();
}

}  // namespace

void set_signal_guard(bool on) {
    std::lock_guard<std::mutex> lock(g_guard_mutex);
    g_guard_enabled = on;
}

// The hold counts as one more guarded file. Installing and restoring the handlers for each output
// took some 26 calls to the system under the lock, where a batch's other thread waited.
void hold_signal_guard(bool on) {
    std::lock_guard<std::mutex> lock(g_guard_mutex);
    if (on == g_guard_holding || (on && !g_guard_enabled)) return;
    g_guard_holding = on;
    if (on && g_guards_held++ == 0) install_handlers();
    if (!on && --g_guards_held == 0) restore_handlers();
}

Status check_output(const std::string& path) {
    if (path.empty()) return fail(Error::kOpenOutput, path, ENOENT);
    const Target t = resolve(path);
    if (!t.refused) return t.refused;
    if (t.descriptor >= 0)
        return tarvo::sys::descriptor_writable(t.descriptor) ? Status{} : fail(Error::kOpenOutput, path, EBADF);
    switch (tarvo::sys::kind_of(t.path.c_str())) {
        case tarvo::sys::FileKind::kDirectory:
            return fail(Error::kOpenOutput, path, EISDIR);
        case tarvo::sys::FileKind::kFifo:
            return {};  // opening it would wait for a reader; it is opened once, to be written
        case tarvo::sys::FileKind::kMissing:
            if (tarvo::sys::kind_of(directory_of(t.path).c_str()) == tarvo::sys::FileKind::kDirectory &&
                tarvo::sys::may_create_in(directory_of(t.path).c_str()))
                return {};
            return fail(Error::kOpenOutput, path, EACCES);
        case tarvo::sys::FileKind::kRegular:
        case tarvo::sys::FileKind::kOther:
            break;
    }
    return tarvo::sys::may_write(t.path.c_str()) ? Status{} : fail(Error::kOpenOutput, path, EACCES);
}

Status Output::open(const std::string& path, Protected protect) {
    abandon();
    path_ = path;
    status_ = {};
    const Target t = resolve(path);
    if (!t.refused) return status_ = t.refused;
    if (t.descriptor >= 0) {
        if (!writer_.from_descriptor(t.descriptor)) return status_ = fail(Error::kOpenOutput, path, writer_.error());
        if (const InputFile* input = protected_input(writer_.id(), protect)) {
            writer_.close();
            return status_ = same_file(*input, path);
        }
        mode_ = Mode::kInPlace;
        return {};
    }
    target_ = t.path;
    if (const InputFile* input = protected_input(tarvo::sys::identity_of(target_.c_str()), protect))
        return status_ = same_file(*input, path);
    switch (tarvo::sys::kind_of(target_.c_str())) {
        case tarvo::sys::FileKind::kDirectory:
            return status_ = fail(Error::kOpenOutput, path, EISDIR);
        case tarvo::sys::FileKind::kFifo:
            mode_ = Mode::kPipe;  // opened when written, as opening waits for a reader
            return {};
        case tarvo::sys::FileKind::kOther:
            if (!writer_.open_existing(target_.c_str())) return status_ = fail(Error::kOpenOutput, path, writer_.error());
            mode_ = Mode::kInPlace;
            return {};
        case tarvo::sys::FileKind::kRegular:
            // A file its owner made read-only is not replaced behind their back.
            if (!tarvo::sys::may_write(target_.c_str())) return status_ = fail(Error::kOpenOutput, path, EACCES);
            replacing_ = true;
            break;
        case tarvo::sys::FileKind::kMissing:
            break;
    }
    std::uint64_t salt = temp_salt();
    for (int attempt = 0; attempt < kTempNameTries; ++attempt) {
        temp_ = temp_name_for(target_, salt);
        // Guarded before it exists: a signal as it is created removes it. (Another file of this
        // random name would be removed only by a signal in the instant of a failed creation.)
        guard_slot_ = guard(temp_);
        if (writer_.create_private(temp_.c_str())) {
            mode_ = Mode::kTemporary;
            return {};
        }
        unguard(guard_slot_);
        guard_slot_ = -1;
        if (writer_.error() != EEXIST) break;
        salt = salt * 6364136223846793005ULL + 1442695040888963407ULL;
    }
    temp_.clear();
    return status_ = fail(Error::kOpenOutput, path, writer_.error());
}

Status Output::open_pipe() {
    if (!writer_.open_existing(target_.c_str())) return status_ = fail(Error::kOpenOutput, path_, writer_.error());
    mode_ = Mode::kInPlace;
    return {};
}

Status Output::write(const std::uint8_t* p, std::size_t n) {
    if (!status_) return status_;
    if (mode_ == Mode::kClosed) return status_ = fail(Error::kWriteOutput, path_, EBADF);
    if (mode_ == Mode::kPipe && !open_pipe()) return status_;
    if (n > 0 && !writer_.write(p, n)) status_ = fail(Error::kWriteOutput, path_, writer_.error());
    if (mode_ == Mode::kTemporary && replacing_) start_write_back(n);
    return status_;
}

// Replacing a file by a rename makes the file system write the new file's data first, and the
// rename waits for it (10 ms for 15 MB on the machine measured). Started while the rest is still
// being coded, most of that writing is done by the time of the rename. A new file is left to the
// system's own pace.
void Output::start_write_back(std::size_t n) {
    constexpr std::uint64_t kWriteBackBytes = std::uint64_t{2} << 20;
    constexpr std::uint64_t kPage = 4096;
    written_ += n;
    if (written_ - written_back_ < kWriteBackBytes) return;
    const std::uint64_t end = written_ / kPage * kPage;
    writer_.start_write_back(written_back_, end - written_back_);
    written_back_ = end;
}

Status Output::commit() {
    if (status_ && mode_ == Mode::kPipe) open_pipe();  // even an empty file reaches the reader
    if (status_ && mode_ == Mode::kTemporary) {
        const std::optional<unsigned> old = tarvo::sys::file_mode(target_.c_str());
        const unsigned mode = old ? (*old & 0777u) : tarvo::sys::new_file_mode();
        if (!writer_.set_mode(mode)) status_ = fail(Error::kWriteOutput, path_, writer_.error());
    }
    if (!writer_.close() && status_) status_ = fail(Error::kWriteOutput, path_, writer_.error());
    if (status_ && mode_ == Mode::kTemporary) {
        int err = 0;
        if (!tarvo::sys::rename_over(temp_.c_str(), target_.c_str(), err)) status_ = fail(Error::kWriteOutput, path_, err);
    }
    if (!status_) {
        const Status failed = status_;
        abandon();
        return failed;
    }
    if (mode_ == Mode::kTemporary) {
        unguard(guard_slot_);
        guard_slot_ = -1;
        temp_.clear();
    }
    mode_ = Mode::kClosed;
    return {};
}

void Output::abandon() {
    writer_.close();
    if (!temp_.empty()) {
        tarvo::sys::remove_file(temp_.c_str());
        temp_.clear();
    }
    unguard(guard_slot_);
    guard_slot_ = -1;
    mode_ = Mode::kClosed;
}

}  // namespace tarvo
