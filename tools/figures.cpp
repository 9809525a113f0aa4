#include "figures.h"

#include "volume.h"

namespace tarvo::tools {

void check_size_options(const Arguments& a) {
    if (a.value("--unit") && !a.value("--spacing")) throw UsageError("--unit goes with --spacing");
    voxel_size_options(a.value("--spacing"), a.value("--unit"), {});
}

volumes::VoxelSize figures_voxel_size(const Arguments& a, const std::string& path) {
    if (a.value("--spacing")) return voxel_size_options(a.value("--spacing"), a.value("--unit"), {});
    return particle_voxel_size(path);
}

Spacing spacing_of(const volumes::VoxelSize& size) { return size.known ? size.size : kVoxelUnits; }

std::string unit_text(const volumes::VoxelSize& size) { return size.known ? size.unit : "voxel"; }

std::vector<Column> property_columns() {
    return {{"spacing_x", Kind::kNumber},        {"spacing_y", Kind::kNumber},
            {"spacing_z", Kind::kNumber},        {"unit", Kind::kText},
            {"volume", Kind::kNumber},           {"surface_area", Kind::kNumber},
            {"equivalent_diameter", Kind::kNumber}, {"sphericity", Kind::kNumber},
            {"centroid_x", Kind::kNumber},       {"centroid_y", Kind::kNumber},
            {"centroid_z", Kind::kNumber},       {"moment_1", Kind::kNumber},
            {"moment_2", Kind::kNumber},         {"moment_3", Kind::kNumber},
            {"axis_1_x", Kind::kNumber},         {"axis_1_y", Kind::kNumber},
            {"axis_1_z", Kind::kNumber},         {"axis_2_x", Kind::kNumber},
            {"axis_2_y", Kind::kNumber},         {"axis_2_z", Kind::kNumber},
            {"axis_3_x", Kind::kNumber},         {"axis_3_y", Kind::kNumber},
            {"axis_3_z", Kind::kNumber},         {"enclosed_voxels", Kind::kNumber},
            {"enclosed_porosity", Kind::kNumber}, {"euler_number", Kind::kNumber}};
}

void append_property_cells(Row& row, const Properties& p, const volumes::VoxelSize& size) {
    auto add = [&row](double v) { row.push_back({number_text(v), {}}); };
    for (double s : spacing_of(size)) add(s);
    row.push_back({unit_text(size), {}});
    // In voxel units the volume is the count; in a voxel size's units, the count times its volume.
    if (size.known)
        add(p.scaled_volume);
    else
        row.push_back({std::to_string(p.volume), {}});
    add(p.surface_area);
    add(p.equivalent_diameter);
    add(p.sphericity);
    for (double c : p.centroid) add(c);
    for (double m : p.moments) add(m);
    for (const auto& axis : p.axes)
        for (double a : axis) add(a);
    row.push_back({std::to_string(p.enclosed_voxels), {}});
    add(p.enclosed_porosity);
    row.push_back({std::to_string(p.euler_number), {}});
}

void append_empty_property_cells(Row& row) { row.resize(row.size() + property_columns().size()); }

}  // namespace tarvo::tools
