// Particle characteristics: count, bounding box, means, centre.
#include "geometry/passes.h"

namespace tarvo {
namespace {

struct Sums {
    std::int64_t x = 0, y = 0, z = 0;  // 64-bit: a full grid of edge 1290 overflows 32 bits
};

void finish_means(TelesoRecord& rec, const Sums& s) {
    if (rec.voxels == 0) return;
    rec.x_mean = static_cast<std::int32_t>(s.x / rec.voxels);
    rec.y_mean = static_cast<std::int32_t>(s.y / rec.voxels);
    rec.z_mean = static_cast<std::int32_t>(s.z / rec.voxels);
}

}  // namespace

namespace geometry {

void set_empty_measurement(TelesoRecord& rec) {
    rec.x_min = rec.y_min = rec.z_min = rec.dim - 1;
    rec.x_max = rec.y_max = rec.z_max = 0;
    rec.x_mean = rec.y_mean = rec.z_mean = 0;
    rec.voxels = 0;
}

void reference::analyse(TelesoRecord& rec) {
    set_empty_measurement(rec);
    Sums s;
    const std::int32_t n = rec.dim;
    for (std::int32_t x = 0; x < n; ++x)
        for (std::int32_t y = 0; y < n; ++y)
            for (std::int32_t z = 0; z < n; ++z) {
                if (!Get_voxel(rec, x, y, z)) continue;
                ++rec.voxels;
                if (x < rec.x_min) rec.x_min = x;
                if (x > rec.x_max) rec.x_max = x;
                if (y < rec.y_min) rec.y_min = y;
                if (y > rec.y_max) rec.y_max = y;
                if (z < rec.z_min) rec.z_min = z;
                if (z > rec.z_max) rec.z_max = z;
                s.x += x;
                s.y += y;
                s.z += z;
            }
    finish_means(rec, s);
}

}  // namespace geometry

void Analyse_teleso(TelesoRecord& rec) { geometry::analyse(rec); }

Center Get_center(const TelesoRecord& rec) {
    // The fields are valid coordinates (or dim-1 and 0), so the sums cannot overflow.
    return Center{(rec.x_min + rec.x_max) / 2, (rec.y_min + rec.y_max) / 2,
                  (rec.z_min + rec.z_max) / 2};
}

}  // namespace tarvo
