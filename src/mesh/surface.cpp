// The boundary of the voxels, layer by layer, and the steps after it.
#include "mesh/surface.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <numeric>
#include <stdexcept>

#include "mesh/corners.h"
#include "tarvo/geometry.h"

namespace tarvo::mesh {

LayerRows::LayerRows(std::int32_t dim)
    : dim_(dim), words_per_row_(dim / 64 + 1),
      words_(static_cast<std::size_t>(dim + 2) * static_cast<std::size_t>(dim / 64 + 1)) {}

void LayerRows::load(const TelesoRecord& rec, std::int32_t z, const TelesoRecord* minus) {
    std::fill(words_.begin(), words_.end(), 0);
    if (z < 0 || z >= dim_) return;
    for (std::int32_t y = 0; y < dim_; ++y) {
        std::uint64_t* out = words_.data() + static_cast<std::size_t>(y + 1) * words_per_row_;
        const std::int64_t first = voxel_index(dim_, 0, y, z);
        for (std::int32_t w = 0; w * 64 < dim_; ++w) {
            const std::int32_t left = dim_ - w * 64;
            const std::uint64_t mask = left >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << left) - 1;
            std::uint64_t bits = voxel_word(rec, first + w * 64);
            if (minus) bits &= ~voxel_word(*minus, first + w * 64);
            out[w] = bits & mask;
        }
    }
}

namespace {

// Bits i-1 of a row at bit i of corner word w: the voxels on the low side of corners 64w..64w+63.
std::uint64_t low_side(const std::uint64_t* row, std::int32_t w) { return row[w] << 1 | (w > 0 ? row[w - 1] >> 63 : 0); }

// One layer of corners: per corner (i, j) the configuration of its block, which half-edges pair
// around empty voxels, and the first of its vertices (one per sheet). Only corners the surface
// passes are filled in.
struct CornerLayer {
    std::int32_t side = 0;  // dim + 1
    std::vector<std::uint32_t> first;
    std::vector<std::uint8_t> config;
    std::vector<std::uint8_t> empty_around;

    explicit CornerLayer(std::int32_t dim)
        : side(dim + 1), first(static_cast<std::size_t>(side) * side), config(first.size()), empty_around(first.size()) {}
    std::size_t at(std::int32_t i, std::int32_t j) const { return static_cast<std::size_t>(j) * side + i; }
    // The vertex of the sheet that face f of the corner's block lies in.
    std::uint32_t vertex(std::int32_t i, std::int32_t j, int f) const {
        const std::size_t c = at(i, j);
        return first[c] + static_cast<std::uint32_t>(corner_sheets(config[c], empty_around[c]).sheet[f]);
    }
    // Whether the corner's sheets join the pairs of half-edge e when paired around set voxels.
    bool joined(std::int32_t i, std::int32_t j, int e) const { return corner_sheets(config[at(i, j)]).joined >> e & 1; }
};

// Layer by layer along z: the configurations of corner layer k+1 are known before the vertices of
// layer k are made (an edge along z decides its pairing with both its ends), then the faces whose
// corners are all made: those across z in corner layer k and those across x and y in voxel layer k-1.
class BoundaryBuilder {
public:
    BoundaryBuilder(const TelesoRecord& rec, const TelesoRecord* before, Mesh& mesh)
        : rec_(rec), before_(before), mesh_(mesh), dim_(rec.dim), low_(dim_), high_(dim_), above_(dim_),
          cut_low_(dim_), cut_high_(dim_), previous_(dim_), current_(dim_), next_(dim_) {}

