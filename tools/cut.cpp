// tarvo-tools cut: the tarvo program's cut (the same bytes for X Y Z), a plane through any point,
// and many particles into a folder in one run.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "plane.h"
#include "sheet.h"
#include "subcommands.h"
#include "sys/platform.h"
#include "volume.h"

namespace tarvo::tools {
namespace {

const char kUsageText[] =
    "Usage: tarvo-tools cut (IN.3d OUT.3d | --out-dir DIR FILE.3d...) (X Y Z | --normal NX NY NZ [--through X Y Z] [--keep +|-]) [--name PATTERN] [--files LIST] [--csv | --json]\n"
    "\n"
    "Cuts a particle by a plane and writes it as tarvo writes its output. With X Y Z the cut is\n"
    "exactly tarvo's (the same bytes), but a length that is not wholly a number ('l', '1,5') is\n"
    "refused. With --normal the plane passes through the point of --through (default: the\n"
    "particle's centre, as tarvo takes it); a voxel p is on the + side when n.(p - c) > 0, decided\n"
    "exactly for the decimals given. The - side is kept (--keep + keeps the other); a voxel on the\n"
    "plane is always kept.\n"
    "With --out-dir every FILE.3d is cut into DIR, on all cores (X Y Z come before the files), and a\n"
    "row per file is printed: file, output, voxels kept, error; a failing file does not stop the\n"
    "others (exit status 1).\n"
    "  --normal NX NY NZ   the plane's normal (decimal numbers, not all zero)\n"
    "  --through X Y Z     a point of the plane (decimal numbers)\n"
    "  --keep +|-          the side kept (default -)\n"
    "  --out-dir DIR       cut every file into DIR\n"
    "  --name PATTERN      the output's name in DIR: {name} the input's file name, {stem} without .3d\n"
    "                      (default {name})\n"
    "  --files LIST        also the files named in LIST, one a line (- for standard input)\n"
    "  --csv, --json       the rows of --out-dir as CSV or JSON\n"
    "A particle's voxel size (its sidecar FILE.3d.json) goes with it to the cut particle.\n";

struct Plane {
    std::optional<CutLengths> lengths;
    std::optional<PointPlane> point;
};

// `read`: the tally taken while the particle was read, which spares the program's cut a pass to
// measure it and lets it skip the rows outside the particle, as the program itself does.
void cut_body(TelesoRecord& rec, const Plane& plane, const tarvo::Tally* read = nullptr) {
    if (plane.lengths)
        cut_as_program(rec, *plane.lengths, {}, read);
    else
        cut_through(rec, *plane.point);
}

int cut_one(const std::vector<std::string>& pos, const Plane& plane) {
    Body body;
    tarvo::Tally read;
    load_or_fail(pos[0], body, nullptr, false, &read);
    check_output_name(pos[1], ".3d", "a shape form file");
    cut_body(body.rec, plane, &read);
    save_measured(pos[1], body.rec);
    carry_sidecar(pos[0], pos[1]);
    return kDone;
}

std::string replaced(std::string pattern, const std::string& key, const std::string& value) {
    for (std::size_t at; (at = pattern.find(key)) != std::string::npos;) pattern.replace(at, key.size(), value);
    return pattern;
}

std::string output_name(const std::string& dir, const std::string& pattern, const std::string& input) {
    const std::string name = std::filesystem::path(input).filename().string();
    const std::string stem = lower_extension(name) == ".3d" ? name.substr(0, name.size() - 3) : name;
    return (std::filesystem::path(dir) / replaced(replaced(pattern, "{name}", name), "{stem}", stem)).string();
}

// The old files a batch replaces are let go by threads of their own. Renaming over a file makes
// the file system free its blocks, and on a disk mounted with `discard` that waits for the disk
// (0.3 ms and more a file, alone). Holding the old file open across the rename leaves the freeing
// to the last close, which these threads do, several at once: their waits overlap (1,000 closes
// in some 40 ms on four threads, 2 s on one), and no thread that reads, cuts or writes waits. The
// rename stays the one step that replaces the file; a process that dies holding an old file has
// it closed, and freed, by the system.
class Displaced {
public:
    // Without threads (none could be started) the old files are closed at once.
    explicit Displaced(std::size_t threads) {
        try {
            for (std::size_t t = 0; t < threads; ++t) threads_.emplace_back([this] { run(); });
        } catch (const std::system_error&) {
        }
    }
    ~Displaced() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        ready_.notify_all();
        for (std::thread& t : threads_) t.join();
    }

    // A descriptor of the regular file at `path` (links followed), -1 when there is none.
    static int hold(const std::string& path) {
        if (tarvo::sys::kind_of(path.c_str()) != tarvo::sys::FileKind::kRegular) return -1;
        const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        struct stat st;
        if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
            ::close(fd);
            return -1;
        }
        return fd;
    }

    // Closes fd on one of the threads.
    void release(int fd) {
        if (fd < 0) return;
        if (threads_.empty()) {
            ::close(fd);
            return;
        }
        std::unique_lock<std::mutex> lock(mutex_);
        room_.wait(lock, [&] { return fds_.size() < kMostWaiting; });
        fds_.push_back(fd);
        ready_.notify_one();
    }

private:
    static constexpr std::size_t kMostWaiting = 64;  // descriptors held at most

