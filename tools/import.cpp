// tarvo-tools import: an 8-bit volume (from a scan) into a shape form file.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "common.h"
#include "progress.h"
#include "subcommands.h"
#include "volume.h"

namespace tools {
namespace {

const char kUsageText[] =
    "Usage: tarvo-tools import IN.raw|IN.nrrd|IN.nhdr OUT.3d [--dim N] [--threshold T]\n"
    "\n"
    "Reads an 8-bit volume, one byte per voxel, x fastest, then y, then z, and writes the\n"
    "particle of the voxels whose value is at least T. The volume must be a cube of edge 0 to\n"
    "1290.\n"
    "  .raw          the bare bytes; the edge is --dim N, or else the cube root of the length\n"
    "  .nrrd, .nhdr  NRRD, type uint8, three equal sizes, raw encoding, attached or detached data\n"
    "  --threshold T 1 to 255; by default 1 when every value is 0 or 1 (a binary volume), else 128\n";

constexpr int kBinaryThreshold = 1;
constexpr int kGreyThreshold = 128;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

struct Volume {
    std::string path;          // the file holding the bytes
    std::uint64_t offset = 0;
    std::int32_t edge = 0;
};

std::uint64_t cube(std::int64_t e) { return static_cast<std::uint64_t>(e) * e * e; }

void check_edge(const std::string& path, std::int64_t edge) {
    if (edge < 0 || edge > teleso::kMaxDim)
        throw Failure("'" + path + "' holds a cube of edge " + std::to_string(edge) + ", outside 0 to " +
                      std::to_string(teleso::kMaxDim));
}

// The whole number whose cube is `length`, or -1.
std::int64_t exact_cube_root(std::uint64_t length) {
    auto e = static_cast<std::int64_t>(std::llround(std::cbrt(static_cast<double>(length))));
    for (std::int64_t c = std::max<std::int64_t>(e - 1, 0); c <= e + 1; ++c)
        if (cube(c) == length) return c;
    return -1;
}

Volume raw_volume(const std::string& path, const std::string* dim_text) {
    const std::uint64_t length = file_bytes(path);
    Volume v{path, 0, 0};
    if (dim_text) {
        const long dim = integer("--dim", *dim_text, 0, teleso::kMaxDim);
        if (cube(dim) != length)
            throw Failure("'" + path + "' has " + std::to_string(length) + " bytes, but a cube of edge " +
                          std::to_string(dim) + " needs " + std::to_string(cube(dim)));
        v.edge = static_cast<std::int32_t>(dim);
        return v;
    }
    const std::int64_t root = exact_cube_root(length);
    if (root < 0)
        throw Failure("'" + path + "' has " + std::to_string(length) +
                      " bytes, which is not the cube of a whole number: it is no cubic volume");
    check_edge(path, root);
    v.edge = static_cast<std::int32_t>(root);
    return v;
}

Volume nrrd_volume(const std::string& path, const std::string* dim_text) {
    const NrrdSource src = read_nrrd_header(path);
    check_edge(path, src.edge);
    if (dim_text && integer("--dim", *dim_text, 0, teleso::kMaxDim) != src.edge)
        throw Failure("'" + path + "' holds a cube of edge " + std::to_string(src.edge) + ", not " + *dim_text);
    const std::uint64_t length = file_bytes(src.data_path);
    const std::uint64_t need = cube(src.edge);
    if (length < src.offset || length - src.offset != need)
        throw Failure("'" + src.data_path + "' holds " +
                      std::to_string(length < src.offset ? 0 : length - src.offset) +
                      " bytes of voxel data, but a cube of edge " + std::to_string(src.edge) + " needs " +
                      std::to_string(need));
    return {src.data_path, src.offset, static_cast<std::int32_t>(src.edge)};
}

// Calls use(z, layer) for every z layer of the volume, one step of `progress` each.
template <typename UseLayer>
void for_each_layer(const Volume& v, Progress& progress, UseLayer use) {
    File in(std::fopen(v.path.c_str(), "rb"));
    if (!in || std::fseek(in.get(), static_cast<long>(v.offset), SEEK_SET) != 0)
        throw Failure("Can't read '" + v.path + "' file: " + std::strerror(errno));
    std::vector<std::uint8_t> layer(static_cast<std::size_t>(v.edge) * v.edge);
    for (std::int32_t z = 0; z < v.edge; ++z) {
        if (std::fread(layer.data(), 1, layer.size(), in.get()) != layer.size())
            throw Failure("'" + v.path + "' cannot be read to its end");
        use(z, layer);
        progress.advance(1);
    }
}

bool binary_volume(const Volume& v, Progress& progress) {
    progress.stage("looking through " + v.path, v.edge);
    bool binary = true;
    for_each_layer(v, progress, [&binary](std::int32_t, const std::vector<std::uint8_t>& layer) {
        for (std::uint8_t b : layer) binary = binary && b <= 1;
    });
    return binary;
}

void fill_body(const Volume& v, int threshold, TelesoRecord& rec, Progress& progress) {
    progress.stage("reading " + v.path, v.edge);
    const std::int64_t layer_voxels = std::int64_t{v.edge} * v.edge;
    for_each_layer(v, progress, [&](std::int32_t z, const std::vector<std::uint8_t>& layer) {
        const std::int64_t first = layer_voxels * z;
        for (std::int64_t k = 0; k < layer_voxels; ++k)
            if (layer[k] >= threshold) {
                const std::int64_t i = first + k;
                rec.data[i >> 3] |= static_cast<std::uint8_t>(1u << (i & 7));
            }
    });
}

int run_import(const Args& raw) {
    const Arguments a = parse_arguments(raw, {"--dim", "--threshold"}, {});
    expect_positional(a, 2, "IN.raw|IN.nrrd OUT.3d");
    const std::string& in = a.positional[0];
    const std::string& out = a.positional[1];
    const std::string ext = lower_extension(in);
    if (ext != ".raw" && ext != ".nrrd" && ext != ".nhdr")
        throw UsageError("unknown input format '" + in + "': the name must end in .raw, .nrrd or .nhdr");
    const std::string* threshold_text = a.value("--threshold");
    int threshold = threshold_text ? static_cast<int>(integer("--threshold", *threshold_text, 1, 255)) : 0;
    if (const std::string* d = a.value("--dim")) integer("--dim", *d, 0, teleso::kMaxDim);
    const Volume v = ext == ".raw" ? raw_volume(in, a.value("--dim")) : nrrd_volume(in, a.value("--dim"));
    Progress progress("import");
    if (!threshold_text) threshold = binary_volume(v, progress) ? kBinaryThreshold : kGreyThreshold;
    OwnedBody body;
    allocate_or_fail(body, v.edge);
    fill_body(v, threshold, body.rec, progress);
    progress.stage("writing " + out);
    measure_and_save(out, body.rec);
    return kDone;
}

}  // namespace

const Subcommand kImport{"import", "an 8-bit volume (.raw, .nrrd, .nhdr) into a particle", kUsageText,
                         run_import};

}  // namespace tools
