// tarvo-tools import: an 8-bit volume (from a scan) into a shape form file.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <sstream>

#include "common.h"
#include "volume.h"
#include "tarvo/geometry.h"
#include "progress.h"
#include "subcommands.h"

namespace tarvo::tools {
namespace {

const char kUsageText[] =
    "Usage: tarvo-tools import IN.raw|IN.nrrd|IN.nhdr|IN.tif OUT.3d [--dim N] [--threshold T] [--label K]\n"
    "                          [--size X,Y,Z] [--type T] [--spacing X[,Y,Z]] [--unit U]\n"
    "\n"
    "Reads a volume, x fastest, then y, then z, and writes the particle of the voxels whose value\n"
    "is at least T, or whose label is K. A cube of edge 0 to 1290 keeps its grid; any other volume\n"
    "goes into the smallest cube around the set voxels, and the offset is reported.\n"
    "  .raw          bytes; the edge is --dim N, or else the cube root of the length; or labels\n"
    "                of --type uint8|uint16|uint32 (little-endian) in a volume of --size X,Y,Z\n"
    "  .nrrd, .nhdr  NRRD: uint8, uint16 or uint32, either endian, raw or gzip encoding, attached\n"
    "                or detached data in the header's folder (a regular file holding exactly the\n"
    "                bytes the header describes; a cubic uint8 raw one with its data attached may\n"
    "                come through a pipe)\n"
    "  .tif, .tiff   a TIFF stack, multi-page or one file per slice (slice_%04d.tif)\n"
    "  --threshold T by default 1 when every value is 0 or 1 (a binary volume), else 128\n"
    "  --label K     the voxels of label K\n"
    "  --spacing X[,Y,Z]  the size of a voxel (default: the NRRD's spacings or space directions,\n"
    "                the TIFF's resolution and ImageJ spacing)\n"
    "  --unit U      its unit, e.g. um or mm (default: the file's)\n"
    "A known voxel size is written beside the particle in OUT.3d.json, where export and mesh find it.\n"
    "\n"
    "Says on standard error what it chose (edge, threshold, voxels set); a volume that sets no voxel\n"
    "is a failure (status 1), and nothing is written. A .raw volume whose bytes look like wider\n"
    "numbers (a numpy mask saved as int or float) is refused unless --dim\n"
    "is given: save such a mask with mask.astype(numpy.uint8).tofile(path).\n";

constexpr std::uint8_t kBinaryThreshold = 1;
constexpr std::uint8_t kGreyThreshold = 128;

std::uint64_t cube(std::int64_t e) { return static_cast<std::uint64_t>(e) * e * e; }

void check_edge(const std::string& path, std::int64_t edge) {
    if (edge < 0 || edge > tarvo::kMaxDim)
        throw Failure("'" + path + "' holds a cube of edge " + std::to_string(edge) + ", outside 0 to " +
                      std::to_string(tarvo::kMaxDim));
}

// The whole number whose cube is `length`, or -1.
std::int64_t exact_cube_root(std::uint64_t length) {
    auto e = static_cast<std::int64_t>(std::llround(std::cbrt(static_cast<double>(length))));
    for (std::int64_t c = std::max<std::int64_t>(e - 1, 0); c <= e + 1; ++c)
        if (cube(c) == length) return c;
    return -1;
}

std::int32_t raw_edge(const std::string& path, const std::string* dim_text) {
    const std::optional<std::uint64_t> length = regular_file_bytes(path);
    if (dim_text) {
        const long dim = integer("--dim", *dim_text, 0, tarvo::kMaxDim);
        if (length && cube(dim) != *length)
            throw Failure("'" + path + "' has " + std::to_string(*length) + " bytes, but a cube of edge " +
                          std::to_string(dim) + " needs " + std::to_string(cube(dim)));
        return static_cast<std::int32_t>(dim);
    }
    if (!length) throw Failure("'" + path + "' is not a regular file: give its edge with --dim");
    const std::int64_t root = exact_cube_root(*length);
    if (root < 0) {
        std::string hint;
        for (std::uint64_t width : {2, 4, 8})
            if (*length % width == 0 && exact_cube_root(*length / width) > 0)
                hint = " (it would hold a cube of edge " + std::to_string(exact_cube_root(*length / width)) +
                       " of numbers of " + std::to_string(width) +
                       " bytes: save a numpy mask with mask.astype(numpy.uint8).tofile(path))";
        throw Failure("'" + path + "' has " + std::to_string(*length) +
                      " bytes, which is not the cube of a whole number: it is no cubic volume" + hint);
    }
    check_edge(path, root);
    return static_cast<std::int32_t>(root);
}

// A detached header names a file that the user may not have looked at: it is read no further than
// the header says. It must be a regular file holding exactly the header's bytes (the byte skip,
// none for -1, then the voxels), checked before anything is read, so that neither an endless
// device nor the last bytes of whatever file it names are read.
void check_detached_data(const VolumeReader& data, const std::string& header, const NrrdHeader& h,
                         std::uint64_t need) {
    const std::optional<std::uint64_t> length = data.regular_size();
    if (!length)
        throw Failure("'" + data.path() + "' is not a regular file: the data file of the NRRD header '" + header +
                      "' must be one");
    const std::uint64_t described = h.byte_skip + need;
    if (*length != described)
        throw Failure("'" + data.path() + "' holds " + std::to_string(*length) + " bytes, but the header '" + header +
                      "' describes " + std::to_string(described) + " (byte skip " +
                      std::to_string(h.data_at_end ? -1 : static_cast<std::int64_t>(h.byte_skip)) +
                      ", then a cube of edge " + std::to_string(h.edge) + ")");
}

// Positions `data` at the voxel bytes the header describes and returns the edge.
std::int32_t nrrd_edge(VolumeReader& header_file, VolumeReader& data, const std::string* dim_text,
                       volumes::VoxelSize& size) {
    const NrrdHeader h = read_nrrd_header(header_file);
    size = h.voxel_size;
    const std::string& path = header_file.path();
    check_edge(path, h.edge);
    if (dim_text && integer("--dim", *dim_text, 0, tarvo::kMaxDim) != h.edge)
        throw Failure("'" + path + "' holds a cube of edge " + std::to_string(h.edge) + ", not " + *dim_text);
    VolumeReader& source = h.data_path.empty() ? header_file : data;
    const std::uint64_t need = cube(h.edge);
    if (!h.data_path.empty()) {
        data.open(h.data_path);
        check_detached_data(data, path, h, need);
    }
    std::uint64_t skip = h.byte_skip;
    if (h.data_at_end) {
        const std::optional<std::uint64_t> length = regular_file_bytes(source.path());
        if (!length || *length < need + source.position())
            throw Failure("'" + path + "' puts its voxel data at the end of '" + source.path() +
                          "', which does not hold them");
        skip = *length - need - source.position();
    }
    source.skip(skip);
    if (const std::optional<std::uint64_t> length = regular_file_bytes(source.path())) {
        const std::uint64_t held = *length - std::min(*length, source.position());
        if (held != need)
            throw Failure("'" + source.path() + "' holds " + std::to_string(held) +
                          " bytes of voxel data, but a cube of edge " + std::to_string(h.edge) + " needs " +
                          std::to_string(need));
    }
    return static_cast<std::int32_t>(h.edge);
}

// What the bytes of a volume looked like.
struct ByteFacts {
    std::uint8_t threshold = 0;    // the threshold applied
    std::uint8_t largest = 0;      // the largest value
    std::uint64_t lanes[8] = {};   // nonzero bytes at each position modulo 8