    // Corner layers first..last; the voxel layers outside first..last-1 must be empty (no corner
    // outside the range is passed by the surface, and the pass is the same as over all).
    void run(std::int32_t first, std::int32_t last) {
        for (std::int32_t k = first; k <= last; ++k) {
            if (k == first) {
                low_.load(rec_, k - 1);
                high_.load(rec_, k);
                if (before_) cut_high_.load(*before_, k, &rec_);
                configs_between(current_, low_, high_);
            } else {
                std::swap(low_, high_);
                std::swap(high_, above_);
                std::swap(previous_, current_);
                std::swap(current_, next_);
                if (before_) {
                    std::swap(cut_low_, cut_high_);
                    cut_high_.load(*before_, k, &rec_);
                }
            }
            above_.load(rec_, k + 1);
            configs_between(next_, high_, above_);
            vertices(k);
            z_faces();
            if (k > 0) side_faces();
        }
    }

private:
    // The blocks of the corners between two voxel layers; only those the surface passes.
    template <class Visit>
    void each_passing(const LayerRows& lower, const LayerRows& upper, Visit&& visit) {
        const std::int32_t words = lower.words_per_row();
        for (std::int32_t j = 0; j <= dim_; ++j) {
            // Rows by (dy, dz): bit dx + 2dy + 4dz of the block.
            const std::uint64_t* rows[4] = {lower.row(j - 1), lower.row(j), upper.row(j - 1), upper.row(j)};
            for (std::int32_t w = 0; w < words; ++w) {
                std::uint64_t any = 0, all = ~std::uint64_t{0};
                std::uint64_t side[8];
                for (int r = 0; r < 4; ++r) {
                    side[2 * r] = low_side(rows[r], w);
                    side[2 * r + 1] = rows[r][w];
                    any |= side[2 * r] | side[2 * r + 1];
                    all &= side[2 * r] & side[2 * r + 1];
                }
                for (std::uint64_t passing = any & ~all; passing; passing &= passing - 1) {
                    const int b = std::countr_zero(passing);
                    std::uint8_t config = 0;
                    for (int v = 0; v < 8; ++v) config = static_cast<std::uint8_t>(config | ((side[v] >> b & 1) << v));
                    visit(w * 64 + b, j, config);
                }
            }
        }
    }

    void configs_between(CornerLayer& layer, const LayerRows& lower, const LayerRows& upper) {
        each_passing(lower, upper, [&layer](std::int32_t i, std::int32_t j, std::uint8_t config) {
            layer.config[layer.at(i, j)] = config;
        });
    }

    // The vertices of corner layer k (current_), between voxel layers k-1 (low_) and k (high_).
    void vertices(std::int32_t k) {
        each_passing(low_, high_, [this, k](std::int32_t i, std::int32_t j, std::uint8_t config) {
            const CornerSheets& plain = corner_sheets(config);
            std::uint8_t empty_around = 0;
            for (std::uint8_t d = plain.joined; d; d &= static_cast<std::uint8_t>(d - 1)) {
                const int e = std::countr_zero(d);
                if (far_end_joined(i, j, e))
                    empty_around = static_cast<std::uint8_t>(empty_around | 1 << e);
            }
            add_corner(i, j, k, config, empty_around);
        });
    }

    // Whether the corner at the other end of half-edge e of corner (i, j) in current_ joins the
    // pairs of that edge too (its half-edge back is e with the other side).
    bool far_end_joined(std::int32_t i, std::int32_t j, int e) const {
        const int axis = e / 2, side = e % 2, back = half_edge_index(axis, 1 - side);
        const int step = side ? 1 : -1;
        if (axis == 0) return current_.joined(i + step, j, back);
        if (axis == 1) return current_.joined(i, j + step, back);
        return (side ? next_ : previous_).joined(i, j, back);
    }

    void add_corner(std::int32_t i, std::int32_t j, std::int32_t k, std::uint8_t config, std::uint8_t empty_around) {
        const int sheets = corner_sheets(config, empty_around).count;
        const std::size_t first = mesh_.vertex_count();
        if (first + sheets > std::numeric_limits<std::uint32_t>::max())
            throw std::length_error("more vertices than 32-bit indices hold");
        const std::size_t c = current_.at(i, j);
        current_.first[c] = static_cast<std::uint32_t>(first);
        current_.empty_around[c] = empty_around;
        for (int s = 0; s < sheets; ++s) {
            mesh_.vertices.push_back(static_cast<float>(i - 0.5));
            mesh_.vertices.push_back(static_cast<float>(j - 0.5));
            mesh_.vertices.push_back(static_cast<float>(k - 0.5));
        }
    }

