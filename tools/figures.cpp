#include "figures.h"

namespace tarvo::tools {

std::vector<Column> property_columns() {
    return {{"volume", Kind::kNumber},           {"surface_area", Kind::kNumber},
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

void append_property_cells(Row& row, const Properties& p) {
    auto add = [&row](double v) { row.push_back({number_text(v), {}}); };
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
