// tarvo-tools as a user runs it: files in, files out, exit statuses and messages.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <cstdio>
#include <fstream>
#include <numeric>
#include <sstream>

#include "tarvo/geometry.h"
#include "image.h"
#include "picture.h"
#include "support.h"
#include "sys/cpu.h"
#include "tarvo/body.h"

namespace {

using test_support::Bytes;
using test_support::ScratchDir;

using ToolRun = test_support::RunResult;

ToolRun tools(const std::vector<std::string>& args) { return test_support::run_program(TOOLS_EXE, args); }

void expect_done(const ToolRun& r) { EXPECT_EQ(r.status, 0) << r.output; }

using test_support::Loaded;

bool same_voxels(const std::string& a, const std::string& b) {
    Loaded la(a), lb(b);
    return la.rec.data && lb.rec.data && test_support::same_voxels(la.rec, lb.rec);
}

// The library's measurement of a body, leaving the body's own fields alone.
TelesoRecord measured(const TelesoRecord& rec) {
    TelesoRecord copy = rec;
    Analyse_teleso(copy);
    return copy;
}

std::int32_t count_voxels(const TelesoRecord& rec) { return measured(rec).voxels; }

// ---- make ----

TEST(ToolsMake, WritesTheShapeWithItsMeasurementsInTheHeader) {
    ScratchDir dir;
    const std::string f = dir.file("s.3d");
    expect_done(tools({"make", "sphere", "30", f, "--radius", "9", "--center", "12,14,15"}));
    Loaded l(f);
    ASSERT_NE(l.rec.data, nullptr);
    const TelesoRecord m = measured(l.rec);
    const std::int32_t measured[12] = {m.size,  m.dim,   m.x_min,  m.x_max,  m.y_min,  m.y_max,
                                       m.z_min, m.z_max, m.x_mean, m.y_mean, m.z_mean, m.voxels};
    for (int k = 0; k < 12; ++k) EXPECT_EQ(l.info.header.fields[k], measured[k]) << "field " << k;
    EXPECT_EQ(m.x_min, 3);
    EXPECT_EQ(m.x_max, 21);
    EXPECT_EQ(m.z_min, 6);
    EXPECT_EQ(Get_voxel(l.rec, 12, 14, 15), 1);
    EXPECT_EQ(Get_voxel(l.rec, 12, 14, 25), 0);
}

TEST(ToolsMake, EveryShapeGivesAParticleAndGrainsFollowTheirSeed) {
    ScratchDir dir;
    for (const char* shape : {"sphere", "ellipsoid", "box", "cylinder", "torus", "grain", "noise", "ball"}) {
        const std::string f = dir.file(std::string(shape) + ".3d");
        expect_done(tools({"make", shape, "24", f}));
        Loaded l(f);
        ASSERT_NE(l.rec.data, nullptr) << shape;
        const std::int32_t n = count_voxels(l.rec);
        EXPECT_GT(n, 0) << shape;
        EXPECT_LT(n, 24 * 24 * 24) << shape;
    }
    expect_done(tools({"make", "grain", "32", dir.file("a.3d"), "--seed", "5"}));
    expect_done(tools({"make", "grain", "32", dir.file("b.3d"), "--seed", "5"}));
    expect_done(tools({"make", "grain", "32", dir.file("c.3d"), "--seed", "6"}));
    EXPECT_EQ(test_support::read_bytes(dir.file("a.3d")), test_support::read_bytes(dir.file("b.3d")));
    EXPECT_FALSE(same_voxels(dir.file("a.3d"), dir.file("c.3d")));
    // More pores take more voxels out of the same grain.
    expect_done(tools({"make", "grain", "32", dir.file("none.3d"), "--seed", "5", "--pores", "0"}));
    expect_done(tools({"make", "grain", "32", dir.file("many.3d"), "--seed", "5", "--pores", "300"}));
    Loaded none(dir.file("none.3d")), some(dir.file("a.3d")), many(dir.file("many.3d"));
    ASSERT_TRUE(none.rec.data && some.rec.data && many.rec.data);
    EXPECT_GT(count_voxels(none.rec), count_voxels(some.rec));
    EXPECT_GT(count_voxels(some.rec), count_voxels(many.rec));
}

// A porous ball is the sphere of its radius with a fraction of its voxels cleared, the same ones
// for the same seed.
TEST(ToolsMake, PorousBallIsItsSphereLessTheFractionCleared) {
    ScratchDir dir;
    expect_done(tools({"make", "sphere", "40", dir.file("s.3d"), "--radius", "15"}));
    expect_done(tools({"make", "ball", "40", dir.file("solid.3d"), "--radius", "15", "--porosity", "0"}));
    expect_done(tools({"make", "ball", "40", dir.file("a.3d"), "--radius", "15", "--porosity", "0.25", "--seed", "4"}));
    expect_done(tools({"make", "ball", "40", dir.file("b.3d"), "--radius", "15", "--porosity", "0.25", "--seed", "4"}));
    expect_done(tools({"make", "ball", "40", dir.file("c.3d"), "--radius", "15", "--porosity", "0.25", "--seed", "5"}));
    EXPECT_EQ(test_support::read_bytes(dir.file("s.3d")), test_support::read_bytes(dir.file("solid.3d")));
    EXPECT_EQ(test_support::read_bytes(dir.file("a.3d")), test_support::read_bytes(dir.file("b.3d")));
    EXPECT_FALSE(same_voxels(dir.file("a.3d"), dir.file("c.3d")));
    Loaded sphere(dir.file("s.3d")), porous(dir.file("a.3d"));
    ASSERT_TRUE(sphere.rec.data && porous.rec.data);
    const double kept = static_cast<double>(count_voxels(porous.rec)) / count_voxels(sphere.rec);
    EXPECT_NEAR(kept, 0.75, 0.03);
    for (std::int32_t i = 0; i < 40 * 40 * 40; ++i) {  // only voxels of the sphere
        const std::int32_t x = i % 40, y = i / 40 % 40, z = i / 1600;
        if (Get_voxel(porous.rec, x, y, z)) {
            ASSERT_TRUE(Get_voxel(sphere.rec, x, y, z)) << x << " " << y << " " << z;
        }
    }
    EXPECT_EQ(tools({"make", "ball", "40", dir.file("d.3d"), "--porosity", "1.5"}).status, 2);
}

// ---- export and import ----

TEST(ToolsExchange, ExportThenImportGivesTheSameVoxelsInEveryFormat) {
    ScratchDir dir;
    const std::string src = dir.file("t.3d");
    expect_done(tools({"make", "torus", "20", src, "--axis", "y", "--center", "9,10,8.5"}));
    expect_done(tools({"export", src, dir.file("t.raw")}));
    expect_done(tools({"export", src, dir.file("t.nrrd")}));
    expect_done(tools({"export", src, dir.file("t.vtk")}));

    const Bytes raw = test_support::read_bytes(dir.file("t.raw"));
    ASSERT_EQ(raw.size(), 8000u);
    Loaded l(src);
    for (std::int32_t i = 0; i < 8000; ++i)
        ASSERT_EQ(raw[i], Get_voxel(l.rec, i % 20, i / 20 % 20, i / 400) ? 255 : 0) << "byte " << i;
    // The attached NRRD and the VTK file end with the same bytes after their text headers.
    for (const char* name : {"t.nrrd", "t.vtk"}) {
        const Bytes whole = test_support::read_bytes(dir.file(name));
        ASSERT_GT(whole.size(), raw.size());
        EXPECT_TRUE(std::equal(raw.begin(), raw.end(), whole.end() - raw.size())) << name;
    }
    const Bytes vtk = test_support::read_bytes(dir.file("t.vtk"));
    const std::string vtk_text(vtk.begin(), vtk.end() - raw.size());
    EXPECT_EQ(vtk_text.rfind("# vtk DataFile Version 3.0\n", 0), 0u);
    EXPECT_NE(vtk_text.find("\nBINARY\nDATASET STRUCTURED_POINTS\nDIMENSIONS 20 20 20\n"), std::string::npos);
    EXPECT_NE(vtk_text.find("POINT_DATA 8000\nSCALARS particle unsigned_char 1\nLOOKUP_TABLE default\n"),
              std::string::npos);
    const Bytes nhdr = test_support::read_bytes(dir.file("t.nhdr"));
    EXPECT_NE(std::string(nhdr.begin(), nhdr.end()).find("data file: t.raw\n"), std::string::npos);

    for (const char* name : {"t.raw", "t.nrrd", "t.nhdr"}) {
        const std::string back = dir.file(std::string("back-") + name + ".3d");
        expect_done(tools({"import", dir.file(name), back}));
        EXPECT_TRUE(same_voxels(src, back)) << name;
        // The header of an imported particle carries its measurements, as make's does.
        EXPECT_EQ(test_support::read_bytes(back), test_support::read_bytes(src)) << name;
    }
    expect_done(tools({"import", dir.file("t.raw"), dir.file("d.3d"), "--dim", "20"}));
    EXPECT_TRUE(same_voxels(src, dir.file("d.3d")));
}

TEST(ToolsExchange, ImportThresholdsGreyAndBinaryVolumes) {
    ScratchDir dir;
    Bytes ramp(4 * 4 * 4);
    for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<std::uint8_t>(i * 4);  // 0..252
    test_support::write_bytes(dir.file("grey.raw"), ramp);
    const auto voxels_of = [&](const std::vector<std::string>& extra) {
        std::vector<std::string> args{"import", dir.file("grey.raw"), dir.file("g.3d")};
        args.insert(args.end(), extra.begin(), extra.end());
        expect_done(tools(args));
        Loaded l(dir.file("g.3d"));
        return l.rec.data ? count_voxels(l.rec) : -1;
    };
    EXPECT_EQ(voxels_of({}), 32);                          // values 128..252
    EXPECT_EQ(voxels_of({"--threshold", "200"}), 14);      // values 200..252
    EXPECT_EQ(voxels_of({"--threshold", "1"}), 63);        // all but the 0

    Bytes binary(27, 0);
    binary[0] = binary[13] = binary[26] = 1;
    test_support::write_bytes(dir.file("bin.raw"), binary);
    expect_done(tools({"import", dir.file("bin.raw"), dir.file("b.3d")}));
    Loaded b(dir.file("b.3d"));
    ASSERT_NE(b.rec.data, nullptr);
    EXPECT_EQ(count_voxels(b.rec), 3);
    EXPECT_EQ(Get_voxel(b.rec, 1, 1, 1), 1);
    EXPECT_EQ(Get_voxel(b.rec, 2, 2, 2), 1);
}

TEST(ToolsExchange, ImportRefusesVolumesThatAreNoAllowedCube) {
    ScratchDir dir;
    const std::string out = dir.file("o.3d");
    test_support::write_bytes(dir.file("odd.raw"), Bytes(1001, 1));
    ToolRun r = tools({"import", dir.file("odd.raw"), out});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("odd.raw' has 1001 bytes, which is not the cube of a whole number"), std::string::npos)
        << r.output;
    r = tools({"import", dir.file("odd.raw"), out, "--dim", "10"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("a cube of edge 10 needs 1000"), std::string::npos) << r.output;
    r = tools({"import", dir.file("odd.raw"), out, "--dim", "1291"});
    EXPECT_EQ(r.status, 2);

    const auto nrrd = [&](const std::string& name, const std::string& fields, std::size_t data) {
        std::ofstream f(dir.file(name), std::ios::binary);
        f << "NRRD0004\n" << fields << "\n" << std::string(data, '\x01');
    };
    nrrd("flat.nrrd", "type: uint8\ndimension: 3\nsizes: 4 4 2\nencoding: raw\n", 32);
    nrrd("wide.nrrd", "type: uint16\ndimension: 3\nsizes: 2 2 2\nencoding: raw\n", 16);
    nrrd("zip.nrrd", "type: uint8\ndimension: 3\nsizes: 2 2 2\nencoding: gzip\n", 8);
    nrrd("huge.nrrd", "type: uint8\ndimension: 3\nsizes: 1291 1291 1291\nencoding: raw\n", 8);
    nrrd("cut.nrrd", "type: uint8\ndimension: 3\nsizes: 3 3 3\nencoding: raw\n", 20);
    const std::pair<const char*, const char*> refusals[] = {
        {"wide.nrrd", "holds labels of 2 bytes but no endian field"},
        {"zip.nrrd", "has gzip data that cannot be inflated"},
        {"huge.nrrd", "cube of edge 1291, outside 0 to 1290"},
        {"cut.nrrd", "holds 20 bytes of voxel data, but a cube of edge 3 needs 27"},
    };
    for (const auto& [name, message] : refusals) {
        r = tools({"import", dir.file(name), out});
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_NE(r.output.find(message), std::string::npos) << name << ": " << r.output;
    }
    EXPECT_FALSE(std::filesystem::exists(out));
    // A volume that is no cube goes into the smallest cube around its set voxels.
    r = tools({"import", dir.file("flat.nrrd"), out});
    expect_done(r);
    EXPECT_NE(r.output.find("4 x 4 x 2 uint8, threshold 1, 32 voxels set, in a cube of edge 4 at offset 0 0 0"),
              std::string::npos) << r.output;
}

// The voxel size of an NRRD (space directions and units) travels beside the particle in its
// sidecar, into every export, back through a re-import, and into mesh's coordinates; --spacing
// and --unit override it.
TEST(ToolsExchange, VoxelSizeIsCarriedFromImportToEveryExport) {
    ScratchDir dir;
    const auto text_of = [&](const std::string& name) {
        const Bytes b = test_support::read_bytes(dir.file(name));
        return std::string(b.begin(), b.end());
    };
    {
        std::ofstream f(dir.file("g.nrrd"), std::ios::binary);
        f << "NRRD0004\ntype: uint8\ndimension: 3\nsizes: 3 3 3\nencoding: raw\n"
             "space directions: (0.005,0,0) (0,0.005,0) (0,0,0.01)\nspace units: \"mm\" \"mm\" \"mm\"\n\n"
          << std::string(13, '\0') << '\1' << std::string(13, '\0');
    }
    ToolRun r = tools({"import", dir.file("g.nrrd"), dir.file("g.3d")});
    expect_done(r);
    EXPECT_NE(r.output.find("1 voxels set, voxel size 0.005 x 0.005 x 0.01 mm"), std::string::npos) << r.output;
    EXPECT_NE(text_of("g.3d.json").find("\"voxel_size\": [0.005, 0.005, 0.01],\n  \"unit\": \"mm\""), std::string::npos);
    for (const char* out : {"g.vtk", "g.vti", "g.nrrd2.nrrd", "g.raw"}) expect_done(tools({"export", dir.file("g.3d"), dir.file(out)}));
    EXPECT_NE(text_of("g.vtk").find("\nSPACING 0.005 0.005 0.01\n"), std::string::npos);
    EXPECT_NE(text_of("g.vti").find("Spacing=\"0.005 0.005 0.01\""), std::string::npos);
    for (const char* nrrd : {"g.nrrd2.nrrd", "g.nhdr"}) {
        EXPECT_NE(text_of(nrrd).find("spacings: 0.005 0.005 0.01\nunits: \"mm\" \"mm\" \"mm\"\n"), std::string::npos) << nrrd;
        const std::string back = dir.file(std::string("back-") + nrrd + ".3d");
        expect_done(tools({"import", dir.file(nrrd), back}));
        EXPECT_EQ(text_of(std::string("back-") + nrrd + ".3d.json").find("[0.005, 0.005, 0.01]") != std::string::npos, true);
    }
    // mesh takes the sidecar's size as --spacing would give it.
    expect_done(tools({"mesh", dir.file("g.3d"), dir.file("a.stl")}));
    expect_done(tools({"mesh", dir.file("g.3d"), dir.file("b.stl"), "--spacing", "0.005,0.005,0.01"}));
    EXPECT_EQ(test_support::read_bytes(dir.file("a.stl")), test_support::read_bytes(dir.file("b.stl")));
    expect_done(tools({"mesh", dir.file("g.3d"), dir.file("c.stl"), "--spacing", "1"}));
    EXPECT_NE(test_support::read_bytes(dir.file("a.stl")), test_support::read_bytes(dir.file("c.stl")));
    // The options override; a unit needs a size; a re-import without a size leaves no stale sidecar.
    expect_done(tools({"export", dir.file("g.3d"), dir.file("o.vtk"), "--spacing", "2", "--unit", "um"}));
    EXPECT_NE(text_of("o.vtk").find("\nSPACING 2 2 2\n"), std::string::npos);
    test_support::write_bytes(dir.file("plain.raw"), Bytes{1, 0, 0, 0, 0, 0, 0, 1});
    EXPECT_EQ(tools({"import", dir.file("plain.raw"), dir.file("p.3d"), "--unit", "um"}).status, 2);
    expect_done(tools({"import", dir.file("plain.raw"), dir.file("g.3d")}));
    EXPECT_NE(text_of("g.3d.json").find("[1, 1, 1]"), std::string::npos);
    expect_done(tools({"import", dir.file("plain.raw"), dir.file("p.3d"), "--spacing", "0.5,0.5,1.5", "--unit", "um"}));
    EXPECT_NE(text_of("p.3d.json").find("[0.5, 0.5, 1.5],\n  \"unit\": \"um\""), std::string::npos);
}

// A mask saved from numpy as bool or uint8 imports as it is; as int64 or float64 its bytes would
// read as a volume of twice the edge, and are refused with the way out; values under the default
// threshold are a failure that names the file, never a silent empty particle.
TEST(ToolsExchange, NumpyMasksOfEveryDtype) {
    ScratchDir dir;
    const int n = 10;
    std::vector<int> mask(n * n * n);
    for (int i = 0; i < n * n * n; ++i) mask[i] = (i % n - 4) * (i % n - 4) + (i / n % n - 5) * (i / n % n - 5) < 9;
    const int set = static_cast<int>(std::count(mask.begin(), mask.end(), 1));
    const auto save = [&](const std::string& name, int width, auto encode) {
        Bytes b;
        for (int v : mask) {
            const auto bytes = encode(v);
            b.insert(b.end(), bytes.begin(), bytes.begin() + width);
        }
        test_support::write_bytes(dir.file(name), b);
        return dir.file(name);
    };
    const auto le = [](auto value) {
        std::array<std::uint8_t, 8> bytes{};
        std::memcpy(bytes.data(), &value, sizeof value);
        return bytes;
    };
    const std::string u8 = save("u8.raw", 1, [&](int v) { return le(static_cast<std::uint8_t>(v)); });
    const std::string i64 = save("i64.raw", 8, [&](int v) { return le(static_cast<std::int64_t>(v)); });
    const std::string f64 = save("f64.raw", 8, [&](int v) { return le(static_cast<double>(v)); });
    const std::string grey = save("grey.raw", 1, [&](int v) { return le(static_cast<std::uint8_t>(100 * v)); });

    ToolRun r = tools({"import", u8, dir.file("u8.3d")});
    expect_done(r);
    EXPECT_NE(r.output.find("edge 10, threshold 1 (every value is 0 or 1), " + std::to_string(set) + " voxels set"),
              std::string::npos) << r.output;
    for (const std::string& wide : {i64, f64}) {
        r = tools({"import", wide, dir.file("w.3d")});
        EXPECT_EQ(r.status, 1) << r.output;
        EXPECT_NE(r.output.find("mask.astype(numpy.uint8)"), std::string::npos) << r.output;
        EXPECT_NE(r.output.find("--dim"), std::string::npos) << r.output;
        EXPECT_FALSE(std::filesystem::exists(dir.file("w.3d")));
    }
    r = tools({"import", grey, dir.file("grey.3d")});
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("grey.raw' sets no voxel: no value reaches the threshold 128 (the largest value is 100)"),
              std::string::npos) << r.output;
    EXPECT_FALSE(std::filesystem::exists(dir.file("grey.3d")));
}

