// The arithmetic of the plane sum S = ((x-cx)/x_cut + (y-cy)/y_cut) + (z-cz)/z_cut: IEEE extended
// precision with a 64-bit significand, round to nearest even, exceptions masked. Every plane
// decision of the program goes through plane_term / plane_add / plane_beyond, so the choice of
// arithmetic is made here alone:
//   - hardware long double where it is that format (x87 on x86) and TARVO_SOFT_EXTENDED is off;
//   - otherwise SoftExtended (soft_extended.h), which gives the same bits in integer arithmetic.
#pragma once

#include <cfloat>
#include <cstdint>

#include "geometry/soft_extended.h"

namespace geometry {

#if defined(TARVO_SOFT_EXTENDED) || LDBL_MANT_DIG != 64

inline constexpr bool kSoftPlane = true;
using PlaneValue = SoftExtended;

inline PlaneValue plane_term(std::int32_t offset, float cut) { return soft_quotient(offset, cut); }
inline PlaneValue plane_add(PlaneValue a, PlaneValue b) { return soft_add(a, b); }
inline bool plane_beyond(PlaneValue s) { return soft_above_one(s); }

#else

inline constexpr bool kSoftPlane = false;
using PlaneValue = long double;

// offset / cut, each carried exactly into the extended format, the quotient rounded once.
inline PlaneValue plane_term(std::int32_t offset, float cut) {
    return static_cast<long double>(offset) / static_cast<long double>(cut);
}

inline PlaneValue plane_add(PlaneValue a, PlaneValue b) { return a + b; }

// Ordered comparison: a NaN sum is not beyond the plane.
inline bool plane_beyond(PlaneValue s) { return s > 1.0L; }

#endif

// The whole decision for one voxel, in the grouping of the definition.
inline bool voxel_beyond(std::int32_t u, std::int32_t v, std::int32_t w, float x_cut, float y_cut,
                         float z_cut) {
    return plane_beyond(plane_add(plane_add(plane_term(u, x_cut), plane_term(v, y_cut)),
                                  plane_term(w, z_cut)));
}

}  // namespace geometry
