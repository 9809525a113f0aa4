// tarvo-tools render: a PNG picture of a particle.
#include "common.h"
#include "picture.h"
#include "subcommands.h"

namespace tools {
namespace {

const char kUsageText[] =
    "Usage: tarvo-tools render FILE.3d OUT.png [--view iso|x|y|z] [--slice AXIS:K] [--size N]\n"
    "\n"
    "  --view iso   (default) the particle seen from the corner of largest x, y and z, where\n"
    "               cuts such as `tarvo in.3d out.3d 1 1 99999` or `... 20 20 20` open it\n"
    "  --view x|y|z looking along the axis from its + side (x: y right, z up; y: x to the\n"
    "               left, z up; z: x right, y up)\n"
    "  --slice AXIS:K  only layer K (0 to edge-1) across AXIS x, y or z, set voxels light on\n"
    "               dark (z: x right, y up; y: x right, z up; x: y right, z up)\n"
    "  --size N     picture edge in pixels, 16 to 4096 (default 800)\n"
    "\n"
    "The frame is the smallest cube around the grid's middle holding the particle, so pictures\n"
    "before and after a cut that leaves the far side line up.\n";

constexpr int kDefaultSize = 800;

View parse_view(const std::string& text) {
    if (text == "iso") return View::kIso;
    if (text == "x") return View::kX;
    if (text == "y") return View::kY;
    if (text == "z") return View::kZ;
    throw UsageError("--view: '" + text + "' is not iso, x, y or z");
}

struct SliceRequest {
    int axis = 0;
    long index = 0;
};

SliceRequest parse_slice(const std::string& text) {
    if (text.size() < 3 || text[1] != ':' || (text[0] != 'x' && text[0] != 'y' && text[0] != 'z'))
        throw UsageError("--slice: '" + text + "' is not AXIS:K, e.g. z:32");
    return {text[0] - 'x', integer("--slice", text.substr(2), 0, teleso::kMaxDim - 1)};
}

int run_render(const Args& raw) {
    const Arguments a = parse_arguments(raw, {"--view", "--slice", "--size"}, {});
    expect_positional(a, 2, "FILE.3d OUT.png");
    if (a.has("--view") && a.has("--slice")) throw UsageError("--view and --slice exclude each other");
    const View view = a.value("--view") ? parse_view(*a.value("--view")) : View::kIso;
    const int size = a.value("--size") ? static_cast<int>(integer("--size", *a.value("--size"), 16, 4096))
                                       : kDefaultSize;
    SliceRequest slice;
    if (a.value("--slice")) slice = parse_slice(*a.value("--slice"));
    const std::string& in = a.positional[0];
    const std::string& out = a.positional[1];
    check_output_name(out, ".png", "a PNG picture");

    OwnedBody body;
    load_or_fail(in, body);
    Image picture;
    if (a.value("--slice")) {
        if (slice.index >= body.rec.dim)
            throw UsageError("--slice: layer " + std::to_string(slice.index) + " is outside '" + in +
                             "' (edge " + std::to_string(body.rec.dim) + ")");
        picture = render_slice(body.rec, slice.axis, static_cast<std::int32_t>(slice.index), size);
    } else {
        picture = render_view(body.rec, view, size);
    }
    std::string error;
    if (!write_png(out, picture, error)) throw Failure(error);
    return kDone;
}

}  // namespace

const Subcommand kRender{"render", "a PNG picture: shaded view or one layer", kUsageText, run_render};

}  // namespace tools