    void count(const std::vector<std::uint8_t>& bytes, std::uint64_t first) {
        for (std::size_t k = 0; k < bytes.size(); ++k)
            if (bytes[k] != 0) {
                ++lanes[(first + k) % 8];
                largest = std::max(largest, bytes[k]);
            }
    }

    // Nonzero bytes in no more than `most` of the byte positions modulo `period`: the bytes of
    // wider numbers (int16 to int64, float32, float64) whose high or low bytes are zero.
    bool in_few_lanes(int period, int most) const {
        std::uint64_t total = 0;
        int used = 0;
        for (int lane = 0; lane < period; ++lane) {
            std::uint64_t n = 0;
            for (int k = lane; k < 8; k += period) n += lanes[k];
            total += n;
            used += n > 0 ? 1 : 0;
        }
        return total >= kEvidenceBytes && used <= most;
    }
    bool look_wide() const { return in_few_lanes(2, 1) || in_few_lanes(4, 2) || in_few_lanes(8, 2); }

    // Fewer nonzero bytes than this prove nothing about their lanes.
    static constexpr std::uint64_t kEvidenceBytes = 16;
};

// Reads the volume once, layer by layer, into the body. Without a threshold given, a volume is
// binary as long as no value above 1 has come: its voxels are those of value 1 so far; at the first
// larger value the grey threshold applies, under which every earlier voxel (0 or 1) is empty.
ByteFacts fill_body(VolumeReader& in, std::int32_t edge, std::uint8_t threshold, TelesoRecord& rec,
                    Progress& progress) {
    progress.stage("reading " + in.path(), edge);
    const std::int64_t layer_voxels = std::int64_t{edge} * edge;
    std::vector<std::uint8_t> layer(static_cast<std::size_t>(layer_voxels));
    ByteFacts facts;
    const bool choose = threshold == 0;
    if (choose) threshold = kBinaryThreshold;
    for (std::int32_t z = 0; z < edge; ++z) {
        const std::size_t got = in.read(layer.data(), layer.size());
        if (got < layer.size())
            throw Failure("'" + in.path() + "' ends after " + std::to_string(layer_voxels * z + static_cast<std::int64_t>(got)) +
                          " bytes of voxel data, but a cube of edge " + std::to_string(edge) + " needs " +
                          std::to_string(cube(edge)));
        if (choose && threshold == kBinaryThreshold &&
            std::any_of(layer.begin(), layer.end(), [](std::uint8_t v) { return v > 1; })) {
            threshold = kGreyThreshold;
            std::fill(rec.data, rec.data + tarvo::padded_bytes(rec.size), std::uint8_t{0});
        }
        facts.count(layer, static_cast<std::uint64_t>(layer_voxels * z));
        tarvo::pack_voxels(rec, layer_voxels * z, layer.data(), layer_voxels, threshold);
        progress.advance(1);
    }
    if (!in.at_end())
        throw Failure("'" + in.path() + "' holds more than the " + std::to_string(cube(edge)) +
                      " bytes of a cube of edge " + std::to_string(edge));
    facts.threshold = threshold;
    return facts;
}

// What import chose, on standard error (standard output may be the particle).
void report(const std::string& in, std::int32_t edge, const ByteFacts& facts, bool chosen, std::int32_t voxels,
            const volumes::VoxelSize& size) {
    std::string voxel_size;
    if (size.known)
        voxel_size = ", voxel size " + volumes::format_number(size.size[0]) + " x " + volumes::format_number(size.size[1]) +
                     " x " + volumes::format_number(size.size[2]) + (size.unit.empty() ? "" : " " + size.unit);
    std::fprintf(stderr, "tarvo-tools import: '%s': edge %d, threshold %d%s, %d voxels set%s\n", escaped(in).c_str(), edge,
                 facts.threshold,
                 !chosen ? "" : facts.threshold == kBinaryThreshold ? " (every value is 0 or 1)" : " (values up to 255)",
                 voxels, voxel_size.c_str());
}

// An empty particle is a failure, not a file: a batch script must not carry on with it.
void refuse_empty(const std::string& in, const ByteFacts& facts, std::int32_t edge) {
    if (edge == 0) throw Failure("'" + in + "' holds no voxel (edge 0): no particle written");
    throw Failure("'" + in + "' sets no voxel: no value reaches the threshold " + std::to_string(facts.threshold) +
                  " (the largest value is " + std::to_string(facts.largest) +
                  "); --threshold T chooses another; no particle written");
}

// ---- volumes of any label width, TIFF stacks and non-cubic volumes: two passes ----

// Which voxels are set: label K, or values of at least T; T unchosen: 1 for a 0/1 volume, else 128.
struct Pick {
    std::uint32_t label = 0;      // nonzero: only this label
    std::uint32_t threshold = 0;  // nonzero: given
};

struct Box {
    std::array<std::int64_t, 3> min{INT64_MAX, INT64_MAX, INT64_MAX}, max{-1, -1, -1};
    void add(std::int64_t x0, std::int64_t x1, std::int64_t y, std::int64_t z) {
        const std::array<std::int64_t, 3> lo{x0, y, z}, hi{x1 - 1, y, z};
        for (int k = 0; k < 3; ++k) min[k] = std::min(min[k], lo[k]), max[k] = std::max(max[k], hi[k]);
    }
    bool empty() const { return max[0] < 0; }
};

struct LabelFacts {
    std::uint64_t negatives = 0;  // of a signed type, read as 0
    std::uint32_t largest = 0;
    Box first, grey;  // the set voxels' box under the first rule (label, given or 1) and under 128
};

template <class Set>
void for_runs(const std::vector<std::uint32_t>& row, Set&& set_run) {
    for (std::size_t x = 0; x < row.size();) {
        std::size_t end = x + 1;
        while (end < row.size() && (row[end] != 0) == (row[x] != 0)) ++end;
        if (row[x] != 0) set_run(x, end);
        x = end;
    }
}

std::vector<std::uint32_t> picked(const std::vector<std::uint32_t>& row, const Pick& p, std::uint32_t threshold) {
    std::vector<std::uint32_t> out(row.size());
    for (std::size_t i = 0; i < row.size(); ++i)
        out[i] = p.label ? row[i] == p.label : row[i] >= threshold;
    return out;
}

LabelFacts survey(const std::string& in, const LabelLayout& l, const Pick& p, Progress& progress) {
    progress.stage("reading " + in, l.size[2]);
    LabelFacts f;
    LabelRows rows(in, l);
    std::vector<std::uint32_t> row(static_cast<std::size_t>(l.size[0]));
    const std::uint32_t first = p.threshold ? p.threshold : 1;
    for (std::int64_t z = 0; z < l.size[2]; ++z) {
        for (std::int64_t y = 0; y < l.size[1]; ++y) {
            rows.next(row.data());
            for (std::uint32_t v : row) f.largest = std::max(f.largest, v);
            for_runs(picked(row, p, first), [&](std::size_t a, std::size_t b) { f.first.add(a, b, y, z); });
            if (!p.label && !p.threshold)
                for_runs(picked(row, p, kGreyThreshold), [&](std::size_t a, std::size_t b) { f.grey.add(a, b, y, z); });
        }
        progress.advance(1);
    }
    rows.finish();
    f.negatives = rows.negatives();
    return f;
}

std::string sizes_text(const std::array<std::int64_t, 3>& s) {
    return std::to_string(s[0]) + " x " + std::to_string(s[1]) + " x " + std::to_string(s[2]);
}

int import_labels(const Arguments& a, const std::string& in, const std::string& out, const LabelLayout& l,
                  const volumes::VoxelSize& size) {
    Pick pick;
    if (const std::string* k = a.value("--label")) pick.label = static_cast<std::uint32_t>(integer("--label", *k, 1, UINT32_MAX));
    if (const std::string* t = a.value("--threshold")) pick.threshold = static_cast<std::uint32_t>(integer("--threshold", *t, 1, UINT32_MAX));
    if (pick.label && pick.threshold) throw UsageError("give --label or --threshold, not both");
    const bool cube = l.size[0] == l.size[1] && l.size[1] == l.size[2] && l.size[0] <= tarvo::kMaxDim;
    if (const std::string* d = a.value("--dim"); d && (!cube || l.size[0] != integer("--dim", *d, 0, tarvo::kMaxDim)))
        throw Failure("'" + in + "' holds a " + sizes_text(l.size) + " volume, not a cube of edge " + *d);
    Progress progress("import");
    const LabelFacts f = survey(in, l, pick, progress);
    const bool binary = f.largest <= 1;
    const std::uint32_t threshold = pick.label ? 0 : pick.threshold ? pick.threshold : binary ? 1 : kGreyThreshold;
    const Box& box = pick.label || pick.threshold || binary ? f.first : f.grey;
    const std::string rule = pick.label ? "label " + std::to_string(pick.label) : "threshold " + std::to_string(threshold);
    if (box.empty())
        throw Failure("'" + in + "' sets no voxel: " +
                      (pick.label ? "no voxel has label " + std::to_string(pick.label)
                                  : "no value reaches the threshold " + std::to_string(threshold)) +
                      " (the largest value is " + std::to_string(f.largest) +
                      "); --threshold T or --label K chooses another; no particle written");
    // A cube keeps its grid; any other volume goes into the smallest cube around its set voxels.
    std::array<std::int64_t, 3> offset{0, 0, 0};
    std::int64_t edge = l.size[0];
    if (!cube) {
        offset = box.min;
        edge = 0;
        for (int k = 0; k < 3; ++k) edge = std::max(edge, box.max[k] - box.min[k] + 1);
        if (edge > tarvo::kMaxDim)
            throw Failure("'" + in + "': the set voxels span " + sizes_text({box.max[0] - box.min[0] + 1, box.max[1] - box.min[1] + 1,
                          box.max[2] - box.min[2] + 1}) + ", beyond the edge limit " + std::to_string(tarvo::kMaxDim) +
                          "; tarvo-tools split writes each label apart");
    }
    Body body;
    allocate_or_fail(body, static_cast<std::int32_t>(edge));
    progress.stage("filling the particle", l.size[2]);
    LabelRows rows(in, l);
    std::vector<std::uint32_t> row(static_cast<std::size_t>(l.size[0]));
    for (std::int64_t z = 0; z < l.size[2]; ++z) {
        for (std::int64_t y = 0; y < l.size[1]; ++y) {
            rows.next(row.data());
            if (z < offset[2] || z >= offset[2] + edge || y < offset[1] || y >= offset[1] + edge) continue;
            const std::int64_t base = ((z - offset[2]) * edge + (y - offset[1])) * edge - offset[0];
            for_runs(picked(row, pick, threshold), [&](std::size_t a, std::size_t b) {
                tarvo::set_voxels(body.rec, base + static_cast<std::int64_t>(a), base + static_cast<std::int64_t>(b));
            });
        }
        progress.advance(1);
    }
    Analyse_teleso(body.rec);
    progress.stage("writing " + out);
    measure_and_save(out, body.rec);
    if (size.known || (out != kStandardOutput && std::filesystem::exists(volumes::sidecar_path(out))))
        write_sidecar(out, size, in);
    std::string placed = cube ? "" : ", in a cube of edge " + std::to_string(edge) + " at offset " + std::to_string(offset[0]) +
                                         " " + std::to_string(offset[1]) + " " + std::to_string(offset[2]) + " of the volume";
    const std::string type = (l.is_signed ? "int" : "uint") + std::to_string(8 * l.width);
    const std::string negatives = f.negatives ? ", " + std::to_string(f.negatives) + " negative values read as 0" : "";
    std::fprintf(stderr, "tarvo-tools import: '%s': %s %s, %s, %d voxels set%s%s\n", in.c_str(), sizes_text(l.size).c_str(),
                 type.c_str(), rule.c_str(), body.rec.voxels, placed.c_str(), negatives.c_str());
    return kDone;
}

// The old one-pass path reads cubic uint8 raw NRRDs (a pipe will do); the rest take two passes.
bool takes_two_passes(const std::string& in, const std::string& ext, const Arguments& a) {
    if (is_tiff_name(in) || a.value("--label") || (ext == ".raw" && (a.value("--size") || a.value("--type")))) return true;
    if (ext != ".nrrd" && ext != ".nhdr") return false;
    if (!regular_file_bytes(in)) return false;
    VolumeReader r;
    r.open(in);
    NrrdFields f;
    try {
        f = read_nrrd_fields(r);
    } catch (const Failure&) {
        return false;  // the old path words what is wrong
    }
    // Detached data are read only from the header's folder, which the two-pass path checks.
    if (nrrd_field(f, "data file")) return true;
    const std::string* type = nrrd_field(f, "type");
    const std::string* encoding = nrrd_field(f, "encoding");
    const std::string* sizes = nrrd_field(f, "sizes");
    const bool u8 = type && (*type == "uint8" || *type == "uchar" || *type == "unsigned char" || *type == "uint8_t");
    std::int64_t n[3] = {-1, -2, -3};
    if (sizes) std::istringstream(*sizes) >> n[0] >> n[1] >> n[2];
    return !(u8 && encoding && *encoding == "raw" && n[0] == n[1] && n[1] == n[2]);
}

int run_import(const Args& raw) {
    const Arguments a =
        parse_arguments(raw, {"--dim", "--threshold", "--spacing", "--unit", "--label", "--size", "--type"}, {});
    expect_positional(a, 2, "IN.raw|IN.nrrd|IN.tif OUT.3d");
    const std::string& in = a.positional[0];
    const std::string& out = a.positional[1];
    check_output_name(out, ".3d", "a shape form file");
    const std::string ext = lower_extension(in);
    if (ext != ".raw" && ext != ".nrrd" && ext != ".nhdr" && !is_tiff_name(in))
        throw UsageError("unknown input format '" + in + "': the name must end in .raw, .nrrd, .nhdr, .tif or .tiff");
    if (takes_two_passes(in, ext, a)) {
        volumes::VoxelSize any;
        any.known = true;
        voxel_size_options(a.value("--spacing"), a.value("--unit"), any);
        const LabelLayout l = layout_of(in, a.value("--size"), a.value("--type"));
        if (a.value("--unit") && !a.value("--spacing") && !l.voxel_size.known)
            throw UsageError("--unit needs a voxel size: '" + in + "' gives none, so give --spacing too");
        return import_labels(a, in, out, l, voxel_size_options(a.value("--spacing"), a.value("--unit"), l.voxel_size));
    }
    const std::string* threshold_text = a.value("--threshold");
    const auto threshold =
        static_cast<std::uint8_t>(threshold_text ? integer("--threshold", *threshold_text, 1, 255) : 0);
    if (const std::string* d = a.value("--dim")) integer("--dim", *d, 0, tarvo::kMaxDim);
    volumes::VoxelSize any;
    any.known = true;
    voxel_size_options(a.value("--spacing"), a.value("--unit"), any);  // usage errors before any reading
    VolumeReader file, data;
    std::int32_t edge = 0;
    volumes::VoxelSize size;
    if (ext == ".raw") {
        edge = raw_edge(in, a.value("--dim"));
        file.open(in);
    } else {
        file.open(in);
        edge = nrrd_edge(file, data, a.value("--dim"), size);
    }
    if (a.value("--unit") && !a.value("--spacing") && !size.known)
        throw UsageError("--unit needs a voxel size: '" + in + "' gives none, so give --spacing too");
    size = voxel_size_options(a.value("--spacing"), a.value("--unit"), size);
    VolumeReader& source = data.path().empty() ? file : data;
    Body body;
    allocate_or_fail(body, edge);
    Progress progress("import");
    const ByteFacts facts = fill_body(source, edge, threshold, body.rec, progress);
    if (ext == ".raw" && !a.value("--dim") && facts.look_wide())
        throw Failure("'" + in + "' looks like numbers wider than one byte (its nonzero bytes sit in a few byte "
                      "positions of every 2, 4 or 8), as numpy writes an int or float mask: save it with "
                      "mask.astype(numpy.uint8).tofile(path), or give --dim if the bytes are right");
    Analyse_teleso(body.rec);
    if (body.rec.voxels == 0) refuse_empty(in, facts, edge);
    progress.stage("writing " + out);
    measure_and_save(out, body.rec);
    // An unknown size replaces an old sidecar too, so none is left that belongs to another particle.
    if (size.known || (out != kStandardOutput && std::filesystem::exists(volumes::sidecar_path(out))))
        write_sidecar(out, size, in);
    report(in, edge, facts, threshold == 0, body.rec.voxels, size);
    return kDone;
}

}  // namespace

const Subcommand kImport{"import", "a volume (.raw, .nrrd, .nhdr, .tif) into a particle", kUsageText,
                         run_import};

}  // namespace tarvo::tools