    // A quad in the order that faces its normal's way when `forward`, reversed otherwise.
    void quad(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d, bool forward, bool cut) {
        if (!forward) std::swap(b, d);
        mesh_.triangles.insert(mesh_.triangles.end(), {a, b, c, a, c, d});
        const MeshPart part = cut ? MeshPart::kCut : MeshPart::kSurface;
        mesh_.parts.insert(mesh_.parts.end(), {part, part});
    }

    // The faces between voxel layers k-1 and k (low_, high_), in corner layer k; normal +z where the
    // low voxel is set.
    void z_faces() {
        const std::int32_t words = low_.words_per_row();
        for (std::int32_t y = 0; y < dim_; ++y) {
            const std::uint64_t *lo = low_.row(y), *hi = high_.row(y);
            for (std::int32_t w = 0; w < words; ++w)
                for (std::uint64_t d = lo[w] ^ hi[w]; d; d &= d - 1) {
                    const int b = std::countr_zero(d);
                    const std::int32_t x = w * 64 + b;
                    const bool up = lo[w] >> b & 1;
                    const bool cut = before_ && ((up ? cut_high_ : cut_low_).row(y)[w] >> b & 1);
                    const CornerLayer& c = current_;
                    quad(c.vertex(x, y, face_at_corner(2, 1, 1)), c.vertex(x + 1, y, face_at_corner(2, 0, 1)),
                         c.vertex(x + 1, y + 1, face_at_corner(2, 0, 0)), c.vertex(x, y + 1, face_at_corner(2, 1, 0)),
                         up, cut);
                }
        }
    }

    // The faces across x and y within voxel layer k-1 (low_), between corner layers k-1 (previous_)
    // and k (current_).
    void side_faces() {
        const std::int32_t words = low_.words_per_row();
        const CornerLayer &p = previous_, &c = current_;
        for (std::int32_t y = 0; y <= dim_; ++y) {
            const std::uint64_t* row = low_.row(y);
            const std::uint64_t* cut_row = cut_low_.row(y);
            // Across x at x - 0.5: normal +x where voxel x-1 is set.
            for (std::int32_t w = 0; y < dim_ && w < words; ++w)
                for (std::uint64_t d = low_side(row, w) ^ row[w]; d; d &= d - 1) {
                    const int b = std::countr_zero(d);
                    const std::int32_t x = w * 64 + b;
                    const bool forward = low_side(row, w) >> b & 1;
                    const bool cut = before_ && ((forward ? cut_row[w] : low_side(cut_row, w)) >> b & 1);
                    quad(p.vertex(x, y, face_at_corner(0, 1, 1)), p.vertex(x, y + 1, face_at_corner(0, 0, 1)),
                         c.vertex(x, y + 1, face_at_corner(0, 0, 0)), c.vertex(x, y, face_at_corner(0, 1, 0)), forward,
                         cut);
                }
            // Across y at y - 0.5: normal +y where row y-1 is set.
            const std::uint64_t* below = low_.row(y - 1);
            const std::uint64_t* cut_below = cut_low_.row(y - 1);
            for (std::int32_t w = 0; w < words; ++w)
                for (std::uint64_t d = below[w] ^ row[w]; d; d &= d - 1) {
                    const int b = std::countr_zero(d);
                    const std::int32_t x = w * 64 + b;
                    const bool forward = below[w] >> b & 1;
                    const bool cut = before_ && ((forward ? cut_row : cut_below)[w] >> b & 1);
                    quad(p.vertex(x, y, face_at_corner(1, 1, 1)), c.vertex(x, y, face_at_corner(1, 1, 0)),
                         c.vertex(x + 1, y, face_at_corner(1, 0, 0)), p.vertex(x + 1, y, face_at_corner(1, 0, 1)),
                         forward, cut);
                }
        }
    }

    const TelesoRecord& rec_;
    const TelesoRecord* before_;
    Mesh& mesh_;
    std::int32_t dim_;
    // Voxel layers k-1, k and k+1; what the cut cleared of layers k-1 and k; corner layers k-1, k, k+1.
    LayerRows low_, high_, above_, cut_low_, cut_high_;
    CornerLayer previous_, current_, next_;
};

std::uint32_t root_of(std::vector<std::uint32_t>& parent, std::uint32_t v) {
    while (parent[v] != v) v = parent[v] = parent[parent[v]];
    return v;
}

}  // namespace

