// tarvo-tools measure: the shape figures of each particle file, on all cores.
#include "figures.h"
#include "geometry/passes.h"
#include "sheet.h"
#include "subcommands.h"

namespace tarvo::tools {
namespace {

const char kUsageText[] =
    "Usage: tarvo-tools measure FILE.3d... [--spacing X[,Y,Z] [--unit U]] [--files LIST] [--csv | --json]\n"
    "\n"
    "Prints one row per file: file, dim, spacing_x/y/z and unit (the voxel size the figures are in),\n"
    "volume, surface_area, equivalent_diameter, sphericity, centroid_x/y/z, moment_1..3 and\n"
    "axis_1..3_x/y/z (principal second moments and axes), enclosed_voxels, enclosed_porosity,\n"
    "euler_number and error (docs/quantities.md defines each). The figures are in the units of the\n"
    "voxel size (--spacing, else the file's sidecar), else in voxel units (unit: voxel). The files are\n"
    "measured on all cores; a file that cannot be read gives a row with its error and the exit\n"
    "status 1, the others are measured all the same.\n"
    "  --spacing X[,Y,Z]  the size of a voxel (default: the file's sidecar FILE.3d.json, else voxel units)\n"
    "  --unit U           the unit of --spacing (um, mm, ...); without it the unit cell is empty\n"
    "  --files LIST       also the files named in LIST, one a line (- for standard input)\n"
    "  --csv              comma-separated values with a header line\n"
    "  --json             a JSON array of one object per file\n";

Row measure_row(const Arguments& a, const std::string& path) {
    Row row{{path, {}}};
    try {
        const volumes::VoxelSize size = figures_voxel_size(a, path);
        Body body;
        tarvo::Tally tally;  // measured while read, so that the figures need not measure it again
        load_or_fail(path, body, nullptr, false, &tally);
        geometry::set_measurement(body.rec, tally);
        row.push_back({std::to_string(body.rec.dim), {}});
        append_property_cells(row, properties_of_measured(body.rec, spacing_of(size)), size);
        row.push_back({});
    } catch (const Failure& e) {
        row.resize(2);
        append_empty_property_cells(row);
        row.push_back({e.what(), {}});
    } catch (const std::bad_alloc&) {
        row.resize(2);
        append_empty_property_cells(row);
        row.push_back({path + ": out of memory", {}});
    }
    return row;
}

int run_measure(const Args& raw) {
    const Arguments a = parse_arguments(raw, {"--files", "--spacing", "--unit"}, {"--csv", "--json"});
    const Format format = format_of(a);
    check_size_options(a);
    const std::vector<std::string> paths = batch_paths(a);
    Sheet sheet;
    sheet.columns = {{"file", Kind::kText}, {"dim", Kind::kNumber}};
    for (const Column& c : property_columns()) sheet.columns.push_back(c);
    sheet.columns.push_back({"error", Kind::kText});
    sheet.rows.resize(paths.size());
    for_each_file(paths.size(), [&](std::size_t k) { sheet.rows[k] = measure_row(a, paths[k]); });
    print_sheet(sheet, format);
    for (const Row& row : sheet.rows)
        if (!row.back().text.empty()) return kFailed;
    return kDone;
}

}  // namespace

const Subcommand kMeasure{"measure", "shape figures per file: volume, surface area, axes, pores (text, CSV, JSON)",
                          kUsageText, run_measure};

}  // namespace tarvo::tools