TEST(ToolsErrors, OutputNamesThatPromiseAnotherFormatAndHelp) {
    ScratchDir dir;
    const std::string s = dir.file("s.3d");
    expect_done(tools({"make", "sphere", "12", s}));
    const std::vector<std::vector<std::string>> wrong = {{"make", "sphere", "12", dir.file("s.png")},
                                                         {"render", s, dir.file("r.jpg")},
                                                         {"import", dir.file("v.raw"), dir.file("v.nrrd")}};
    for (const auto& args : wrong) {
        const ToolRun r = tools(args);
        EXPECT_EQ(r.status, 2) << r.output;
        EXPECT_NE(r.output.find("(or - for standard output)"), std::string::npos) << r.output;
    }
    const ToolRun out = test_support::run_program("/bin/sh", {"-c", test_support::shell_quote(TOOLS_EXE) + " make sphere 12 - | cmp - " + test_support::shell_quote(s)});
    EXPECT_EQ(out.status, 0) << out.output;
    EXPECT_EQ(tools({"help", "make"}).output, tools({"make", "--help"}).output);
    EXPECT_EQ(tools({"help", "nothing"}).status, 2);
}

// ---- info ----

long json_number(const std::string& json, const std::string& section, const std::string& key) {
    const std::size_t s = json.find("\"" + section + "\"");
    const std::size_t k = json.find("\"" + key + "\": ", s);
    if (s == std::string::npos || k == std::string::npos) return -999999;
    return std::stol(json.substr(k + key.size() + 4));
}

