// The surface meshes against the voxels they come from: closed, consistently oriented and
// manifold on random particles (noise of every density, cut or not), the boundary's volume the
// voxel count, and each face's part (surface, cut, pore) as worked out voxel by voxel.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include "support.h"
#include "tarvo/geometry.h"
#include "tarvo/mesh.h"
#include "tarvo/shapes.h"

using namespace test_support;

namespace {

using Edge = std::pair<std::uint32_t, std::uint32_t>;

void fill_noise(TelesoRecord& rec, std::uint64_t seed, double density) {
    std::mt19937_64 gen(seed);
    std::bernoulli_distribution set(density);
    for (std::int32_t z = 0; z < rec.dim; ++z)
        for (std::int32_t y = 0; y < rec.dim; ++y)
            for (std::int32_t x = 0; x < rec.dim; ++x) Set_voxel(rec, x, y, z, set(gen));
}

Mesh mesh_of(const TelesoRecord& rec, MeshKind kind, std::optional<CutLengths> cut = {}) {
    MeshOptions o;
    o.kind = kind;
    o.cut = cut;
    Mesh m;
    const Status s = make_mesh(rec, o, m);
    EXPECT_TRUE(s.ok()) << describe(s);
    return m;
}

// Every edge is walked once each way (closed, oriented alike, two triangles an edge) and the
// triangles around each vertex form one fan.
void expect_closed_manifold(const Mesh& m, const std::string& what) {
    ASSERT_EQ(m.parts.size(), m.triangle_count()) << what;
    std::map<Edge, int> walked;
    std::vector<std::vector<Edge>> link(m.vertex_count());
    for (std::size_t k = 0; k < m.triangle_count(); ++k) {
        const std::uint32_t* t = &m.triangles[3 * k];
        for (int c = 0; c < 3; ++c) {
            ASSERT_LT(t[c], m.vertex_count()) << what;
            ++walked[{t[c], t[(c + 1) % 3]}];
            link[t[c]].push_back({t[(c + 1) % 3], t[(c + 2) % 3]});
        }
    }
    for (const auto& [e, n] : walked) {
        ASSERT_EQ(n, 1) << what << ": edge " << e.first << "-" << e.second << " walked " << n << " times the same way";
        ASSERT_EQ(walked.count({e.second, e.first}), 1u) << what << ": edge " << e.first << "-" << e.second << " has one side";
    }
    for (std::size_t v = 0; v < link.size(); ++v) {
        ASSERT_FALSE(link[v].empty()) << what << ": vertex " << v << " is in no triangle";
        // The opposite edges b->c chain from one to the next around the vertex: one cycle.
        std::map<std::uint32_t, std::uint32_t> next;
        for (const Edge& e : link[v]) next[e.first] = e.second;
        ASSERT_EQ(next.size(), link[v].size()) << what << ": vertex " << v << " is pinched";
        std::uint32_t at = link[v][0].first;
        std::size_t steps = 0;
        do {
            at = next.at(at);
            ++steps;
        } while (at != link[v][0].first && steps <= link[v].size());
        ASSERT_EQ(steps, link[v].size()) << what << ": the triangles around vertex " << v << " form more than one fan";
    }
}

double signed_volume(const Mesh& m) {
    double six = 0;
    for (std::size_t k = 0; k < m.triangle_count(); ++k) {
        const float *a = &m.vertices[3 * m.triangles[3 * k]], *b = &m.vertices[3 * m.triangles[3 * k + 1]],
                    *c = &m.vertices[3 * m.triangles[3 * k + 2]];
        six += double{a[0]} * (double{b[1]} * c[2] - double{b[2]} * c[1]) -
               double{a[1]} * (double{b[0]} * c[2] - double{b[2]} * c[0]) +
               double{a[2]} * (double{b[0]} * c[1] - double{b[1]} * c[0]);
    }
    return six / 6;
}

std::int64_t count_set(const TelesoRecord& rec) {
    std::int64_t n = 0;
    for (std::int64_t i = 0; i < voxel_count(rec.dim); ++i) n += voxel_at(rec, i);
    return n;
}

Body copy_of(const TelesoRecord& rec) {
    Body b = body_of_edge(rec.dim);
    std::memcpy(b.rec.data, rec.data, padded_bytes(rec.size));
    return b;
}

// The parts of the faces voxel by voxel, keyed by twice the face's centre. A face is a pore wall
// when its empty voxel cannot be reached from outside the grid without crossing the 6-connected
// component of its set voxel, the other voxels joining through faces (reach 6) or through faces,
// edges and corners (reach 26); a cut face when the cut cleared its empty voxel. The mesh joins
// empty voxels through faces always, through edges and corners where the particle's voxels do
// not join around them: its pores lie between those of reach 26 and those of reach 6.
using FaceKey = std::array<int, 3>;

std::map<FaceKey, MeshPart> parts_by_voxels(const TelesoRecord& kept, const TelesoRecord* before, int reach) {
    const int n = kept.dim, side = n + 2;  // one empty voxel of padding all round
    const auto at = [side](int x, int y, int z) { return (static_cast<std::size_t>(z + 1) * side + (y + 1)) * side + (x + 1); };
    const auto set = [&](int x, int y, int z) { return Get_voxel(kept, x, y, z) == 1; };
    // 6-connected components of the set voxels.
    std::vector<int> component(static_cast<std::size_t>(side) * side * side, -1);
    int components = 0;
    for (int z = 0; z < n; ++z)
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x) {
                if (!set(x, y, z) || component[at(x, y, z)] >= 0) continue;
                std::vector<std::array<int, 3>> todo{{x, y, z}};
                component[at(x, y, z)] = components;
                while (!todo.empty()) {
                    const auto p = todo.back();
                    todo.pop_back();
                    const int d[6][3] = {{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}};
                    for (const auto& s : d) {
                        const int a = p[0] + s[0], b = p[1] + s[1], c = p[2] + s[2];
                        if (set(a, b, c) && component[at(a, b, c)] < 0) {
                            component[at(a, b, c)] = components;
                            todo.push_back({a, b, c});
                        }
                    }
                }
                ++components;
            }
    // For each component, what is reached from the padding through the voxels not in it.
    std::vector<std::vector<bool>> outside(components);
    for (int c = 0; c < components; ++c) {
        std::vector<bool>& reached = outside[c];
        reached.assign(component.size(), false);
        std::vector<std::array<int, 3>> todo{{-1, -1, -1}};
        reached[at(-1, -1, -1)] = true;
        while (!todo.empty()) {
            const auto p = todo.back();
            todo.pop_back();
            for (int dz = -1; dz <= 1; ++dz)
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx) {
                        if (reach == 6 && std::abs(dx) + std::abs(dy) + std::abs(dz) != 1) continue;
                        const int a = p[0] + dx, b = p[1] + dy, q = p[2] + dz;
                        if (a < -1 || b < -1 || q < -1 || a > n || b > n || q > n) continue;
                        if (reached[at(a, b, q)] || component[at(a, b, q)] == c) continue;
                        reached[at(a, b, q)] = true;
                        todo.push_back({a, b, q});
                    }
        }
    }
    std::map<FaceKey, MeshPart> parts;
    for (int z = 0; z < n; ++z)
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x) {
                if (!set(x, y, z)) continue;
                const int d[6][3] = {{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}};
                for (const auto& s : d) {
                    const int a = x + s[0], b = y + s[1], c = z + s[2];
                    if (set(a, b, c)) continue;
                    MeshPart part = MeshPart::kSurface;
                    if (before && Get_voxel(*before, a, b, c) == 1)
                        part = MeshPart::kCut;
                    else if (!outside[component[at(x, y, z)]][at(a, b, c)])
                        part = MeshPart::kPore;
                    parts[{x + a, y + b, z + c}] = part;
                }
            }
    return parts;
}

