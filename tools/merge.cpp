// tarvo-tools merge: the particles of a split index back into one labelled volume.
#include <algorithm>
#include <filesystem>
#include <memory>
#include <sstream>

#include "common.h"
#include "volume.h"
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
    "labels and the bits of the bounding boxes of the particles that layer crosses.\n";

// A particle of the index; while its layers are written, only the bits of its set voxels'
// bounding box are held (x fastest), not its cubic grid.
struct Entry {
    std::uint32_t label = 0;
    std::string path;
    std::array<std::int64_t, 3> offset{};
    std::int64_t edge = 0;
    std::array<std::int64_t, 3> lo{}, ext{};  // the box within the grid
    std::vector<std::uint64_t> bits;

    bool bit(std::int64_t x, std::int64_t y, std::int64_t z) const {
        const std::int64_t i = ((z - lo[2]) * ext[1] + (y - lo[1])) * ext[0] + (x - lo[0]);
        return (bits[static_cast<std::size_t>(i >> 6)] >> (i & 63)) & 1;
    }

    // Loads the particle and keeps the bits of its box.
    void load(const std::string& index_path) {
        Body body;
        load_or_fail(path, body);
        const TelesoRecord& rec = body.rec;
        if (rec.dim != edge)
            throw Failure("'" + path + "' has edge " + std::to_string(rec.dim) + ", but '" + index_path + "' says " +
                          std::to_string(edge));
        std::array<std::int64_t, 3> hi{-1, -1, -1};
        lo = {edge, edge, edge};
        std::vector<std::uint8_t> row(static_cast<std::size_t>(edge));
        for (std::int64_t z = 0; z < edge; ++z)
            for (std::int64_t y = 0; y < edge; ++y) {
                tarvo::unpack_voxels(rec, (z * edge + y) * edge, edge, row.data(), 1, 0);
                for (std::int64_t x = 0; x < edge; ++x)
                    if (row[static_cast<std::size_t>(x)]) {
                        const std::array<std::int64_t, 3> p{x, y, z};
                        for (int k = 0; k < 3; ++k) lo[k] = std::min(lo[k], p[k]), hi[k] = std::max(hi[k], p[k]);
                    }
            }
        if (hi[0] < 0) return;  // cut away whole
        for (int k = 0; k < 3; ++k) ext[k] = hi[k] - lo[k] + 1;
        bits.assign(static_cast<std::size_t>((ext[0] * ext[1] * ext[2] + 63) / 64), 0);
        std::int64_t i = 0;
        for (std::int64_t z = lo[2]; z <= hi[2]; ++z)
            for (std::int64_t y = lo[1]; y <= hi[1]; ++y) {
                tarvo::unpack_voxels(rec, (z * edge + y) * edge + lo[0], ext[0], row.data(), 1, 0);
                for (std::int64_t x = 0; x < ext[0]; ++x, ++i)
                    if (row[static_cast<std::size_t>(x)]) bits[static_cast<std::size_t>(i >> 6)] |= std::uint64_t{1} << (i & 63);
            }
    }
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
            e.load(index_path);
            if (!e.bits.empty()) open.push_back(&e);
        }
        for (Entry* e : open) {
            const std::int64_t gz = z - e->offset[2];
            if (gz < e->lo[2] || gz >= e->lo[2] + e->ext[2]) continue;
            const std::int64_t y0 = std::max(e->lo[1], -e->offset[1]), y1 = std::min(e->lo[1] + e->ext[1], x.size[1] - e->offset[1]);
            const std::int64_t x0 = std::max(e->lo[0], -e->offset[0]), x1 = std::min(e->lo[0] + e->ext[0], x.size[0] - e->offset[0]);
            for (std::int64_t gy = y0; gy < y1; ++gy)
                for (std::int64_t gx = x0; gx < x1; ++gx)
                    if (e->bit(gx, gy, gz))
                        layer[static_cast<std::size_t>((gy + e->offset[1]) * x.size[0] + gx + e->offset[0])] = e->label;
        }
        // Boxes wholly below the next layer are done with.
        std::erase_if(open, [&](Entry* e) {
            if (e->offset[2] + e->lo[2] + e->ext[2] > z + 1) return false;
            e->bits = {};
            return true;
        });
        progress.advance(1);
    });
    return kDone;
}

}  // namespace

const Subcommand kMerge{"merge", "the particles of a split index back into a labelled volume", kUsageText, run_merge};

}  // namespace tarvo::tools
