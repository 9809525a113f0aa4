#include "picture.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

#include "tarvo/geometry.h"
#include "body/bitmap.h"
#include "sys/threads.h"

namespace tarvo::tools {
namespace {

// ---- Work on all cores ----

// Drawing scales past two cores, unlike the passes over the grid.
constexpr int kMostDrawingThreads = 8;

int worker_count() { return tarvo::thread_count(kThreadedVoxels, 0, kMostDrawingThreads); }

// Calls work(begin, end, worker) for bands of `band` items of 0..count-1, on every core; worker
// numbers the calling threads from 0 to worker_count() - 1.
template <typename Work>
void in_parallel(std::int64_t count, std::int64_t band, Work work) {
    std::atomic<std::int64_t> next{0};
    auto worker = [&](int id) {
        for (std::int64_t b; (b = next.fetch_add(band)) < count;) work(b, std::min(count, b + band), id);
    };
    tarvo::run_parts(band < count ? worker_count() : 1, worker);
}

// ---- The bitmap, through the library's voxel access ----

// Voxel (x, y, z), which must lie in the grid.
inline bool voxel_at(const TelesoRecord& rec, std::int32_t x, std::int32_t y, std::int32_t z) {
    return tarvo::voxel_at(rec, tarvo::voxel_index(rec.dim, x, y, z));
}

// Voxels x0 .. x0+63 of row (y, z) as bits 0..63, clear past the row's end; 0 <= x0 < dim.
inline std::uint64_t row_bits(const TelesoRecord& rec, std::int32_t y, std::int32_t z, std::int32_t x0) {
    const std::uint64_t bits = tarvo::voxel_word(rec, tarvo::voxel_index(rec.dim, x0, y, z));
    const std::int64_t left = rec.dim - x0;
    return left < 64 ? bits & ((std::uint64_t{1} << left) - 1) : bits;
}

}  // namespace

void copy_voxels(const TelesoRecord& from, TelesoRecord& to) {
    // In pieces on all cores: most of the time goes to the first touch of the new pages.
    constexpr std::int64_t kPiece = std::int64_t{1} << 22;
    in_parallel(from.size, kPiece, [&](std::int64_t begin, std::int64_t end, int) {
        std::memcpy(to.data + begin, from.data + begin, static_cast<std::size_t>(end - begin));
    });
}

namespace {

// ---- Vectors and the camera ----

struct V3 {
    double x = 0, y = 0, z = 0;
    double operator[](int i) const { return i == 0 ? x : (i == 1 ? y : z); }
};
V3 operator+(V3 a, V3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
V3 operator*(double s, V3 a) { return {s * a.x, s * a.y, s * a.z}; }
double dot(V3 a, V3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
V3 cross(V3 a, V3 b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
V3 normalized(V3 a) {
    const double l = std::sqrt(dot(a, a));
    return l > 0 ? (1 / l) * a : a;
}

constexpr double kParallel = 1e-12;  // a unit direction's component this small is taken as zero

// An orthographic camera: `dir` points from the viewer into the scene; right x up = -dir.
struct Camera {
    V3 dir, right, up;
};

Camera camera_from(Direction from) {
    const V3 f = normalized({from.x, from.y, from.z});
    // z stays up on the picture; looking along z, y does (from +z) or points down (from -z).
    const bool along_z = f.x * f.x + f.y * f.y < 1e-4;  // within about half a degree
    const V3 world_up = along_z ? V3{0, f.z > 0 ? 1.0 : -1.0, 0} : V3{0, 0, 1};
    Camera cam;
    cam.dir = (-1.0) * f;
    cam.right = normalized(cross(world_up, f));
    cam.up = cross(f, cam.right);
    // Exact zeros keep axis views exact.
    for (V3* v : {&cam.dir, &cam.right, &cam.up})
        for (double* c : {&v->x, &v->y, &v->z})
            if (std::fabs(*c) < kParallel) *c = 0;
    return cam;
}

// ---- The frame ----

constexpr double kFrame = 0.94;  // part of the picture the frame's cube spans
constexpr int kSupersample = 2;
constexpr int kMaxSupersampledEdge = 4096;

struct Box {
    std::int32_t lo[3] = {0, 0, 0}, hi[3] = {-1, -1, -1};
    std::int64_t voxels = 0;
    bool empty() const { return hi[0] < lo[0]; }
};

Box bounding_box(const TelesoRecord& rec) {
    TelesoRecord measured = rec;  // shares the bitmap; only the measurement fields change
    Analyse_teleso(measured);
    Box b;
    if (measured.voxels == 0) return b;
    b.voxels = measured.voxels;
    b.lo[0] = measured.x_min, b.hi[0] = measured.x_max;
    b.lo[1] = measured.y_min, b.hi[1] = measured.y_max;
    b.lo[2] = measured.z_min, b.hi[2] = measured.z_max;
    return b;
}

// Half the edge of the smallest cube around the grid's middle that holds the box (cube faces, not
// voxel centres); the whole grid when the box is empty.
double frame_half_edge(const Box& box, std::int32_t n) {
    if (box.empty()) return n / 2.0;
    const double mid = (n - 1) / 2.0;
    double h = 0;
    for (int i = 0; i < 3; ++i)
        h = std::max({h, std::fabs(box.lo[i] - mid) + 0.5, std::fabs(box.hi[i] - mid) + 0.5});
    return h;
}

struct Projection {
    Camera cam;
    double centre = 0;       // the grid's middle in cell coordinates (voxel i spans [i, i+1))
    double scale = 1;        // pixels per voxel
    double depth_reach = 1;  // depths of the frame lie within +-depth_reach
    int edge = 0;
};

Projection projection_for(const Camera& cam, std::int32_t n, double h, int edge) {
    Projection p;
    p.cam = cam;
    p.edge = edge;
    p.centre = n / 2.0;
    double reach = 0, depth = 0;
    for (int corner = 0; corner < 8; ++corner) {
        const V3 c{corner & 1 ? h : -h, corner & 2 ? h : -h, corner & 4 ? h : -h};
        reach = std::max({reach, std::fabs(dot(c, cam.right)), std::fabs(dot(c, cam.up))});
        depth = std::max(depth, std::fabs(dot(c, cam.dir)));
    }
    p.scale = reach > 0 ? kFrame * edge / 2 / reach : 1;
    p.depth_reach = depth > 0 ? depth : 1;
    return p;
}

// ---- Empty space ----

// Blocks of 4^3 voxels, each with the level L (blocks of 2^L voxels, L >= 2) of the largest empty
// block around it, or 0 when it holds a set voxel: a ray in an empty block leaps to its end. The
// levels are stored in bricks of 4^3 blocks, one cache line each, so that a ray going in any
// direction finds the next block's level in the line it has.
constexpr int kBaseLevel = 2;

std::int32_t blocks(std::int32_t n, int level) { return (n + (1 << level) - 1) >> level; }

// A cube of `edge` bytes per axis, x fastest.
struct ByteCube {
    std::int32_t edge = 0;
    std::vector<std::uint8_t> v;
    explicit ByteCube(std::int32_t e) : edge(e), v(static_cast<std::size_t>(e) * e * e, 0) {}
    std::uint8_t& at(std::int32_t x, std::int32_t y, std::int32_t z) {
        return v[x + static_cast<std::size_t>(edge) * (y + static_cast<std::size_t>(edge) * z)];
    }
    std::uint8_t at(std::int32_t x, std::int32_t y, std::int32_t z) const {
        return v[x + static_cast<std::size_t>(edge) * (y + static_cast<std::size_t>(edge) * z)];
    }
};

struct EmptySpace {
    std::int32_t bricks = 0;  // bricks along each axis
    std::vector<std::uint8_t> level;
    ByteCube coarse{0};  // the levels of the blocks of 8^3 voxels, x fastest (0: occupied)
    static std::size_t index(std::int32_t bricks, std::int32_t bx, std::int32_t by, std::int32_t bz) {
        const std::size_t brick = (bx >> 2) + static_cast<std::size_t>(bricks) * ((by >> 2) + static_cast<std::size_t>(bricks) * (bz >> 2));
        return brick * 64 + (bx & 3) + 4 * (by & 3) + 16 * (bz & 3);
    }
    std::uint8_t at(std::int32_t x, std::int32_t y, std::int32_t z) const {
        return level[index(bricks, x >> kBaseLevel, y >> kBaseLevel, z >> kBaseLevel)];
    }
};

// Which 4^3 blocks of the box hold a set voxel (1) or none (0).
ByteCube occupied_blocks(const TelesoRecord& rec, const Box& box) {
    ByteCube occ(blocks(rec.dim, kBaseLevel));
    if (box.empty()) return occ;
    const std::int32_t n = rec.dim;
    const std::int32_t by0 = box.lo[1] >> kBaseLevel, by1 = box.hi[1] >> kBaseLevel;
    const std::int32_t bz0 = box.lo[2] >> kBaseLevel, bz1 = box.hi[2] >> kBaseLevel;
    const std::int32_t w0 = box.lo[0] / 64, w1 = box.hi[0] / 64;
    in_parallel(bz1 - bz0 + 1, 1, [&](std::int64_t b, std::int64_t, int) {
        const auto bz = static_cast<std::int32_t>(bz0 + b);
        std::vector<std::uint64_t> acc(static_cast<std::size_t>(w1 + 1));
        for (std::int32_t by = by0; by <= by1; ++by) {
            std::fill(acc.begin(), acc.end(), 0);
            for (std::int32_t z = bz << kBaseLevel; z < std::min(n, (bz + 1) << kBaseLevel); ++z)
                for (std::int32_t y = by << kBaseLevel; y < std::min(n, (by + 1) << kBaseLevel); ++y)
                    for (std::int32_t w = w0; w <= w1; ++w) acc[w] |= row_bits(rec, y, z, w * 64);
            for (std::int32_t w = w0; w <= w1; ++w)
                for (std::uint64_t bits = acc[w]; bits != 0;) {
                    const int k = std::countr_zero(bits) >> kBaseLevel;
                    occ.at(w * 16 + k, by, bz) = 1;
                    bits &= ~(std::uint64_t{0xF} << (4 * k));
                }
        }
    });
    return occ;
}

// The next coarser level: a block is occupied when one of its eight halves is.
ByteCube coarser(ByteCube& fine) {
    ByteCube up((fine.edge + 1) / 2);
    in_parallel(up.edge, 4, [&](std::int64_t z0, std::int64_t z1, int) {
        for (auto z = static_cast<std::int32_t>(z0); z < z1; ++z)
            for (std::int32_t fz = 2 * z; fz < std::min(fine.edge, 2 * z + 2); ++fz)
                for (std::int32_t fy = 0; fy < fine.edge; ++fy) {
                    const std::uint8_t* from = &fine.at(0, fy, fz);
                    std::uint8_t* to = &up.at(0, fy / 2, z);
                    for (std::int32_t fx = 0; fx < fine.edge; ++fx) to[fx / 2] |= from[fx];
                }
    });
    return up;
}

EmptySpace empty_space(const TelesoRecord& rec, const Box& box, bool skip) {
    if (!skip) {  // every block occupied: rays walk voxel by voxel
        EmptySpace all;
        all.bricks = (blocks(rec.dim, kBaseLevel) + 3) / 4;
        all.level.assign(static_cast<std::size_t>(all.bricks) * all.bricks * all.bricks * 64, 0);
        return all;
    }
    std::vector<ByteCube> occ;
    occ.push_back(occupied_blocks(rec, box));
    while (occ.back().edge > 1) occ.push_back(coarser(occ.back()));
    // From the top down, each empty block takes its empty parent's level or its own; occupied
    // blocks become 0.
    const int top = static_cast<int>(occ.size()) - 1;
    occ[top].v[0] = occ[top].v[0] ? 0 : static_cast<std::uint8_t>(kBaseLevel + top);
    for (int l = top - 1; l >= 1; --l) {
        ByteCube &own = occ[l], &parent = occ[l + 1];
        for (std::int32_t z = 0; z < own.edge; ++z)
            for (std::int32_t y = 0; y < own.edge; ++y)
                for (std::int32_t x = 0; x < own.edge; ++x) {
                    std::uint8_t& c = own.at(x, y, z);
                    const std::uint8_t p = parent.at(x / 2, y / 2, z / 2);
                    c = c ? 0 : (p ? p : static_cast<std::uint8_t>(kBaseLevel + l));
                }
    }
    ByteCube& base = occ[0];
    EmptySpace space;
    space.bricks = (base.edge + 3) / 4;
    space.level.assign(static_cast<std::size_t>(space.bricks) * space.bricks * space.bricks * 64, 0);
    // Brick by brick, so that each brick's cache line is written whole at once.
    in_parallel(space.bricks, 1, [&](std::int64_t bz, std::int64_t, int) {
        for (std::int32_t by = 0; by < space.bricks; ++by)
            for (std::int32_t bx = 0; bx < space.bricks; ++bx)
                for (std::int32_t z = 4 * static_cast<std::int32_t>(bz); z < std::min(base.edge, 4 * static_cast<std::int32_t>(bz) + 4); ++z)
                    for (std::int32_t y = 4 * by; y < std::min(base.edge, 4 * by + 4); ++y)
                        for (std::int32_t x = 4 * bx; x < std::min(base.edge, 4 * bx + 4); ++x) {
                            if (base.at(x, y, z)) continue;
                            const std::uint8_t p = top > 0 ? occ[1].at(x / 2, y / 2, z / 2) : 0;
                            space.level[EmptySpace::index(space.bricks, x, y, z)] = p ? p : kBaseLevel;
                        }
    });
    if (top > 0) space.coarse = std::move(occ[1]);
    return space;
}

// ---- Rays ----

struct Hit {
    double depth = std::numeric_limits<double>::infinity();  // infinite: no voxel on the ray
    std::int32_t voxel[3] = {0, 0, 0};
    int face = 0;  // axis of the cube face the ray entered by
};

struct Ray {
    V3 origin;  // cell coordinates at depth 0
    double d[3] = {0, 0, 0}, inv[3] = {0, 0, 0};
};

// The ray of sample (u, v).
inline Ray ray_of(const Projection& p, int u, int v) {
    const Camera& cam = p.cam;
    const double a = (u + 0.5 - p.edge / 2.0) / p.scale;
    const double b = (p.edge / 2.0 - (v + 0.5)) / p.scale;
    Ray ray;
    ray.origin = V3{p.centre, p.centre, p.centre} + a * cam.right + b * cam.up;
    for (int k = 0; k < 3; ++k) {
        ray.d[k] = cam.dir[k];
        ray.inv[k] = ray.d[k] != 0 ? 1 / ray.d[k] : 0;
    }
    return ray;
}

// When the ray leaves voxel `at` along axis k (never, along an axis it does not move on).
inline double wall_time(const Ray& ray, int k, std::int32_t at) {
    if (ray.d[k] == 0) return std::numeric_limits<double>::infinity();
    return (at + (ray.d[k] > 0) - ray.origin[k]) * ray.inv[k];
}

// Moves the ray out of the empty block of 2^level voxels around `at` through its nearest wall;
// false when the ray has left the box by then (blocks reach past the box and the grid).
inline bool leap(const Ray& ray, const Box& box, int level, std::int32_t (&at)[3], double& t, int& axis) {
    std::int32_t base[3], wall[3];
    double t_next = std::numeric_limits<double>::infinity();
    for (int k = 0; k < 3; ++k) {
        base[k] = at[k] >> level << level;
        wall[k] = ray.d[k] > 0 ? base[k] + (1 << level) : base[k];
        if (ray.d[k] == 0) continue;
        const double tk = (wall[k] - ray.origin[k]) * ray.inv[k];
        if (tk < t_next) {
            t_next = tk;
            axis = k;
        }
    }
    t = t_next;
    for (int k = 0; k < 3; ++k) {
        if (k == axis || ray.d[k] == 0) continue;
        // Along the other axes the ray stays in the block and never goes back.
        const double p = std::floor(ray.origin[k] + t * ray.d[k]);
        const double last = base[k] + (1 << level) - 1;
        at[k] = static_cast<std::int32_t>(ray.d[k] > 0 ? std::clamp(p, double(at[k]), last)
                                                       : std::clamp(p, double(base[k]), double(at[k])));
        if (at[k] < box.lo[k] || at[k] > box.hi[k]) return false;
    }
    at[axis] = ray.d[axis] > 0 ? wall[axis] : wall[axis] - 1;
    return at[axis] >= box.lo[axis] && at[axis] <= box.hi[axis];
}

// The first set voxel along the ray inside the box, cube by cube: where a block is empty the ray
// leaps to the block's end, elsewhere it steps from voxel to neighbouring voxel.
Hit cast(const TelesoRecord& rec, const EmptySpace& space, const Box& box, const Ray& ray, double t_start) {
    Hit hit;
    double t_in = -std::numeric_limits<double>::infinity(), t_out = std::numeric_limits<double>::infinity();
    int axis = 0;
    for (int k = 0; k < 3; ++k) {
        const double o = ray.origin[k];
        if (ray.d[k] == 0) {
            if (o < box.lo[k] || o >= box.hi[k] + 1) return hit;
            continue;
        }
        const double t1 = (box.lo[k] - o) * ray.inv[k], t2 = (box.hi[k] + 1 - o) * ray.inv[k];
        if (std::min(t1, t2) > t_in) {
            t_in = std::min(t1, t2);
            axis = k;
        }
        t_out = std::min(t_out, std::max(t1, t2));
    }
    const bool inside = t_start > t_in;  // then in an empty voxel, before every occupied block
    if (inside) t_in = t_start;
    if (t_in >= t_out) return hit;
    std::int32_t at[3];
    for (int k = 0; k < 3; ++k) {
        const double p = std::floor(ray.origin[k] + t_in * ray.d[k]);
        at[k] = static_cast<std::int32_t>(std::clamp(p, double(box.lo[k]), double(box.hi[k])));
    }
    if (!inside) at[axis] = ray.d[axis] > 0 ? box.lo[axis] : box.hi[axis];
    double t = t_in;
    for (;;) {
        const int level = space.at(at[0], at[1], at[2]);
        if (level > 0) {
            if (!leap(ray, box, level, at, t, axis)) return hit;
            continue;
        }
        // An occupied block: voxel by voxel to a set one or out of the block.
        std::int32_t block[3];
        double t_wall[3];
        for (int k = 0; k < 3; ++k) {
            block[k] = at[k] >> kBaseLevel;
            t_wall[k] = wall_time(ray, k, at[k]);
        }
        for (;;) {
            if (voxel_at(rec, at[0], at[1], at[2])) {
                hit.depth = t;
                std::copy(at, at + 3, hit.voxel);
                hit.face = axis;
                return hit;
            }
            axis = t_wall[0] <= t_wall[1] ? (t_wall[0] <= t_wall[2] ? 0 : 2) : (t_wall[1] <= t_wall[2] ? 1 : 2);
            t = t_wall[axis];
            at[axis] += ray.d[axis] > 0 ? 1 : -1;
            if (at[axis] < box.lo[axis] || at[axis] > box.hi[axis]) return hit;
            if (at[axis] >> kBaseLevel != block[axis]) break;
            t_wall[axis] = wall_time(ray, axis, at[axis]);
        }
    }
}

// ---- Shading ----

// The surface at a visible voxel, from the set voxels of the ball of radius sqrt(10) around it:
// the outward normal points away from them, and their share tells a hollow (most set: darker)
// from a bump.
struct Surface {
    V3 normal;
    double fill = 0.5;
};

// The rows (dy, dz) of the ball and the bits of each row's seven voxels x-3 .. x+3 in it.
struct BallRow {
    int dy, dz;
    std::uint64_t mask;
};
struct Ball {
    BallRow rows[49];
    int count = 0;
    int voxels = 0;
};
constexpr int kReach = 3;
constexpr int kReach2 = 10;
constexpr Ball kBall = [] {
    Ball b{};
    for (int dz = -kReach; dz <= kReach; ++dz)
        for (int dy = -kReach; dy <= kReach; ++dy) {
            std::uint64_t mask = 0;
            for (int dx = -kReach; dx <= kReach; ++dx)
                if (dx * dx + dy * dy + dz * dz <= kReach2) {
                    mask |= std::uint64_t{1} << (dx + kReach);
                    ++b.voxels;
                }
            if (mask) b.rows[b.count++] = {dy, dz, mask};
        }
    return b;
}();

Surface surface_at(const TelesoRecord& rec, const std::int32_t v[3]) {
    const std::int32_t n = rec.dim;
    const std::int32_t x = v[0];
    V3 sum;
    int set = 0;
    for (int r = 0; r < kBall.count; ++r) {
        const BallRow& row = kBall.rows[r];
        const std::int32_t y = v[1] + row.dy, z = v[2] + row.dz;
        if (y < 0 || z < 0 || y >= n || z >= n) continue;
        const std::uint64_t seven = x >= kReach ? row_bits(rec, y, z, x - kReach) : row_bits(rec, y, z, 0) << (kReach - x);
        const std::uint64_t bits = seven & row.mask;
        const tarvo::WordCount c = tarvo::count_word(bits);
        const auto count = static_cast<int>(c.ones);
        const auto positions = static_cast<int>(c.position_sum);  // of the positions 0..6
        set += count;
        sum = sum + V3{-double(positions - kReach * count), -double(row.dy * count), -double(row.dz * count)};
    }
    return {normalized(sum), static_cast<double>(set) / kBall.voxels};
}

// Surfaces of the voxels met last, as neighbouring pixels mostly meet the same voxel.
class SurfaceCache {
public:
    const Surface& get(const TelesoRecord& rec, const std::int32_t v[3]) {
        const std::int64_t key = v[0] + std::int64_t{rec.dim} * (v[1] + std::int64_t{rec.dim} * v[2]);
        Entry& e = entries_[(static_cast<std::uint64_t>(key) * 0x9E3779B97F4A7C15ull) >> (64 - kBits)];
        if (e.key != key) {
            e.key = key;
            e.surface = surface_at(rec, v);
        }
        return e.surface;
    }

private:
    static constexpr int kBits = 12;
    struct Entry {
        std::int64_t key = -1;
        Surface surface;
    };
    std::vector<Entry> entries_ = std::vector<Entry>(std::size_t{1} << kBits);
};

// ---- Few voxels: cubes drawn into the samples ----

// Where the ray first meets the cube of voxel v (cell coordinates v .. v+1); nothing when it
// misses. The same arithmetic as the walk between voxels, so both find the same depth and face.
inline void meet_cube(const Ray& ray, const std::int32_t v[3], Hit& nearest) {
    double t_in = -std::numeric_limits<double>::infinity(), t_out = std::numeric_limits<double>::infinity();
    int face = 0;
    for (int k = 0; k < 3; ++k) {
        if (ray.d[k] == 0) {
            if (ray.origin[k] < v[k] || ray.origin[k] >= v[k] + 1) return;
            continue;
        }
        const double t1 = (v[k] - ray.origin[k]) * ray.inv[k], t2 = (v[k] + 1 - ray.origin[k]) * ray.inv[k];
        if (std::min(t1, t2) > t_in) {
            t_in = std::min(t1, t2);
            face = k;
        }
        t_out = std::min(t_out, std::max(t1, t2));
    }
    if (t_in >= t_out || t_in >= nearest.depth) return;
    nearest.depth = t_in;
    std::copy(v, v + 3, nearest.voxel);
    nearest.face = face;
}

// The set voxels of the box, in stream order.
std::vector<std::array<std::int32_t, 3>> set_voxels(const TelesoRecord& rec, const Box& box) {
    const std::int32_t layers = box.empty() ? 0 : box.hi[2] - box.lo[2] + 1;
    std::vector<std::vector<std::array<std::int32_t, 3>>> per_layer(static_cast<std::size_t>(layers));
    in_parallel(layers, 8, [&](std::int64_t l0, std::int64_t l1, int) {
        for (std::int64_t l = l0; l < l1; ++l) {
            const auto z = static_cast<std::int32_t>(box.lo[2] + l);
            for (std::int32_t y = box.lo[1]; y <= box.hi[1]; ++y)
                for (std::int32_t x0 = box.lo[0] & ~63; x0 <= box.hi[0]; x0 += 64)
                    for (std::uint64_t bits = row_bits(rec, y, z, x0); bits != 0; bits &= bits - 1)
                        per_layer[l].push_back({x0 + std::countr_zero(bits), y, z});
        }
    });
    std::vector<std::array<std::int32_t, 3>> all;
    for (const auto& layer : per_layer) all.insert(all.end(), layer.begin(), layer.end());
    return all;
}

// The cubes of the voxels drawn into the samples of rows v0..v1-1 with a depth test.
void draw_cubes(const std::vector<std::array<std::int32_t, 3>>& voxels, const Projection& p, int v0, int v1,
                std::vector<Hit>& hits) {
    const Camera& cam = p.cam;
    const double half_u = 0.5 * (std::fabs(cam.right.x) + std::fabs(cam.right.y) + std::fabs(cam.right.z)) * p.scale;
    const double half_v = 0.5 * (std::fabs(cam.up.x) + std::fabs(cam.up.y) + std::fabs(cam.up.z)) * p.scale;
    for (const std::array<std::int32_t, 3>& voxel : voxels) {
        const std::int32_t* v = voxel.data();
        const V3 rel{v[0] + 0.5 - p.centre, v[1] + 0.5 - p.centre, v[2] + 0.5 - p.centre};
        const double cu = p.edge / 2.0 + dot(rel, cam.right) * p.scale;
        const double cv = p.edge / 2.0 - dot(rel, cam.up) * p.scale;
        const int u_lo = std::max(0, static_cast<int>(std::floor(cu - half_u - 0.5)));
        const int u_hi = std::min(p.edge - 1, static_cast<int>(std::ceil(cu + half_u)));
        const int r_lo = std::max(v0, static_cast<int>(std::floor(cv - half_v - 0.5)));
        const int r_hi = std::min(v1 - 1, static_cast<int>(std::ceil(cv + half_v)));
        for (int r = r_lo; r <= r_hi; ++r)
            for (int u = u_lo; u <= u_hi; ++u)
                meet_cube(ray_of(p, u, r), v, hits[static_cast<std::size_t>(r) * p.edge + u]);
    }
}

// Drawing each voxel's cube costs about its picture's area in samples; a ray costs a few dozen
// steps. Particles of few voxels (dust, thin shells) are drawn cube by cube.
bool few_voxels(std::int64_t voxels, const Projection& p) {
    const Camera& cam = p.cam;
    const double across = (std::fabs(cam.right.x) + std::fabs(cam.right.y) + std::fabs(cam.right.z)) * p.scale + 1;
    const double high = (std::fabs(cam.up.x) + std::fabs(cam.up.y) + std::fabs(cam.up.z)) * p.scale + 1;
    constexpr double kStepsPerRay = 16;
    return static_cast<double>(voxels) * across * high < kStepsPerRay * p.edge * p.edge;
}

// What the casting pass keeps of each sample for the outlines and the final colour.
struct Sample {
    float depth = std::numeric_limits<float>::infinity();  // infinite: background
    float level = 0;
    bool cut = false;
};

// Tiles of kTile x kTile samples, drawn one after another by a thread: their rays meet the same
// few blocks and voxels.
constexpr int kTile = 8;

// For each tile, a depth before which no ray of the tile meets an occupied block of 8^3 voxels
// (infinite: none at all), so rays start close to what they hit. A ray meets a block only
// within the rectangle around the block's picture, and no nearer than the block's nearest corner.
struct StartDepths {
    int tiles = 0;  // along each side
    std::vector<float> depth;
    double at(int u, int v) const { return depth.empty() ? -std::numeric_limits<double>::infinity() : depth[(v / kTile) * static_cast<std::size_t>(tiles) + u / kTile]; }
};

StartDepths start_depths(const ByteCube& coarse, const Projection& p) {
    StartDepths s;
    if (coarse.edge == 0) return s;
    const Camera& cam = p.cam;
    constexpr double kHalf = 4;  // half the edge of a block of 8^3 voxels
    const double half_u = kHalf * (std::fabs(cam.right.x) + std::fabs(cam.right.y) + std::fabs(cam.right.z)) * p.scale;
    const double half_v = kHalf * (std::fabs(cam.up.x) + std::fabs(cam.up.y) + std::fabs(cam.up.z)) * p.scale;
    const double half_depth = kHalf * (std::fabs(cam.dir.x) + std::fabs(cam.dir.y) + std::fabs(cam.dir.z));
    s.tiles = (p.edge + kTile - 1) / kTile;
    s.depth.assign(static_cast<std::size_t>(s.tiles) * s.tiles, std::numeric_limits<float>::infinity());
    for (std::int32_t z = 0; z < coarse.edge; ++z)
        for (std::int32_t y = 0; y < coarse.edge; ++y)
            for (std::int32_t x = 0; x < coarse.edge; ++x) {
                if (coarse.at(x, y, z) != 0) continue;
                const V3 rel{8 * x + kHalf - p.centre, 8 * y + kHalf - p.centre, 8 * z + kHalf - p.centre};
                const double u = p.edge / 2.0 + dot(rel, cam.right) * p.scale;
                const double v = p.edge / 2.0 - dot(rel, cam.up) * p.scale;
                // Samples sit at pixel centres, +0.5; one more on each side for rounding.
                const int t0 = std::max(0, static_cast<int>(std::floor(u - half_u - 1.5)) / kTile);
                const int t1 = std::min(s.tiles - 1, static_cast<int>(std::max(0.0, std::ceil(u + half_u + 0.5))) / kTile);
                const int r0 = std::max(0, static_cast<int>(std::floor(v - half_v - 1.5)) / kTile);
                const int r1 = std::min(s.tiles - 1, static_cast<int>(std::max(0.0, std::ceil(v + half_v + 0.5))) / kTile);
                // A voxel of margin against rounding.
                const auto nearest = static_cast<float>(dot(rel, cam.dir) - half_depth - 1);
                for (int r = r0; r <= r1; ++r)
                    for (int t = t0; t <= t1; ++t) {
                        float& d = s.depth[static_cast<std::size_t>(r) * s.tiles + t];
                        d = std::min(d, nearest);
                    }
            }
    return s;
}

struct Scene {
    const TelesoRecord& rec;
    const TelesoRecord* before;
    Projection p;
    Box box;
    EmptySpace space;
    StartDepths start;
    V3 light;
};

Sample shade_hit(const Scene& s, SurfaceCache& cache, const Hit& hit) {
    const Projection& p = s.p;
    const Camera& cam = p.cam;
    Sample out;
    if (std::isinf(hit.depth)) return out;
    const int f = hit.face;
    const int step = cam.dir[f] > 0 ? 1 : -1;  // the ray came from the neighbour on the other side
    if (s.before) {
        std::int32_t from[3] = {hit.voxel[0], hit.voxel[1], hit.voxel[2]};
        from[f] -= step;
        out.cut = from[f] >= 0 && from[f] < s.rec.dim && voxel_at(*s.before, from[0], from[1], from[2]);
    }
    const V3 face{f == 0 ? -step : 0.0, f == 1 ? -step : 0.0, f == 2 ? -step : 0.0};
    const Surface& surface = cache.get(s.rec, hit.voxel);
    const V3 smooth = dot(surface.normal, surface.normal) > 0 ? surface.normal : face;
    const V3 normal = normalized(0.9 * smooth + 0.1 * face);
    // A key light from the upper left and a light from the viewer, which keeps faces turned
    // towards the viewer (such as cut faces) bright.
    double level = 0.3 + 0.45 * std::max(0.0, dot(normal, s.light)) + 0.3 * std::max(0.0, -dot(normal, cam.dir));
    level *= std::clamp(1.0 - 1.0 * (surface.fill - 0.55), 0.6, 1.1);
    level *= 1.0 - 0.25 * (hit.depth / p.depth_reach + 1) / 2;
    out.depth = static_cast<float>(hit.depth);
    out.level = static_cast<float>(level);
    return out;
}

Rgb shade(Rgb base, double light) {
    auto channel = [light](std::uint8_t c) {
        return static_cast<std::uint8_t>(std::clamp(std::lround(c * light), 0L, 255L));
    };
    return {channel(base.r), channel(base.g), channel(base.b)};
}

// A sample just behind a nearer surface or at the silhouette is darkened into an outline.
Rgb final_colour(const std::vector<Sample>& samples, int edge, int u, int v) {
    const Sample& s = samples[static_cast<std::size_t>(v) * edge + u];
    if (std::isinf(s.depth)) return kBackground;
    constexpr float kEdgeGap = 1.5f;  // voxels of depth that make an outline
    bool outline = false;
    const int du[4] = {1, -1, 0, 0}, dv[4] = {0, 0, 1, -1};
    for (int k = 0; k < 4 && !outline; ++k) {
        const int uu = u + du[k], vv = v + dv[k];
        if (uu < 0 || vv < 0 || uu >= edge || vv >= edge) continue;
        const float d = samples[static_cast<std::size_t>(vv) * edge + uu].depth;
        outline = std::isinf(d) || d < s.depth - kEdgeGap;
    }
    return shade(s.cut ? kCutFace : kMaterial, outline ? s.level * 0.55 : s.level);
}

// Each pixel the rounded mean of its factor x factor samples.
Image resolve(const std::vector<Sample>& samples, int edge, int factor) {
    const int size = edge / factor;
    Image out(size, size, kBackground);
    in_parallel(size, 8, [&](std::int64_t y0, std::int64_t y1, int) {
        for (auto y = static_cast<int>(y0); y < y1; ++y)
            for (int x = 0; x < size; ++x) {
                int sum[3] = {0, 0, 0};
                for (int dy = 0; dy < factor; ++dy)
                    for (int dx = 0; dx < factor; ++dx) {
                        const Rgb c = final_colour(samples, edge, x * factor + dx, y * factor + dy);
                        sum[0] += c.r;
                        sum[1] += c.g;
                        sum[2] += c.b;
                    }
                const int count = factor * factor;
                out.set(x, y, Rgb{static_cast<std::uint8_t>((sum[0] + count / 2) / count),
                                  static_cast<std::uint8_t>((sum[1] + count / 2) / count),
                                  static_cast<std::uint8_t>((sum[2] + count / 2) / count)});
            }
    });
    return out;
}

bool valid(Direction d) {
    return std::isfinite(d.x) && std::isfinite(d.y) && std::isfinite(d.z) && (d.x != 0 || d.y != 0 || d.z != 0);
}

}  // namespace

bool named_view(const std::string& name, Direction& dir) {
    static const struct {
        const char* name;
        Direction dir;
    } kAxes[] = {{"x", {1, 0, 0}},  {"y", {0, 1, 0}},  {"z", {0, 0, 1}},
                 {"-x", {-1, 0, 0}}, {"-y", {0, -1, 0}}, {"-z", {0, 0, -1}}, {"iso", {1, 1, 1}}};
    for (const auto& a : kAxes)
        if (name == a.name) {
            dir = a.dir;
            return true;
        }
    // iso followed by the signs of the corner's x, y and z, e.g. iso+-+.
    if (name.size() != 6 || name.compare(0, 3, "iso") != 0) return false;
    double c[3];
    for (int k = 0; k < 3; ++k) {
        if (name[3 + k] != '+' && name[3 + k] != '-') return false;
        c[k] = name[3 + k] == '+' ? 1 : -1;
    }
    dir = {c[0], c[1], c[2]};
    return true;
}

std::optional<Direction> facing_cut(float x_cut, float y_cut, float z_cut) {
    // The plane sum grows along (1/x, 1/y, 1/z); voxels where it exceeds 1 are cleared.
    const double g[3] = {1.0 / x_cut, 1.0 / y_cut, 1.0 / z_cut};
    double d[3];
    const bool infinite = std::isinf(g[0]) || std::isinf(g[1]) || std::isinf(g[2]);
    for (int k = 0; k < 3; ++k) {
        if (std::isnan(g[k])) return std::nullopt;
        d[k] = infinite ? (std::isinf(g[k]) ? std::copysign(1.0, g[k]) : 0.0) : g[k];
    }
    const Direction dir{d[0], d[1], d[2]};
    if (!valid(dir)) return std::nullopt;
    return dir;
}

Image render_view(const TelesoRecord& rec, const RenderRequest& request) {
    const int size = request.size;
    const int factor = size * kSupersample <= kMaxSupersampledEdge ? kSupersample : 1;
    const int edge = size * factor;
    if (rec.dim <= 0 || !valid(request.from)) return Image(size, size, kBackground);
    const Camera cam = camera_from(request.from);
    const Box frame_box = bounding_box(request.before_cut ? *request.before_cut : rec);
    Scene scene{rec, request.before_cut, projection_for(cam, rec.dim, frame_half_edge(frame_box, rec.dim), edge),
                request.before_cut ? bounding_box(rec) : frame_box, {}, {}, {}};
    scene.light = normalized((-1.0) * cam.dir + 0.3 * cam.up + (-0.3) * cam.right);
    Tracing how = request.tracing;
    if (how == Tracing::kChoose) how = few_voxels(scene.box.voxels, scene.p) ? Tracing::kCubes : Tracing::kLeap;

    std::vector<Sample> samples(static_cast<std::size_t>(edge) * edge);
    std::vector<SurfaceCache> caches(worker_count());
    if (request.progress) request.progress->stage("drawing", edge);
    if (how == Tracing::kCubes) {
        std::vector<Hit> hits(samples.size());
        const std::vector<std::array<std::int32_t, 3>> voxels = set_voxels(rec, scene.box);
        in_parallel(edge, (edge + worker_count() - 1) / worker_count(), [&](std::int64_t v0, std::int64_t v1, int) {
            draw_cubes(voxels, scene.p, static_cast<int>(v0), static_cast<int>(v1), hits);
            if (request.progress) request.progress->advance(v1 - v0);
        });
        in_parallel(static_cast<std::int64_t>(samples.size()), 4096, [&](std::int64_t i0, std::int64_t i1, int worker) {
            for (std::int64_t i = i0; i < i1; ++i) samples[i] = shade_hit(scene, caches[worker], hits[i]);
        });
        return resolve(samples, edge, factor);
    }
    scene.space = empty_space(rec, scene.box, how == Tracing::kLeap);
    scene.start = start_depths(scene.space.coarse, scene.p);
    in_parallel(edge, kTile, [&](std::int64_t v0, std::int64_t v1, int worker) {
        SurfaceCache& cache = caches[worker];
        for (int u0 = 0; u0 < edge; u0 += kTile)
            for (auto v = static_cast<int>(v0); v < v1; ++v)
                for (int u = u0; u < std::min(edge, u0 + kTile); ++u) {
                    const Hit hit = cast(rec, scene.space, scene.box, ray_of(scene.p, u, v), scene.start.at(u, v));
                    samples[static_cast<std::size_t>(v) * edge + u] = shade_hit(scene, cache, hit);
                }
        if (request.progress) request.progress->advance(v1 - v0);
    });
    return resolve(samples, edge, factor);
}

Image render_slice(const TelesoRecord& rec, int axis, std::int32_t k, int size) {
    Image out(size, size, kSliceEmpty);
    const std::int64_t n = rec.dim;
    for (int py = 0; py < size; ++py)
        for (int px = 0; px < size; ++px) {
            const auto a = static_cast<std::int32_t>(px * n / size);
            const auto b = static_cast<std::int32_t>((size - 1 - py) * n / size);
            int set = 0;
            if (axis == 2) set = Get_voxel(rec, a, b, k);
            if (axis == 1) set = Get_voxel(rec, a, k, b);
            if (axis == 0) set = Get_voxel(rec, k, a, b);
            if (set) out.set(px, py, kMaterial);
        }
    return out;
}

}  // namespace tarvo::tools
