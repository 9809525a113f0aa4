#include "mesh/corners.h"

#include <numeric>
#include <vector>

namespace tarvo::mesh {
namespace {

bool voxel_set(std::uint8_t config, const std::array<int, 3>& d) { return (config >> (d[0] + 2 * d[1] + 4 * d[2])) & 1; }

// The two voxels of face f: they differ along its axis and sit at (u, v) on the other two axes.
struct FaceVoxels {
    std::array<int, 3> a, b;
};

FaceVoxels voxels_of(int f) {
    const int axis = f / 4, u = f % 2, v = f / 2 % 2;
    const int other1 = axis == 0 ? 1 : 0, other2 = axis == 2 ? 1 : 2;
    FaceVoxels fv;
    fv.a[axis] = 0, fv.b[axis] = 1;
    fv.a[other1] = fv.b[other1] = u;
    fv.a[other2] = fv.b[other2] = v;
    return fv;
}

int find(std::array<int, kCornerFaces>& parent, int f) {
    while (parent[f] != f) f = parent[f] = parent[parent[f]];
    return f;
}

// The four voxels around the half-edge from the corner along `axis` on side `side`, in cyclic
// order, and the faces between neighbours: face[k] lies between ring[k] and ring[k+1].
struct HalfEdge {
    std::array<std::array<int, 3>, 4> ring;
    std::array<int, 4> face;
};

HalfEdge half_edge(int axis, int side) {
    const int p = axis == 0 ? 1 : 0, q = axis == 2 ? 1 : 2;
    const int around[4][2] = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};
    HalfEdge h;
    for (int k = 0; k < 4; ++k) {
        h.ring[k][axis] = side;
        h.ring[k][p] = around[k][0];
        h.ring[k][q] = around[k][1];
    }
    for (int k = 0; k < 4; ++k) {
        const auto& s = h.ring[k];
        const auto& t = h.ring[(k + 1) % 4];
        const int differs = s[p] != t[p] ? p : q;
        const int other = 3 - axis - differs;  // the axis the face spans besides `axis`
        h.face[k] = axis < other ? face_at_corner(differs, side, s[other]) : face_at_corner(differs, s[other], side);
    }
    return h;
}

// Which voxel of a diagonal half-edge its faces pair around: the set ones, or the empty ones.
enum class Around { kSet, kEmpty };

// Pairs the faces around one half-edge. Two faces pair; of four (a diagonal), those around the
// same set voxel, or the same empty voxel when told so.
void pair_around(std::uint8_t config, const HalfEdge& h, Around around, std::array<int, kCornerFaces>& parent) {
    std::array<bool, 4> set{};
    int count = 0;
    for (int k = 0; k < 4; ++k) count += set[k] = voxel_set(config, h.ring[k]);
    const auto unite = [&](int f, int g) { parent[find(parent, f)] = find(parent, g); };
    if (count == 0 || count == 4) return;
    if (count == 2 && set[0] == set[2]) {
        // face[k-1] and face[k] bound ring[k].
        for (int k = 0; k < 4; ++k)
            if (set[k] == (around == Around::kSet)) unite(h.face[(k + 3) % 4], h.face[k]);
        return;
    }
    int first = -1;
    for (int k = 0; k < 4; ++k)
        if (set[k] != set[(k + 1) % 4]) {
            if (first < 0)
                first = h.face[k];
            else
                unite(first, h.face[k]);
        }
}

bool diagonal(std::uint8_t config, const HalfEdge& h) {
    const bool a = voxel_set(config, h.ring[0]), b = voxel_set(config, h.ring[1]);
    return a == voxel_set(config, h.ring[2]) && b == voxel_set(config, h.ring[3]) && a != b;
}

std::array<int, kCornerFaces> pairings(std::uint8_t config, const std::array<HalfEdge, 6>& edges,
                                       const std::array<Around, 6>& around) {
    std::array<int, kCornerFaces> parent;
    std::iota(parent.begin(), parent.end(), 0);
    for (int e = 0; e < 6; ++e) pair_around(config, edges[e], around[e], parent);
    return parent;
}

// The sheets for the given choice at each half-edge.
CornerSheets sheets_of(std::uint8_t config, std::uint8_t empty_around) {
    std::array<HalfEdge, 6> edges;
    for (int e = 0; e < 6; ++e) edges[e] = half_edge(e / 2, e % 2);
    std::array<Around, 6> around;
    for (int e = 0; e < 6; ++e) around[e] = (empty_around >> e & 1) ? Around::kEmpty : Around::kSet;
    std::array<int, kCornerFaces> parent = pairings(config, edges, around);
    CornerSheets cs;
    cs.sheet.fill(-1);
    std::array<int, kCornerFaces> number;
    number.fill(-1);
    for (int f = 0; f < kCornerFaces; ++f) {
        const FaceVoxels fv = voxels_of(f);
        if (voxel_set(config, fv.a) == voxel_set(config, fv.b)) continue;
        const int root = find(parent, f);
        if (number[root] < 0) number[root] = cs.count++;
        cs.sheet[f] = static_cast<std::int8_t>(number[root]);
    }
    for (int e = 0; e < 6; ++e) {
        if (!diagonal(config, edges[e])) continue;
        cs.diagonal = static_cast<std::uint8_t>(cs.diagonal | 1 << e);
        if (find(parent, edges[e].face[0]) == find(parent, edges[e].face[2]))
            cs.joined = static_cast<std::uint8_t>(cs.joined | 1 << e);
    }
    return cs;
}

}  // namespace

const CornerSheets& corner_sheets(std::uint8_t config, std::uint8_t empty_around) {
    static const std::vector<CornerSheets> table = [] {
        std::vector<CornerSheets> t(256 * 64);
        for (int c = 0; c < 256; ++c)
            for (int m = 0; m < 64; ++m) t[c * 64 + m] = sheets_of(static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(m));
        return t;
    }();
    return table[config * 64 + (empty_around & 63)];
}

}  // namespace tarvo::mesh
