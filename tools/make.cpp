// tarvo-tools make: a particle made from a geometric description or a seeded random grain.
#include <cstdint>
#include <map>

#include "common.h"
#include "progress.h"
#include "tarvo/shapes.h"
#include "subcommands.h"

namespace tarvo::tools {
namespace {

const char kUsageText[] =
    "Usage: tarvo-tools make SHAPE DIM OUT.3d [options]\n"
    "\n"
    "Writes a particle in a grid of edge DIM (0 to 1290) to OUT.3d; the header carries its\n"
    "measurements. Lengths are in voxels; a voxel belongs to the solid when its centre (integer\n"
    "coordinates) lies inside or on the boundary. Defaults are fractions of DIM.\n"
    "\n"
    "Shapes and their options:\n"
    "  sphere     --radius R                       (0.4 DIM)\n"
    "  ellipsoid  --semi-axes A,B,C                (0.45, 0.3, 0.2 DIM)\n"
    "  box        --half-sizes A,B,C               (0.35, 0.25, 0.15 DIM)\n"
    "  cylinder   --radius R --half-length L --axis x|y|z   (0.25 DIM, 0.4 DIM, z)\n"
    "  torus      --major R --minor r --axis x|y|z (0.3 DIM, 0.12 DIM, z)\n"
    "  grain      --seed S --pores N   a lumpy grain around the grid's middle with N pores\n"
    "             (seed 1, 60 pores)\n"
    "  noise      --seed S --density F   independent random voxels (seed 1, density 0.5)\n"
    "  ball       --radius R --porosity F --seed S   a ball with the fraction F of its voxels\n"
    "             cleared at random (0.4 DIM, porosity 0.03, seed 1)\n"
    "\n"
    "  --center X,Y,Z   centre of the geometric shapes and the ball (default the grid's middle,\n"
    "                   (DIM-1)/2)\n"
    "\n"
    "Example: tarvo-tools make grain 64 grain64.3d --seed 1\n";

constexpr double kMaxLength = 1e6;

struct ShapeRequest {
    std::string shape;
    std::int32_t dim = 0;
    Arguments args;
    double fraction(double f) const { return f * dim; }
    double length(const char* option, double fallback) const {
        const std::string* v = args.value(option);
        return v ? number(option, *v, 0, kMaxLength) : fallback;
    }
    tarvo::shapes::Vec3 lengths(const char* option, double a, double b, double c) const {
        const std::string* v = args.value(option);
        if (!v) return {a, b, c};
        const auto t = triple(option, *v, 0, kMaxLength);
        return {t[0], t[1], t[2]};
    }
    tarvo::shapes::Vec3 centre() const {
        const double mid = (dim - 1) / 2.0;
        const std::string* v = args.value("--center");
        if (!v) return {mid, mid, mid};
        const auto t = triple("--center", *v, -kMaxLength, kMaxLength);
        return {t[0], t[1], t[2]};
    }
    tarvo::shapes::Axis axis() const {
        const std::string* v = args.value("--axis");
        if (!v || *v == "z") return tarvo::shapes::Axis::kZ;
        if (*v == "x") return tarvo::shapes::Axis::kX;
        if (*v == "y") return tarvo::shapes::Axis::kY;
        throw UsageError("--axis: '" + *v + "' is not x, y or z");
    }
    std::uint64_t seed() const {
        const std::string* v = args.value("--seed");
        return v ? static_cast<std::uint64_t>(integer("--seed", *v, 0, 2147483647L)) : 1;
    }
};

using Maker = void (*)(const ShapeRequest&, TelesoRecord&);

struct ShapeKind {
    Maker make;
    std::set<std::string> options;
};

void make_sphere_shape(const ShapeRequest& q, TelesoRecord& rec) {
    const tarvo::shapes::Vec3 c = q.centre();
    tarvo::shapes::fill_balls(rec, {tarvo::shapes::Ball{c.x, c.y, c.z, q.length("--radius", q.fraction(0.4))}}, {});
}

void make_ellipsoid_shape(const ShapeRequest& q, TelesoRecord& rec) {
    tarvo::shapes::make_ellipsoid(rec, q.centre(),
                           q.lengths("--semi-axes", q.fraction(0.45), q.fraction(0.3), q.fraction(0.2)));
}

void make_box_shape(const ShapeRequest& q, TelesoRecord& rec) {
    tarvo::shapes::make_box(rec, q.centre(),
                     q.lengths("--half-sizes", q.fraction(0.35), q.fraction(0.25), q.fraction(0.15)));
}

void make_cylinder_shape(const ShapeRequest& q, TelesoRecord& rec) {
    tarvo::shapes::make_cylinder(rec, q.centre(), q.length("--radius", q.fraction(0.25)),
                          q.length("--half-length", q.fraction(0.4)), q.axis());
}

void make_torus_shape(const ShapeRequest& q, TelesoRecord& rec) {
    tarvo::shapes::make_torus(rec, q.centre(), q.length("--major", q.fraction(0.3)),
                       q.length("--minor", q.fraction(0.12)), q.axis());
}

void make_grain_shape(const ShapeRequest& q, TelesoRecord& rec) {
    const std::string* p = q.args.value("--pores");
    tarvo::shapes::make_grain(rec, q.seed(), p ? static_cast<int>(integer("--pores", *p, 0, 100000)) : tarvo::shapes::kGrainPores);
}

void make_noise_shape(const ShapeRequest& q, TelesoRecord& rec) {
    const std::string* d = q.args.value("--density");
    tarvo::shapes::make_noise(rec, q.seed(), d ? number("--density", *d, 0, 1) : 0.5);
}

void make_ball_shape(const ShapeRequest& q, TelesoRecord& rec) {
    const std::string* p = q.args.value("--porosity");
    tarvo::shapes::make_porous_ball(rec, q.centre(), q.length("--radius", q.fraction(0.4)),
                             p ? number("--porosity", *p, 0, 1) : 0.03, q.seed());
}

const std::map<std::string, ShapeKind>& shape_kinds() {
    static const std::map<std::string, ShapeKind> kinds{
        {"sphere", {make_sphere_shape, {"--radius", "--center"}}},
        {"ellipsoid", {make_ellipsoid_shape, {"--semi-axes", "--center"}}},
        {"box", {make_box_shape, {"--half-sizes", "--center"}}},
        {"cylinder", {make_cylinder_shape, {"--radius", "--half-length", "--axis", "--center"}}},
        {"torus", {make_torus_shape, {"--major", "--minor", "--axis", "--center"}}},
        {"grain", {make_grain_shape, {"--seed", "--pores"}}},
        {"noise", {make_noise_shape, {"--seed", "--density"}}},
        {"ball", {make_ball_shape, {"--radius", "--porosity", "--seed", "--center"}}},
    };
    return kinds;
}

int run_make(const Args& raw) {
    const std::set<std::string> valued{"--radius", "--semi-axes", "--half-sizes", "--half-length",
                                       "--major",  "--minor",     "--axis",       "--center",
                                       "--seed",   "--density",   "--pores",      "--porosity"};
    ShapeRequest q;
    q.args = parse_arguments(raw, valued, {});
    expect_positional(q.args, 3, "SHAPE DIM OUT.3d");
    check_output_name(q.args.positional[2], ".3d", "a shape form file");
    q.shape = q.args.positional[0];
    const auto kind = shape_kinds().find(q.shape);
    if (kind == shape_kinds().end())
        throw UsageError("unknown shape '" + q.shape +
                         "' (sphere, ellipsoid, box, cylinder, torus, grain, noise, ball)");
    q.dim = static_cast<std::int32_t>(integer("DIM", q.args.positional[1], 0, tarvo::kMaxDim));
    for (const auto& [name, value] : q.args.values)
        if (!kind->second.options.count(name)) throw UsageError("option " + name + " does not apply to " + q.shape);
    Progress progress("make");
    progress.stage("making the " + q.shape);
    Body body;
    allocate_or_fail(body, q.dim);
    kind->second.make(q, body.rec);
    progress.stage("writing " + q.args.positional[2]);
    measure_and_save(q.args.positional[2], body.rec);
    return kDone;
}

}  // namespace

const Subcommand kMake{"make", "a particle: sphere, ellipsoid, box, cylinder, torus, grain, noise, ball",
                       kUsageText, run_make};

}  // namespace tarvo::tools
