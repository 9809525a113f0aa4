// Replacing an output file safely: write a temporary file in the target's directory, then
// rename it over the target, so a failed or interrupted run never leaves a damaged file.
#include "teleso/output.h"

#include <atomic>
#include <csignal>
#include <filesystem>
#include <iterator>
#include <random>
#include <system_error>

namespace fs = std::filesystem;

namespace teleso {
namespace {

constexpr int kMaxLinkHops = 40;
constexpr int kTempNameTries = 100;

// Follows a chain of symbolic links, so that the file they lead to is replaced and the links
// stay links. A dangling link leads to the path it names.
fs::path resolve_links(fs::path p) {
    std::error_code ec;
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
        if (!fs::is_symlink(fs::symlink_status(p, ec))) break;
        const fs::path next = fs::read_symlink(p, ec);
        if (ec) break;
        p = next.is_absolute() ? next : p.parent_path() / next;
    }
    return p;
}

// Directory entries hold at most 255 bytes; the temporary name adds 14 to the target's, so a
// long target name is shortened in it (it only has to show whose temporary file it is).
constexpr std::size_t kMaxTempStem = 200;

std::string temp_name_for(const fs::path& target, std::uint64_t salt) {
    static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string suffix;
    for (int k = 0; k < 8; ++k, salt /= 36) suffix += kDigits[salt % 36];
    std::string name(".");
    name.append(target.filename().string().substr(0, kMaxTempStem)).append(".").append(suffix).append(".tmp");
    return (target.parent_path() / name).string();
}

// The temporary file of the write in progress, removed if the process is stopped by a signal:
// Ctrl-C or Ctrl-\, kill, a closed terminal, a console pipe whose reader has gone
// (`tarvo ... | true`), or a file size limit (ulimit -f) reached while writing.
std::atomic<const char*> g_interrupted_temp{nullptr};
using Handler = void (*)(int);
constexpr int kGuardedSignals[] = {
    SIGINT, SIGTERM,
#ifdef SIGHUP
    SIGHUP,
#endif
#ifdef SIGPIPE
    SIGPIPE,
#endif
#ifdef SIGQUIT
    SIGQUIT,
#endif
#ifdef SIGXFSZ
    SIGXFSZ,
#endif
};
constexpr std::size_t kGuardedCount = std::size(kGuardedSignals);
Handler g_previous[kGuardedCount] = {};

extern "C" void remove_temp_and_reraise(int sig) {
    if (const char* temp = g_interrupted_temp.load()) std::remove(temp);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

void guard_temp(const std::string& temp) {
    g_interrupted_temp.store(temp.c_str());
    for (std::size_t k = 0; k < kGuardedCount; ++k) {
        g_previous[k] = std::signal(kGuardedSignals[k], remove_temp_and_reraise);
        // A signal the caller ignores (nohup, a script's background job) must not end the run.
        if (g_previous[k] == SIG_IGN) std::signal(kGuardedSignals[k], SIG_IGN);
    }
}

void unguard_temp() {
    for (std::size_t k = 0; k < kGuardedCount; ++k)
        std::signal(kGuardedSignals[k], g_previous[k] == SIG_ERR ? SIG_DFL : g_previous[k]);
    g_interrupted_temp.store(nullptr);
}

bool is_existing_special(const fs::path& p) {
    std::error_code ec;
    const fs::file_status st = fs::status(p, ec);
    return !ec && fs::exists(st) && !fs::is_regular_file(st) && !fs::is_directory(st);
}

}  // namespace

bool output_writable(const char* path) {
    // Opening follows symbolic links, so a file it creates is the one at the end of the chain;
    // that file is removed again, never the link (a dangling link stays a link).
    const fs::path target = resolve_links(path);
    std::error_code ec;
    const fs::file_status st = fs::status(target, ec);
    const bool existed = !ec && fs::exists(st);
    // Opening a pipe would wait for a reader and hand it an empty stream; it is opened once,
    // when the file is written.
    if (existed && fs::is_fifo(st)) return true;
    std::FILE* f = std::fopen(path, "ab");  // append mode: creates, never truncates
    if (!f) return false;
    std::fclose(f);
    if (!existed) std::remove(target.c_str());
    return true;
}

bool open_output(const char* path, PendingOutput& out) {
    out = PendingOutput{};
    const fs::path target = resolve_links(path);
    out.target = target.string();
    if (is_existing_special(target)) {
        out.file = std::fopen(out.target.c_str(), "wb");
    } else {
        std::random_device entropy;
        std::uint64_t salt = (std::uint64_t{entropy()} << 32) ^ entropy();
        for (int attempt = 0; attempt < kTempNameTries && !out.file; ++attempt, salt = salt * 6364136223846793005ULL + 1442695040888963407ULL) {
            out.temp = temp_name_for(target, salt);
            out.file = std::fopen(out.temp.c_str(), "wbx");  // exclusive: never someone else's file
            if (!out.file && errno != EEXIST) break;
        }
        if (!out.file) {
            out.temp.clear();
            return false;
        }
        guard_temp(out.temp);
    }
    if (!out.file) return false;
    return true;
}

void abandon_output(PendingOutput& out) {
    if (out.file) std::fclose(out.file);
    out.file = nullptr;
    if (!out.temp.empty()) {
        std::remove(out.temp.c_str());
        unguard_temp();
        out.temp.clear();
    }
}

bool finish_output(PendingOutput& out, bool written) {
    if (written) return commit_output(out);
    abandon_output(out);
    return false;
}

bool commit_output(PendingOutput& out) {
    const bool flushed = std::fflush(out.file) == 0 && !std::ferror(out.file);
    const bool closed = std::fclose(out.file) == 0;
    out.file = nullptr;
    if (!flushed || !closed) {
        abandon_output(out);
        return false;
    }
    if (out.temp.empty()) return true;
    std::error_code ec;
    const fs::file_status old = fs::status(out.target, ec);
    if (!ec && fs::exists(old)) {
        fs::permissions(out.temp, old.permissions(), fs::perm_options::replace, ec);
        if (ec) {
            abandon_output(out);
            return false;
        }
    }
    if (std::rename(out.temp.c_str(), out.target.c_str()) != 0) {
        abandon_output(out);
        return false;
    }
    unguard_temp();
    out.temp.clear();
    return true;
}

}  // namespace teleso
