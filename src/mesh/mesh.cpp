// make_mesh: the steps of the surface in order, and the failures they may meet.
#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

#include "mesh/surface.h"
#include "tarvo/geometry.h"
#include "tarvo/mesh.h"

namespace tarvo {

namespace {

// A copy of the body cut as the tarvo program cuts it. Only the bytes of the particle's layers are
// copied into the cleared block: a small particle in a large grid touches its own pages.
Status cut_copy(const TelesoRecord& rec, CutLengths lengths, Body& kept) {
    if (Status s = kept.create(rec.dim); !s) return s;
    TelesoRecord extent = rec;  // the fields measured; the voxels only read
    geometry::analyse(extent);
    if (extent.voxels > 0) {
        const std::int64_t layer = std::int64_t{rec.dim} * rec.dim;
        const auto from = static_cast<std::size_t>(layer * extent.z_min / 8);
        const auto to = static_cast<std::size_t>(std::min<std::int64_t>(layer * (extent.z_max + 1) / 8 + 1, rec.size));
        std::memcpy(kept.rec.data + from, rec.data + from, to - from);
    }
    cut_as_program(kept.rec, lengths);
    return {};
}

}  // namespace

Status make_mesh(const TelesoRecord& rec, const MeshOptions& options, Mesh& mesh) {
    try {
        Body kept;
        if (options.cut)
            if (Status s = cut_copy(rec, *options.cut, kept); !s) return s;
        const TelesoRecord& surface_of = options.cut ? kept.rec : rec;
        mesh::build_boundary(surface_of, options.cut ? &rec : nullptr, mesh);
        mesh::mark_pores(mesh);
        if (options.kind == MeshKind::kSmooth) mesh::smooth(mesh, options.smoothing_rounds);
        mesh::group_by_part(mesh);
    } catch (const std::bad_alloc&) {
        mesh = Mesh{};
        return fail(Error::kOutOfMemory, {}, 0, rec.dim);
    } catch (const std::length_error&) {
        mesh = Mesh{};
        return fail(Error::kOutOfMemory, {}, 0, rec.dim);
    }
    return {};
}

void scale_mesh(Mesh& mesh, double sx, double sy, double sz) {
    const double scale[3] = {sx, sy, sz};
    for (std::size_t k = 0; k < mesh.vertices.size(); ++k)
        mesh.vertices[k] = static_cast<float>(mesh.vertices[k] * scale[k % 3]);
}

}  // namespace tarvo
