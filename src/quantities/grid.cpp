// The bounding box of a particle, and the box one byte a voxel for the cell-by-cell references.
#include "quantities/grid.h"

namespace tarvo::quantities {

BoxExtent box_extent(const TelesoRecord& rec, std::int32_t margin) {
    BoxExtent e;
    e.first = {rec.x_min, rec.y_min, rec.z_min};
    e.last = {rec.x_max, rec.y_max, rec.z_max};
    for (int k = 0; k < 3; ++k) {
        e.lo[k] = e.first[k] - margin;
        e.size[k] = std::int64_t{e.last[k]} - e.first[k] + 1 + 2 * std::int64_t{margin};
    }
    return e;
}

BoxGrid box_grid(const TelesoRecord& rec, std::int32_t margin) {
    BoxGrid g;
    const BoxExtent e = box_extent(rec, margin);
    const std::array<std::int32_t, 3>&lo = e.first, &hi = e.last;
    g.lo = e.lo;
    g.size = e.size;
    g.cells.assign(static_cast<std::size_t>(g.size[0] * g.size[1] * g.size[2]), 0);
    const std::int64_t row = hi[0] - lo[0] + 1;
    for (std::int32_t z = lo[2]; z <= hi[2]; ++z)
        for (std::int32_t y = lo[1]; y <= hi[1]; ++y) {
            std::uint8_t* out = &g.cells[static_cast<std::size_t>(g.index(margin, y - g.lo[1], z - g.lo[2]))];
            unpack_voxels(rec, voxel_index(rec.dim, lo[0], y, z), row, out, 1, 0);
        }
    return g;
}

}  // namespace tarvo::quantities