void build_boundary(const TelesoRecord& rec, const TelesoRecord* before_cut, Mesh& mesh) {
    mesh = Mesh{};
    if (rec.dim == 0) return;
    // Only the particle's layers (those of the body before the cut, which holds the cut one) and
    // the corner layer past them hold faces: a small particle in a large grid costs its layers.
    TelesoRecord extent = before_cut ? *before_cut : rec;  // the fields measured; the voxels only read
    geometry::analyse(extent);
    if (extent.voxels == 0) return;
    BoundaryBuilder(rec, before_cut, mesh).run(extent.z_min, extent.z_max + 1);
}

void mark_pores(Mesh& mesh) {
    const std::size_t n = mesh.vertex_count();
    std::vector<std::uint32_t> parent(n);
    std::iota(parent.begin(), parent.end(), std::uint32_t{0});
    const std::vector<std::uint32_t>& t = mesh.triangles;
    for (std::size_t k = 0; k < t.size(); k += 3) {
        const std::uint32_t a = root_of(parent, t[k]);
        parent[root_of(parent, t[k + 1])] = a;
        parent[root_of(parent, t[k + 2])] = a;
    }
    // Six times the volume each shell encloses (positive around solid, negative around a void);
    // exact for the corners' half-integer coordinates.
    std::vector<double> volume(n, 0.0);
    const float* p = mesh.vertices.data();
    for (std::size_t k = 0; k < t.size(); k += 3) {
        const float *a = p + 3 * std::size_t{t[k]}, *b = p + 3 * std::size_t{t[k + 1]}, *c = p + 3 * std::size_t{t[k + 2]};
        const double det = double{a[0]} * (double{b[1]} * c[2] - double{b[2]} * c[1]) -
                           double{a[1]} * (double{b[0]} * c[2] - double{b[2]} * c[0]) +
                           double{a[2]} * (double{b[0]} * c[1] - double{b[1]} * c[0]);
        volume[root_of(parent, t[k])] += det;
    }
    for (std::size_t k = 0; k < t.size(); k += 3)
        if (volume[root_of(parent, t[k])] < 0 && mesh.parts[k / 3] == MeshPart::kSurface) mesh.parts[k / 3] = MeshPart::kPore;
}

