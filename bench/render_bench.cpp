// Pictures of large particles, stage by stage: reading, cutting, drawing and writing the PNG, on
// the three particles that bound the renderer's cost: random noise of edge 600 (a surface in every
// voxel), the sphere of edge 1290 (the largest grid, mostly empty space around it) and a porous
// grain of edge 400.
//
//   render_bench make DIR                  write noise600.3d, sphere1290.3d, grain400.3d to DIR
//                                          (as tarvo-tools make noise 600, make sphere 1290,
//                                          make grain 400 --seed 3 --pores 300)
//   render_bench stages DIR [NAME] [--rounds R] [--cut X Y Z] [--view V]
//                                          best of R (default 3) per stage, 800 x 800 pixels;
//                                          "draw cpu" is the processor time of all threads
//
// Whole processes of two builds side by side, alternated: bench/render.sh.
#include <algorithm>
#include <array>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "geometry/passes.h"
#include "image.h"
#include "picture.h"
#include "tarvo/shapes.h"
#include "files/io.h"
#include "tarvo/body.h"

using namespace tarvo;

namespace {

// The defaults of tarvo-tools make for these shapes.
void noise(TelesoRecord& rec) { tarvo::shapes::make_noise(rec, 1, 0.5); }
void sphere(TelesoRecord& rec) {
    const double mid = (rec.dim - 1) / 2.0;
    tarvo::shapes::fill_balls(rec, {tarvo::shapes::Ball{mid, mid, mid, 0.4 * rec.dim}}, {});
}
void grain(TelesoRecord& rec) { tarvo::shapes::make_grain(rec, 3, 300); }

struct Particle {
    const char* name;
    std::int32_t edge;
    void (*make)(TelesoRecord&);
};
const Particle kParticles[] = {{"noise600", 600, noise}, {"sphere1290", 1290, sphere}, {"grain400", 400, grain}};

using Clock = std::chrono::steady_clock;
double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

std::string file_of(const std::string& dir, const Particle& p, const char* ext) { return dir + "/" + p.name + ext; }

bool make_particles(const std::string& dir) {
    for (const Particle& p : kParticles) {
        tarvo::Body rec_body;
        TelesoRecord& rec = rec_body.rec;
        if (!tarvo::create_body(rec, p.edge)) return false;
        p.make(rec);
        Analyse_teleso(rec);
        const tarvo::Status s = tarvo::save_body(file_of(dir, p, ".3d"), rec);
        if (!s) {
            std::fprintf(stderr, "%s\n", tarvo::describe(s).c_str());
            return false;
        }
        std::printf("%s written\n", file_of(dir, p, ".3d").c_str());
    }
    return true;
}

enum Stage { kRead, kCut, kDraw, kDrawCpu, kWrite, kStages };
const char* const kStageNames[kStages] = {"read", "cut", "draw", "draw cpu", "write png"};

// Processor time of all threads: on a machine shared with other work it varies less than the
// elapsed time and shows what the threads cost together.
double cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

struct Options {
    int rounds = 3;
    std::optional<std::array<std::string, 3>> cut;
    std::string view = "iso";
    std::string only;
};

// One picture as tarvo-tools render makes it, each stage timed.
bool render_once(const std::string& in, const std::string& out, const Options& o, double (&t)[kStages]) {
    auto clock = Clock::now();
    tarvo::Body rec_body;
    TelesoRecord& rec = rec_body.rec;
    tarvo::Body before_body;
    TelesoRecord& before = before_body.rec;
    if (const tarvo::Status s = tarvo::load_body(in, rec); !s) {
        std::fprintf(stderr, "%s\n", tarvo::describe(s).c_str());
        return false;
    }
    t[kRead] = since(clock);
    clock = Clock::now();
    tarvo::tools::RenderRequest request;
    tarvo::tools::named_view(o.view, request.from);
    if (o.cut) {
        if (!tarvo::create_body(before, rec.dim)) return false;
        tarvo::tools::copy_voxels(rec, before);
        Analyse_teleso(rec);
        const float x = Cut_length((*o.cut)[0].c_str()), y = Cut_length((*o.cut)[1].c_str()),
                    z = Cut_length((*o.cut)[2].c_str());
        Cut_teleso(rec, Get_center(rec), x, y, z);
        if (const auto d = tarvo::tools::facing_cut(x, y, z)) request.from = *d;
        request.before_cut = &before;
    }
    t[kCut] = since(clock);
    clock = Clock::now();
    const double cpu = cpu_seconds();
    const tarvo::tools::Image picture = tarvo::tools::render_view(rec, request);
    t[kDraw] = since(clock);
    t[kDrawCpu] = cpu_seconds() - cpu;
    clock = Clock::now();
    std::string error;
    const bool ok = tarvo::tools::write_png(out, picture, error);
    t[kWrite] = since(clock);
    if (!ok) std::fprintf(stderr, "%s\n", error.c_str());
    return ok;
}

int stages(const std::string& dir, const Options& o) {
    std::printf("%-12s", "particle");
    for (const char* s : kStageNames) std::printf(" %10s", s);
    std::printf(" %10s   (seconds, best of %d)\n", "whole", o.rounds);
    for (const Particle& p : kParticles) {
        if (!o.only.empty() && o.only != p.name) continue;
        double best[kStages + 1];
        std::fill(best, best + kStages + 1, std::numeric_limits<double>::infinity());
        for (int r = 0; r < o.rounds; ++r) {
            double t[kStages] = {};
            if (!render_once(file_of(dir, p, ".3d"), file_of(dir, p, ".png"), o, t)) return 1;
            double whole = 0;
            for (int s = 0; s < kStages; ++s) {
                best[s] = std::min(best[s], t[s]);
                if (s != kDrawCpu) whole += t[s];
            }
            best[kStages] = std::min(best[kStages], whole);
        }
        std::printf("%-12s", p.name);
        for (double b : best) std::printf(" %10.3f", b);
        std::printf("\n");
    }
    return 0;
}

int usage() {
    std::fprintf(stderr,
                 "usage: render_bench make DIR\n"
                 "       render_bench stages DIR [NAME] [--rounds R] [--cut X Y Z] [--view V]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 2 && args[0] == "make") return make_particles(args[1]) ? 0 : 1;
    if (args.size() < 2 || args[0] != "stages") return usage();
    Options o;
    for (std::size_t k = 2; k < args.size(); ++k) {
        if (args[k] == "--rounds" && k + 1 < args.size()) {
            o.rounds = std::max(1, std::atoi(args[++k].c_str()));
        } else if (args[k] == "--cut" && k + 3 < args.size()) {
            o.cut = std::array<std::string, 3>{args[k + 1], args[k + 2], args[k + 3]};
            k += 3;
        } else if (args[k] == "--view" && k + 1 < args.size()) {
            o.view = args[++k];
        } else if (args[k].rfind("--", 0) != 0 && o.only.empty()) {
            o.only = args[k];
        } else {
            return usage();
        }
    }
    return stages(args[1], o);
}
