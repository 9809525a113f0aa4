// tarvo-tools merge: the particles of a split index back into one labelled volume.
#include <algorithm>
#include <filesystem>
#include <memory>
#include <sstream>

#include "common.h"
#include "label_volume.h"
#include "progress.h"
#include "subcommands.h"

namespace tarvo::tools {
namespace {

const char kUsageText[] =
    "Usage: tarvo-tools merge INDEX.csv VOLUME.raw|VOLUME.nrrd|VOLUME.tif\n"
    "\n"
    "Puts the particle files of an index written by tarvo-tools split (cut or not) back into a\n"
    "labelled volume of the size and label type the index records: each set voxel of a particle\n"
    "gets its label at the particle's offset; the rest are 0. .raw is the bare labels,\n"
    "little-endian; .nrrd has a header with the sizes, type and voxel size; .tif is a multi-page\n"
    "TIFF with resolution tags and ImageJ's description (spacing, unit). Split then merge gives\n"
    "the same labels; a .raw split from a .raw comes back byte for byte. Memory holds one layer of\n"
    "labels and the particles that layer crosses.\n";

struct Entry {
    std::uint32_t label = 0;
    std::string path;
    std::array<std::int64_t, 3> offset{};
    std::int64_t edge = 0;
    std::unique_ptr<Body> body;
};

struct Index {
    std::array<std::int64_t, 3> size{};
    int width = 1;
    volumes::VoxelSize voxel_size;
    std::vector<Entry> entries;
};

std::vector<std::string> cells(const std::string& line) {
    std::vector<std::string> out;
    std::istringstream s(line);
    std::string c;
    while (std::getline(s, c, ',')) out.push_back(c);
    if (!line.empty() && line.back() == ',') out.emplace_back();
    return out;
}

long whole(const std::string& index, int line, const std::string& text, long lo, long hi) {
    try {
        return integer("a number", text, lo, hi);
    } catch (const UsageError&) {
        throw Failure("'" + index + "' line " + std::to_string(line) + ": '" + text + "' is no number from " +
                      std::to_string(lo) + " to " + std::to_string(hi));
    }
}

Index read_index(const std::string& path) {
    const std::optional<std::uint64_t> bytes = regular_file_bytes(path);
    if (!bytes || *bytes > (std::uint64_t{1} << 30)) throw Failure("'" + path + "' is no index (not a regular file under 1 GiB)");
    VolumeReader in;
    in.open(path);
    std::string text(static_cast<std::size_t>(*bytes), '\0');
    text.resize(in.read(reinterpret_cast<std::uint8_t*>(text.data()), text.size()));
    std::istringstream lines(text);
    std::string line, type;
    Index x;
    const std::string kHead = "# tarvo-tools split: volume ";
    if (!std::getline(lines, line) || line.rfind(kHead, 0) != 0)
        throw Failure("'" + path + "' is no index of tarvo-tools split (its first line is not '" + kHead + "X Y Z TYPE')");
    std::istringstream head(line.substr(kHead.size()));
    if (!(head >> x.size[0] >> x.size[1] >> x.size[2] >> type) || x.size[0] <= 0 || x.size[1] <= 0 || x.size[2] <= 0 ||
        x.size[0] > kMaxLayerVoxels / x.size[1] || x.size[0] * x.size[1] > kMaxVolumeVoxels / x.size[2])
        throw Failure("'" + path + "' gives no usable volume size: " + line);
    x.width = type == "uint8" ? 1 : type == "uint16" ? 2 : type == "uint32" ? 4 : 0;
    if (x.width == 0) throw Failure("'" + path + "' gives the label type '" + type + "', not uint8, uint16 or uint32");
    std::getline(lines, line);  // the column names
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    for (int n = 3; std::getline(lines, line); ++n) {
        if (line.empty()) continue;
        const std::vector<std::string> c = cells(line);
        if (c.size() != 17) throw Failure("'" + path + "' line " + std::to_string(n) + " has " + std::to_string(c.size()) + " fields, not 17");
        Entry e;
        e.label = static_cast<std::uint32_t>(whole(path, n, c[0], 1, (1L << (8 * x.width)) - 1));
        if (c[1].empty() || std::filesystem::path(c[1]).is_absolute() || c[1].find("..") != std::string::npos)
            throw Failure("'" + path + "' line " + std::to_string(n) + " names '" + c[1] + "', not a file in its folder");
        e.path = (folder / c[1]).string();
        for (int k = 0; k < 3; ++k) e.offset[k] = whole(path, n, c[2 + k], -2L * tarvo::kMaxDim, 1L << 40);
        e.edge = whole(path, n, c[5], 0, tarvo::kMaxDim);
        if (x.entries.empty() && c[16].size() <= 32) {
            volumes::VoxelSize v;
            const std::string s = c[13] + "," + c[14] + "," + c[15];
            if (volumes::parse_voxel_size(s, v.size).empty()) {
                v.known = true;
                v.unit = volumes::plain_unit(c[16]) ? c[16] : "";
                x.voxel_size = v;
            }
        }
        x.entries.push_back(std::move(e));
    }
    return x;
}

int run_merge(const Args& raw) {
    const Arguments a = parse_arguments(raw, {}, {});
    expect_positional(a, 2, "INDEX.csv VOLUME.raw|VOLUME.nrrd|VOLUME.tif");
    const std::string& index_path = a.positional[0];
    const std::string& out = a.positional[1];
    const std::string ext = lower_extension(out);
    if (ext != ".raw" && ext != ".nrrd" && ext != ".tif" && ext != ".tiff")
        throw UsageError("unknown volume format '" + out + "': the name must end in .raw, .nrrd or .tif");
    Index x = read_index(index_path);
    // Particles in the order their grids start in z; each is loaded when its first layer comes.
    std::sort(x.entries.begin(), x.entries.end(), [](const Entry& p, const Entry& q) { return p.offset[2] < q.offset[2]; });
    std::size_t next = 0;
    std::vector<Entry*> open;
    Progress progress("merge");
    progress.stage("writing " + out, x.size[2]);
    write_label_volume(out, x.size, x.width, x.voxel_size, [&](std::int64_t z, std::vector<std::uint32_t>& layer) {
        for (; next < x.entries.size() && x.entries[next].offset[2] <= z; ++next) {
            Entry& e = x.entries[next];
            e.body = std::make_unique<Body>();
            load_or_fail(e.path, *e.body);
            if (e.body->rec.dim != e.edge)
                throw Failure("'" + e.path + "' has edge " + std::to_string(e.body->rec.dim) + ", but '" + index_path +
                              "' says " + std::to_string(e.edge));
            open.push_back(&e);
        }
        for (Entry* e : open) {
            const std::int64_t gz = z - e->offset[2];
            if (gz < 0 || gz >= e->edge) continue;
            const std::int64_t y0 = std::max<std::int64_t>(0, e->offset[1]), y1 = std::min(x.size[1], e->offset[1] + e->edge);
            const std::int64_t x0 = std::max<std::int64_t>(0, e->offset[0]), x1 = std::min(x.size[0], e->offset[0] + e->edge);
            for (std::int64_t y = y0; y < y1; ++y)
                for (std::int64_t vx = x0; vx < x1; ++vx)
                    if (Get_voxel(e->body->rec, static_cast<std::int32_t>(vx - e->offset[0]),
                                  static_cast<std::int32_t>(y - e->offset[1]), static_cast<std::int32_t>(gz)))
                        layer[static_cast<std::size_t>(y * x.size[0] + vx)] = e->label;
        }
        // Grids wholly below the next layer are done with.
        std::erase_if(open, [&](Entry* e) {
            if (e->offset[2] + e->edge > z + 1) return false;
            e->body.reset();
            return true;
        });
        progress.advance(1);
    });
    return kDone;
}

}  // namespace

const Subcommand kMerge{"merge", "the particles of a split index back into a labelled volume", kUsageText, run_merge};

}  // namespace tarvo::tools