TEST(ToolsInfo, ReportsTheLibrarysMeasurementAndTheStoredHeader) {
    ScratchDir dir;
    const std::string f = dir.file("e.3d");
    expect_done(tools({"make", "ellipsoid", "40", f, "--semi-axes", "15,9,6", "--center", "20,17,22"}));
    Loaded l(f);
    ASSERT_NE(l.rec.data, nullptr);
    const TelesoRecord m = measured(l.rec);
    const Center c = Get_center(m);
    const ToolRun r = tools({"info", f, "--json"});
    expect_done(r);
    EXPECT_EQ(json_number(r.output, "measured", "voxels"), m.voxels);
    EXPECT_EQ(json_number(r.output, "measured", "x_min"), m.x_min);
    EXPECT_EQ(json_number(r.output, "measured", "y_max"), m.y_max);
    EXPECT_EQ(json_number(r.output, "measured", "z_mean"), m.z_mean);
    EXPECT_EQ(json_number(r.output, "header", "dim"), 40);
    EXPECT_EQ(json_number(r.output, "header", "voxels"), m.voxels);
    EXPECT_EQ(json_number(r.output, "stream", "surplus_bytes"), 0);
    EXPECT_NE(r.output.find("\"center\": [" + std::to_string(c.x) + ", " + std::to_string(c.y) + ", " +
                            std::to_string(c.z) + "]"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("\"warnings\": []"), std::string::npos);

    const ToolRun text = tools({"info", f});
    expect_done(text);
    EXPECT_NE(text.output.find("voxels   " + std::string(11 - std::to_string(m.voxels).size(), ' ') +
                               std::to_string(m.voxels)),
              std::string::npos)
        << text.output;
    EXPECT_NE(text.output.find("no warnings"), std::string::npos);
}

TEST(ToolsInfo, WarnsAboutAWrongHeaderAShortStreamAndSurplusBytes) {
    ScratchDir dir;
    const std::string f = dir.file("b.3d");
    expect_done(tools({"make", "box", "16", f}));
    Bytes bytes = test_support::read_bytes(f);

    Bytes wrong = bytes;
    wrong[44] ^= 1;  // voxels
    test_support::write_bytes(dir.file("wrong.3d"), wrong);
    ToolRun r = tools({"info", dir.file("wrong.3d")});
    expect_done(r);
    EXPECT_NE(r.output.find("warning: header voxels is"), std::string::npos) << r.output;

    test_support::write_bytes(dir.file("short.3d"), Bytes(bytes.begin(), bytes.begin() + 60));
    r = tools({"info", dir.file("short.3d")});
    expect_done(r);
    EXPECT_NE(r.output.find("warning: the voxel stream ends early"), std::string::npos) << r.output;

    test_support::write_bytes(dir.file("long.3d"), test_support::concat(bytes, Bytes{1, 2, 3}));
    r = tools({"info", dir.file("long.3d"), "--json"});
    expect_done(r);
    EXPECT_EQ(json_number(r.output, "stream", "surplus_bytes"), 3);
    EXPECT_NE(r.output.find("3 bytes follow the last code needed"), std::string::npos) << r.output;
}

// table gives, file by file, what info --json gives, and a row with the reason for a file it
// cannot read; info calls an empty particle empty instead of showing an inverted box.
TEST(ToolsTable, RowsAgreeWithInfo) {
    ScratchDir dir;
    expect_done(tools({"make", "grain", "30", dir.file("g.3d")}));
    expect_done(tools({"make", "box", "12", dir.file("empty.3d"), "--half-sizes", "0.2"}));
    Bytes g = test_support::read_bytes(dir.file("g.3d"));
    test_support::write_bytes(dir.file("short.3d"), Bytes(g.begin(), g.begin() + 70));
    test_support::write_bytes(dir.file("long.3d"), test_support::concat(g, Bytes{7, 7}));
    test_support::write_bytes(dir.file("bad.3d"), Bytes{1, 2, 3});
    const std::vector<std::string> names = {"g.3d", "empty.3d", "short.3d", "long.3d", "bad.3d"};
    std::vector<std::string> args{"table", "--csv"};
    for (const std::string& n : names) args.push_back(dir.file(n));
    const ToolRun table = tools(args);
    EXPECT_EQ(table.status, 1) << table.output;  // bad.3d cannot be read
    std::istringstream lines(table.output);
    std::string header, line;
    std::getline(lines, header);
    EXPECT_EQ(header, "file,dim,voxels,x_min,x_max,y_min,y_max,z_min,z_max,x_mean,y_mean,z_mean,cx,cy,cz,stream_bytes,warnings,error");
    for (const std::string& n : names) {
        ASSERT_TRUE(std::getline(lines, line)) << n;
        std::vector<std::string> cells;
        std::istringstream cs(line);
        for (std::string c; std::getline(cs, c, ',');) cells.push_back(c);
        cells.resize(18);
        EXPECT_EQ(cells[0], dir.file(n));
        const ToolRun info = tools({"info", dir.file(n), "--json"});
        if (info.status != 0) {
            EXPECT_NE(info.output.find(cells[17]), std::string::npos) << n << ": " << line;
            EXPECT_FALSE(cells[17].empty()) << n;
            continue;
        }
        EXPECT_EQ(std::stol(cells[1]), json_number(info.output, "header", "dim")) << n;
        EXPECT_EQ(std::stol(cells[2]), json_number(info.output, "measured", "voxels")) << n;
        EXPECT_EQ(std::stoul(cells[15]), static_cast<unsigned long>(json_number(info.output, "stream", "code_bytes"))) << n;
        EXPECT_EQ(cells[16].empty(), info.output.find("\"warnings\": []") != std::string::npos) << n;
        if (cells[2] == "0") {
            EXPECT_TRUE(cells[3].empty()) << n << ": an empty particle has no box";
            EXPECT_NE(info.output.find("\"empty\": true"), std::string::npos) << n;
            EXPECT_NE(tools({"info", dir.file(n)}).output.find("empty particle"), std::string::npos);
            continue;
        }
        const char* keys[] = {"x_min", "x_max", "y_min", "y_max", "z_min", "z_max", "x_mean", "y_mean", "z_mean"};
        for (std::size_t k = 0; k < std::size(keys); ++k)
            EXPECT_EQ(std::stol(cells[3 + k]), json_number(info.output, "measured", keys[k])) << n << " " << keys[k];
    }
}

// ---- render ----

tarvo::tools::Image render(const std::string& in, const std::string& png, const std::vector<std::string>& options) {
    std::vector<std::string> args{"render", in, png};
    args.insert(args.end(), options.begin(), options.end());
    expect_done(tools(args));
    tarvo::tools::Image img;
    std::string error;
    EXPECT_TRUE(tarvo::tools::read_png(png, img, error)) << error;
    return img;
}

bool background(tarvo::tools::Rgb c) {
    const tarvo::tools::Rgb b = tarvo::tools::kBackground;
    return std::abs(c.r - b.r) + std::abs(c.g - b.g) + std::abs(c.b - b.b) < 60;
}

// Pixels of the object farther than `inner` from the centre or background nearer than it
// (distances in pixels) are counted as misplaced.
int misplaced(const tarvo::tools::Image& img, double cx, double cy, double inner, double outer) {
    int bad = 0;
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x) {
            const double d = std::hypot(x + 0.5 - cx, y + 0.5 - cy);
            const bool object = !background(img.at(x, y));
            if ((d < inner && !object) || (d > outer && object)) ++bad;
        }
    return bad;
}

