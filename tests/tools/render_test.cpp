// tarvo-tools render as a user runs it, checked on the decoded pictures against geometry worked
// out here: where a cut's face must show in its own colour, which side each view looks from, and
// that a cut drawn by render is the cut tarvo makes. Rays that leap over empty space against rays
// that walk voxel by voxel. Also the progress line of long work.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <thread>

#include "tarvo/geometry.h"
#include "image.h"
#include "picture.h"
#include "progress.h"
#include "tarvo/shapes.h"
#include "support.h"

namespace {

using test_support::ScratchDir;

struct Vec {
    double x = 0, y = 0, z = 0;
    double operator[](int i) const { return i == 0 ? x : (i == 1 ? y : z); }
};
Vec operator+(Vec a, Vec b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vec operator-(Vec a, Vec b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Vec operator*(double s, Vec a) { return {s * a.x, s * a.y, s * a.z}; }
double dot(Vec a, Vec b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
Vec cross(Vec a, Vec b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
Vec unit(Vec a) { return (1 / std::sqrt(dot(a, a))) * a; }

void run_tools(const std::vector<std::string>& args) {
    const test_support::RunResult r = test_support::run_program(TOOLS_EXE, args);
    ASSERT_EQ(r.status, 0) << r.output;
}

tarvo::tools::Image render(const std::string& in, const std::string& png, const std::vector<std::string>& options) {
    std::vector<std::string> args{"render", in, png};
    args.insert(args.end(), options.begin(), options.end());
    run_tools(args);
    tarvo::tools::Image img;
    std::string error;
    EXPECT_TRUE(tarvo::tools::read_png(png, img, error)) << error;
    return img;
}

// A colour is a shade of `base` when it is base times one light level, give or take rounding.
// The material and the cut face point in different colour directions, so no pixel is both;
// pixels that mix two colours (anti-aliased edges) are neither.
bool shade_of(tarvo::tools::Rgb c, tarvo::tools::Rgb base) {
    const Vec cv{double(c.r), double(c.g), double(c.b)}, bv{double(base.r), double(base.g), double(base.b)};
    const double level = dot(cv, bv) / dot(bv, bv);
    const Vec off = cv - level * bv;
    return std::fabs(off.x) <= 2 && std::fabs(off.y) <= 2 && std::fabs(off.z) <= 2;
}
bool face(tarvo::tools::Rgb c) { return shade_of(c, tarvo::tools::kCutFace); }
bool material(tarvo::tools::Rgb c) { return shade_of(c, tarvo::tools::kMaterial); }

// The documented camera: it looks back along `from` at the grid's middle with z up on the
// picture (along z: x right, y up from +z and down from -z), and the smallest cube around the
// middle holding the particle spans 94% of the picture.
struct Camera {
    Vec from, right, up;
    Vec middle;
    double scale = 1;  // pixels per voxel
    int size = 0;

    Camera(Vec direction, std::int32_t dim, double half_edge, int picture) : size(picture) {
        from = unit(direction);
        if (from.x * from.x + from.y * from.y < 1e-4) {
            right = {1, 0, 0};
            up = {0, from.z > 0 ? 1.0 : -1.0, 0};
        } else {
            right = unit(cross({0, 0, 1}, from));
            up = cross(from, right);
        }
        const double mid = (dim - 1) / 2.0;
        middle = {mid, mid, mid};
        double reach = 0;
        for (int c = 0; c < 8; ++c) {
            const Vec corner{c & 1 ? half_edge : -half_edge, c & 2 ? half_edge : -half_edge,
                             c & 4 ? half_edge : -half_edge};
            reach = std::max({reach, std::fabs(dot(corner, right)), std::fabs(dot(corner, up))});
        }
        scale = 0.94 * size / 2 / reach;
    }
    // The point at depth 0 (the plane through the middle) seen at the centre of pixel (px, py).
    Vec point(int px, int py) const {
        return middle + ((px + 0.5 - size / 2.0) / scale) * right + ((size / 2.0 - (py + 0.5)) / scale) * up;
    }
    // Where a point appears in the picture, in pixels.
    double column(Vec p) const { return size / 2.0 + dot(p - middle, right) * scale; }
    double row(Vec p) const { return size / 2.0 - dot(p - middle, up) * scale; }
};

// ---- The cut face ----

// A plane n.p = d (n unit, on the side of the voxels the cut clears).
struct Plane {
    Vec n;
    double d = 0;
};

// How far p lies inside the box lo..hi (negative: outside).
double inside_by(Vec p, Vec lo, Vec hi) {
    double m = 1e300;
    for (int k = 0; k < 3; ++k) m = std::min({m, p[k] - lo[k], hi[k] - p[k]});
    return m;
}

struct FaceCount {
    int inside = 0, inside_face = 0;      // pixels whose ray meets the plane well inside the cube
    int outside = 0, outside_tinted = 0;  // ... well outside it; of them, any bluer than grey
};

FaceCount count_face(const tarvo::tools::Image& img, const Camera& cam, const Plane& plane, Vec lo, Vec hi) {
    constexpr double kMargin = 2;  // voxels: the face is a staircase, its rim anti-aliased
    FaceCount c;
    for (int py = 0; py < img.height; ++py)
        for (int px = 0; px < img.width; ++px) {
            const Vec p0 = cam.point(px, py);
            // The ray p0 - s from meets the plane where n.(p0 - s from) = d.
            const Vec q = p0 - ((dot(plane.n, p0) - plane.d) / dot(plane.n, cam.from)) * cam.from;
            const double in = inside_by(q, lo, hi);
            const tarvo::tools::Rgb colour = img.at(px, py);
            if (in >= kMargin) {
                ++c.inside;
                c.inside_face += face(colour);
            } else if (in <= -kMargin) {
                // Material, background and their mixes at the silhouette are never bluer than grey.
                ++c.outside;
                c.outside_tinted += colour.b > colour.r + 2;
            }
        }
    return c;
}

TEST(RenderCut, TheFaceShowsInItsColourExactlyWhereThePlaneCrossesTheCubeForEverySignPattern) {
    ScratchDir dir;
    // The cube of voxels 8..39 in a grid of 48, so that its own faces have empty neighbours.
    constexpr std::int32_t n = 48;
    const std::string cube = dir.file("cube.3d");
    run_tools({"make", "box", std::to_string(n), cube, "--half-sizes", "16,16,16"});
    const Vec centre{23, 23, 23};  // tarvo's centre: the middle of 8..39, rounded down
    const Vec lo{7.5, 7.5, 7.5}, hi{39.5, 39.5, 39.5};
    constexpr int size = 200;

    // Uncut, no pixel has the face's colour.
    const tarvo::tools::Image whole = render(cube, dir.file("whole.png"), {"--size", std::to_string(size)});
    int face_pixels = 0, material_pixels = 0;
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
            face_pixels += face(whole.at(x, y));
            material_pixels += material(whole.at(x, y));
        }
    EXPECT_EQ(face_pixels, 0);
    EXPECT_GT(material_pixels, 10000);

    struct Case {
        std::string x, y, z;
        Plane plane;
    };
    std::vector<Case> cases;
    for (int signs = 0; signs < 8; ++signs) {
        const double l[3] = {signs & 1 ? -12.0 : 12.0, signs & 2 ? -15.0 : 15.0, signs & 4 ? -18.0 : 18.0};
        // (p - c).g = 1 with g = (1/x, 1/y, 1/z); the cleared side is along g.
        const Vec g{1 / l[0], 1 / l[1], 1 / l[2]};
        const double len = std::sqrt(dot(g, g));
        cases.push_back({std::to_string(l[0]), std::to_string(l[1]), std::to_string(l[2]),
                         {(1 / len) * g, (1 + dot(g, centre)) / len}});
    }
    // A zero length clears every voxel with a positive offset along its axis (negative for -0);
    // lengths beyond single precision leave the other axes out.
    cases.push_back({"0", "1e39", "1e39", {{1, 0, 0}, 23.5}});
    cases.push_back({"1e39", "-0", "1e39", {{0, -1, 0}, -22.5}});

    for (const Case& k : cases) {
        const std::string label = k.x + " " + k.y + " " + k.z;
        const tarvo::tools::Image img =
            render(cube, dir.file("cut.png"), {"--cut", k.x, k.y, k.z, "--size", std::to_string(size)});
        // The frame stays the uncut cube's; the default view looks at the face from the cleared side.
        const Camera cam(k.plane.n, n, 16, size);
        const FaceCount c = count_face(img, cam, k.plane, lo, hi);
        EXPECT_GT(c.inside, 4000) << label;
        EXPECT_EQ(c.inside_face, c.inside) << label;
        // Seen head-on, a face across the whole cube hides the cube's own faces.
        if (k.plane.n.x * k.plane.n.y != 0) {
            EXPECT_GT(c.outside, 4000) << label;
        }
        EXPECT_EQ(c.outside_tinted, 0) << label;
    }
}

TEST(RenderCut, DrawsTheCutTarvoMakes) {
    ScratchDir dir;
    run_tools({"make", "sphere", "64", dir.file("s.3d"), "--radius", "20"});
    // Both measure the particle before taking its centre: a header that says otherwise is stale.
    test_support::Bytes bytes = test_support::read_bytes(dir.file("s.3d"));
    std::fill(bytes.begin() + 8, bytes.begin() + 48, 0);
    const std::string in = dir.file("stale.3d");
    test_support::write_bytes(in, bytes);
    // 1 1 99999 leaves a one-voxel step at the centre's height, where the tiny z term decides.
    for (const std::vector<std::string>& cut : {std::vector<std::string>{"1", "1", "99999"}, {"-3", "7", "-0.5"}}) {
        const std::string out = dir.file("cut.3d");
        ASSERT_EQ(test_support::run_tarvo({in, out, cut[0], cut[1], cut[2]}).status, 0);
        // The sphere keeps voxels at both ends of every axis, so the frames agree.
        const tarvo::tools::Image by_tarvo = render(out, dir.file("t.png"), {"--view", "iso", "--size", "200"});
        const tarvo::tools::Image by_render =
            render(in, dir.file("r.png"), {"--cut", cut[0], cut[1], cut[2], "--view", "iso", "--size", "200"});
        int recoloured = 0, wrong = 0;
        for (int y = 0; y < 200; ++y)
            for (int x = 0; x < 200; ++x) {
                const tarvo::tools::Rgb t = by_tarvo.at(x, y), r = by_render.at(x, y);
                if (t == r) continue;
                // Only the colour of the face may differ: bluer under the same light.
                if (r.b - r.r > t.b - t.r && !(t == tarvo::tools::kBackground) && !(r == tarvo::tools::kBackground))
                    ++recoloured;
                else
                    ++wrong;
            }
        EXPECT_EQ(wrong, 0) << cut[0] << " " << cut[1] << " " << cut[2];
        if (cut[0] == "1") {
            EXPECT_GT(recoloured, 3000);
        }
    }
}

// ---- Views ----

TEST(RenderView, EveryViewLooksFromTheSideItNamesWithZUp) {
    ScratchDir dir;
    // A ball off the middle in all three axes shows where right and up point.
    constexpr std::int32_t n = 48;
    const std::string ball = dir.file("ball.3d");
    run_tools({"make", "sphere", std::to_string(n), ball, "--radius", "6", "--center", "30,14,33"});
    const Vec centre{30, 14, 33};
    const double half_edge = 16;  // voxels 8..20 along y and 27..39 along z, around 23.5
    // A cube whose cut face looks at the view's side shows it at the picture's middle; from the
    // opposite side the uncut far face shows there.
    const std::string cube = dir.file("cube.3d");
    run_tools({"make", "box", "40", cube, "--half-sizes", "20,20,20"});

    struct View {
        std::string option, value, opposite;
        Vec from;
    };
    std::vector<View> views = {{"--view", "x", "-x", {1, 0, 0}},  {"--view", "-x", "x", {-1, 0, 0}},
                               {"--view", "y", "-y", {0, 1, 0}},  {"--view", "-y", "y", {0, -1, 0}},
                               {"--view", "z", "-z", {0, 0, 1}},  {"--view", "-z", "z", {0, 0, -1}},
                               {"--view", "iso", "iso---", {1, 1, 1}},
                               {"--from", "1,2,0.5", "-1,-2,-0.5", {1, 2, 0.5}}};
    for (int signs = 0; signs < 8; ++signs) {
        std::string corner = "iso", opposite = "iso";
        Vec from;
        for (int k = 0; k < 3; ++k) {
            const bool minus = signs >> k & 1;
            corner += minus ? '-' : '+';
            opposite += minus ? '+' : '-';
            (k == 0 ? from.x : k == 1 ? from.y : from.z) = minus ? -1 : 1;
        }
        views.push_back({"--view", corner, opposite, from});
    }

    constexpr int size = 120;
    for (const View& v : views) {
        const std::string label = v.option + " " + v.value;
        const tarvo::tools::Image img = render(ball, dir.file("ball.png"), {v.option, v.value, "--size", std::to_string(size)});
        double sx = 0, sy = 0;
        int count = 0;
        for (int y = 0; y < size; ++y)
            for (int x = 0; x < size; ++x)
                if (!(img.at(x, y) == tarvo::tools::kBackground)) {
                    sx += x + 0.5;
                    sy += y + 0.5;
                    ++count;
                }
        ASSERT_GT(count, 50) << label;
        const Camera cam(v.from, n, half_edge, size);
        EXPECT_NEAR(sx / count, cam.column(centre), 1.0) << label;
        EXPECT_NEAR(sy / count, cam.row(centre), 1.0) << label;

        // Cut lengths of 4 along the axes the view looks from, none along the others: the cleared
        // side is the viewer's.
        std::vector<std::string> cut;
        for (int k = 0; k < 3; ++k) cut.push_back(v.from[k] == 0 ? "1e39" : (v.from[k] > 0 ? "4" : "-4"));
        for (bool facing : {true, false}) {
            const tarvo::tools::Image c = render(cube, dir.file("cube.png"),
                                          {v.option, facing ? v.value : v.opposite, "--size", std::to_string(size),
                                           "--cut", cut[0], cut[1], cut[2]});
            const tarvo::tools::Rgb middle = c.at(size / 2, size / 2);
            const std::string side = facing ? "" : " from the other side";
            EXPECT_EQ(face(middle), facing) << label << side;
            EXPECT_EQ(material(middle), !facing) << label << side;
        }
    }
}

// ---- Leaping over empty space ----

// Rays that leap over empty blocks and start near their tile's first occupied block, and cubes
// drawn voxel by voxel, find the same voxels as rays walking voxel by voxel: sparse voxels and
// balls that reach the grid's faces, in grids whose edge is no multiple of the blocks, cut and
// whole, from many directions.
TEST(RenderView, LeapingRaysAndDrawnCubesFindTheVoxelsThatWalkingRaysFind) {
    std::mt19937_64 rng(13);
    for (std::int32_t n : {37, 70, 133}) {
        tarvo::Body body = test_support::body_of_edge(n), before = test_support::body_of_edge(n);
        test_support::fill_random(body.rec, rng, 0.002);
        std::uniform_real_distribution<double> at(0, n - 1), radius(1, n / 5.0);
        std::vector<tarvo::shapes::Ball> balls;
        for (int k = 0; k < 6; ++k) balls.push_back({at(rng), at(rng), at(rng), radius(rng)});
        balls.push_back({double(n - 1), 0, n / 2.0, n / 4.0});  // through a corner
        tarvo::shapes::fill_balls(body.rec, balls, {});
        tarvo::tools::copy_voxels(body.rec, before.rec);
        Analyse_teleso(body.rec);
        Cut_teleso(body.rec, Get_center(body.rec), Cut_length("9"), Cut_length("-13"), Cut_length("40"));
        for (const tarvo::tools::Direction from : {tarvo::tools::Direction{1, 1, 1}, {-1, 0, 0}, {0, 0, 1}, {-1, 1, -1}, {1, 0.3, -2}}) {
            for (const TelesoRecord* cut_from : {static_cast<const TelesoRecord*>(nullptr), static_cast<const TelesoRecord*>(&before.rec)}) {
                const TelesoRecord& rec = cut_from ? body.rec : before.rec;
                tarvo::tools::RenderRequest request;
                request.from = from;
                request.size = 96;
                request.before_cut = cut_from;
                request.tracing = tarvo::tools::Tracing::kWalk;
                const tarvo::tools::Image walked = tarvo::tools::render_view(rec, request);
                for (const tarvo::tools::Tracing fast : {tarvo::tools::Tracing::kLeap, tarvo::tools::Tracing::kCubes}) {
                    request.tracing = fast;
                    const tarvo::tools::Image img = tarvo::tools::render_view(rec, request);
                    int differing = 0;
                    for (int y = 0; y < 96; ++y)
                        for (int x = 0; x < 96; ++x) differing += !(img.at(x, y) == walked.at(x, y));
                    EXPECT_EQ(differing, 0) << (fast == tarvo::tools::Tracing::kLeap ? "leaping" : "cubes") << ", edge " << n
                                            << " from " << from.x << "," << from.y << "," << from.z
                                            << (cut_from ? " cut" : "");
                }
                int drawn = 0;
                for (int y = 0; y < 96; ++y)
                    for (int x = 0; x < 96; ++x) drawn += !(walked.at(x, y) == tarvo::tools::kBackground);
                EXPECT_GT(drawn, 500);
            }
        }
    }
}

// ---- Progress ----

TEST(Progress, DrawsStageAndShareOnceTheWorkTakesLongAndClearsItsLine) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    {
        tarvo::tools::Progress p("render", out, 0.0);
        p.stage("drawing", 8);
        p.advance(2);
        p.advance(4);
        // The line is drawn a few times a second; wait for it.
        for (int k = 0; k < 50 && std::ftell(out) == 0; ++k) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const test_support::Bytes bytes = test_support::contents_of(out);
    const std::string text(bytes.begin(), bytes.end());
    std::fclose(out);
    EXPECT_NE(text.find("\rrender: drawing 75% ("), std::string::npos) << text;
    // The last thing written blanks the line and returns to its start.
    ASSERT_GE(text.size(), 2u);
    EXPECT_EQ(text.back(), '\r');
    EXPECT_EQ(text[text.size() - 2], ' ');

    std::FILE* quiet = std::tmpfile();
    ASSERT_NE(quiet, nullptr);
    {
        tarvo::tools::Progress p("make", quiet, 60.0);  // work shorter than the delay shows nothing
        p.stage("writing");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    EXPECT_TRUE(test_support::contents_of(quiet).empty());
    std::fclose(quiet);
}

}  // namespace
