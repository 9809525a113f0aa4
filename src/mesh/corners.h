// corners: how the surface passes one corner of the voxel grid, from the eight voxels around it.
//
// API
//   corner_config(bits)            the eight voxels around a corner as one byte: voxel (dx, dy, dz)
//                                  of the 2x2x2 block (dx, dy, dz in 0..1) is bit dx + 2dy + 4dz
//   face_at_corner(axis, u, v)     the index (0..11) of a face through the corner: the face
//                                  between the two voxels of the block that differ along `axis`
//                                  and sit at u and v on the other two axes (in x, y, z order)
//   half_edge_index(axis, side)    the half-edges from the corner: along x, y, z to the low (0) or
//                                  high (1) side; bit e of the masks below
//   CornerSheets, corner_sheets(c, empty_around)
//                                  the sheets of surface through the corner: how many, the sheet
//                                  of each of the twelve faces (-1 where there is none), and which
//                                  half-edges are diagonals and which of those join their pairs
//
// Around each of the six half-edges from the corner the faces pair up, and the pairs chain into
// cycles, one a sheet. Two faces pair. Four faces (two set voxels diagonally opposite) pair
// around the same set voxel, so the particle joins through faces only; but where the block's set
// voxels join those two anyway, that sheet passes the edge twice ("joined"), and if it does so at
// both ends of the edge, two triangle edges would join the same two vertices. On such an edge both
// ends pair around the empty voxels instead (bit e of empty_around), which parts each end's sheet
// in two: the two empty voxels cannot be joined elsewhere around the corner as well.
#pragma once

#include <array>
#include <cstdint>

namespace tarvo::mesh {

inline constexpr int kCornerFaces = 12;

constexpr int face_at_corner(int axis, int u, int v) { return axis * 4 + u + 2 * v; }

constexpr int half_edge_index(int axis, int side) { return 2 * axis + side; }

struct CornerSheets {
    std::int8_t count = 0;
    std::array<std::int8_t, kCornerFaces> sheet{};
    std::uint8_t diagonal = 0;  // half-edges with four faces
    std::uint8_t joined = 0;    // diagonals whose pairs are one sheet when paired around the set voxels
};

// The table of all 256 blocks and choices, made once.
const CornerSheets& corner_sheets(std::uint8_t config, std::uint8_t empty_around = 0);

}  // namespace tarvo::mesh
