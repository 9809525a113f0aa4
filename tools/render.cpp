// tarvo-tools render: a PNG picture of a particle, whole or cut.
#include <algorithm>
#include <cstdlib>
#include <limits>
#include <optional>

#include "common.h"
#include "tarvo/geometry.h"
#include "picture.h"
#include "progress.h"
#include "plane.h"
#include "subcommands.h"

namespace tarvo::tools {
namespace {

const char kUsageText[] =
    "Usage: tarvo-tools render FILE.3d OUT.png [--cut X Y Z | --normal NX NY NZ [--through X Y Z] [--keep +|-]]\n"
    "                          [--view V | --from DX,DY,DZ] [--slice AXIS:K] [--size N]\n"
    "\n"
    "  --cut X Y Z  cut the particle first, exactly as `tarvo FILE.3d OUT.3d X Y Z` does, and\n"
    "               draw the cut face in blue-grey (the particle's own surface stays sand-\n"
    "               coloured); by default the view looks at the face from the side the cut\n"
    "               removed, whatever the signs of the lengths\n"
    "  --normal NX NY NZ  cut by the plane with this normal instead, exactly as\n"
    "               `tarvo-tools cut --normal` does (the same voxels), drawn and looked at the same way\n"
    "  --through X Y Z  a point of that plane (default: the particle's centre)\n"
    "  --keep +|-   the side of that plane kept (default -)\n"
    "  --view iso   (default without --cut) from the corner of largest x, y and z, where cuts\n"
    "               such as `1 1 99999` or `20 20 20` open the particle\n"
    "  --view iso+-+  from another corner: the signs of its x, y and z (iso+++ is iso)\n"
    "  --view x|y|z|-x|-y|-z  along an axis from its + or - side (x: y right, z up; y: x to\n"
    "               the left, z up; z: x right, y up; -z: x right, y down)\n"
    "  --from DX,DY,DZ  from any direction, e.g. --from 1,2,0.5; z stays up on the picture\n"
    "  --slice AXIS:K  only layer K (0 to edge-1) across AXIS x, y or z, set voxels light on\n"
    "               dark (z: x right, y up; y: x right, z up; x: y right, z up); with --cut,\n"
    "               a layer of the cut particle\n"
    "  --size N     picture edge in pixels, 16 to 4096 (default 800)\n"
    "\n"
    "The frame is the smallest cube around the grid's middle holding the particle (before the\n"
    "cut, with --cut), so pictures before and after a cut that leaves the far side line up.\n";

constexpr int kDefaultSize = 800;
constexpr double kMaxFrom = 1e6;

Direction parse_view(const std::string& text) {
    Direction d;
    if (!named_view(text, d))
        throw UsageError("--view: '" + text + "' is not iso, iso+-+ (any signs), x, y, z, -x, -y or -z");
    return d;
}

Direction parse_from(const std::string& text) {
    const auto t = triple("--from", text, -kMaxFrom, kMaxFrom);
    if (t[0] == 0 && t[1] == 0 && t[2] == 0) throw UsageError("--from: the direction 0,0,0 points nowhere");
    return {t[0], t[1], t[2]};
}

struct SliceRequest {
    int axis = 0;
    long index = 0;
};

SliceRequest parse_slice(const std::string& text) {
    if (text.size() < 3 || text[1] != ':' || (text[0] != 'x' && text[0] != 'y' && text[0] != 'z'))
        throw UsageError("--slice: '" + text + "' is not AXIS:K, e.g. z:32");
    return {text[0] - 'x', integer("--slice", text.substr(2), 0, tarvo::kMaxDim - 1)};
}

// The direction of a normal given in decimals: each scaled by the same power of ten, so that
// normals of any size (1e-400 or 1e400) point where they should in doubles.
Direction direction_of(const std::array<Decimal, 3>& n) {
    std::int64_t most = std::numeric_limits<std::int64_t>::min();
    for (const Decimal& d : n)
        if (!d.zero()) most = std::max<std::int64_t>(most, static_cast<std::int64_t>(d.digits.size()) + d.exponent);
    double v[3];
    for (int k = 0; k < 3; ++k) {
        if (n[k].zero()) {
            v[k] = 0;
            continue;
        }
        const std::string text = n[k].digits + "e" + std::to_string(n[k].exponent - most);
        v[k] = (n[k].negative ? -1 : 1) * std::strtod(text.c_str(), nullptr);
    }
    return {v[0], v[1], v[2]};
}

// A cut of either form: tarvo's lengths or a plane through a point.
struct CutRequest {
    std::optional<std::array<std::string, 3>> lengths;
    std::optional<PointPlane> plane;
};

// Cuts the body (as tarvo does, or as cut --normal does), keeping the body as it was in `before`
// unless that is null. Returns the direction the cleared side lies in, if the cut has one.
std::optional<Direction> cut_body(Body& body, Body* before, const CutRequest& cut) {
    if (before) {
        allocate_or_fail(*before, body.rec.dim);
        copy_voxels(body.rec, before->rec);
    }
    if (cut.plane) {
        cut_through(body.rec, *cut.plane);
        const Direction n = direction_of(cut.plane->normal);
        const double side = cut.plane->keep_plus ? -1 : 1;  // the removed side
        return Direction{side * n.x, side * n.y, side * n.z};
    }
    const CutLengths l = lengths_of(*cut.lengths);
    cut_as_program(body.rec, l);
    return facing_cut(l.x, l.y, l.z);
}

int run_render(const Args& raw) {
    Args args = raw;
    CutRequest cut;
    cut.lengths = take_cut(args);
    cut.plane = take_plane(args).plane;
    if (cut.lengths && cut.plane) throw UsageError("--cut and --normal exclude each other");
    const Arguments a = parse_arguments(args, {"--view", "--from", "--slice", "--size"}, {});
    expect_positional(a, 2, "FILE.3d OUT.png");
    if (a.has("--view") && a.has("--from")) throw UsageError("--view and --from exclude each other");
    if (a.has("--slice") && (a.has("--view") || a.has("--from")))
        throw UsageError("--slice excludes --view and --from");
    std::optional<Direction> view;
    if (a.value("--view")) view = parse_view(*a.value("--view"));
    if (a.value("--from")) view = parse_from(*a.value("--from"));
    const int size = a.value("--size") ? static_cast<int>(integer("--size", *a.value("--size"), 16, 4096))
                                       : kDefaultSize;
    SliceRequest slice;
    if (a.value("--slice")) slice = parse_slice(*a.value("--slice"));
    const std::string& in = a.positional[0];
    const std::string& out = a.positional[1];
    check_output_name(out, ".png", "a PNG picture");

    Progress progress("render");
    progress.stage("reading " + in);
    Body body, before;
    load_or_fail(in, body);
    RenderRequest request;
    request.size = size;
    request.progress = &progress;
    if (cut.lengths || cut.plane) {
        progress.stage("cutting");
        const bool slicing = a.has("--slice");  // a layer shows no faces
        const std::optional<Direction> cleared_side = cut_body(body, slicing ? nullptr : &before, cut);
        if (!view) view = cleared_side;
        request.before_cut = &before.rec;
    }
    if (view) request.from = *view;
    Image picture;
    if (a.value("--slice")) {
        if (slice.index >= body.rec.dim)
            throw UsageError("--slice: layer " + std::to_string(slice.index) + " is outside '" + in +
                             "' (edge " + std::to_string(body.rec.dim) + ")");
        picture = render_slice(body.rec, slice.axis, static_cast<std::int32_t>(slice.index), size);
    } else {
        picture = render_view(body.rec, request);
    }
    progress.stage("writing " + out);
    std::string error;
    if (!write_png(out, picture, error)) throw Failure(error);
    return kDone;
}

}  // namespace

const Subcommand kRender{"render", "a PNG picture: shaded view (whole or cut) or one layer", kUsageText, run_render};

}  // namespace tarvo::tools
