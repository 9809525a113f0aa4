#include "tarvo/shapes.h"

#include <algorithm>
#include <cmath>

namespace tarvo::shapes {

std::uint64_t SplitMix64::next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

double SplitMix64::uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
double SplitMix64::uniform(double lo, double hi) { return lo + (hi - lo) * uniform(); }

void set_row_range(TelesoRecord& rec, std::int32_t y, std::int32_t z, std::int32_t x0, std::int32_t x1) {
    x0 = std::max(x0, 0);
    x1 = std::min(x1, rec.dim - 1);
    if (x0 > x1 || y < 0 || y >= rec.dim || z < 0 || z >= rec.dim) return;
    tarvo::set_voxels(rec, tarvo::voxel_index(rec.dim, x0, y, z), tarvo::voxel_index(rec.dim, x1, y, z) + 1);
}

namespace {

struct Span {
    double lo, hi;
};

// The x interval of a ball on row (y, z), if the row crosses it.
bool ball_span(const Ball& b, double y, double z, Span& s) {
    const double h2 = b.r * b.r - (y - b.y) * (y - b.y) - (z - b.z) * (z - b.z);
    if (h2 < 0) return false;
    const double h = std::sqrt(h2);
    s = {b.x - h, b.x + h};
    return true;
}

}  // namespace

void fill_balls(TelesoRecord& rec, const std::vector<Ball>& add, const std::vector<Ball>& remove) {
    const std::int32_t n = rec.dim;
    std::vector<std::uint8_t> row(static_cast<std::size_t>(std::max(n, 0)));
    for (std::int32_t z = 0; z < n; ++z)
        for (std::int32_t y = 0; y < n; ++y) {
            bool any = false;
            std::fill(row.begin(), row.end(), 0);
            Span s{};
            for (const Ball& b : add)
                if (ball_span(b, y, z, s)) {
                    const auto x0 = static_cast<std::int32_t>(std::max(0.0, std::ceil(s.lo)));
                    const auto x1 = static_cast<std::int32_t>(std::min(n - 1.0, std::floor(s.hi)));
                    for (std::int32_t x = x0; x <= x1; ++x) row[x] = 1;
                    any = any || x0 <= x1;
                }
            if (!any) continue;
            for (const Ball& b : remove)
                if (ball_span(b, y, z, s)) {
                    const auto x0 = static_cast<std::int32_t>(std::max(0.0, std::ceil(s.lo)));
                    const auto x1 = static_cast<std::int32_t>(std::min(n - 1.0, std::floor(s.hi)));
                    for (std::int32_t x = x0; x <= x1; ++x) row[x] = 0;
                }
            for (std::int32_t x = 0; x < n;) {
                if (!row[x]) {
                    ++x;
                    continue;
                }
                std::int32_t e = x;
                while (e + 1 < n && row[e + 1]) ++e;
                set_row_range(rec, y, z, x, e);
                x = e + 1;
            }
        }
}

void make_sphere(TelesoRecord& rec, double r) {
    const double c = (rec.dim - 1) / 2.0;
    fill_balls(rec, {Ball{c, c, c, r}}, {});
}

std::vector<Ball> grain_blobs(std::int32_t dim, std::uint64_t seed) {
    SplitMix64 rng(seed);
    const double c = (dim - 1) / 2.0;
    const double reach = dim / 2.0;
    std::vector<Ball> blobs{{c, c, c, 0.62 * reach}};
    for (int k = 0; k < 14; ++k) {
        const double r = rng.uniform(0.22, 0.42) * reach;
        const double spread = 0.95 * reach - r;
        blobs.push_back({c + rng.uniform(-0.55, 0.55) * spread, c + rng.uniform(-0.55, 0.55) * spread,
                         c + rng.uniform(-0.55, 0.55) * spread, r});
    }
    return blobs;
}

std::vector<Ball> grain_pores(std::int32_t dim, std::uint64_t seed, int count) {
    SplitMix64 rng(seed ^ 0x706F726573ULL);
    const double c = (dim - 1) / 2.0;
    const double reach = dim / 2.0;
    std::vector<Ball> pores;
    for (int k = 0; k < count; ++k) {
        const double r = rng.uniform(0.03, 0.11) * reach;
        pores.push_back({c + rng.uniform(-0.7, 0.7) * reach, c + rng.uniform(-0.7, 0.7) * reach,
                         c + rng.uniform(-0.7, 0.7) * reach, r});
    }
    return pores;
}

void make_grain(TelesoRecord& rec, std::uint64_t seed, int pores) {
    fill_balls(rec, grain_blobs(rec.dim, seed), grain_pores(rec.dim, seed, pores));
}

void make_noise(TelesoRecord& rec, std::uint64_t seed, double density) {
    SplitMix64 rng(seed);
    const std::int32_t n = rec.dim;
    std::vector<std::uint8_t> row(static_cast<std::size_t>(std::max(n, 0)));
    for (std::int64_t first = 0; first < tarvo::voxel_count(n); first += n) {
        for (std::uint8_t& v : row) v = rng.uniform() < density ? 1 : 0;
        tarvo::pack_voxels(rec, first, row.data(), n, 1);
    }
}

}  // namespace tarvo::shapes