TEST(ToolsRender, ASpheresSilhouetteAlongAnAxisIsADiscOfItsRadius) {
    ScratchDir dir;
    const std::string f = dir.file("s.3d");
    // Radius 20 about the grid's middle 31.5: voxels 12..51, so the frame's half edge is 20.
    expect_done(tools({"make", "sphere", "64", f, "--radius", "20"}));
    for (const char* view : {"x", "y", "z"}) {
        const tarvo::tools::Image img = render(f, dir.file(std::string(view) + ".png"), {"--view", view, "--size", "200"});
        ASSERT_EQ(img.width, 200);
        const double radius = 0.94 * 100;  // the particle's frame fills 94% of the picture
        EXPECT_EQ(misplaced(img, 100, 100, radius - 5, radius + 5), 0) << view;
    }
    // From the corner the frame's cube spans 4/sqrt(6) times its half edge up and down.
    const tarvo::tools::Image iso = render(f, dir.file("iso.png"), {"--size", "200"});
    const double iso_radius = 0.94 * 100 / (4 / std::sqrt(6.0));
    EXPECT_EQ(misplaced(iso, 100, 100, iso_radius - 4, iso_radius + 4), 0);
}

TEST(ToolsRender, ACutShowsItsFlatFaceAndRemovesItsPartOfTheSilhouette) {
    ScratchDir dir;
    const std::string f = dir.file("s.3d");
    expect_done(tools({"make", "sphere", "64", f, "--radius", "20"}));
    // Remove the top half, z > 31 (the centre), by a plane that is level to the voxel.
    ASSERT_EQ(test_support::run_tarvo({f, dir.file("top.3d"), "99999", "99999", "0.5"}).status, 0);
    const tarvo::tools::Image whole = render(f, dir.file("w.png"), {"--view", "z", "--size", "200"});
    const tarvo::tools::Image cut = render(dir.file("top.3d"), dir.file("c.png"), {"--view", "z", "--size", "200"});
    // Seen from above, the cut face is flat: one shade across its middle, where the sphere's
    // curved top varies.
    const auto spread = [](const tarvo::tools::Image& img) {
        int lo = 255, hi = 0;
        for (int y = 70; y < 130; ++y)
            for (int x = 70; x < 130; ++x) {
                lo = std::min<int>(lo, img.at(x, y).r);
                hi = std::max<int>(hi, img.at(x, y).r);
            }
        return hi - lo;
    };
    EXPECT_LE(spread(cut), 6);
    EXPECT_GE(spread(whole), 20);

    // The program's example cut removes the side towards the + + corner; from that corner the
    // bottom of the silhouette is then the cut disc's edge, at sqrt(2/3) of the radius.
    ASSERT_EQ(test_support::run_tarvo({f, dir.file("half.3d"), "1", "1", "99999"}).status, 0);
    const tarvo::tools::Image before = render(f, dir.file("b.png"), {"--size", "200"});
    const tarvo::tools::Image after = render(dir.file("half.3d"), dir.file("a.png"), {"--size", "200"});
    const auto extent = [](const tarvo::tools::Image& img, int step) {
        int y = 100;
        while (y + step >= 0 && y + step < img.height && !background(img.at(100, y + step))) y += step;
        return std::abs(y - 100);
    };
    EXPECT_NEAR(extent(after, -1), extent(before, -1), 2);
    EXPECT_NEAR(extent(after, 1), std::sqrt(2.0 / 3.0) * extent(before, 1), 3);
}

