// The surface meshes of tarvo/mesh.h: time and memory of the boundary and the smooth mesh of the
// sample grain (edge 160) and of spheres filling grids of edge 645 and 1290 (radius 0.4 of the
// edge, as tarvo-tools make sphere), and the time to write them as binary PLY.
//
//   mesh_bench GRAIN.3d [--rounds R] [--out DIR]   best of R (default 5) per step; the PLY files
//                                                  go to DIR (default the system's temporary folder)
//
// Memory: the process's peak resident size over what it held before the mesh (the particle's
// bitmap), against the bitmap and per face of the mesh; run each sphere in a process of its own
// (--only) to read a peak that belongs to it alone.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "tarvo/file.h"
#include "tarvo/mesh.h"
#include "tarvo/shapes.h"

using namespace tarvo;

namespace {

using Clock = std::chrono::steady_clock;
double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

double resident_mib() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1 << 20);
}

double peak_mib() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss / 1024.0;
}

double mesh_mib(const Mesh& m) {
    return (m.vertices.capacity() * sizeof(float) + m.triangles.capacity() * sizeof(std::uint32_t) +
            m.parts.capacity()) / double(1 << 20);
}

void run(const char* name, const TelesoRecord& rec, int rounds, const std::string& out) {
    for (MeshKind kind : {MeshKind::kBoundary, MeshKind::kSmooth}) {
        const double before = resident_mib();
        double best = 1e30, write_best = 1e30;
        Mesh m;
        for (int r = 0; r < rounds; ++r) {
            m = Mesh{};
            const auto t = Clock::now();
            if (!make_mesh(rec, MeshOptions{kind, std::nullopt, kSmoothingRounds}, m)) {
                std::fprintf(stderr, "mesh of %s failed\n", name);
                std::exit(1);
            }
            best = std::min(best, since(t));
        }
        const double peak = peak_mib();
        const std::string path = out + "/" + name + (kind == MeshKind::kSmooth ? "-smooth.ply" : ".ply");
        for (int r = 0; r < rounds; ++r) {
            const auto t = Clock::now();
            if (!write_mesh(path, m, MeshFormat::kPly)) {
                std::fprintf(stderr, "writing %s failed\n", path.c_str());
                std::exit(1);
            }
            write_best = std::min(write_best, since(t));
        }
        const double bitmap = padded_bytes(rec.size) / double(1 << 20);
        std::printf("%-11s %-8s %5d %10zu %10zu %8.3f %8.3f %9.1f %9.1f %9.1f %8.1f\n", name,
                    kind == MeshKind::kSmooth ? "smooth" : "boundary", rec.dim, m.vertex_count(), m.triangle_count(),
                    best, write_best, bitmap, peak - before, mesh_mib(m),
                    (peak - before) * (1 << 20) / std::max<double>(1, m.triangle_count()));
        std::filesystem::remove(path);
    }
}

void sphere(const char* name, std::int32_t edge, int rounds, const std::string& out) {
    Body b;
    if (!b.create(edge)) std::exit(1);
    const double mid = (edge - 1) / 2.0;
    shapes::fill_balls(b.rec, {shapes::Ball{mid, mid, mid, 0.4 * edge}}, {});
    run(name, b.rec, rounds, out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: mesh_bench GRAIN.3d [--rounds R] [--out DIR] [--only grain|sphere645|sphere1290]\n");
        return 2;
    }
    int rounds = 5;
    std::string out = std::filesystem::temp_directory_path().string(), only;
    for (int k = 2; k + 1 < argc; k += 2) {
        const std::string opt = argv[k];
        if (opt == "--rounds") rounds = std::max(1, std::atoi(argv[k + 1]));
        if (opt == "--out") out = argv[k + 1];
        if (opt == "--only") only = argv[k + 1];
    }
    std::printf("seconds: best of %d; MiB: the bitmap, the peak over the resident size before the mesh, the "
                "mesh's arrays; bytes a triangle of that peak\n", rounds);
    std::printf("%-11s %-8s %5s %10s %10s %8s %8s %9s %9s %9s %8s\n", "particle", "kind", "edge", "vertices",
                "triangles", "mesh s", "ply s", "grid MiB", "peak+ MiB", "mesh MiB", "B/tri");
    if (only.empty() || only == "grain") {
        Body grain;
        if (!load_body(argv[1], grain.rec)) {
            std::fprintf(stderr, "cannot read %s\n", argv[1]);
            return 1;
        }
        run("grain160", grain.rec, rounds, out);
    }
    if (only.empty() || only == "sphere645") sphere("sphere645", 645, std::min(rounds, 3), out);
    if (only.empty() || only == "sphere1290") sphere("sphere1290", 1290, std::min(rounds, 2), out);
    return 0;
}