namespace {

struct Neighbours {
    std::vector<std::uint32_t> offset;  // vertex v's neighbours are list[offset[v] .. offset[v+1])
    std::vector<std::uint32_t> list;
};

// Each quad (a, b, c, d) has the edges a-b, b-c, c-d, d-a; each edge is walked once each way by
// the two quads that share it, so a vertex hears each neighbour once from its edges leaving it.
Neighbours neighbours_of(const Mesh& mesh) {
    Neighbours nb;
    nb.offset.assign(mesh.vertex_count() + 1, 0);
    const std::vector<std::uint32_t>& t = mesh.triangles;
    const auto each_edge = [&t](auto&& visit) {
        for (std::size_t k = 0; k < t.size(); k += 6) {
            const std::uint32_t q[4] = {t[k], t[k + 1], t[k + 2], t[k + 5]};
            for (int e = 0; e < 4; ++e) visit(q[e], q[(e + 1) % 4]);
        }
    };
    each_edge([&nb](std::uint32_t from, std::uint32_t) { ++nb.offset[from + 1]; });
    std::partial_sum(nb.offset.begin(), nb.offset.end(), nb.offset.begin());
    nb.list.resize(nb.offset.back());
    std::vector<std::uint32_t> fill(nb.offset.begin(), nb.offset.end() - 1);
    each_edge([&nb, &fill](std::uint32_t from, std::uint32_t to) { nb.list[fill[from]++] = to; });
    return nb;
}

float squared_distance(const float* a, const float* b) {
    float s = 0;
    for (int i = 0; i < 3; ++i) s += (a[i] - b[i]) * (a[i] - b[i]);
    return s;
}

// Surface nets: each vertex starts at the mean of the centres of its faces (the crossings of its
// cell's edges), then Taubin's two steps a round (towards the neighbours' mean by kShrink, away
// by kInflate, so that the surface does not shrink as plain averaging makes it), each vertex kept
// within the cube of half a voxel around its corner.
constexpr double kShrink = 0.5;
constexpr double kInflate = -0.53;

void start_at_face_centres(Mesh& mesh) {
    const std::vector<float> corner = mesh.vertices;
    std::vector<double> sum(corner.size(), 0.0);
    std::vector<std::uint32_t> count(mesh.vertex_count(), 0);
    const std::vector<std::uint32_t>& t = mesh.triangles;
    for (std::size_t k = 0; k < t.size(); k += 6) {
        const std::uint32_t q[4] = {t[k], t[k + 1], t[k + 2], t[k + 5]};
        double centre[3] = {0, 0, 0};
        for (std::uint32_t v : q)
            for (int i = 0; i < 3; ++i) centre[i] += corner[3 * std::size_t{v} + i] / 4.0;
        for (std::uint32_t v : q) {
            for (int i = 0; i < 3; ++i) sum[3 * std::size_t{v} + i] += centre[i];
            ++count[v];
        }
    }
    for (std::size_t v = 0; v < count.size(); ++v)
        for (int i = 0; i < 3; ++i) mesh.vertices[3 * v + i] = static_cast<float>(sum[3 * v + i] / count[v]);
}

// Each vertex moved by `factor` of the way to its neighbours' mean, within half a voxel of its corner.
void relax(const Neighbours& nb, const std::vector<float>& corner, double factor, const std::vector<float>& now,
           std::vector<float>& next) {
    for (std::size_t v = 0; v + 1 < nb.offset.size(); ++v) {
        double sum[3] = {0, 0, 0};
        for (std::uint32_t e = nb.offset[v]; e < nb.offset[v + 1]; ++e)
            for (int i = 0; i < 3; ++i) sum[i] += now[3 * std::size_t{nb.list[e]} + i];
        const double count = nb.offset[v + 1] - nb.offset[v];
        for (int i = 0; i < 3; ++i) {
            const double here = now[3 * v + i], c = corner[3 * v + i];
            next[3 * v + i] = static_cast<float>(std::clamp(here + factor * (sum[i] / count - here), c - 0.5, c + 0.5));
        }
    }
}

}  // namespace

void smooth(Mesh& mesh, int rounds) {
    const Neighbours nb = neighbours_of(mesh);
    const std::vector<float> corner = mesh.vertices;
    start_at_face_centres(mesh);
    std::vector<float> next(mesh.vertices.size());
    for (int r = 0; r < rounds; ++r) {
        relax(nb, corner, kShrink, mesh.vertices, next);
        relax(nb, corner, kInflate, next, mesh.vertices);
    }
    // Quads (a, b, c), (a, c, d) are split along b-d instead where that diagonal is shorter.
    std::vector<std::uint32_t>& t = mesh.triangles;
    const float* p = mesh.vertices.data();
    for (std::size_t k = 0; k < t.size(); k += 6) {
        const std::uint32_t a = t[k], b = t[k + 1], c = t[k + 2], d = t[k + 5];
        if (squared_distance(p + 3 * std::size_t{b}, p + 3 * std::size_t{d}) <
            squared_distance(p + 3 * std::size_t{a}, p + 3 * std::size_t{c})) {
            const std::uint32_t split[6] = {b, c, d, b, d, a};
            std::copy(split, split + 6, t.begin() + static_cast<std::ptrdiff_t>(k));
        }
    }
}

void group_by_part(Mesh& mesh) {
    std::vector<std::uint32_t> triangles;
    std::vector<MeshPart> parts;
    triangles.reserve(mesh.triangles.size());
    parts.reserve(mesh.parts.size());
    for (int part = 0; part < kMeshParts; ++part)
        for (std::size_t k = 0; k < mesh.parts.size(); ++k)
            if (static_cast<int>(mesh.parts[k]) == part) {
                triangles.insert(triangles.end(), mesh.triangles.begin() + static_cast<std::ptrdiff_t>(3 * k),
                                 mesh.triangles.begin() + static_cast<std::ptrdiff_t>(3 * k + 3));
                parts.push_back(mesh.parts[k]);
            }
    mesh.triangles.swap(triangles);
    mesh.parts.swap(parts);
}

}  // namespace tarvo::mesh
