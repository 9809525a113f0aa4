// The bulk engine against the voxel-by-voxel definitions, stage by stage, on particles made by
// the project's shapes: a sphere of edge 1290 (the largest grid the format allows, long chains of
// full markers), a porous grain of edge 600, a dense porous ball of edge 600 (3% of its voxels
// cleared at random: runs of about 30 and single literals), random noise of edge 256 (nearly
// one literal a voxel), a speck (a sphere of radius 20), a thin spherical shell and a porous ball of
// literals in a grid of edge 1290.
//
//   tarvo_bench make DIR                     write the seven particles to DIR (about 400 MB)
//   tarvo_bench stages DIR [--full] [NAME]   the stages as the program runs them (read and
//                                            measure, cut and measure, write) with two threads and
//                                            one, medians of interleaved rounds, against the
//                                            per-voxel path (read, analyse, cut, analyse, write);
//                                            the per-voxel path on the sphere (80 s and more) only
//                                            with --full; NAME picks one particle
//   tarvo_bench codec DIR [NAME]             the codec alone on one thread: decoding by every
//                                            path this processor has into a bitmap already in
//                                            memory, without and with measuring, and encoding
//                                            into memory by every path; medians of interleaved
//                                            rounds of thread CPU time
//   tarvo_bench run MODE IN OUT X Y Z        one whole run without transcript, MODE bulk,
//                                            bulk-1 (one thread) or per-voxel (for
//                                            whole-process timing, see run.sh)
//   tarvo_bench time ROUNDS PAUSE CMD...     whole processes: each shell command once a round, in
//                                            turn (each round begins with the next command),
//                                            PAUSE seconds of idleness before each round;
//                                            the median and least wall time, the median CPU time
//                                            and the largest resident set of each (see run.sh)
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "geometry/passes.h"
#include "tarvo/shapes.h"
#include "codec/counter.h"
#include "codec/reader.h"
#include "codec/writer.h"
#include "format/format.h"
#include "files/io.h"
#include "codec/reference.h"
#include "tarvo/body.h"

using namespace tarvo;

