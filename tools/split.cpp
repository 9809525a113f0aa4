// tarvo-tools split: a labelled volume into one particle file per label, and the index that puts
// them back (merge).
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <unordered_map>

#include "common.h"
#include "label_volume.h"
#include "progress.h"
#include "subcommands.h"
#include "volumes/labels.h"

namespace tarvo::tools {
namespace {

const char kUsageText[] =
    "Usage: tarvo-tools split VOLUME OUTDIR [--size X,Y,Z] [--type T] [--label K] [--labels A-B]\n"
    "                         [--min-voxels N] [--drop-border] [--margin M] [--connectivity C]\n"
    "                         [--spacing X[,Y,Z]] [--unit U]\n"
    "\n"
    "Writes one particle file per label of a labelled volume (label 0 is background), each in the\n"
    "smallest cubic grid that holds it with M empty voxels around it, and OUTDIR/index.csv: label,\n"
    "file, offset x/y/z of the grid in the volume, edge, voxel count, bounding box (inclusive),\n"
    "voxel size x/y/z and unit. tarvo-tools merge puts them back.\n"
    "  VOLUME          .nrrd or .nhdr (uint8, uint16 or uint32 labels, either endian, raw or gzip\n"
    "                  encoding, data attached or in a file in the header's folder), .raw, or a\n"
    "                  TIFF stack: .tif/.tiff, multi-page or one file per slice named by a pattern\n"
    "                  such as slice_%04d.tif (8, 16 or 32-bit, strips or tiles, any compression\n"
    "                  of libtiff; voxel size from the resolution tags and ImageJ's spacing)\n"
    "  --size X,Y,Z    the sizes of a .raw (x fastest, then y, then z)\n"
    "  --type T        the labels of a .raw: uint8, uint16 or uint32, little-endian\n"
    "  --label K       only label K;  --labels A-B  only labels A to B\n"
    "  --min-voxels N  only labels of at least N voxels\n"
    "  --drop-border   leave out labels that touch the volume's border\n"
    "  --margin M      empty voxels around each particle (default 0)\n"
    "  --connectivity C  the volume is a mask: its connected components (of nonzero voxels),\n"
    "                  6 (faces) or 26 (faces, edges, corners), are the labels, numbered in the\n"
    "                  order of their first voxels as scipy.ndimage.label numbers them\n"
    "  --spacing X[,Y,Z], --unit U   the voxel size (default: the NRRD's), into the index and\n"
    "                  beside each particle (NAME.3d.json)\n"
    "A label whose grid would exceed the edge limit 1290 is refused by name with its extent; the\n"
    "others are written and the status is 1. The volume is read twice, layer by layer; memory holds\n"
    "a row of labels, the bounding boxes' bits of the particles the layer crosses and one grid.\n";

struct Selection {
    std::uint32_t lo = 1, hi = UINT32_MAX;
    std::int64_t min_voxels = 1;
    bool drop_border = false;
    std::int64_t margin = 0;
};

Selection selection_of(const Arguments& a) {
    Selection s;
    if (a.value("--label") && a.value("--labels")) throw UsageError("give --label or --labels, not both");
    if (const std::string* k = a.value("--label")) s.lo = s.hi = static_cast<std::uint32_t>(integer("--label", *k, 1, UINT32_MAX));
    if (const std::string* r = a.value("--labels")) {
        const std::size_t dash = r->find('-');
        if (dash == std::string::npos) throw UsageError("--labels '" + *r + "' is not A-B");
        s.lo = static_cast<std::uint32_t>(integer("--labels", r->substr(0, dash), 1, UINT32_MAX));
        s.hi = static_cast<std::uint32_t>(integer("--labels", r->substr(dash + 1), 1, UINT32_MAX));
        if (s.lo > s.hi) throw UsageError("--labels '" + *r + "' runs backwards");
    }
    if (const std::string* n = a.value("--min-voxels")) s.min_voxels = integer("--min-voxels", *n, 1, 1L << 40);
    if (const std::string* m = a.value("--margin")) s.margin = integer("--margin", *m, 0, tarvo::kMaxDim);
    s.drop_border = a.has("--drop-border");
    return s;
}

bool touches_border(const volumes::LabelBox& b, const std::array<std::int64_t, 3>& size) {
    for (int k = 0; k < 3; ++k)
        if (b.min[k] == 0 || b.max[k] == size[k] - 1) return true;
    return false;
}

// A particle to write: its label's box, the grid's place in the volume, and while open the bits
// of its bounding box only (x fastest), so that an elongated grain does not hold its whole cube.
struct Planned {
    volumes::LabelBox box;
    std::array<std::int64_t, 3> offset{};
    std::int32_t edge = 0;
    std::string file;  // relative to OUTDIR
    std::vector<std::uint64_t> bits;