// The parts of the boundary mesh's faces, keyed as above: the two triangles (a, b, c), (a, c, d)
// of a face have a and c at opposite corners.
std::map<FaceKey, MeshPart> parts_of_mesh(const Mesh& m) {
    std::map<FaceKey, MeshPart> parts;
    for (std::size_t k = 0; k < m.triangle_count(); k += 2) {
        const float *a = &m.vertices[3 * m.triangles[3 * k]], *c = &m.vertices[3 * m.triangles[3 * k + 2]];
        const FaceKey key{static_cast<int>(a[0] + c[0]), static_cast<int>(a[1] + c[1]), static_cast<int>(a[2] + c[2])};
        EXPECT_EQ(m.parts[k], m.parts[k + 1]);
        EXPECT_TRUE(parts.emplace(key, m.parts[k]).second) << "two faces at the same place";
    }
    return parts;
}

// The mesh's parts against the voxels': the same faces, the same cut faces, and pores between
// those of the two reaches (a few differences spelled out).
void expect_parts_of_voxels(const Mesh& m, const TelesoRecord& kept, const TelesoRecord* before, const std::string& what) {
    const std::map<FaceKey, MeshPart> mesh = parts_of_mesh(m);
    const std::map<FaceKey, MeshPart> wide = parts_by_voxels(kept, before, 26), narrow = parts_by_voxels(kept, before, 6);
    ASSERT_EQ(mesh.size(), wide.size()) << what << ": faces of the mesh and of the voxels";
    int shown = 0;
    for (const auto& [key, fewest] : wide) {
        const auto it = mesh.find(key);
        const MeshPart most = narrow.at(key);
        const bool fits = it != mesh.end() && (it->second == fewest || it->second == most);
        if (fits || ++shown > 5) continue;
        ADD_FAILURE() << what << ": face at (" << key[0] / 2.0 << ", " << key[1] / 2.0 << ", " << key[2] / 2.0
                      << ") is part " << static_cast<int>(fewest) << " or " << static_cast<int>(most) << " by its voxels, "
                      << (it == mesh.end() ? std::string("missing") : "part " + std::to_string(static_cast<int>(it->second)))
                      << " in the mesh";
    }
}