namespace {

struct Particle {
    const char* name;
    std::int32_t dim;
};
// The speck is a sphere of radius 20 in the largest grid: a stream of long chains of empty voxels.
// The shell (a sphere less the sphere 3 voxels inside it) has two short runs on every row that
// crosses it; the porous ball of the largest grid (half its voxels cleared) is a stream of literals.
const Particle kParticles[] = {{"sphere1290", 1290}, {"grain600", 600},   {"ball600", 600},     {"noise256", 256},
                               {"speck1290", 1290},  {"shell1290", 1290}, {"porous1290", 1290}};

// Clears from rec the voxels set in `inner` (a body of the same edge).
void clear_where_set(TelesoRecord& rec, const TelesoRecord& inner) {
    for (std::size_t i = 0; i < tarvo::padded_bytes(rec.size); ++i)
        rec.data[i] = static_cast<std::uint8_t>(rec.data[i] & ~inner.data[i]);
}

using Clock = std::chrono::steady_clock;
double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// CPU time of the calling thread: what one-thread code costs, whatever else the machine runs.
double thread_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

std::string path_of(const std::string& dir, const char* name) { return dir + "/" + name + ".3d"; }

bool make_particles(const std::string& dir) {
    for (const Particle& p : kParticles) {
        tarvo::Body rec_body;
        TelesoRecord& rec = rec_body.rec;
        if (!tarvo::create_body(rec, p.dim)) return false;
        const std::string name = p.name;
        const double mid = (p.dim - 1) / 2.0, radius = p.dim / 2.0 - 2.0;
        if (name.rfind("sphere", 0) == 0) tarvo::shapes::make_sphere(rec, radius);
        if (name.rfind("speck", 0) == 0) tarvo::shapes::make_sphere(rec, 20.0);
        if (name.rfind("grain", 0) == 0) tarvo::shapes::make_grain(rec, 1);
        if (name.rfind("ball", 0) == 0) tarvo::shapes::make_porous_ball(rec, {mid, mid, mid}, radius, 0.03, 1);
        if (name.rfind("noise", 0) == 0) tarvo::shapes::make_noise(rec, 1, 0.5);
        if (name.rfind("porous", 0) == 0) tarvo::shapes::make_porous_ball(rec, {mid, mid, mid}, 250.0, 0.5, 1);
        if (name.rfind("shell", 0) == 0) {
            tarvo::shapes::make_sphere(rec, radius);
            tarvo::Body inner;
            if (!inner.create(p.dim)) return false;
            tarvo::shapes::make_sphere(inner.rec, radius - 3.0);
            clear_where_set(rec, inner.rec);
        }
        Analyse_teleso(rec);
        const bool ok = tarvo::save_body(path_of(dir, p.name), rec).ok();
        if (!ok) return false;
        std::printf("%s written\n", path_of(dir, p.name).c_str());
    }
    return true;
}

// The program's stages; the per-voxel path measures in separate passes, counted with the stage
// before them.
enum Stage { kRead, kCut, kWrite, kStages };
const char* const kStageNames[kStages] = {"read + measure", "cut + measure", "write"};

struct Timings {
    double stage[kStages] = {};
    double whole() const {
        double s = 0;
        for (double t : stage) s += t;
        return s;
    }
};

struct Cut {
    float x, y, z;
};

// Opens a particle file, reads its header and allocates its cleared body, as the program does.
bool open_particle(const std::string& path, tarvo::Input& in, TelesoRecord& rec) {
    tarvo::HeaderImage header;
    return in.open(path) && in.read_header(header) && tarvo::check_header(header, path) &&
           tarvo::create_body(rec, header.dim());
}

// The voxel-by-voxel reader on the stream after the header.
bool reference_read(const std::string& path, TelesoRecord& rec) {
    std::FILE* in = std::fopen(path.c_str(), "rb");
    if (!in || std::fseek(in, static_cast<long>(tarvo::kHeaderBytes), SEEK_SET) != 0) return false;
    const bool ok = tarvo::reference::read_voxels(in, rec);
    std::fclose(in);
    return ok;
}

bool bulk_write(const std::string& out_path, const TelesoRecord& rec, int threads) {
    tarvo::Output out;
    return out.open(out_path) && tarvo::write_body(out, rec, threads) && out.commit();
}

bool reference_write(const std::string& out_path, const TelesoRecord& rec) {
    std::FILE* out = std::fopen(out_path.c_str(), "wb");
    if (!out) return false;
    std::setvbuf(out, nullptr, _IOFBF, std::size_t{1} << 20);
    const bool ok = tarvo::reference::write_body(out, rec);
    return std::fclose(out) == 0 && ok;
}

// One run as the program makes it (the measurements taken while reading and cutting) or voxel by
// voxel; threads 0 lets the library choose. Without `tally_to_cut`, the cut is not given the tally
// taken while reading and measures all that it keeps.
bool run_once(bool bulk, const std::string& in_path, const std::string& out_path, Cut cut, Timings& t, int threads = 0,
              bool tally_to_cut = true) {
    auto start = Clock::now();
    tarvo::Body rec_body;
    TelesoRecord& rec = rec_body.rec;
    tarvo::Input in;
    if (!open_particle(in_path, in, rec)) return false;
    bool read_ok = true;
    tarvo::Tally measured;
    if (bulk) {
        read_ok = in.read_voxels(rec, threads, &measured).ok();
        tarvo::geometry::set_measurement(rec, measured);
    } else {
        read_ok = reference_read(in_path, rec);
        tarvo::geometry::reference::analyse(rec);
    }
    t.stage[kRead] = seconds_since(start);
    const Center c = Get_center(rec);

    start = Clock::now();
    if (bulk) {
        tarvo::Tally kept;
        tarvo::geometry::cut(rec, c, cut.x, cut.y, cut.z, threads, &kept, tally_to_cut ? &measured : nullptr);
        tarvo::geometry::set_measurement(rec, kept);
    } else {
        tarvo::geometry::reference::cut(rec, c, cut.x, cut.y, cut.z);
        tarvo::geometry::reference::analyse(rec);
    }
    t.stage[kCut] = seconds_since(start);

    start = Clock::now();
    const bool write_ok = bulk ? bulk_write(out_path, rec, threads) : reference_write(out_path, rec);
    t.stage[kWrite] = seconds_since(start);
    return read_ok && write_ok;
}

std::vector<char> file_bytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

int stages(const std::string& dir, bool full, const std::string& only) {
    const Cut cut{300, 400, 99999};
    constexpr int kRounds = 7;
    bool all_identical = true;
    for (const Particle& p : kParticles) {
        if (!only.empty() && only != p.name) continue;
        const std::string in = path_of(dir, p.name);
        const std::string out_bulk = dir + "/" + p.name + ".bulk.out", out_ref = dir + "/" + p.name + ".ref.out";
        bool ok = true;
        std::vector<double> two[kStages + 1], one[kStages + 1], cut_alone;
        for (int round = 0; round < kRounds; ++round) {  // alternated, so that a busy moment hits both
            Timings a, b, c;
            ok = run_once(true, in, out_bulk, cut, a, 0) && run_once(true, in, out_bulk, cut, b, 1) &&
                 run_once(true, in, out_bulk, cut, c, 0, false) && ok;
            for (int s = 0; s <= kStages; ++s) {
                two[s].push_back(s < kStages ? a.stage[s] : a.whole());
                one[s].push_back(s < kStages ? b.stage[s] : b.whole());
            }
            cut_alone.push_back(c.stage[kCut]);
        }
        const bool with_ref = full || p.dim < 1000;
        Timings ref;
        if (with_ref) ok = run_once(false, in, out_ref, cut, ref) && ok;
        if (!ok) {
            std::printf("%s: a run failed\n", p.name);
            return 1;
        }
        std::printf("\n%s (edge %d), cut 300 400 99999; seconds, medians of %d rounds (bulk), 1 run (per voxel)\n",
                    p.name, p.dim, kRounds);
        std::printf("  %-16s %12s %10s %10s %9s %9s\n", "stage", "per voxel", "bulk", "1 thread", "2 vs 1", "ratio");
        for (int s = 0; s <= kStages; ++s) {
            const double b = median(two[s]), o = median(one[s]);
            const double r = s < kStages ? ref.stage[s] : ref.whole();
            const char* name = s < kStages ? kStageNames[s] : "whole run";
            if (with_ref)
                std::printf("  %-16s %12.4f %10.4f %10.4f %8.2fx %8.0fx\n", name, r, b, o, o / b, r / b);
            else
                std::printf("  %-16s %12s %10.4f %10.4f %8.2fx %9s\n", name, "-", b, o, o / b, "-");
        }
        const double alone = median(cut_alone), given = median(two[kCut]);
        std::printf("  %-16s %12s %10.4f %10s %9s %9s   the cut not given the read's tally: %.2fx the time\n",
                    "cut, no tally", "-", alone, "-", "-", "-", alone / given);
        if (with_ref) {
            const bool same = file_bytes(out_bulk) == file_bytes(out_ref);
            all_identical = all_identical && same;
            std::printf("  output files identical: %s\n", same ? "yes" : "NO");
            std::remove(out_ref.c_str());
        }
        std::remove(out_bulk.c_str());
    }
    return all_identical ? 0 : 1;
}

// Takes the blocks of the writer and forgets them.
class NullSink : public tarvo::BlockSink {
public:
    std::size_t bytes = 0;
    void take(tarvo::Block& block) override {
        bytes += block.used;
        block.used = 0;
    }
};

// One decode of the file into a bitmap whose pages are in memory already; thread CPU seconds, or a
// negative value on failure.
double decode_once(const std::string& path, tarvo::Kernel decoder, bool measure) {
    tarvo::Body rec_body;
    TelesoRecord& rec = rec_body.rec;
    tarvo::Input in;
    if (!open_particle(path, in, rec)) return -1;
    std::memset(rec.data, 0, tarvo::padded_bytes(rec.size));
    tarvo::Tally tally;
    const double start = thread_seconds();
    const bool ok = in.read_voxels(rec, 1, measure ? &tally : nullptr, decoder).ok();
    const double t = thread_seconds() - start;
    return ok ? t : -1;
}

int codec(const std::string& dir, const std::string& only) {
    constexpr int kRounds = 9;
    const tarvo::Kernel readers[] = {tarvo::Kernel::kScalar, tarvo::Kernel::kSse2, tarvo::Kernel::kAvx2,
                                          tarvo::Kernel::kAvx512};
    const tarvo::Kernel writers[] = {tarvo::Kernel::kScalar, tarvo::Kernel::kAvx2, tarvo::Kernel::kAvx512};
    constexpr int kReaders = static_cast<int>(std::size(readers)), kWriters = static_cast<int>(std::size(writers));
    std::printf("the codec on one thread: thread CPU seconds, medians of %d interleaved rounds\n", kRounds);
    std::printf("%-12s %-26s %10s %10s\n", "particle", "step", "seconds", "MB/s");
    for (const Particle& p : kParticles) {
        if (!only.empty() && only != p.name) continue;
        const std::string in = path_of(dir, p.name);
        const double mb = static_cast<double>(file_bytes(in).size()) / 1e6;
        std::vector<double> decode[kReaders], measured[kReaders], encode[kWriters];
        tarvo::Body owner;
        TelesoRecord& body = owner.rec;
        tarvo::Input input;
        if (!open_particle(in, input, body) || !input.read_voxels(body, 1)) return 1;
        for (int round = 0; round < kRounds; ++round) {
            for (int k = 0; k < kReaders; ++k) {
                if (!tarvo::kernel_available(readers[k])) continue;
                decode[k].push_back(decode_once(in, readers[k], false));
                measured[k].push_back(decode_once(in, readers[k], true));
            }
            for (int k = 0; k < kWriters; ++k) {
                if (!tarvo::kernel_available(writers[k])) continue;
                NullSink sink;
                tarvo::StreamWriter writer(sink, tarvo::Block::of(std::size_t{1} << 20), writers[k]);
                const double start = thread_seconds();
                tarvo::encode_voxels(body, writer);
                encode[k].push_back(thread_seconds() - start);
            }
        }
        auto line = [&](const char* step, const char* path, const std::vector<double>& t) {
            if (t.empty()) return;
            const std::string what = std::string(step) + ", " + path;
            std::printf("%-12s %-26s %10.4f %10.0f\n", p.name, what.c_str(), median(t), mb / median(t));
        };
        for (int k = 0; k < kReaders; ++k) line("decode", tarvo::kernel_name(readers[k]), decode[k]);
        for (int k = 0; k < kReaders; ++k) line("decode and measure", tarvo::kernel_name(readers[k]), measured[k]);
        for (int k = 0; k < kWriters; ++k) line("encode", tarvo::kernel_name(writers[k]), encode[k]);
    }
    return 0;
}

// One run of a shell command, its standard output thrown away: wall and CPU seconds, peak kB.
struct ProcessRun {
    double wall = 0, cpu = 0;
    long peak_kb = 0;
    bool ok = false;
};

ProcessRun run_process(const char* command) {
    const char* argv[] = {"/bin/sh", "-c", command, nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    ProcessRun r;
    pid_t pid = 0;
    const auto start = Clock::now();
    if (posix_spawn(&pid, "/bin/sh", &actions, nullptr, const_cast<char* const*>(argv), environ) == 0) {
        int status = 0;
        rusage usage{};
        if (wait4(pid, &status, 0, &usage) == pid) {
            r.wall = seconds_since(start);
            r.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                    1e-6 * static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
            r.peak_kb = usage.ru_maxrss;
            r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        }
    }
    posix_spawn_file_actions_destroy(&actions);
    return r;
}

int time_processes(int rounds, double pause, const std::vector<const char*>& commands) {
    std::vector<std::vector<double>> wall(commands.size()), cpu(commands.size());
    std::vector<long> peak(commands.size(), 0);
    for (int round = 0; round < rounds; ++round) {
        if (pause > 0) usleep(static_cast<useconds_t>(pause * 1e6));
        // Each round starts with another command, so that none always runs first after the pause.
        for (std::size_t j = 0; j < commands.size(); ++j) {
            const std::size_t k = (j + static_cast<std::size_t>(round)) % commands.size();
            const ProcessRun r = run_process(commands[k]);
            if (!r.ok) {
                std::fprintf(stderr, "failed: %s\n", commands[k]);
                return 1;
            }
            wall[k].push_back(r.wall);
            cpu[k].push_back(r.cpu);
            peak[k] = std::max(peak[k], r.peak_kb);
        }
    }
    for (std::size_t k = 0; k < commands.size(); ++k)
        std::printf("%.4f %.4f %.4f %ld %s\n", median(wall[k]), *std::min_element(wall[k].begin(), wall[k].end()),
                    median(cpu[k]), peak[k], commands[k]);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "make" && argc == 3) return make_particles(argv[2]) ? 0 : 1;
    if ((cmd == "stages" || cmd == "codec") && argc >= 3) {
        bool full = false;
        std::string only;
        for (int k = 3; k < argc; ++k) (std::strcmp(argv[k], "--full") == 0 ? full = true : (only = argv[k], true));
        return cmd == "stages" ? stages(argv[2], full, only) : codec(argv[2], only);
    }
    if (cmd == "time" && argc >= 5) {
        const std::vector<const char*> commands(argv + 4, argv + argc);
        return time_processes(std::atoi(argv[2]), std::atof(argv[3]), commands);
    }
    if (cmd == "run" && argc == 8) {
        const std::string mode = argv[2];
        if (mode != "bulk" && mode != "bulk-1" && mode != "per-voxel") return 2;
        Timings t;
        const Cut cut{Cut_length(argv[5]), Cut_length(argv[6]), Cut_length(argv[7])};
        return run_once(mode != "per-voxel", argv[3], argv[4], cut, t, mode == "bulk-1" ? 1 : 0) ? 0 : 1;
    }
    std::fprintf(stderr,
                 "usage: tarvo_bench make DIR | stages DIR [--full] [NAME] | codec DIR [NAME] | "
                 "run bulk|bulk-1|per-voxel IN OUT X Y Z | time ROUNDS PAUSE CMD...\n");
    return 2;
}