    void set(std::int64_t x0, std::int64_t x1, std::int64_t y, std::int64_t z) {
        const auto e = box.extent();
        if (bits.empty()) bits.assign(static_cast<std::size_t>((e[0] * e[1] * e[2] + 63) / 64), 0);
        const std::int64_t base = ((z - box.min[2]) * e[1] + (y - box.min[1])) * e[0] - box.min[0];
        for (std::int64_t i = base + x0; i < base + x1; ++i) bits[static_cast<std::size_t>(i >> 6)] |= std::uint64_t{1} << (i & 63);
    }
    bool bit(std::int64_t i) const { return (bits[static_cast<std::size_t>(i >> 6)] >> (i & 63)) & 1; }

    // The cube grid, its runs of set voxels copied from the box's bits.
    void fill(TelesoRecord& rec) const {
        const auto e = box.extent();
        for (std::int64_t z = 0; z < e[2]; ++z)
            for (std::int64_t y = 0; y < e[1]; ++y) {
                const std::int64_t row = (z * e[1] + y) * e[0];
                const std::int64_t grid = ((box.min[2] - offset[2] + z) * edge + (box.min[1] - offset[1] + y)) * edge +
                                          (box.min[0] - offset[0]);
                for (std::int64_t x = 0; x < e[0];) {
                    if (!bit(row + x)) { ++x; continue; }
                    std::int64_t end = x + 1;
                    while (end < e[0] && bit(row + end)) ++end;
                    tarvo::set_voxels(rec, grid + x, grid + end);
                    x = end;
                }
            }
    }
};

std::string file_name(std::uint32_t label, std::uint32_t largest) {
    const int digits = static_cast<int>(std::to_string(largest).size());
    char buf[40];
    std::snprintf(buf, sizeof buf, "label_%0*u.3d", digits, label);
    return buf;
}

std::string extent_text(const std::array<std::int64_t, 3>& e) {
    return std::to_string(e[0]) + " x " + std::to_string(e[1]) + " x " + std::to_string(e[2]);
}

volumes::Census take_census(const std::string& in, const LabelLayout& l, Progress& progress) {
    progress.stage("counting the labels of " + in, l.size[2]);
    volumes::Census census;
    LabelRows rows(in, l);
    std::vector<std::uint32_t> row(static_cast<std::size_t>(l.size[0]));
    for (std::int64_t z = 0; z < l.size[2]; ++z) {
        for (std::int64_t y = 0; y < l.size[1]; ++y) {
            rows.next(row.data());
            if (!census.add_row(row.data(), row.size(), y, z))
                throw Failure("'" + in + "' holds more than " + std::to_string(volumes::kMaxLabels) +
                              " distinct labels: it is no labelled volume split can take");
        }
        progress.advance(1);
    }
    rows.finish();
    if (rows.negatives() > 0)
        throw Failure("'" + in + "' holds " + std::to_string(rows.negatives()) +
                      " negative values: labels are 0 (background) or more; nothing written");
    return census;
}

std::string index_row(const Planned& p, const volumes::VoxelSize& size) {
    std::string r = std::to_string(p.box.label);
    const auto cell = [&r](const std::string& text) {
        r += ',';
        r += text;
    };
    cell(p.file);
    for (std::int64_t v : p.offset) cell(std::to_string(v));
    cell(std::to_string(p.edge));
    cell(std::to_string(p.box.voxels));
    for (std::int64_t v : p.box.min) cell(std::to_string(v));
    for (std::int64_t v : p.box.max) cell(std::to_string(v));
    for (double v : size.size) cell(volumes::format_number(v));
    cell(size.unit);
    r += '\n';
    return r;
}

// The second pass: each layer's runs set voxels of the open grids; a grid is written as soon as
// the layer of its label's last voxels has passed, and freed.
void write_particles(const std::string& in, const LabelLayout& l, std::vector<Planned>& plan, const std::string& outdir,
                     const volumes::VoxelSize& size, Progress& progress) {
    std::unordered_map<std::uint32_t, std::size_t> index;
    for (std::size_t i = 0; i < plan.size(); ++i) index.emplace(plan[i].box.label, i);
    std::vector<std::size_t> by_end(plan.size());
    for (std::size_t i = 0; i < plan.size(); ++i) by_end[i] = i;
    std::sort(by_end.begin(), by_end.end(), [&](std::size_t a, std::size_t b) { return plan[a].box.max[2] < plan[b].box.max[2]; });
    std::size_t next_close = 0;
    progress.stage("writing the particles of " + in, l.size[2]);
    LabelRows rows(in, l);
    std::vector<std::uint32_t> row(static_cast<std::size_t>(l.size[0]));
    for (std::int64_t z = 0; z < l.size[2]; ++z) {
        for (std::int64_t y = 0; y < l.size[1]; ++y) {
            rows.next(row.data());
            for (std::size_t x = 0; x < row.size();) {
                const std::uint32_t label = row[x];
                std::size_t end = x + 1;
                while (end < row.size() && row[end] == label) ++end;
                const auto it = label == 0 ? index.end() : index.find(label);
                if (it != index.end())
                    plan[it->second].set(static_cast<std::int64_t>(x), static_cast<std::int64_t>(end), y, z);
                x = end;
            }
        }
        for (; next_close < by_end.size() && plan[by_end[next_close]].box.max[2] == z; ++next_close) {
            Planned& p = plan[by_end[next_close]];
            const std::string path = (std::filesystem::path(outdir) / p.file).string();
            Body body;
            allocate_or_fail(body, p.edge);
            p.fill(body.rec);
            p.bits = {};
            measure_and_save(path, body.rec);
            if (size.known) write_sidecar(path, size, in);
        }
        progress.advance(1);
    }
}

int run_split(const Args& raw) {
    const Arguments a = parse_arguments(raw,
                                        {"--size", "--type", "--label", "--labels", "--min-voxels", "--margin",
                                         "--spacing", "--unit", "--connectivity"},
                                        {"--drop-border"});
    expect_positional(a, 2, "VOLUME OUTDIR");
    const std::string& in = a.positional[0];
    const std::string& outdir = a.positional[1];
    const Selection sel = selection_of(a);
    volumes::VoxelSize any;
    any.known = true;
    voxel_size_options(a.value("--spacing"), a.value("--unit"), any);  // usage errors before any reading
    int connectivity = 0;
    if (const std::string* c = a.value("--connectivity")) {
        connectivity = static_cast<int>(integer("--connectivity", *c, 6, 26));
        if (connectivity != 6 && connectivity != 26) throw UsageError("--connectivity is 6 or 26, not " + *c);
    }
    LabelLayout layout = layout_of(in, a.value("--size"), a.value("--type"));
    if (a.value("--unit") && !a.value("--spacing") && !layout.voxel_size.known)
        throw UsageError("--unit needs a voxel size: '" + in + "' gives none, so give --spacing too");
    const volumes::VoxelSize size = voxel_size_options(a.value("--spacing"), a.value("--unit"), layout.voxel_size);

    Progress progress("split");
    if (connectivity) {
        progress.stage("finding the components of " + in);
        find_components(in, layout, connectivity);
    }
    const std::vector<volumes::LabelBox> boxes = take_census(in, layout, progress).boxes();
    std::vector<Planned> plan;
    std::vector<std::string> refused;
    for (const volumes::LabelBox& b : boxes) {
        if (b.label < sel.lo || b.label > sel.hi || b.voxels < sel.min_voxels) continue;
        if (sel.drop_border && touches_border(b, layout.size)) continue;
        const auto e = b.extent();
        const std::int64_t edge = std::max({e[0], e[1], e[2]}) + 2 * sel.margin;
        if (edge > tarvo::kMaxDim) {
            refused.push_back("label " + std::to_string(b.label) + ": its extent " + extent_text(e) +
                              (sel.margin ? " with margins of " + std::to_string(sel.margin) : std::string()) +
                              " exceeds the edge limit " + std::to_string(tarvo::kMaxDim));
            continue;
        }
        Planned p;
        p.box = b;
        p.edge = static_cast<std::int32_t>(edge);
        for (int k = 0; k < 3; ++k) p.offset[k] = b.min[k] - sel.margin;
        p.file = file_name(b.label, boxes.back().label);
        plan.push_back(std::move(p));
    }
    if (plan.empty() && refused.empty())
        throw Failure("'" + in + "' has no label to split" +
                      (boxes.empty() ? ": every voxel is 0" : " among those selected") + "; nothing written");
    std::error_code ec;
    std::filesystem::create_directories(outdir, ec);
    if (ec) throw Failure("'" + outdir + "' cannot be made a folder: " + ec.message());
    write_particles(in, layout, plan, outdir, size, progress);

    // Components are numbered past a mask's type: the index records the type their labels need.
    const int width = connectivity == 0 ? layout.width : boxes.back().label < 256 ? 1 : boxes.back().label < 65536 ? 2 : 4;
    std::string index = "# tarvo-tools split: volume " + std::to_string(layout.size[0]) + " " +
                        std::to_string(layout.size[1]) + " " + std::to_string(layout.size[2]) + " " +
                        type_name(width) + "\n"
                        "label,file,offset_x,offset_y,offset_z,edge,voxels,min_x,min_y,min_z,max_x,max_y,max_z,"
                        "voxel_size_x,voxel_size_y,voxel_size_z,unit\n";
    for (const Planned& p : plan) index += index_row(p, size);
    write_or_fail((std::filesystem::path(outdir) / "index.csv").string(), index.data(), index.size());
    for (const std::string& r : refused) std::fprintf(stderr, "tarvo-tools split: refused %s\n", r.c_str());
    std::fprintf(stderr, "tarvo-tools split: '%s': %lld x %lld x %lld %s, %zu labels, %zu written, %zu refused\n",
                 in.c_str(), static_cast<long long>(layout.size[0]), static_cast<long long>(layout.size[1]),
                 static_cast<long long>(layout.size[2]), type_name(layout.width).c_str(), boxes.size(), plan.size(),
                 refused.size());
    return refused.empty() ? kDone : kFailed;
}

}  // namespace

const Subcommand kSplit{"split", "a labelled volume (.raw, .nrrd, .nhdr, .tif) into one particle per label",
                        kUsageText, run_split};

}  // namespace tarvo::tools
