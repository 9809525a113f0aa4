// tarvo-tools table: one row of characteristics per particle file, for many files at once.
#include <new>

#include "figures.h"
#include "report.h"
#include "sheet.h"
#include "subcommands.h"

namespace tarvo::tools {
namespace {

const char kUsageText[] =
    "Usage: tarvo-tools table FILE.3d... [--files LIST] [--measure [--spacing X[,Y,Z] [--unit U]]] [--csv | --json]\n"
    "\n"
    "Prints one row per file: file, dim, voxels, the bounding box (x_min ... z_max), the truncated\n"
    "means, the centre (cx, cy, cz: the middle of the bounding box, as tarvo takes it),\n"
    "stream_bytes (the voxel stream's code bytes), warnings (as info gives them, joined by '; ')\n"
    "and error. An empty particle has no bounding box, means or centre cells. The files are read on\n"
    "all cores. A file that cannot be read gives a row with its error, and the exit status is then 1.\n"
    "  --files LIST   also the files named in LIST, one a line (- for standard input)\n"
    "  --measure      the shape figures of measure too (spacing_x ... euler_number), before warnings,\n"
    "                 in the units of the voxel size (--spacing, else the file's sidecar), else voxel units\n"
    "  --spacing X[,Y,Z]\n"
    "                 the size of a voxel, for --measure\n"
    "  --unit U       the unit of --spacing (um, mm, ...)\n"
    "  --csv          comma-separated values with a header line; a text cell that would start a\n"
    "                 formula in a spreadsheet (= + - @ tab CR) or starts with ' gets a ' in front\n"
    "  --json         a JSON array of one object per file\n"
    "Names that hold backslashes, control characters or bytes that are no UTF-8 are escaped in text\n"
    "and CSV (\\\\ \\t \\n \\r \\xHH); in JSON such a byte is \\udcXX. Either maps back to the bytes.\n";

const char* const kCounts[] = {"dim",    "voxels", "x_min", "x_max", "y_min", "y_max", "z_min", "z_max",
                               "x_mean", "y_mean", "z_mean", "cx",   "cy",    "cz",    "stream_bytes"};
constexpr std::size_t kCountColumns = std::size(kCounts);

std::vector<Column> columns(bool figures) {
    std::vector<Column> c{{"file", Kind::kText}};
    for (const char* name : kCounts) c.push_back({name, Kind::kNumber});
    if (figures)
        for (const Column& p : property_columns()) c.push_back(p);
    c.push_back({"warnings", Kind::kTexts});
    c.push_back({"error", Kind::kText});
    return c;
}

Row row_of(const ParticleReport& r, bool figures, const volumes::VoxelSize& size) {
    Row row{{r.path, {}}};
    row.resize(1 + kCountColumns);
    if (r.read()) {
        const TelesoRecord& m = r.measured;
        row[1].text = std::to_string(m.dim);
        row[2].text = std::to_string(m.voxels);
        if (!r.empty()) {
            const std::int32_t values[] = {m.x_min, m.x_max, m.y_min, m.y_max, m.z_min, m.z_max, m.x_mean,
                                           m.y_mean, m.z_mean, r.centre.x, r.centre.y, r.centre.z};
            for (std::size_t k = 0; k < std::size(values); ++k) row[3 + k].text = std::to_string(values[k]);
        }
        row[kCountColumns].text = std::to_string(r.load.stream.code_bytes);
    }
    if (figures) {
        if (r.figures)
            append_property_cells(row, *r.figures, size);
        else
            append_empty_property_cells(row);
    }
    row.push_back({{}, r.warnings});
    row.push_back({r.error, {}});
    return row;
}

ParticleReport report_or_error(const std::string& path, bool figures, const volumes::VoxelSize& size) {
    try {
        return report_on(path, figures, spacing_of(size));
    } catch (const std::bad_alloc&) {
        ParticleReport r;
        r.path = path;
        r.error = path + ": out of memory";
        return r;
    }
}

int run_table(const Args& raw) {
    const Arguments a = parse_arguments(raw, {"--files", "--spacing", "--unit"}, {"--csv", "--json", "--measure"});
    const Format format = format_of(a);
    const std::vector<std::string> paths = batch_paths(a);
    const bool figures = a.has("--measure");
    if (!figures && (a.value("--spacing") || a.value("--unit"))) throw UsageError("--spacing and --unit go with --measure");
    check_size_options(a);
    Sheet sheet;
    sheet.columns = columns(figures);
    sheet.rows.resize(paths.size());
    std::vector<char> read(paths.size());
    for_each_file(paths.size(), [&](std::size_t k) {
        ParticleReport r;
        volumes::VoxelSize size;
        try {
            if (figures) size = figures_voxel_size(a, paths[k]);
            r = report_or_error(paths[k], figures, size);
        } catch (const Failure& e) {  // a sidecar that cannot be read
            r.path = paths[k];
            r.error = e.what();
        }
        sheet.rows[k] = row_of(r, figures, size);
        read[k] = r.read();
    });
    print_sheet(sheet, format);
    for (char ok : read)
        if (!ok) return kFailed;
    return kDone;
}

}  // namespace

const Subcommand kTable{"table", "one row of characteristics per file, for many files (text, CSV, JSON)", kUsageText,
                        run_table};

}  // namespace tarvo::tools
