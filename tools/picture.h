// Pictures of a particle: a shaded view along an axis or from a corner, and single layers.
//
// API
//   View                            kIso (from the + + + corner), kX, kY, kZ (from the + side)
//   render_view(rec, view, size)    size x size pixels, the particle in frame
//   render_slice(rec, axis, k, size)  layer k across axis 0 (x), 1 (y) or 2 (z)
//   kBackground, kMaterial          the colours, for readers of the pictures
#pragma once

#include <cstdint>

#include "image.h"
#include "teleso/teleso.h"

namespace tools {

enum class View { kIso, kX, kY, kZ };

inline constexpr Rgb kBackground{246, 246, 246};
inline constexpr Rgb kMaterial{222, 190, 140};
inline constexpr Rgb kSliceEmpty{28, 28, 34};

// The frame is the smallest cube around the grid's middle that holds the particle, so pictures
// of a particle before and after a cut that leaves its far side line up. Visible
// voxels are drawn as cubes (exact hidden-surface removal) and shaded by a normal smoothed over
// their neighbourhood, mixed with the cube face's own, then anti-aliased.
Image render_view(const TelesoRecord& rec, View view, int size);
// Set voxels in kMaterial, empty ones in kSliceEmpty; the layer fills the picture, first axis to
// the right, second up (z: x right, y up; y: x right, z up; x: y right, z up).
Image render_slice(const TelesoRecord& rec, int axis, std::int32_t k, int size);

}  // namespace tools
