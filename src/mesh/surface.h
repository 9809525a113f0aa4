// surface: the steps of make_mesh (tarvo/mesh.h), each on the mesh as it stands.
//
// API
//   LayerRows                       one layer of voxels as rows of 64-bit words (bit x of a row is
//                                   voxel x), zero outside the grid: the only per-layer memory
//   build_boundary(rec, before_cut, mesh)
//                                   the faces between set and empty voxels as quads (two triangles
//                                   each, (a, b, c) and (a, c, d)), vertices at the corners, one
//                                   per sheet; faces facing a voxel set in `before_cut` (when
//                                   given) and not in rec are cut faces. Layer by layer: memory for
//                                   two layers besides the mesh
//   mark_pores(mesh)                the triangles of shells with negative volume become pore walls
//   smooth(mesh, rounds)            surface nets: each vertex from the mean of its faces' centres,
//                                   then Taubin's smoothing within its corner's cell; each quad
//                                   split along its shorter diagonal
//   group_by_part(mesh)             the triangles in the order of the parts, pairs kept together
#pragma once

#include <cstdint>
#include <vector>

#include "tarvo/body.h"
#include "tarvo/mesh.h"

namespace tarvo::mesh {

class LayerRows {
public:
    explicit LayerRows(std::int32_t dim);
    // Layer z of rec (or, with `minus`, of rec and not minus); all zero for z outside the grid.
    void load(const TelesoRecord& rec, std::int32_t z, const TelesoRecord* minus = nullptr);
    // Row y, -1 to dim; the rows outside the grid are zero.
    const std::uint64_t* row(std::int32_t y) const { return words_.data() + static_cast<std::size_t>(y + 1) * words_per_row_; }
    std::int32_t words_per_row() const { return words_per_row_; }

private:
    std::int32_t dim_;
    std::int32_t words_per_row_;
    std::vector<std::uint64_t> words_;
};

// Throws std::bad_alloc, or std::length_error when the vertices outgrow 32-bit indices.
void build_boundary(const TelesoRecord& rec, const TelesoRecord* before_cut, Mesh& mesh);
void mark_pores(Mesh& mesh);
void smooth(Mesh& mesh, int rounds);
void group_by_part(Mesh& mesh);

}  // namespace tarvo::mesh
