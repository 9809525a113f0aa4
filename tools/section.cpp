// tarvo-tools section: the face a plane cuts through each particle, its figures and its picture.
#include <cmath>
#include <cstdlib>
#include <new>

#include "figures.h"
#include "geometry/passes.h"
#include "image.h"
#include "plane.h"
#include "sheet.h"
#include "subcommands.h"
#include "tarvo/quantities.h"

namespace tarvo::tools {
namespace {

const char kUsageText[] =
    "Usage: tarvo-tools section FILE.3d... (--cut X Y Z | --normal NX NY NZ [--through X Y Z] | --random N --seed S) [--spacing X[,Y,Z] [--unit U]] [--png FACE.png] [--files LIST] [--csv | --json]\n"
    "\n"
    "The face a plane cuts through each particle, sampled at one pixel a voxel face from the\n"
    "nearest voxel: solid pixels (set voxels), pores (empty pixels the face encloses: no 4-connected\n"
    "path to the outside) and outside. One row per file and plane: file, plane (the plane's number\n"
    "with --random), the normal nx ny nz and point px py pz, spacing_x/y/z and unit (the voxel size),\n"
    "face_area (solid + pore), solid_area, pore_area, section_porosity, pores_opened (4-connected\n"
    "pores) and pore_sizes (largest first), perimeter (face edges times pi/4), equivalent_diameter (of\n"
    "the disc of face_area), the image's origin and axes u, v (origin_x ... v_z) and error\n"
    "(docs/quantities.md). Areas and lengths are in the units of the voxel size (--spacing, else the\n"
    "file's sidecar), else in voxel units (unit: voxel); the plane and the image's axes are in the\n"
    "grid's coordinates. The files are done on all cores; a failing file gives a row with its error\n"
    "and the exit status 1.\n"
    "  --cut X Y Z           the plane of tarvo's cut for these lengths\n"
    "  --normal NX NY NZ     a plane by its normal, through --through X Y Z (default: the centre)\n"
    "  --random N            N planes through the centre, normals uniform on the sphere (1 to 100000)\n"
    "  --seed S              the seed of --random (0 to 2^63-1)\n"
    "  --spacing X[,Y,Z]     the size of a voxel (default: the file's sidecar FILE.3d.json, else voxel units)\n"
    "  --unit U              the unit of --spacing (um, mm, ...)\n"
    "  --png FACE.png        the face as a picture (one file, one plane): solid sand, pores blue,\n"
    "                        outside white; pixel (i, j) from the top left is origin + (i - h) u + (j - h) v\n"
    "  --files LIST          also the files named in LIST, one a line (- for standard input)\n"
    "  --csv, --json         comma-separated values or a JSON array\n";

const std::vector<Column>& columns() {
    static const std::vector<Column> c = {
        {"file", Kind::kText},          {"plane", Kind::kNumber},        {"nx", Kind::kNumber},
        {"ny", Kind::kNumber},          {"nz", Kind::kNumber},           {"px", Kind::kNumber},
        {"py", Kind::kNumber},          {"pz", Kind::kNumber},           {"spacing_x", Kind::kNumber},
        {"spacing_y", Kind::kNumber},   {"spacing_z", Kind::kNumber},    {"unit", Kind::kText},
        {"face_area", Kind::kNumber},
        {"solid_area", Kind::kNumber},  {"pore_area", Kind::kNumber},    {"section_porosity", Kind::kNumber},
        {"pores_opened", Kind::kNumber}, {"pore_sizes", Kind::kNumbers}, {"perimeter", Kind::kNumber},
        {"equivalent_diameter", Kind::kNumber}, {"origin_x", Kind::kNumber}, {"origin_y", Kind::kNumber},
        {"origin_z", Kind::kNumber},    {"u_x", Kind::kNumber},          {"u_y", Kind::kNumber},
        {"u_z", Kind::kNumber},         {"v_x", Kind::kNumber},          {"v_y", Kind::kNumber},
        {"v_z", Kind::kNumber},         {"error", Kind::kText}};
    return c;
}

// What the planes of a run are; each file's planes follow from its centre.
struct Request {
    std::optional<CutLengths> lengths;
    std::optional<std::array<double, 3>> normal, through;
    std::vector<std::array<double, 3>> random;
};

std::vector<SectionPlane> planes_of(const Request& r, const TelesoRecord& measured) {
    const Center c = Get_center(measured);
    const std::array<double, 3> centre{double(c.x), double(c.y), double(c.z)};
    if (r.lengths) {
        const std::optional<SectionPlane> p = section_plane_of(*r.lengths, c);
        if (!p) throw Failure("the lengths give no plane: none is finite and non-zero");
        return {*p};
    }
    if (r.normal) return {SectionPlane{r.through ? *r.through : centre, *r.normal}};
    std::vector<SectionPlane> planes;
    for (const auto& n : r.random) planes.push_back({centre, n});
    return planes;
}

Row row_of(const std::string& path, std::size_t k, const SectionPlane& p, const Section& s,
           const volumes::VoxelSize& size) {
    Row row{{path, {}}, {std::to_string(k), {}}};
    auto add = [&row](double v) { row.push_back({number_text(v), {}}); };
    auto count = [&row](std::int64_t v) { row.push_back({std::to_string(v), {}}); };
    for (double v : p.normal) add(v);
    for (double v : p.point) add(v);
    for (double v : spacing_of(size)) add(v);
    row.push_back({unit_text(size), {}});
    // In voxel units the areas are pixel counts; in a voxel size's units, those of the pixels' size.
    const SectionMeasures m = section_measures(s, spacing_of(size));
    auto area = [&](std::int64_t pixels, double scaled) { size.known ? add(scaled) : count(pixels); };
    area(s.face_area, m.face_area);
    area(s.solid_area, m.solid_area);
    area(s.pore_area, m.pore_area);
    add(s.section_porosity);
    count(static_cast<std::int64_t>(s.pore_sizes.size()));
    Cell sizes;
    for (std::size_t j = 0; j < s.pore_sizes.size(); ++j)
        sizes.items.push_back(size.known ? number_text(m.pore_sizes[j]) : std::to_string(s.pore_sizes[j]));
    row.push_back(sizes);
    add(m.perimeter);
    add(m.equivalent_diameter);
    for (const auto* v : {&s.origin, &s.u, &s.v})
        for (double x : *v) add(x);
    row.push_back({});
    return row;
}

void write_face(const std::string& path, const Section& s) {
    static const Rgb kColour[3] = {{255, 255, 255}, {214, 186, 140}, {40, 90, 200}};
    Image image(s.width, s.width, kColour[0]);
    for (int j = 0; j < s.width; ++j)
        for (int i = 0; i < s.width; ++i) image.set(i, j, kColour[s.pixels[static_cast<std::size_t>(i + s.width * j)]]);
    std::vector<std::uint8_t> bytes;
    std::string error;
    if (!encode_png(image, bytes, error)) throw Failure(path + ": " + error);
    write_or_fail(path, bytes.data(), bytes.size());
}

std::vector<Row> section_rows(const Arguments& a, const std::string& path, const Request& r, const std::string* png) {
    try {
        const volumes::VoxelSize size = figures_voxel_size(a, path);
        Body body;
        tarvo::Tally tally;  // measured while read: its centre without a second pass
        load_or_fail(path, body, nullptr, false, &tally);
        TelesoRecord measured = body.rec;
        geometry::set_measurement(measured, tally);
        std::vector<Row> rows;
        const std::vector<SectionPlane> planes = planes_of(r, measured);
        for (std::size_t k = 0; k < planes.size(); ++k) {
            const Section s = section(body.rec, planes[k]);
            if (png) write_face(*png, s);
            rows.push_back(row_of(path, k, planes[k], s, size));
        }
        return rows;
    } catch (const Failure& e) {
        Row row(columns().size());
        row[0].text = path;
        row.back().text = e.what();
        return {row};
    } catch (const std::bad_alloc&) {
        Row row(columns().size());
        row[0].text = path;
        row.back().text = path + ": out of memory";
        return {row};
    }
}

std::array<double, 3> doubles(const Texts& t) {
    return {std::strtod(t[0].c_str(), nullptr), std::strtod(t[1].c_str(), nullptr), std::strtod(t[2].c_str(), nullptr)};
}

Request request_of(Args& args, Arguments& a) {
    Request r;
    const std::optional<Texts> cut = take_triple(args, "--cut");
    const PlaneArgs p = take_plane(args);
    a = parse_arguments(args, {"--random", "--seed", "--png", "--files", "--spacing", "--unit"}, {"--csv", "--json"});
    const int given = (cut ? 1 : 0) + (p.plane ? 1 : 0) + (a.has("--random") ? 1 : 0);
    if (given != 1) throw UsageError("give one of --cut X Y Z, --normal NX NY NZ and --random N");
    if (p.plane && p.plane->keep_plus) throw UsageError("--keep goes with cut, not section");
    if (a.has("--seed") != a.has("--random")) throw UsageError("--random and --seed go together");
    if (cut) r.lengths = lengths_of(*cut);
    if (p.plane) {
        r.normal = doubles(*p.normal_text);
        if (p.through_text) r.through = doubles(*p.through_text);
    }
    if (a.has("--random")) {
        const long n = integer("--random", *a.value("--random"), 1, 100000);
        const long seed = integer("--seed", *a.value("--seed"), 0, 0x7fffffffffffffffL);
        r.random = random_normals(static_cast<int>(n), static_cast<std::uint64_t>(seed));
    }
    return r;
}

int run_section(const Args& raw) {
    Args args = raw;
    Arguments a;
    const Request r = request_of(args, a);
    const Format format = format_of(a);
    check_size_options(a);
    const std::vector<std::string> paths = batch_paths(a);
    const std::string* png = a.value("--png");
    if (png) {
        if (paths.size() != 1 || !r.random.empty()) throw UsageError("--png takes one file and one plane");
        check_output_name(*png, ".png", "a PNG picture");
    }
    std::vector<std::vector<Row>> per_file(paths.size());
    for_each_file(paths.size(), [&](std::size_t k) { per_file[k] = section_rows(a, paths[k], r, png); });
    Sheet sheet;
    sheet.columns = columns();
    bool failed = false;
    for (auto& rows : per_file)
        for (Row& row : rows) {
            failed = failed || !row.back().text.empty();
            sheet.rows.push_back(std::move(row));
        }
    print_sheet(sheet, format);
    return failed ? kFailed : kDone;
}

}  // namespace

const Subcommand kSection{"section", "the face a plane cuts: areas, pores opened, picture; random planes", kUsageText,
                          run_section};

}  // namespace tarvo::tools
