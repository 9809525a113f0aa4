// The plane cut.
#include <cstdlib>

#include "geometry/passes.h"
#include "geometry/plane.h"

namespace tarvo {

float Cut_length(const char* text) { return static_cast<float>(std::atof(text)); }

namespace geometry::reference {

void cut(TelesoRecord& rec, Center c, float x_cut, float y_cut, float z_cut) {
    const std::int32_t n = rec.dim;
    for (std::int32_t z = 0; z < n; ++z) {
        const PlaneValue tz = plane_term(z - c.z, z_cut);
        for (std::int32_t y = 0; y < n; ++y) {
            const PlaneValue ty = plane_term(y - c.y, y_cut);
            for (std::int32_t x = 0; x < n; ++x) {
                const PlaneValue s = plane_add(plane_add(plane_term(x - c.x, x_cut), ty), tz);
                if (plane_beyond(s)) Set_voxel(rec, x, y, z, 0);
            }
        }
    }
}

}  // namespace geometry::reference

void Cut_teleso(TelesoRecord& rec, Center c, float x_cut, float y_cut, float z_cut) {
    geometry::cut(rec, c, x_cut, y_cut, z_cut);
}

}  // namespace tarvo
