// Pictures of a particle: a shaded view from any direction, with the face of a cut in a colour of
// its own, and single layers.
//
// API
//   Direction                       towards the viewer from the particle (need not be unit length)
//   named_view(name, dir)           x, y, z, -x, -y, -z, iso and iso+++ ... iso--- into a Direction
//   facing_cut(x, y, z)             the direction the removed side of a cut lies in, if any
//   RenderRequest                   direction, picture edge, the body before a cut (for its face)
//   render_view(rec, request)       size x size pixels, the particle in frame
//   render_slice(rec, axis, k, size)  layer k across axis 0 (x), 1 (y) or 2 (z)
//   copy_voxels(from, to)           the bitmap of one body into another of the same edge
//   kBackground, kMaterial, kCutFace  the colours, for readers of the pictures
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "image.h"
#include "progress.h"
#include "tarvo/body.h"

namespace tarvo::tools {

struct Direction {
    double x = 1, y = 1, z = 1;
};

inline constexpr Rgb kBackground{246, 246, 246};
inline constexpr Rgb kMaterial{222, 190, 140};
// Cool against the warm material, so the cut reads apart from the particle's own surface under
// any shading.
inline constexpr Rgb kCutFace{120, 160, 215};
inline constexpr Rgb kSliceEmpty{28, 28, 34};

// The camera keeps z up on the picture (x right, y up when looking along z: from +z with x to
// the right, from -z with x to the right and y down); false for an unknown name.
bool named_view(const std::string& name, Direction& dir);

// The normal of the cut plane on the side of the voxels it clears, (1/x, 1/y, 1/z) in IEEE
// arithmetic on the lengths as tarvo reads them; zero lengths (infinite terms) win over finite
// ones. Nothing when the cut clears no voxel whatever the particle (NaN, all lengths infinite).
std::optional<Direction> facing_cut(float x_cut, float y_cut, float z_cut);

// How rays find the first voxel they meet, all with the same result: leaping over empty blocks,
// drawing every voxel's cube (fast for few voxels), or walking voxel by voxel from where they
// enter the particle's box (slow; the reference for tests). kChoose picks leaping or cubes.
enum class Tracing { kChoose, kLeap, kCubes, kWalk };

struct RenderRequest {
    Direction from;  // the viewer looks from the grid's middle along this direction back at it
    int size = 800;
    // The same particle before a cut: faces of `rec` whose neighbour the cut cleared are drawn in
    // kCutFace, and the frame is this body's, so the cut part leaves its room empty.
    const TelesoRecord* before_cut = nullptr;
    Progress* progress = nullptr;
    Tracing tracing = Tracing::kChoose;
};

// The frame is the smallest cube around the grid's middle that holds the particle, so pictures
// of a particle before and after a cut that leaves its far side line up. Every pixel's rays are
// followed through the voxel grid to the first set voxel (exact, cube by cube), skipping empty
// blocks; that voxel is shaded by a normal smoothed over its neighbourhood, mixed with the cube
// face's own, darker in hollows and outlined where the depth jumps, then anti-aliased.
Image render_view(const TelesoRecord& rec, const RenderRequest& request);
// Set voxels in kMaterial, empty ones in kSliceEmpty; the layer fills the picture, first axis to
// the right, second up (z: x right, y up; y: x right, z up; x: y right, z up).
Image render_slice(const TelesoRecord& rec, int axis, std::int32_t k, int size);

void copy_voxels(const TelesoRecord& from, TelesoRecord& to);

}  // namespace tarvo::tools
