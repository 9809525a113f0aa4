// tarvo-tools import: an 8-bit volume (from a scan) into a shape form file.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "common.h"
#include "tarvo/geometry.h"
#include "progress.h"
#include "subcommands.h"
#include "volume.h"

namespace tarvo::tools {
namespace {

const char kUsageText[] =
    "Usage: tarvo-tools import IN.raw|IN.nrrd|IN.nhdr OUT.3d [--dim N] [--threshold T]\n"
    "\n"
    "Reads an 8-bit volume, one byte per voxel, x fastest, then y, then z, and writes the\n"
    "particle of the voxels whose value is at least T. The volume must be a cube of edge 0 to\n"
    "1290.\n"
    "  .raw          the bare bytes; the edge is --dim N, or else the cube root of the length\n"
    "  .nrrd, .nhdr  NRRD, type uint8, three equal sizes, raw encoding, attached or detached data\n"
    "                (a detached header's data file must be a regular file holding exactly the\n"
    "                bytes the header describes: the byte skip, then the voxels)\n"
    "  --threshold T 1 to 255; by default 1 when every value is 0 or 1 (a binary volume), else 128\n"
    "\n"
    "Says on standard error what it chose (edge, threshold, voxels set) and warns when no voxel is\n"
    "set. A .raw volume whose bytes look like wider numbers (a numpy mask saved as int or float) is\n"
    "refused unless --dim is given: save such a mask with mask.astype(numpy.uint8).tofile(path).\n";

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
std::int32_t nrrd_edge(VolumeReader& header_file, VolumeReader& data, const std::string* dim_text) {
    const NrrdHeader h = read_nrrd_header(header_file);
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
void report(const std::string& in, std::int32_t edge, const ByteFacts& facts, bool chosen, std::int32_t voxels) {
    std::fprintf(stderr, "tarvo-tools import: '%s': edge %d, threshold %d%s, %d voxels set\n", escaped(in).c_str(), edge,
                 facts.threshold,
                 !chosen ? "" : facts.threshold == kBinaryThreshold ? " (every value is 0 or 1)" : " (values up to 255)",
                 voxels);
    if (voxels == 0 && edge > 0)
        std::fprintf(stderr,
                     "tarvo-tools import: warning: no voxel reaches the threshold %d (the largest value is %d): the "
                     "particle is empty; --threshold T chooses another\n",
                     facts.threshold, facts.largest);
}

int run_import(const Args& raw) {
    const Arguments a = parse_arguments(raw, {"--dim", "--threshold"}, {});
    expect_positional(a, 2, "IN.raw|IN.nrrd OUT.3d");
    const std::string& in = a.positional[0];
    const std::string& out = a.positional[1];
    check_output_name(out, ".3d", "a shape form file");
    const std::string ext = lower_extension(in);
    if (ext != ".raw" && ext != ".nrrd" && ext != ".nhdr")
        throw UsageError("unknown input format '" + in + "': the name must end in .raw, .nrrd or .nhdr");
    const std::string* threshold_text = a.value("--threshold");
    const auto threshold =
        static_cast<std::uint8_t>(threshold_text ? integer("--threshold", *threshold_text, 1, 255) : 0);
    if (const std::string* d = a.value("--dim")) integer("--dim", *d, 0, tarvo::kMaxDim);
    VolumeReader file, data;
    std::int32_t edge = 0;
    if (ext == ".raw") {
        edge = raw_edge(in, a.value("--dim"));
        file.open(in);
    } else {
        file.open(in);
        edge = nrrd_edge(file, data, a.value("--dim"));
    }
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
    progress.stage("writing " + out);
    measure_and_save(out, body.rec);
    report(in, edge, facts, threshold == 0, body.rec.voxels);
    return kDone;
}

}  // namespace

const Subcommand kImport{"import", "an 8-bit volume (.raw, .nrrd, .nhdr) into a particle", kUsageText,
                         run_import};

}  // namespace tarvo::tools
