// tarvo/mesh.h: the surface of a particle (whole or cut) as a triangle mesh, and its files.
//
// API
//   MeshKind                          kBoundary: every face between a set and an empty voxel (its
//                                     volume is the voxel count exactly); kSmooth: the same faces
//                                     with their corners relaxed (surface nets, Taubin's smoothing
//                                     within each corner's cell)
//   MeshPart                          what a triangle belongs to: the particle's own surface, the
//                                     face of a cut, or the wall of an enclosed pore
//   Mesh                              vertices (x, y, z), triangles (three vertex indices each,
//                                     counter-clockwise seen from outside), a part per triangle;
//                                     triangles grouped by part, in the order of MeshPart
//   MeshOptions                       the kind, the cut (as tarvo cuts), smoothing rounds
//   make_mesh(rec, options, mesh)     the closed, consistently oriented, manifold surface;
//                                     kOutOfMemory when it does not fit
//   scale_mesh(mesh, sx, sy, sz)      multiply the coordinates (a voxel size other than 1)
//   MeshFormat, mesh_format_of(path)  STL, PLY or OBJ by the name's extension (any case)
//   write_mesh(path, mesh, format, ascii, protect)
//                                     the file through the library's safe output; binary STL and
//                                     PLY unless ascii (OBJ is text); parts as PLY face colours
//                                     and OBJ groups (STL has none)
//   kPartColours                      the PLY colours of the parts
//
// Coordinates are in voxel units: voxel (x, y, z) is the unit cube around the point (x, y, z), so
// a particle of edge n lies within -0.5 .. n-0.5 on each axis. Outside the grid every voxel is
// empty, so the surface closes at the grid's border and at the cut.
//
// Each vertex belongs to one corner of the voxel grid. Where voxels meet only along an edge or at
// a corner, the surface is split there (the particle's voxels join through faces only; empty
// voxels join through edges and corners too): a corner gets one vertex per sheet of surface that
// passes it, so every edge has exactly two triangles and every vertex one fan of them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tarvo/body.h"
#include "tarvo/file.h"
#include "tarvo/geometry.h"
#include "tarvo/status.h"

namespace tarvo {

enum class MeshKind { kBoundary, kSmooth };

// A pore is a closed shell that encloses empty space (negative volume); a pore the cut opens is
// part of the surface.
enum class MeshPart : std::uint8_t { kSurface = 0, kCut = 1, kPore = 2 };
inline constexpr int kMeshParts = 3;

struct Mesh {
    std::vector<float> vertices;           // x, y, z of each vertex
    std::vector<std::uint32_t> triangles;  // three vertex indices a triangle
    std::vector<MeshPart> parts;           // one a triangle

    std::size_t vertex_count() const { return vertices.size() / 3; }
    std::size_t triangle_count() const { return triangles.size() / 3; }
};

// The smooth mesh is surface nets: each vertex starts at the mean of the centres of its faces, then
// each round takes Taubin's two steps (half way towards the mean of its neighbours, then 0.53 of
// the way back, so that the surface does not shrink), each vertex kept within the cube of half a
// voxel around its corner; each quad is split along its shorter diagonal.
inline constexpr int kSmoothingRounds = 24;

struct MeshOptions {
    MeshKind kind = MeshKind::kBoundary;
    // Cut the particle first, as the tarvo program cuts it (cut_as_program); faces of kept voxels
    // that face voxels the cut cleared are MeshPart::kCut. The body given is not changed.
    std::optional<CutLengths> cut;
    int smoothing_rounds = kSmoothingRounds;
};

Status make_mesh(const TelesoRecord& rec, const MeshOptions& options, Mesh& mesh);

void scale_mesh(Mesh& mesh, double sx, double sy, double sz);

enum class MeshFormat { kStl, kPly, kObj };
std::optional<MeshFormat> mesh_format_of(const std::string& path);

// The colours (red, green, blue) of the parts in PLY files: sand, blue-grey, rust.
inline constexpr std::array<std::array<std::uint8_t, 3>, kMeshParts> kPartColours{
    {{222, 190, 140}, {120, 160, 215}, {190, 90, 60}}};
// The OBJ group names of the parts.
inline constexpr std::array<const char*, kMeshParts> kPartNames{"surface", "cut", "pores"};

Status write_mesh(const std::string& path, const Mesh& mesh, MeshFormat format, bool ascii = false,
                  Protected protect = {});

}  // namespace tarvo