TEST(ToolsRender, AFlatFaceSeenHeadOnHasOneShade) {
    ScratchDir dir;
    const std::string f = dir.file("b.3d");
    // The top of a box, seen from above: one normal, one depth, so one colour in its middle.
    expect_done(tools({"make", "box", "64", f, "--half-sizes", "20,18,20", "--center", "29,30,31"}));
    for (int n : {120, 201, 256}) {
        const std::string size = std::to_string(n);
        const tarvo::tools::Image img = render(f, dir.file("b" + size + ".png"), {"--view", "z", "--size", size});
        const tarvo::tools::Rgb middle = img.at(n / 2, n / 2);
        int differing = 0;
        for (int y = n / 4; y < 3 * n / 4; ++y)
            for (int x = n / 4; x < 3 * n / 4; ++x) differing += !(img.at(x, y) == middle);
        EXPECT_EQ(differing, 0) << "size " << size;
    }
}

TEST(ToolsRender, ASliceShowsTheLayersDisc) {
    ScratchDir dir;
    const std::string f = dir.file("s.3d");
    expect_done(tools({"make", "sphere", "40", f, "--radius", "15", "--center", "20,20,20"}));
    // Layer z = 29: a disc of radius sqrt(15^2 - 9^2) = 12 around (20, 20), 5 pixels a voxel.
    const tarvo::tools::Image img = render(f, dir.file("z.png"), {"--slice", "z:29", "--size", "200"});
    int bad = 0;
    for (int y = 0; y < 200; ++y)
        for (int x = 0; x < 200; ++x) {
            const int vx = x / 5, vy = (199 - y) / 5;
            const bool inside = (vx - 20) * (vx - 20) + (vy - 20) * (vy - 20) <= 144;
            bad += (img.at(x, y) == tarvo::tools::kMaterial) != inside;
        }
    EXPECT_EQ(bad, 0);
}

// ---- view ----

// The particle a page carries: the JSON the tool writes into it, and its voxels decoded.
struct PageParticle {
    long dim = -1, block = -1, edge = -1;
    std::string format;
    Bytes data;
};

long json_number(const std::string& page, const std::string& key) {
    const std::size_t at = page.find("\"" + key + "\":");
    return at == std::string::npos ? -1 : std::stol(page.substr(at + key.size() + 3));
}

std::string json_text(const std::string& page, const std::string& key) {
    const std::size_t at = page.find("\"" + key + "\":\"");
    if (at == std::string::npos) return {};
    const std::size_t from = at + key.size() + 4;
    return page.substr(from, page.find('"', from) - from);
}

Bytes from_base64(const std::string& text) {
    const std::string digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    Bytes out;
    std::uint32_t acc = 0;
    int bits = 0;
    for (const char c : text) {
        const std::size_t v = digits.find(c);
        if (v == std::string::npos) continue;  // '=' padding
        acc = (acc << 6) | static_cast<std::uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<std::uint8_t>(acc >> bits));
        }
    }
    return out;
}

PageParticle page_particle(const std::string& html_path) {
    const Bytes raw = test_support::read_bytes(html_path);
    const std::string page(raw.begin(), raw.end());
    return {json_number(page, "dim"), json_number(page, "block"), json_number(page, "edge"),
            json_text(page, "format"), from_base64(json_text(page, "data"))};
}

// Decodes the embedded voxels with the library's own reader (a stream) or as the bitmap they are.
void decode_page(const PageParticle& p, tarvo::Body& body) {
    if (p.format == "rle") {
        const test_support::StreamRead r = test_support::load_stream(p.data, p.edge);
        EXPECT_TRUE(r.ok);
        std::copy(r.bitmap.begin(), r.bitmap.end(), body.rec.data);
    } else {
        ASSERT_EQ(p.format, "bits");
        ASSERT_EQ(p.data.size(), static_cast<std::size_t>((std::int64_t{p.edge} * p.edge * p.edge + 7) / 8));
        std::copy(p.data.begin(), p.data.end(), body.rec.data);
    }
}

