#include "picture.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace tools {
namespace {

struct V3 {
    double x = 0, y = 0, z = 0;
    double operator[](int i) const { return i == 0 ? x : (i == 1 ? y : z); }
};
V3 operator+(V3 a, V3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
V3 operator*(double s, V3 a) { return {s * a.x, s * a.y, s * a.z}; }
double dot(V3 a, V3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
V3 normalized(V3 a) {
    const double l = std::sqrt(dot(a, a));
    return l > 0 ? (1 / l) * a : a;
}
double sum_abs(V3 a) { return std::fabs(a.x) + std::fabs(a.y) + std::fabs(a.z); }

// An orthographic camera: `dir` points from the viewer into the scene.
struct Camera {
    V3 dir, right, up;
};

Camera camera_for(View view) {
    switch (view) {
        case View::kX:
            return {{-1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
        case View::kY:
            return {{0, -1, 0}, {-1, 0, 0}, {0, 0, 1}};
        case View::kZ:
            return {{0, 0, -1}, {1, 0, 0}, {0, 1, 0}};
        case View::kIso:
            break;
    }
    const double s2 = std::sqrt(2.0), s3 = std::sqrt(3.0), s6 = std::sqrt(6.0);
    return {{-1 / s3, -1 / s3, -1 / s3}, {-1 / s2, 1 / s2, 0}, {-1 / s6, -1 / s6, 2 / s6}};
}

constexpr double kParallel = 1e-12;  // a direction component this small is taken as zero
constexpr double kFrame = 0.94;      // part of the picture the grid's outline spans
constexpr int kSupersample = 2;
// Cubes are drawn a hair larger than a voxel so that a pixel centre on the border of two
// neighbours, rounded either way, never falls between them.
constexpr double kHalfCube = 0.5 + 1e-9;
constexpr int kMaxSupersampledEdge = 4096;

// The depth image: for each pixel the nearest voxel cube the pixel's ray enters.
struct DepthImage {
    int edge = 0;
    std::vector<float> depth;
    std::vector<std::int64_t> voxel;  // linear index, -1 for background
    std::vector<std::int8_t> face;    // axis of the entered cube face
    explicit DepthImage(int e)
        : edge(e),
          depth(static_cast<std::size_t>(e) * e, std::numeric_limits<float>::infinity()),
          voxel(static_cast<std::size_t>(e) * e, -1),
          face(static_cast<std::size_t>(e) * e, 0) {}
};

struct Projection {
    Camera cam;
    double centre = 0;  // grid middle, the same on every axis
    double scale = 1;   // pixels per voxel
    double half_u = 0, half_v = 0;  // half extents of one cube on the screen, in pixels
    double depth_reach = 1;         // depths of the grid lie within +-depth_reach
    int edge = 0;
};

Projection projection_for(const Camera& cam, std::int32_t n, double h, int edge) {
    Projection p;
    p.cam = cam;
    p.edge = edge;
    p.centre = (n - 1) / 2.0;
    double reach = 0, depth = 0;
    for (int corner = 0; corner < 8; ++corner) {
        const V3 c{corner & 1 ? h : -h, corner & 2 ? h : -h, corner & 4 ? h : -h};
        reach = std::max({reach, std::fabs(dot(c, cam.right)), std::fabs(dot(c, cam.up))});
        depth = std::max(depth, std::fabs(dot(c, cam.dir)));
    }
    p.scale = reach > 0 ? kFrame * edge / 2 / reach : 1;
    p.half_u = 0.5 * sum_abs(cam.right) * p.scale;
    p.half_v = 0.5 * sum_abs(cam.up) * p.scale;
    p.depth_reach = depth > 0 ? depth : 1;
    return p;
}

// Draws the cube of one voxel into the depth image with an exact ray-box test per pixel centre.
void draw_cube(DepthImage& img, const Projection& p, std::int32_t x, std::int32_t y, std::int32_t z,
               std::int64_t index) {
    const V3 rel{x - p.centre, y - p.centre, z - p.centre};
    const double cu = p.edge / 2.0 + dot(rel, p.cam.right) * p.scale;
    const double cv = p.edge / 2.0 - dot(rel, p.cam.up) * p.scale;
    const double t0 = dot(rel, p.cam.dir);
    const int u0 = std::max(0, static_cast<int>(std::floor(cu - p.half_u)));
    const int u1 = std::min(p.edge - 1, static_cast<int>(std::ceil(cu + p.half_u)));
    const int v0 = std::max(0, static_cast<int>(std::floor(cv - p.half_v)));
    const int v1 = std::min(p.edge - 1, static_cast<int>(std::ceil(cv + p.half_v)));
    for (int v = v0; v <= v1; ++v)
        for (int u = u0; u <= u1; ++u) {
            const double a = (u + 0.5 - cu) / p.scale;
            const double b = (cv - (v + 0.5)) / p.scale;
            const V3 o = a * p.cam.right + b * p.cam.up;
            double tmin = -std::numeric_limits<double>::infinity();
            double tmax = std::numeric_limits<double>::infinity();
            int face = 0;
            bool miss = false;
            for (int i = 0; i < 3 && !miss; ++i) {
                const double d = p.cam.dir[i];
                if (std::fabs(d) < kParallel) {
                    miss = std::fabs(o[i]) > kHalfCube;
                    continue;
                }
                const double t1 = (-kHalfCube - o[i]) / d, t2 = (kHalfCube - o[i]) / d;
                if (std::min(t1, t2) > tmin) {
                    tmin = std::min(t1, t2);
                    face = i;
                }
                tmax = std::min(tmax, std::max(t1, t2));
            }
            if (miss || tmin > tmax) continue;
            const std::size_t k = static_cast<std::size_t>(v) * img.edge + u;
            const auto depth = static_cast<float>(t0 + tmin);
            if (depth < img.depth[k]) {
                img.depth[k] = depth;
                img.voxel[k] = index;
                img.face[k] = static_cast<std::int8_t>(face);
            }
        }
}

// One z layer of the bitmap as one byte per voxel (0 outside the grid).
void unpack_layer(const TelesoRecord& rec, std::int32_t z, std::vector<std::uint8_t>& layer) {
    const std::int32_t n = rec.dim;
    std::fill(layer.begin(), layer.end(), 0);
    if (z < 0 || z >= n) return;
    const std::int64_t first = std::int64_t{n} * n * z;
    for (std::int64_t k = 0; k < std::int64_t{n} * n; ++k) {
        const std::int64_t i = first + k;
        layer[k] = (rec.data[i >> 3] >> (i & 7)) & 1;
    }
}

// The voxels that can be seen (set, with an empty neighbour on a side the camera faces; the
// others are hidden behind their neighbours) and the bounding box of all set voxels.
struct VisibleSet {
    std::vector<std::int64_t> voxels;  // linear indices, in stream order
    std::int32_t lo[3] = {0, 0, 0}, hi[3] = {-1, -1, -1};
};

VisibleSet find_visible(const TelesoRecord& rec, const Camera& cam) {
    const std::int32_t n = rec.dim;
    int step[3];  // towards the camera on each axis, 0 when the axis lies across the view
    for (int i = 0; i < 3; ++i) {
        const double d = cam.dir[i];
        step[i] = std::fabs(d) < kParallel ? 0 : (d < 0 ? 1 : -1);
    }
    VisibleSet vs;
    for (int i = 0; i < 3; ++i) vs.lo[i] = n;
    const std::size_t layer_size = static_cast<std::size_t>(n) * n;
    std::vector<std::uint8_t> cur(layer_size), beside(layer_size);
    for (std::int32_t z = 0; z < n; ++z) {
        unpack_layer(rec, z, cur);
        unpack_layer(rec, z + step[2], beside);
        for (std::int32_t y = 0; y < n; ++y) {
            std::int32_t first = -1, last = -1;
            for (std::int32_t x = 0; x < n; ++x) {
                const std::size_t k = static_cast<std::size_t>(y) * n + x;
                if (!cur[k]) continue;
                if (first < 0) first = x;
                last = x;
                const std::int32_t nx = x + step[0], ny = y + step[1];
                const bool open_x = step[0] != 0 && (nx < 0 || nx >= n || !cur[k + step[0]]);
                const bool open_y = step[1] != 0 && (ny < 0 || ny >= n || !cur[k + step[1] * n]);
                const bool open_z = step[2] != 0 && !beside[k];
                if (open_x || open_y || open_z) vs.voxels.push_back(static_cast<std::int64_t>(k + layer_size * z));
            }
            if (first < 0) continue;
            vs.lo[0] = std::min(vs.lo[0], first);
            vs.hi[0] = std::max(vs.hi[0], last);
            vs.lo[1] = std::min(vs.lo[1], y);
            vs.hi[1] = std::max(vs.hi[1], y);
            vs.lo[2] = std::min(vs.lo[2], z);
            vs.hi[2] = std::max(vs.hi[2], z);
        }
    }
    return vs;
}

// Half the edge of the smallest cube around the grid's middle that holds the particle's
// bounding box (cube faces, not voxel centres): a cut that keeps the far side of the particle
// keeps the frame. The whole grid when the particle is empty.
double frame_half_edge(const VisibleSet& vs, std::int32_t n) {
    if (vs.voxels.empty()) return n / 2.0;
    const double mid = (n - 1) / 2.0;
    double h = 0;
    for (int i = 0; i < 3; ++i) h = std::max({h, std::fabs(vs.lo[i] - mid) + 0.5, std::fabs(vs.hi[i] - mid) + 0.5});
    return h;
}

inline bool voxel_at(const TelesoRecord& rec, std::int32_t x, std::int32_t y, std::int32_t z) {
    const std::int32_t n = rec.dim;
    if (x < 0 || y < 0 || z < 0 || x >= n || y >= n || z >= n) return false;
    const std::int64_t i = x + std::int64_t{n} * (y + std::int64_t{n} * z);
    return (rec.data[i >> 3] >> (i & 7)) & 1;
}

// The surface at a visible voxel, from the set voxels of its neighbourhood: the outward normal
// points away from them, and their share tells a hollow (most set: darker) from a bump.
struct Surface {
    V3 normal;
    double fill = 0.5;
};

Surface surface_at(const TelesoRecord& rec, std::int64_t index) {
    const std::int64_t n = rec.dim;
    const auto x = static_cast<std::int32_t>(index % n);
    const auto y = static_cast<std::int32_t>(index / n % n);
    const auto z = static_cast<std::int32_t>(index / n / n);
    constexpr int kReach = 3;
    constexpr int kReach2 = 10;
    V3 sum;
    int set = 0, all = 0;
    for (int dz = -kReach; dz <= kReach; ++dz)
        for (int dy = -kReach; dy <= kReach; ++dy)
            for (int dx = -kReach; dx <= kReach; ++dx) {
                if (dx * dx + dy * dy + dz * dz > kReach2) continue;
                ++all;
                if (!voxel_at(rec, x + dx, y + dy, z + dz)) continue;
                ++set;
                sum = sum + V3{-double(dx), -double(dy), -double(dz)};
            }
    return {normalized(sum), static_cast<double>(set) / all};
}

Rgb shade(Rgb base, double light) {
    auto channel = [light](std::uint8_t c) {
        return static_cast<std::uint8_t>(std::clamp(std::lround(c * light), 0L, 255L));
    };
    return {channel(base.r), channel(base.g), channel(base.b)};
}

Image shade_depth_image(const TelesoRecord& rec, const Projection& p, const DepthImage& img) {
    std::vector<std::int64_t> visible;
    for (std::int64_t v : img.voxel)
        if (v >= 0) visible.push_back(v);
    std::sort(visible.begin(), visible.end());
    visible.erase(std::unique(visible.begin(), visible.end()), visible.end());
    std::vector<Surface> surfaces(visible.size());
    for (std::size_t k = 0; k < visible.size(); ++k) surfaces[k] = surface_at(rec, visible[k]);

    const Camera& cam = p.cam;
    const V3 light = normalized((-1.0) * cam.dir + 0.3 * cam.up + (-0.3) * cam.right);
    const double edge_gap = 1.5;  // voxels of depth that make an outline
    Image out(img.edge, img.edge, kBackground);
    for (int v = 0; v < img.edge; ++v)
        for (int u = 0; u < img.edge; ++u) {
            const std::size_t k = static_cast<std::size_t>(v) * img.edge + u;
            if (img.voxel[k] < 0) continue;
            const auto at = std::lower_bound(visible.begin(), visible.end(), img.voxel[k]) - visible.begin();
            V3 face;
            const int f = img.face[k];
            const double towards_camera = cam.dir[f] < 0 ? 1 : -1;
            face = V3{f == 0 ? towards_camera : 0, f == 1 ? towards_camera : 0, f == 2 ? towards_camera : 0};
            const Surface& surface = surfaces[at];
            const V3 smooth = dot(surface.normal, surface.normal) > 0 ? surface.normal : face;
            const V3 normal = normalized(0.9 * smooth + 0.1 * face);
            // A key light from the upper left and a light from the viewer, which keeps faces
            // turned towards the viewer (such as cut faces) bright.
            double level = 0.3 + 0.45 * std::max(0.0, dot(normal, light)) +
                           0.3 * std::max(0.0, -dot(normal, cam.dir));
            level *= std::clamp(1.0 - 1.0 * (surface.fill - 0.55), 0.6, 1.1);
            level *= 1.0 - 0.25 * (img.depth[k] / p.depth_reach + 1) / 2;
            // A pixel just behind a nearer surface or at the silhouette is darkened into an outline.
            bool outline = false;
            const int du[4] = {1, -1, 0, 0}, dv[4] = {0, 0, 1, -1};
            for (int s = 0; s < 4 && !outline; ++s) {
                const int uu = u + du[s], vv = v + dv[s];
                if (uu < 0 || vv < 0 || uu >= img.edge || vv >= img.edge) continue;
                const std::size_t q = static_cast<std::size_t>(vv) * img.edge + uu;
                outline = img.voxel[q] < 0 || img.depth[q] < img.depth[k] - edge_gap * 1.0f;
            }
            if (outline) level *= 0.55;
            out.set(u, v, shade(kMaterial, level));
        }
    return out;
}

Image downsample(const Image& big, int factor) {
    if (factor == 1) return big;
    Image out(big.width / factor, big.height / factor, kBackground);
    for (int y = 0; y < out.height; ++y)
        for (int x = 0; x < out.width; ++x) {
            int sum[3] = {0, 0, 0};
            for (int dy = 0; dy < factor; ++dy)
                for (int dx = 0; dx < factor; ++dx) {
                    const Rgb c = big.at(x * factor + dx, y * factor + dy);
                    sum[0] += c.r;
                    sum[1] += c.g;
                    sum[2] += c.b;
                }
            const int count = factor * factor;
            out.set(x, y, Rgb{static_cast<std::uint8_t>((sum[0] + count / 2) / count),
                              static_cast<std::uint8_t>((sum[1] + count / 2) / count),
                              static_cast<std::uint8_t>((sum[2] + count / 2) / count)});
        }
    return out;
}

}  // namespace

Image render_view(const TelesoRecord& rec, View view, int size) {
    const int factor = size * kSupersample <= kMaxSupersampledEdge ? kSupersample : 1;
    const int edge = size * factor;
    if (rec.dim <= 0) return Image(size, size, kBackground);
    const Camera cam = camera_for(view);
    const VisibleSet visible = find_visible(rec, cam);
    const Projection p = projection_for(cam, rec.dim, frame_half_edge(visible, rec.dim), edge);
    DepthImage img(edge);
    const std::int64_t n = rec.dim;
    for (std::int64_t i : visible.voxels)
        draw_cube(img, p, static_cast<std::int32_t>(i % n), static_cast<std::int32_t>(i / n % n),
                  static_cast<std::int32_t>(i / (n * n)), i);
    return downsample(shade_depth_image(rec, p, img), factor);
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

}  // namespace tools
