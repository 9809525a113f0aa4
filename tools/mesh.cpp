// tarvo-tools mesh: the surface of a particle, whole or cut, as STL, PLY or OBJ for ParaView,
// Blender, MeshLab and 3D printers. The mesh itself is the library's (tarvo/mesh.h).
#include <optional>

#include "common.h"
#include "progress.h"
#include "plane.h"
#include "subcommands.h"
#include "tarvo/geometry.h"
#include "tarvo/mesh.h"
#include "volume.h"

namespace tarvo::tools {
namespace {

const char kUsageText[] =
    "Usage: tarvo-tools mesh FILE.3d OUT.stl|OUT.ply|OUT.obj [--cut X Y Z] [--smooth] [--ascii]\n"
    "                        [--spacing X[,Y,Z]]\n"
    "\n"
    "Writes the surface of the particle as a closed, consistently oriented (normals outwards),\n"
    "manifold triangle mesh; the format follows the output's extension.\n"
    "  (default)    the voxel boundary: every face between a set and an empty voxel, two\n"
    "               triangles each; its volume is the voxel count exactly\n"
    "  --smooth     the same faces with their corners relaxed: surface nets, 24 rounds of\n"
    "               Taubin's smoothing, each corner kept within half a voxel of its place\n"
    "  --cut X Y Z  cut the particle first, exactly as `tarvo FILE.3d OUT.3d X Y Z` does; the\n"
    "               faces facing voxels the cut removed are the cut face\n"
    "  --ascii      text STL or PLY instead of binary (OBJ is always text)\n"
    "  --spacing X[,Y,Z]  the size of a voxel along x, y and z (default: FILE.3d.json beside the\n"
    "                     particle, else 1: voxel units)\n"
    "\n"
    "Coordinates: voxel (x, y, z) is the cube of edge 1 around the point (x, y, z). Parts: PLY\n"
    "colours each triangle (surface sand, cut face blue-grey, walls of enclosed pores rust), OBJ\n"
    "puts them in the groups surface, cut and pores; STL has no parts. Where voxels meet only\n"
    "along an edge or at a corner, the surface is split there, so every edge has two triangles.\n";

constexpr double kMaxSpacing = 1e9;

// The plane of the cut, if any, from the options that give one (--cut X Y Z, as tarvo reads its
// lengths); taken out of the arguments.
std::optional<CutLengths> take_cut_lengths(Args& args) {
    const std::optional<std::array<std::string, 3>> text = take_cut(args);
    if (!text) return std::nullopt;
    return lengths_of(*text);
}

MeshFormat format_or_usage(const std::string& out) {
    if (const std::optional<MeshFormat> f = mesh_format_of(out)) return *f;
    if (out == kStandardOutput)
        throw UsageError("the format follows the output's name: name it OUT.stl, OUT.ply or OUT.obj "
                         "(/dev/stdout is not named by a format either)");
    throw UsageError("unknown output format '" + out + "': the name must end in .stl, .ply or .obj");
}

int run_mesh(const Args& raw) {
    Args args = raw;
    MeshOptions options;
    options.cut = take_cut_lengths(args);
    const Arguments a = parse_arguments(args, {"--spacing"}, {"--smooth", "--ascii"});
    expect_positional(a, 2, "FILE.3d OUT.stl|OUT.ply|OUT.obj");
    const std::string& in = a.positional[0];
    const std::string& out = a.positional[1];
    const MeshFormat format = format_or_usage(out);
    std::array<double, 3> spacing{1, 1, 1};
    if (const std::string* s = a.value("--spacing")) spacing = triple("--spacing", *s, 1e-9, kMaxSpacing);
    if (a.has("--smooth")) options.kind = MeshKind::kSmooth;

    Progress progress("mesh");
    progress.stage("reading " + in);
    Body body;
    load_or_fail(in, body);
    if (!a.value("--spacing")) spacing = particle_voxel_size(in).size;
    progress.stage(options.kind == MeshKind::kSmooth ? "making the smooth surface" : "making the surface");
    Mesh mesh;
    if (const Status s = make_mesh(body.rec, options, mesh); !s) fail_with(s);
    body = Body{};  // the grid is no longer needed while the file is written
    if (spacing != std::array<double, 3>{1, 1, 1}) scale_mesh(mesh, spacing[0], spacing[1], spacing[2]);
    progress.stage("writing " + out);
    write_mesh_or_fail(out, mesh, format, a.has("--ascii"));
    return kDone;
}

}  // namespace

const Subcommand kMesh{"mesh", "the surface as STL, PLY or OBJ: voxel boundary or smooth, whole or cut",
                       kUsageText, run_mesh};

}  // namespace tarvo::tools
