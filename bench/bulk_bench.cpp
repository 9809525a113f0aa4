// The bulk engine against the voxel-by-voxel definitions, stage by stage, on particles made by
// the project's shapes: a sphere of edge 1290 (the largest grid the format allows), a porous grain
// of edge 600 and random noise of edge 256.
//
//   tarvo_bench make DIR                     write sphere1290.3d, grain600.3d, noise256.3d to DIR
//   tarvo_bench stages DIR [--full] [NAME]   time read, analyse, cut, analyse, write and the
//                                            whole run both ways and print the ratios; the
//                                            per-voxel path on the sphere (about 80 s) only
//                                            with --full; NAME picks one particle
//   tarvo_bench run MODE IN OUT X Y Z        one whole run without transcript, MODE bulk,
//                                            bulk-1 (one thread) or per-voxel (for
//                                            whole-process timing, see run.sh)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "geometry/geometry.h"
#include "shapes/shapes.h"
#include "teleso/format.h"
#include "teleso/io.h"
#include "teleso/reference.h"
#include "teleso/teleso.h"

namespace {

struct Particle {
    const char* name;
    std::int32_t dim;
};
const Particle kParticles[] = {{"sphere1290", 1290}, {"grain600", 600}, {"noise256", 256}};

using Clock = std::chrono::steady_clock;
double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

std::string path_of(const std::string& dir, const char* name) { return dir + "/" + name + ".3d"; }

bool make_particles(const std::string& dir) {
    for (const Particle& p : kParticles) {
        TelesoRecord rec;
        if (!teleso::create_body(rec, p.dim)) return false;
        const std::string name = p.name;
        if (name.rfind("sphere", 0) == 0) shapes::make_sphere(rec, p.dim / 2.0 - 2.0);
        if (name.rfind("grain", 0) == 0) shapes::make_grain(rec, 1);
        if (name.rfind("noise", 0) == 0) shapes::make_noise(rec, 1, 0.5);
        Analyse_teleso(rec);
        const bool ok = teleso::save_body(path_of(dir, p.name), rec).ok();
        teleso::free_body(rec);
        if (!ok) return false;
        std::printf("%s written\n", path_of(dir, p.name).c_str());
    }
    return true;
}

enum Stage { kRead, kAnalyse, kCut, kAnalyse2, kWrite, kStages };
const char* const kStageNames[kStages] = {"read", "analyse", "cut", "analyse again", "write"};

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
bool open_particle(const std::string& path, teleso::Input& in, TelesoRecord& rec) {
    teleso::HeaderImage header;
    return in.open(path) && in.read_header(header) && teleso::check_header(header, path) &&
           teleso::create_body(rec, header.dim());
}

// The voxel-by-voxel reader on the stream after the header.
bool reference_read(const std::string& path, TelesoRecord& rec) {
    std::FILE* in = std::fopen(path.c_str(), "rb");
    if (!in || std::fseek(in, static_cast<long>(teleso::kHeaderBytes), SEEK_SET) != 0) return false;
    const bool ok = teleso::reference::read_voxels(in, rec);
    std::fclose(in);
    return ok;
}

// One run: read, measure, cut, measure, write; threads 0 lets the library choose.
bool run_once(bool bulk, const std::string& in_path, const std::string& out_path, Cut cut, Timings& t, int threads = 0) {
    auto start = Clock::now();
    TelesoRecord rec;
    teleso::Input in;
    if (!open_particle(in_path, in, rec)) return false;
    const bool read_ok = bulk ? in.read_voxels(rec, threads).ok() : reference_read(in_path, rec);
    t.stage[kRead] = seconds_since(start);

    start = Clock::now();
    bulk ? geometry::analyse(rec, threads) : geometry::reference::analyse(rec);
    t.stage[kAnalyse] = seconds_since(start);
    const Center c = Get_center(rec);

    start = Clock::now();
    bulk ? geometry::cut(rec, c, cut.x, cut.y, cut.z, threads) : geometry::reference::cut(rec, c, cut.x, cut.y, cut.z);
    t.stage[kCut] = seconds_since(start);

    start = Clock::now();
    bulk ? geometry::analyse(rec, threads) : geometry::reference::analyse(rec);
    t.stage[kAnalyse2] = seconds_since(start);

    start = Clock::now();
    bool write_ok = false;
    if (bulk) {
        teleso::Output out;
        write_ok = out.open(out_path) && teleso::write_body(out, rec, threads) && out.commit();
    } else if (std::FILE* out = std::fopen(out_path.c_str(), "wb")) {
        std::setvbuf(out, nullptr, _IOFBF, std::size_t{1} << 20);
        write_ok = teleso::reference::write_body(out, rec);
        write_ok = std::fclose(out) == 0 && write_ok;
    }
    t.stage[kWrite] = seconds_since(start);
    teleso::free_body(rec);
    return read_ok && write_ok;
}

std::vector<char> file_bytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

Timings best_of(int repeats, bool bulk, const std::string& in, const std::string& out, Cut cut, int threads, bool& ok) {
    Timings best;
    for (int r = 0; r < repeats; ++r) {
        Timings t;
        ok = run_once(bulk, in, out, cut, t, threads) && ok;
        for (int s = 0; s < kStages; ++s) best.stage[s] = r == 0 ? t.stage[s] : std::min(best.stage[s], t.stage[s]);
    }
    return best;
}

// The bulk read alone into a bitmap whose pages are already in memory (cleared before the clock
// starts): the read stage less its page faults. Best of `repeats`; a negative value on failure.
double read_in_memory(const std::string& in_path, int threads, int repeats) {
    double best = -1;
    for (int r = 0; r < repeats; ++r) {
        TelesoRecord rec;
        teleso::Input in;
        if (!open_particle(in_path, in, rec)) return -1;
        std::memset(rec.data, 0, static_cast<std::size_t>(rec.size));
        const auto start = Clock::now();
        const bool ok = in.read_voxels(rec, threads).ok();
        const double t = seconds_since(start);
        teleso::free_body(rec);
        if (!ok) return -1;
        best = best < 0 ? t : std::min(best, t);
    }
    return best;
}

int stages(const std::string& dir, bool full, const std::string& only) {
    const Cut cut{300, 400, 99999};
    bool all_identical = true;
    for (const Particle& p : kParticles) {
        if (!only.empty() && only != p.name) continue;
        const std::string in = path_of(dir, p.name);
        const std::string out_bulk = dir + "/" + p.name + ".bulk.out", out_ref = dir + "/" + p.name + ".ref.out";
        bool ok = true;
        Timings bulk, single;
        for (int round = 0; round < 2; ++round) {  // alternated, so that a busy moment hits both
            const Timings b = best_of(3, true, in, out_bulk, cut, 0, ok), s = best_of(3, true, in, out_bulk, cut, 1, ok);
            for (int k = 0; k < kStages; ++k) {
                bulk.stage[k] = round == 0 ? b.stage[k] : std::min(bulk.stage[k], b.stage[k]);
                single.stage[k] = round == 0 ? s.stage[k] : std::min(single.stage[k], s.stage[k]);
            }
        }
        const bool with_ref = full || p.dim < 1000;
        Timings ref;
        if (with_ref) ref = best_of(1, false, in, out_ref, cut, 0, ok);
        if (!ok) {
            std::printf("%s: a run failed\n", p.name);
            return 1;
        }
        std::printf("\n%s (edge %d), cut 300 400 99999; best of 6 (bulk), 1 run (per voxel)\n", p.name, p.dim);
        std::printf("  %-14s %12s %12s %12s %9s\n", "stage", "per voxel s", "bulk s", "1 thread s", "ratio");
        for (int s = 0; s <= kStages; ++s) {
            const double b = s < kStages ? bulk.stage[s] : bulk.whole();
            const double one = s < kStages ? single.stage[s] : single.whole();
            const double r = s < kStages ? ref.stage[s] : ref.whole();
            const char* name = s < kStages ? kStageNames[s] : "whole run";
            if (with_ref)
                std::printf("  %-14s %12.4f %12.4f %12.4f %8.0fx\n", name, r, b, one, r / b);
            else
                std::printf("  %-14s %12s %12.4f %12.4f %9s\n", name, "-", b, one, "-");
        }
        std::printf("  read into a bitmap already in memory (no page faults): %.4f s, 1 thread %.4f s\n",
                    read_in_memory(in, 0, 3), read_in_memory(in, 1, 3));
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

}  // namespace

int main(int argc, char** argv) {
    const std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "make" && argc == 3) return make_particles(argv[2]) ? 0 : 1;
    if (cmd == "stages" && argc >= 3) {
        bool full = false;
        std::string only;
        for (int k = 3; k < argc; ++k) (std::strcmp(argv[k], "--full") == 0 ? full = true : (only = argv[k], true));
        return stages(argv[2], full, only);
    }
    if (cmd == "run" && argc == 8) {
        const std::string mode = argv[2];
        if (mode != "bulk" && mode != "bulk-1" && mode != "per-voxel") return 2;
        Timings t;
        const Cut cut{Cut_length(argv[5]), Cut_length(argv[6]), Cut_length(argv[7])};
        return run_once(mode != "per-voxel", argv[3], argv[4], cut, t, mode == "bulk-1" ? 1 : 0) ? 0 : 1;
    }
    std::fprintf(stderr,
                 "usage: tarvo_bench make DIR | stages DIR [--full] [NAME] | run bulk|bulk-1|per-voxel IN OUT X Y Z\n");
    return 2;
}