TEST(ToolsView, ThePageCarriesTheVoxelsInTheShorterFormAndFetchesNothing) {
    ScratchDir dir;
    const std::vector<std::pair<std::vector<std::string>, std::string>> particles = {
        {{"grain", "40", "--seed", "2", "--pores", "20"}, "rle"},
        {{"noise", "37", "--seed", "5", "--density", "0.5"}, "bits"},
    };
    for (const auto& [make, format] : particles) {
        const std::string in = dir.file(make[0] + ".3d"), html = dir.file(make[0] + ".html");
        std::vector<std::string> args = {"make", make[0], make[1], in};
        args.insert(args.end(), make.begin() + 2, make.end());
        expect_done(tools(args));
        expect_done(tools({"view", in, html}));
        const PageParticle p = page_particle(html);
        EXPECT_EQ(p.dim, std::stol(make[1]));
        EXPECT_EQ(p.block, 1);
        EXPECT_EQ(p.edge, p.dim);
        EXPECT_EQ(p.format, format) << make[0];
        tarvo::Body page = test_support::body_of_edge(static_cast<std::int32_t>(p.edge));
        decode_page(p, page);
        Loaded original(in);
        EXPECT_TRUE(test_support::same_voxels(page.rec, original.rec)) << make[0];

        // Scripts and styles are inline: no address to fetch them from.
        const Bytes raw = test_support::read_bytes(html);
        const std::string text(raw.begin(), raw.end());
        for (const char* fetch : {"http:", "https:", "<link", " src=", "@import", "url("})
            EXPECT_EQ(text.find(fetch), std::string::npos) << fetch;
        EXPECT_NE(text.find("<script>"), std::string::npos);
        EXPECT_NE(text.find("<style>"), std::string::npos);
    }
}

TEST(ToolsView, ALargerParticleIsReducedToBlocksSetWhereAnyOfTheirVoxelsIs) {
    ScratchDir dir;
    const std::string in = dir.file("sparse.3d"), ball = dir.file("ball.3d"), html = dir.file("sparse.html");
    // Rows of 100 voxels span two words and start anywhere in one; a small ball away from the
    // grid's corners has a bounding box that blocks cut.
    expect_done(tools({"make", "noise", "100", in, "--seed", "7", "--density", "0.002"}));
    expect_done(tools({"make", "sphere", "100", ball, "--radius", "7", "--center", "70,20,46"}));
    for (const std::string& file : {in, ball}) {
        expect_done(tools({"view", file, html, "--max-edge", "40"}));
        const PageParticle p = page_particle(html);
        ASSERT_EQ(p.block, 3);  // edge 100 in blocks of 3: 34, the last of one voxel
        ASSERT_EQ(p.edge, 34);
        tarvo::Body page = test_support::body_of_edge(34);
        decode_page(p, page);
        Loaded original(file);
        tarvo::Body expected = test_support::body_of_edge(34);
        for (std::int32_t z = 0; z < 100; ++z)
            for (std::int32_t y = 0; y < 100; ++y)
                for (std::int32_t x = 0; x < 100; ++x)
                    if (Get_voxel(original.rec, x, y, z)) Set_voxel(expected.rec, x / 3, y / 3, z / 3, 1);
        EXPECT_TRUE(test_support::same_voxels(page.rec, expected.rec)) << file;
        EXPECT_GT(count_voxels(expected.rec), 0);
        EXPECT_LT(count_voxels(expected.rec), 34 * 34 * 34 / 2);
    }

    expect_done(tools({"view", in, html, "--max-edge", "100"}));
    EXPECT_EQ(page_particle(html).block, 1);
}

// ---- bad usage and damaged inputs ----

TEST(ToolsErrors, UsageErrorsExitWithTwoAndHelpWithZero) {
    ScratchDir dir;
    const std::string out = dir.file("x.3d");
    const std::vector<std::vector<std::string>> usage_errors = {
        {},
        {"frobnicate"},
        {"make", "cube", "10", out},
        {"make", "sphere", "1291", out},
        {"make", "sphere", "ten", out},
        {"make", "sphere", "10"},
        {"make", "sphere", "10", out, "--radius"},
        {"make", "box", "10", out, "--radius", "3"},
        {"make", "torus", "10", out, "--axis", "w"},
        {"make", "sphere", "10", out, "--bogus", "1"},
        {"render", out, dir.file("x.png"), "--view", "diagonal"},
        {"render", out, dir.file("x.png"), "--slice", "q:3"},
        {"render", out, dir.file("x.png"), "--view", "iso++"},
        {"render", out, dir.file("x.png"), "--cut", "1", "1"},
        {"render", out, dir.file("x.png"), "--cut", "1", "1", "--size", "64"},
        {"render", out, dir.file("x.png"), "--from", "0,0,0"},
        {"render", out, dir.file("x.png"), "--view", "x", "--from", "1,0,0"},
        {"export", out, dir.file("x.stl")},
        {"import", dir.file("x.bmp"), out},
        {"info"},
        {"info", "a.3d", "b.3d"},
        {"view", out},
        {"view", out, dir.file("x.html"), "--max-edge", "0"},
        {"view", out, dir.file("x.html"), "--max-edge", "513"},
    };
    for (const auto& args : usage_errors) {
        const ToolRun r = tools(args);
        std::string shown;
        for (const auto& a : args) shown += a + " ";
        EXPECT_EQ(r.status, 2) << shown << "\n" << r.output;
        EXPECT_FALSE(r.output.empty()) << shown;
    }
    EXPECT_FALSE(std::filesystem::exists(out));
    for (const char* sub : {"make", "info", "render", "export", "import", "view"}) {
        const ToolRun r = tools({sub, "--help"});
        EXPECT_EQ(r.status, 0) << sub;
        EXPECT_EQ(r.output.rfind(std::string("Usage: tarvo-tools ") + sub, 0), 0u) << r.output;
    }
    EXPECT_EQ(tools({"--help"}).status, 0);
}

TEST(ToolsErrors, FailuresExitWithOneAndNameTheFile) {
    ScratchDir dir;
    test_support::write_bytes(dir.file("short.3d"), Bytes{7, 0, 0});
    test_support::write_bytes(dir.file("huge.3d"), test_support::header_bytes(0, 5000));
    expect_done(tools({"make", "sphere", "8", dir.file("ok.3d")}));
    const std::string missing = dir.file("missing.3d");
    const std::string nowhere = dir.file("no/such/dir/out");
    const std::vector<std::pair<std::vector<std::string>, std::string>> failures = {
        {{"info", missing}, missing},
        {{"info", dir.file("short.3d")}, "is too short (3 bytes): it has no edge length"},
        {{"render", dir.file("huge.3d"), dir.file("h.png")}, "has edge length 5000, outside 0 to 1290"},
        {{"export", missing, dir.file("m.vtk")}, missing},
        {{"render", dir.file("ok.3d"), nowhere + ".png"}, nowhere + ".png"},
        {{"export", dir.file("ok.3d"), nowhere + ".raw"}, nowhere + ".raw"},
        {{"make", "grain", "16", nowhere + ".3d"}, nowhere + ".3d"},
        {{"import", dir.file("missing.raw"), dir.file("m.3d")}, dir.file("missing.raw")},
        {{"view", missing, dir.file("m.html")}, missing},
        {{"view", dir.file("ok.3d"), nowhere + ".html"}, nowhere + ".html"},
    };
    for (const auto& [args, message] : failures) {
        const ToolRun r = tools(args);
        EXPECT_EQ(r.status, 1) << args[0] << " " << args[1] << "\n" << r.output;
        EXPECT_NE(r.output.find(message), std::string::npos) << r.output;
    }
}

// ---- names as the reports print them ----

ToolRun tools_in(const std::string& dir, const std::vector<std::string>& args) {
    return test_support::run_program(TOOLS_EXE, args, dir);
}