    void run() {
        for (;;) {
            int fd;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                ready_.wait(lock, [&] { return done_ || !fds_.empty(); });
                if (fds_.empty()) return;
                fd = fds_.back();
                fds_.pop_back();
            }
            room_.notify_one();
            ::close(fd);
        }
    }

    std::mutex mutex_;
    std::condition_variable ready_, room_;
    std::vector<int> fds_;
    bool done_ = false;
    std::vector<std::thread> threads_;
};

// Threads that close the replaced files: their waits on the disk overlap.
constexpr std::size_t kClosingThreads = 4;

// Writes the cut particle whole, then puts it in place, the old file held open across the rename.
void save_replacing(const std::string& out, const TelesoRecord& rec, Displaced& displaced) {
    OutputFile file(out);
    if (const tarvo::Status s = tarvo::write_body(file.output(), rec); !s) fail_with(s);
    const int old = Displaced::hold(out);
    try {
        file.commit();
    } catch (...) {
        displaced.release(old);
        throw;
    }
    displaced.release(old);
}

Row cut_row(const std::string& in, const std::string& out, const Plane& plane, Displaced& displaced) {
    Row row{{in, {}}, {out, {}}, {}, {}};
    try {
        Body body;
        tarvo::Tally read;
        load_or_fail(in, body, nullptr, false, &read);
        cut_body(body.rec, plane, &read);
        save_replacing(out, body.rec, displaced);
        carry_sidecar(in, out);
        row[2].text = std::to_string(body.rec.voxels);
    } catch (const Failure& e) {
        row[3].text = e.what();
    } catch (const std::bad_alloc&) {
        row[3].text = in + ": out of memory";
    }
    return row;
}

int cut_many(const Arguments& a, std::vector<std::string> files, const Plane& plane) {
    const Format format = format_of(a);
    const std::string& dir = *a.value("--out-dir");
    const std::string pattern = a.value("--name") ? *a.value("--name") : "{name}";
    if (pattern.find("{name}") == std::string::npos && pattern.find("{stem}") == std::string::npos)
        throw UsageError("--name: '" + pattern + "' names every output alike: put {name} or {stem} in it");
    if (const std::string* list = a.value("--files")) {
        Arguments only_list;
        only_list.values["--files"] = *list;
        for (const std::string& f : batch_paths(only_list)) files.push_back(f);
    }
    if (files.empty()) throw UsageError("missing arguments: expected FILE.3d... or --files LIST");
    std::vector<std::string> outs;
    std::map<std::string, std::string> taken;
    for (const std::string& f : files) {
        outs.push_back(output_name(dir, pattern, f));
        if (const auto [at, fresh] = taken.emplace(outs.back(), f); !fresh)
            throw UsageError("'" + at->second + "' and '" + f + "' would both be written to '" + outs.back() + "'");
    }
    // Every input is known before the first output is written, so none of them is replaced.
    for (const std::string& f : files)
        if (const auto id = tarvo::sys::identity_of(f.c_str())) remember_input(InputFile{*id, f});
    Sheet sheet;
    sheet.columns = {{"file", Kind::kText}, {"output", Kind::kText}, {"voxels", Kind::kNumber}, {"error", Kind::kText}};
    sheet.rows.resize(files.size());
    tarvo::hold_signal_guard(true);
    {
        Displaced displaced(kClosingThreads);
        for_each_file(files.size(), [&](std::size_t k) { sheet.rows[k] = cut_row(files[k], outs[k], plane, displaced); });
    }
    tarvo::hold_signal_guard(false);
    print_sheet(sheet, format);
    for (const Row& row : sheet.rows)
        if (!row[3].text.empty()) return kFailed;
    return kDone;
}

int run_cut(const Args& raw) {
    Args args = raw;
    const PlaneArgs p = take_plane(args);
    const Arguments a = parse_arguments(args, {"--out-dir", "--name", "--files"}, {"--csv", "--json"});
    const bool many = a.has("--out-dir");
    if (!many && (a.has("--name") || a.has("--files") || a.has("--csv") || a.has("--json")))
        throw UsageError("--name, --files, --csv and --json go with --out-dir");
    Plane plane;
    std::vector<std::string> pos = a.positional;
    if (p.plane) {
        plane.point = p.plane;
    } else {
        // The lengths: after IN OUT, or first of all with --out-dir.
        const std::size_t at = many ? 0 : 2;
        if (pos.size() < at + 3)
            throw UsageError(many ? "missing arguments: expected X Y Z FILE.3d... (or --normal)"
                                  : "missing arguments: expected IN.3d OUT.3d X Y Z (or --normal)");
        plane.lengths = lengths_of({pos[at], pos[at + 1], pos[at + 2]});
        pos.erase(pos.begin() + static_cast<std::ptrdiff_t>(at), pos.begin() + static_cast<std::ptrdiff_t>(at + 3));
    }
    if (many) return cut_many(a, pos, plane);
    Arguments two;
    two.positional = pos;
    expect_positional(two, 2, "IN.3d OUT.3d");
    return cut_one(pos, plane);
}

}  // namespace

const Subcommand kCut{"cut", "cut by tarvo's plane or by any plane; many files into a folder", kUsageText, run_cut};

}  // namespace tarvo::tools
