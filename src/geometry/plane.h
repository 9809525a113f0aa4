// The arithmetic of the plane sum S = ((x-cx)/x_cut + (y-cy)/y_cut) + (z-cz)/z_cut: IEEE extended
// precision with a 64-bit significand, round to nearest even, exceptions masked. Every plane
// decision of the program goes through plane_term / plane_add / plane_beyond, so the choice of
// arithmetic is made here alone:
//   - HardwarePlane, long double, where it is that format (x87 on x86) and the build option
//     TARVO_SOFT_EXTENDED is off;
//   - otherwise SoftPlane, SoftExtended (soft_extended.h), the same bits in integer arithmetic.
// Both are spelled out as types so that benchmarks can run them side by side.
#pragma once

#include <cfloat>
#include <cstdint>

#include "geometry/soft_extended.h"

namespace tarvo::geometry {

struct SoftPlane {
    using Value = SoftExtended;
    static Value term(std::int32_t offset, float cut) { return soft_quotient(offset, cut); }
    static Value add(Value a, Value b) { return soft_add(a, b); }
    static bool beyond(Value s) { return soft_above_one(s); }
};

#if LDBL_MANT_DIG == 64
struct HardwarePlane {
    using Value = long double;
    // offset / cut, each carried exactly into the extended format, the quotient rounded once.
    static Value term(std::int32_t offset, float cut) {
        return static_cast<long double>(offset) / static_cast<long double>(cut);
    }
    static Value add(Value a, Value b) { return a + b; }
    // Ordered comparison: a NaN sum is not beyond the plane.
    static bool beyond(Value s) { return s > 1.0L; }
};
#endif

#if defined(TARVO_SOFT_EXTENDED) || LDBL_MANT_DIG != 64
using PlaneArithmetic = SoftPlane;
inline constexpr bool kSoftPlane = true;
#else
using PlaneArithmetic = HardwarePlane;
inline constexpr bool kSoftPlane = false;
#endif

using PlaneValue = PlaneArithmetic::Value;

inline PlaneValue plane_term(std::int32_t offset, float cut) { return PlaneArithmetic::term(offset, cut); }
inline PlaneValue plane_add(PlaneValue a, PlaneValue b) { return PlaneArithmetic::add(a, b); }
inline bool plane_beyond(PlaneValue s) { return PlaneArithmetic::beyond(s); }

// The whole decision for one voxel, in the grouping of the definition.
inline bool voxel_beyond(std::int32_t u, std::int32_t v, std::int32_t w, float x_cut, float y_cut,
                         float z_cut) {
    return plane_beyond(plane_add(plane_add(plane_term(u, x_cut), plane_term(v, y_cut)),
                                  plane_term(w, z_cut)));
}

}  // namespace tarvo::geometry