// The escaped form back to the name's bytes: \\, \t, \n, \r and \xHH.
std::string unescaped(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        const char c = s[++i];
        if (c == 't') out += '\t';
        else if (c == 'n') out += '\n';
        else if (c == 'r') out += '\r';
        else if (c == 'x' && i + 2 < s.size() + 1) out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16)), i += 2;
        else out += c;
    }
    return out;
}

// The rows of CSV text, quoted cells unquoted.
std::vector<std::vector<std::string>> csv_rows(const std::string& text) {
    std::vector<std::vector<std::string>> rows(1);
    std::string cell;
    bool quoted = false, was_quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') cell += '"', ++i;
            else if (c == '"') quoted = false;
            else cell += c;
        } else if (c == '"' && cell.empty() && !was_quoted) {
            quoted = was_quoted = true;
        } else if (c == ',' || c == '\n') {
            rows.back().push_back(cell);
            cell.clear();
            was_quoted = false;
            if (c == '\n') rows.emplace_back();
        } else {
            cell += c;
        }
    }
    if (rows.back().empty()) rows.pop_back();
    return rows;
}

bool valid_utf8(const std::string& s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size() || (n == 2 && c < 0xC2)) return false;
        for (std::size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

// Every JSON string value of `key`, decoded; \udc80..\udcff stand for the bytes 0x80..0xff.
std::vector<std::string> json_strings(const std::string& json, const std::string& key) {
    std::vector<std::string> out;
    const std::string start = "\"" + key + "\": \"";
    for (std::size_t at = json.find(start); at != std::string::npos; at = json.find(start, at + 1)) {
        std::string v;
        for (std::size_t i = at + start.size(); i < json.size() && json[i] != '"'; ++i) {
            if (json[i] != '\\') {
                v += json[i];
                continue;
            }
            const char c = json[++i];
            if (c != 'u') {
                v += c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c;
                continue;
            }
            const unsigned u = static_cast<unsigned>(std::stoul(json.substr(i + 1, 4), nullptr, 16));
            i += 4;
            if (u >= 0xDC80 && u <= 0xDCFF) v += static_cast<char>(u - 0xDC00);
            else if (u < 0x80) v += static_cast<char>(u);
            else if (u < 0x800) v += static_cast<char>(0xC0 | u >> 6), v += static_cast<char>(0x80 | (u & 63));
            else v += static_cast<char>(0xE0 | u >> 12), v += static_cast<char>(0x80 | (u >> 6 & 63)), v += static_cast<char>(0x80 | (u & 63));
        }
        out.push_back(v);
    }
    return out;
}

// A CSV opened in a spreadsheet turns a cell that starts with = + - @ (or a tab or a carriage
// return) into a formula, quoted or not. Such a name's cell starts with ' instead, and the rule
// that gives the name back is plain: drop one leading ', then undo the escapes.
TEST(ToolsTable, CsvCellsNeverStartAFormulaAndGiveBackTheExactName) {
    ScratchDir dir;
    expect_done(tools({"make", "sphere", "6", dir.file("s.3d")}));
    const std::vector<std::string> names = {"=HYPERLINK(\"x\").3d", "+1.3d", "-2.3d", "@SUM(A1).3d", "\tt.3d",
                                            "\rr.3d", "'=q.3d", "''.3d", "a,b\"c.3d", "plain.3d"};
    std::vector<std::string> args = {"table", "--csv"};
    for (const std::string& n : names) {
        std::filesystem::copy_file(dir.file("s.3d"), dir.file(n));
        args.push_back(n);
    }
    const ToolRun r = tools_in(dir.path().string(), args);
    expect_done(r);
    const auto rows = csv_rows(r.output);
    ASSERT_EQ(rows.size(), names.size() + 1) << r.output;
    for (std::size_t k = 0; k < names.size(); ++k) {
        const std::string& cell = rows[k + 1][0];
        SCOPED_TRACE(cell);
        ASSERT_FALSE(cell.empty());
        EXPECT_EQ(std::string("=+-@\t\r").find(cell[0]), std::string::npos);
        EXPECT_EQ(unescaped(cell[0] == '\'' ? cell.substr(1) : cell), names[k]);
        EXPECT_EQ(rows[k + 1][2], rows[1][2]);
    }
}

// File names need not be UTF-8. Two such names never print the same, and every report stays valid
// for strict readers: JSON carries each byte that is no UTF-8 as \udcXX (what Python's
// os.fsdecode makes of it), CSV and text carry the escaped form; both give the bytes back.
TEST(ToolsTable, NamesThatAreNoUtf8KeepTheirIdentity) {
    ScratchDir dir;
    expect_done(tools({"make", "sphere", "6", dir.file("s.3d")}));
    const std::vector<std::string> names = {"a\xff.3d", "a\xfe.3d", "b\xc3(.3d", "a\\xff.3d", "\xc3\xa9t\xc3\xa9.3d"};
    std::vector<std::string> args = {"table"};
    for (const std::string& n : names) {
        std::filesystem::copy_file(dir.file("s.3d"), dir.file(n));
        args.push_back(n);
    }
    for (const std::string form : {"--csv", "--json", "text"}) {
        SCOPED_TRACE(form);
        std::vector<std::string> a = args;
        if (form != "text") a.push_back(form);
        const ToolRun r = tools_in(dir.path().string(), a);
        expect_done(r);
        EXPECT_TRUE(valid_utf8(r.output)) << r.output;
        std::vector<std::string> got;
        if (form == "--json") {
            got = json_strings(r.output, "file");
        } else if (form == "--csv") {
            for (std::size_t k = 1; k < csv_rows(r.output).size(); ++k) got.push_back(unescaped(csv_rows(r.output)[k][0]));
        } else {
            std::istringstream lines(r.output);
            std::string line;
            std::getline(lines, line);
            while (std::getline(lines, line)) got.push_back(unescaped(line.substr(0, line.find(".3d") + 3)));
        }
        EXPECT_EQ(got, names);
    }
    for (const std::string& n : names) {
        const ToolRun info = tools_in(dir.path().string(), {"info", "--json", n});
        expect_done(info);
        EXPECT_TRUE(valid_utf8(info.output));
        EXPECT_EQ(json_strings(info.output, "file"), std::vector<std::string>{n});
    }
}

// Control characters in a name never reach the terminal: reports and messages print the
// escaped form.
TEST(ToolsErrors, ControlCharactersInNamesAreEscaped) {
    ScratchDir dir;
    const std::string odd = "e\x1b]0;owned\x07\x1b[2J\n.3d";
    const std::string shown = "e\\x1b]0;owned\\x07\\x1b[2J\\n.3d";
    expect_done(tools({"make", "sphere", "6", dir.file(odd)}));
    test_support::write_bytes(dir.file("v\x1b[1m.raw"), Bytes(8, 1));
    const std::vector<std::vector<std::string>> runs = {
        {"info", odd}, {"table", odd}, {"table", "--csv", odd}, {"info", "missing\x1b[2J.3d"},
        {"import", "v\x1b[1m.raw", "v.3d"}, {"render", "missing\x1b[5m.3d", "x.png"}};
    for (const auto& args : runs) {
        const ToolRun r = tools_in(dir.path().string(), args);
        SCOPED_TRACE(r.output);
        for (const char c : r.output) EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << int{c};
        EXPECT_NE(r.output.find("\\x1b"), std::string::npos);
    }
    EXPECT_NE(tools_in(dir.path().string(), {"info", odd}).output.find(shown), std::string::npos);
}

// `--` ends the options: a file whose name starts with -- can be named after it.
TEST(ToolsErrors, DoubleDashEndsTheOptions) {
    ScratchDir dir;
    expect_done(tools({"make", "sphere", "6", dir.file("s.3d")}));
    std::filesystem::copy_file(dir.file("s.3d"), dir.file("--json"));
    std::filesystem::copy_file(dir.file("s.3d"), dir.file("--odd.3d"));
    std::filesystem::copy_file(dir.file("s.3d"), dir.file("--help"));
    ToolRun r = tools_in(dir.path().string(), {"info", "--", "--odd.3d"});
    expect_done(r);
    EXPECT_NE(r.output.find("file      --odd.3d"), std::string::npos) << r.output;
    r = tools_in(dir.path().string(), {"info", "--json", "--", "--json"});
    expect_done(r);
    EXPECT_EQ(json_strings(r.output, "file"), std::vector<std::string>{"--json"});
    expect_done(tools_in(dir.path().string(), {"table", "--csv", "--", "--odd.3d", "--json", "s.3d"}));
    expect_done(tools_in(dir.path().string(), {"export", "--", "--odd.3d", "--out.vtk"}));
    EXPECT_TRUE(std::filesystem::exists(dir.file("--out.vtk")));
    r = tools_in(dir.path().string(), {"info", "--", "--help"});
    expect_done(r);
    EXPECT_NE(r.output.find("file      --help"), std::string::npos) << r.output;
    EXPECT_EQ(tools_in(dir.path().string(), {"info", "--bogus", "--", "s.3d"}).status, 2);
}

// The minor page faults of one run of tarvo-tools (its output thrown away).
long minor_faults(const std::vector<std::string>& args) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        std::vector<std::string> all{TOOLS_EXE};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(TOOLS_EXE, argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return usage.ru_minflt;
}

// info and table do work in proportion to the stream, not to the grid its header claims: a
// 52-byte file that claims the largest grid touches no memory of that grid's size (268 MB,
// 65,000 pages), counted in the pages the run faults in.
TEST(ToolsInfo, AHeaderClaimingTheLargestGridCostsOnlyItsStream) {
#if defined(TARVO_PORTABLE) || defined(TARVO_SANITIZED)
    GTEST_SKIP() << "the portable build knows no file sizes; the sanitizers fault in memory of their own";
#endif
    ScratchDir dir;
    test_support::write_bytes(dir.file("claim.3d"), test_support::header_bytes(tarvo::bitmap_size(1290), 1290));
    expect_done(tools({"make", "sphere", "6", dir.file("small.3d")}));
    const long small = minor_faults({"info", dir.file("small.3d")});
    ASSERT_GT(small, 0);
    for (const std::string sub : {"info", "table"}) {
        const long claim = minor_faults({sub, dir.file("claim.3d")});
        EXPECT_GT(claim, 0) << sub;
        EXPECT_LT(claim, small + 2000) << sub << ": " << claim << " page faults, against " << small;
    }
    const ToolRun r = tools({"info", "--json", dir.file("claim.3d")});
    expect_done(r);
    EXPECT_EQ(json_number(r.output, "measured", "voxels"), 0);
    EXPECT_NE(r.output.find("\"ends_early\": true"), std::string::npos) << r.output;
}

// ---- export: names in headers, and the .raw with its .nhdr ----

// A name with a newline cannot end a header early or add a field: control characters are escaped
// in NRRD comments and in the VTK title, and each file imports back (or reads as VTK) as written.
// A data file NRRD cannot name (a space, a leading LIST) is refused before anything is written.
TEST(ToolsExchange, ExportKeepsNamesOutOfTheHeadersFields) {
    ScratchDir dir;
    const std::string in = "y\nencoding: gzip\nASCII\n.3d";
    expect_done(tools({"make", "grain", "12", dir.file(in)}));
    expect_done(tools_in(dir.path().string(), {"export", in, "e.vtk"}));
    const Bytes vtk_bytes = test_support::read_bytes(dir.file("e.vtk"));
    std::istringstream vtk(std::string(vtk_bytes.begin(), vtk_bytes.end()));
    std::string line;
    std::vector<std::string> lines;
    for (int k = 0; k < 4 && std::getline(vtk, line); ++k) lines.push_back(line);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2], "BINARY");
    EXPECT_EQ(lines[3], "DATASET STRUCTURED_POINTS");
    for (const std::string out : {"e.nrrd", "e.raw"}) {
        SCOPED_TRACE(out);
        expect_done(tools_in(dir.path().string(), {"export", in, out}));
        const std::string header = out == "e.raw" ? "e.nhdr" : out;
        expect_done(tools_in(dir.path().string(), {"import", header, "back.3d"}));
        EXPECT_TRUE(same_voxels(dir.file(in), dir.file("back.3d")));
    }
    for (const std::string out : {"a b.raw", "LIST.raw", "LISTx.raw", "t\tb.raw"}) {
        SCOPED_TRACE(out);
        const ToolRun r = tools_in(dir.path().string(), {"export", in, out});
        EXPECT_EQ(r.status, 2) << r.output;
        EXPECT_NE(r.output.find("NRRD"), std::string::npos) << r.output;
        const std::string stem = out.substr(0, out.size() - 4);
        EXPECT_FALSE(std::filesystem::exists(dir.file(out)));
        EXPECT_FALSE(std::filesystem::exists(dir.file(stem + ".nhdr")));
    }
}