struct Case {
    std::int32_t dim;
    std::uint64_t seed;
    double density;
};

const Case kNoise[] = {{1, 1, 1.0}, {2, 2, 0.5}, {3, 3, 0.5}, {5, 4, 0.3}, {6, 5, 0.5}, {7, 6, 0.7}, {9, 7, 0.5}, {11, 8, 0.85}};

TEST(Mesh, BoundaryOfNoiseIsClosedManifoldWithTheVoxelCountAsVolume) {
    for (const Case& c : kNoise) {
        Body b = body_of_edge(c.dim);
        fill_noise(b.rec, c.seed, c.density);
        const Mesh m = mesh_of(b.rec, MeshKind::kBoundary);
        const std::string what = "noise " + std::to_string(c.dim) + " density " + std::to_string(c.density);
        expect_closed_manifold(m, what);
        EXPECT_EQ(signed_volume(m), static_cast<double>(count_set(b.rec))) << what;
        expect_parts_of_voxels(m, b.rec, nullptr, what);
    }
}

TEST(Mesh, CutFacesAndPoresAreThoseOfTheVoxels) {
    // A porous ball (single empty voxels inside), a grain with pores, and noise, each cut.
    std::vector<Body> bodies;
    bodies.push_back(body_of_edge(14));
    shapes::make_porous_ball(bodies.back().rec, {6.5, 6.5, 6.5}, 5.5, 0.08, 3);
    bodies.push_back(body_of_edge(24));
    shapes::make_grain(bodies.back().rec, 5, 40);
    bodies.push_back(body_of_edge(10));
    fill_noise(bodies.back().rec, 9, 0.6);
    const CutLengths cuts[] = {{1, 1, 99999}, {-3, 7, 5}, {4, 4, 4}};
    for (const Body& b : bodies)
        for (const CutLengths& cut : cuts) {
            const std::string what = "edge " + std::to_string(b.rec.dim) + " cut " + std::to_string(cut.x) + " " +
                                     std::to_string(cut.y) + " " + std::to_string(cut.z);
            Body kept = copy_of(b.rec);
            cut_as_program(kept.rec, cut);
            const Mesh m = mesh_of(b.rec, MeshKind::kBoundary, cut);
            expect_closed_manifold(m, what);
            EXPECT_EQ(signed_volume(m), static_cast<double>(count_set(kept.rec))) << what;
            expect_parts_of_voxels(m, kept.rec, &b.rec, what);
            int pores = 0, cut_faces = 0;
            for (MeshPart part : m.parts) pores += part == MeshPart::kPore, cut_faces += part == MeshPart::kCut;
            if (b.rec.dim != 10) {
                EXPECT_GT(pores, 0) << what << ": no pore left to tell apart";
            }
            EXPECT_GT(cut_faces, 0) << what;
        }
}

TEST(Mesh, SmoothKeepsTheFacesAndEachCornerWithinHalfAVoxel) {
    for (const Case& c : kNoise) {
        Body b = body_of_edge(c.dim);
        fill_noise(b.rec, c.seed, c.density);
        const std::optional<CutLengths> cut = c.dim > 4 ? std::optional<CutLengths>({2, 3, 99999}) : std::nullopt;
        const Mesh boundary = mesh_of(b.rec, MeshKind::kBoundary, cut);
        const Mesh smooth = mesh_of(b.rec, MeshKind::kSmooth, cut);
        const std::string what = "smooth noise " + std::to_string(c.dim);
        expect_closed_manifold(smooth, what);
        ASSERT_EQ(smooth.vertex_count(), boundary.vertex_count()) << what;
        EXPECT_EQ(smooth.parts, boundary.parts) << what;
        for (std::size_t i = 0; i < smooth.vertices.size(); ++i)
            ASSERT_LE(std::abs(smooth.vertices[i] - boundary.vertices[i]), 0.5f) << what;
    }
}

TEST(Mesh, EmptyParticlesHaveNoSurface) {
    for (std::int32_t n : {0, 1, 5}) {
        Body b = body_of_edge(n);
        for (MeshKind kind : {MeshKind::kBoundary, MeshKind::kSmooth}) {
            const Mesh m = mesh_of(b.rec, kind, CutLengths{1, 1, 1});
            EXPECT_EQ(m.triangle_count(), 0u);
            EXPECT_EQ(m.vertex_count(), 0u);
        }
    }
}

TEST(Mesh, FormatsByTheNamesExtension) {
    EXPECT_EQ(mesh_format_of("a.STL"), MeshFormat::kStl);
    EXPECT_EQ(mesh_format_of("dir.ply/a.obj"), MeshFormat::kObj);
    EXPECT_EQ(mesh_format_of("a.Ply"), MeshFormat::kPly);
    EXPECT_EQ(mesh_format_of("a.vtk"), std::nullopt);
    EXPECT_EQ(mesh_format_of("dir.stl/a"), std::nullopt);
}

}  // namespace
