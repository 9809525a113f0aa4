// The per-voxel cut of a sphere with the software extended type against hardware long double
// (where long double is x87 extended), timed side by side in one run, the results compared.
//
//   plane_bench [edge [x-cut y-cut z-cut [rounds]]]     defaults: 1290, 200 300 600, 1
//
// The edge-1290 sphere takes two bitmaps of 268 MB, one per arithmetic.
#include <algorithm>
#include <cfloat>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "geometry/passes.h"
#include "geometry/plane.h"
#include "tarvo/shapes.h"

using namespace tarvo;

namespace {

// The loop of the per-voxel cut, with the arithmetic as a parameter.
template <class Arith>
void cut_with(TelesoRecord& rec, Center c, float x_cut, float y_cut, float z_cut) {
    const std::int32_t n = rec.dim;
    for (std::int32_t z = 0; z < n; ++z) {
        const typename Arith::Value tz = Arith::term(z - c.z, z_cut);
        for (std::int32_t y = 0; y < n; ++y) {
            const typename Arith::Value ty = Arith::term(y - c.y, y_cut);
            for (std::int32_t x = 0; x < n; ++x) {
                if (Arith::beyond(Arith::add(Arith::add(Arith::term(x - c.x, x_cut), ty), tz))) {
                    Set_voxel(rec, x, y, z, 0);
                }
            }
        }
    }
}

struct Sphere {
    explicit Sphere(std::int32_t n) {
        if (n < 1 || !tarvo::create_body(rec, n)) {
            std::fprintf(stderr, "plane_bench: no body of edge %d (1 to %d, memory permitting)\n", n,
                         tarvo::kMaxDim);
            std::exit(1);
        }
        tarvo::shapes::make_sphere(rec, 0.45 * n);
    }
    tarvo::Body rec_body;
    TelesoRecord& rec = rec_body.rec;
};

template <class Arith>
double seconds_of_cut(std::int32_t n, Center c, const float cut[3], TelesoRecord& keep) {
    Sphere s(n);
    const auto start = std::chrono::steady_clock::now();
    cut_with<Arith>(s.rec, c, cut[0], cut[1], cut[2]);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (keep.data == nullptr) {
        std::swap(keep, s.rec);
    } else if (std::memcmp(keep.data, s.rec.data, static_cast<std::size_t>(s.rec.size)) != 0) {
        std::fprintf(stderr, "plane_bench: the two arithmetics cleared different voxels\n");
        std::exit(1);
    }
    return took.count();
}

}  // namespace

int main(int argc, char** argv) {
    const std::int32_t n = argc > 1 ? std::atoi(argv[1]) : 1290;
    const bool lengths = argc > 4;
    const float cut[3] = {lengths ? Cut_length(argv[2]) : 200.0f, lengths ? Cut_length(argv[3]) : 300.0f,
                          lengths ? Cut_length(argv[4]) : 600.0f};
    const int rounds = argc > 5 ? std::atoi(argv[5]) : 1;
    Center c;
    {
        Sphere s(n);
        Analyse_teleso(s.rec);
        c = Get_center(s.rec);
        std::printf("sphere edge %d, %d voxels, centre (%d, %d, %d), cut lengths %g %g %g\n", n,
                    s.rec.voxels, c.x, c.y, c.z, double{cut[0]}, double{cut[1]}, double{cut[2]});
    }
    std::printf("build's plane arithmetic: %s\n", tarvo::geometry::kSoftPlane ? "software" : "hardware");
    // Rounds alternate the two arithmetics; the fastest round of each is the least disturbed by
    // other work on the machine.
    tarvo::Body reference_body;
    TelesoRecord& reference = reference_body.rec;
    double best_soft = 0, best_hard = 0;
    for (int round = 1; round <= rounds; ++round) {
        const double soft = seconds_of_cut<tarvo::geometry::SoftPlane>(n, c, cut, reference);
        best_soft = round == 1 ? soft : std::min(best_soft, soft);
#if LDBL_MANT_DIG == 64
        const double hard = seconds_of_cut<tarvo::geometry::HardwarePlane>(n, c, cut, reference);
        best_hard = round == 1 ? hard : std::min(best_hard, hard);
        std::printf("round %d: software %.3f s, hardware long double %.3f s, ratio %.2f\n", round, soft,
                    hard, soft / hard);
#else
        std::printf("round %d: software %.3f s (no hardware extended format here)\n", round, soft);
#endif
    }
    const double voxels = static_cast<double>(n) * n * n;
    std::printf("best: software %.2f ns/voxel", best_soft / voxels * 1e9);
    if (best_hard > 0) {
        std::printf(", hardware %.2f ns/voxel, ratio %.2f; both cleared the same voxels",
                    best_hard / voxels * 1e9, best_soft / best_hard);
    }
    std::printf("\n");
    return 0;
}