// export X.raw writes X.raw and X.nhdr as a pair: when the header cannot be written, the .raw is
// left as it was, so an old header never describes new data.
TEST(ToolsExchange, ExportWritesTheRawAndItsHeaderWholeOrNotAtAll) {
    ScratchDir dir;
    expect_done(tools({"make", "sphere", "10", dir.file("a.3d")}));
    expect_done(tools({"make", "cylinder", "14", dir.file("b.3d")}));
    expect_done(tools({"export", dir.file("a.3d"), dir.file("x.raw")}));
    const Bytes raw = test_support::read_bytes(dir.file("x.raw"));
    std::filesystem::remove(dir.file("x.nhdr"));
    std::filesystem::create_symlink("no/such/dir/x.nhdr", dir.file("x.nhdr"));
    const ToolRun r = tools({"export", dir.file("b.3d"), dir.file("x.raw")});
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("x.nhdr"), std::string::npos) << r.output;
    EXPECT_TRUE(test_support::read_bytes(dir.file("x.raw")) == raw);
    EXPECT_EQ(test_support::temporary_files_in(dir.path()), 0u);
}

}  // namespace

TEST(Tools, VersionNamesTheKernelChosenAndARefusedOneStopsTheRun) {
    const ToolRun plain = test_support::run_program(TOOLS_EXE, {"--version"});
    EXPECT_EQ(plain.status, 0);
    EXPECT_NE(plain.output.find("codec kernel: " + std::string(tarvo::kernel_name(tarvo::fastest_kernel())) + " ("),
              std::string::npos)
        << plain.output;
    const ToolRun scalar = test_support::run_program(TOOLS_EXE, {"--version"}, "", "env TARVO_KERNEL=scalar");
    EXPECT_NE(scalar.output.find("codec kernel: scalar ("), std::string::npos) << scalar.output;
    const ToolRun bad = test_support::run_program(TOOLS_EXE, {"--version"}, "", "env TARVO_KERNEL=bogus");
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.output.find("TARVO_KERNEL=bogus: no such kernel"), std::string::npos) << bad.output;
}
