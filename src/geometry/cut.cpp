// The plane cut.
#include <cctype>
#include <cstdlib>
#include <string>

#include "geometry/passes.h"
#include "geometry/plane.h"

namespace tarvo {

float Cut_length(const char* text) { return static_cast<float>(std::atof(text)); }

// atof is strtod that ignores what follows the number: a text strtod reads to its end is one whose
// every character the program's reading takes into account. strtod would also skip spaces ahead
// of the number, which are refused here.
std::optional<double> whole_number(std::string_view text) {
    if (text.empty() || text.find('\0') != std::string_view::npos || std::isspace(static_cast<unsigned char>(text[0])))
        return std::nullopt;
    const std::string s(text);
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (end != s.c_str() + s.size()) return std::nullopt;
    return v;
}

std::optional<float> whole_cut_length(std::string_view text) {
    if (!whole_number(text)) return std::nullopt;
    return Cut_length(std::string(text).c_str());
}

namespace geometry::reference {

void cut(TelesoRecord& rec, Center c, float x_cut, float y_cut, float z_cut) {
    const std::int32_t n = rec.dim;
    for (std::int32_t z = 0; z < n; ++z) {
        const PlaneValue tz = plane_term(z - c.z, z_cut);
        for (std::int32_t y = 0; y < n; ++y) {
            const PlaneValue ty = plane_term(y - c.y, y_cut);
            for (std::int32_t x = 0; x < n; ++x) {
                const PlaneValue s = plane_add(plane_add(plane_term(x - c.x, x_cut), ty), tz);
                if (plane_beyond(s)) Set_voxel(rec, x, y, z, 0);
            }
        }
    }
}

}  // namespace geometry::reference

void Cut_teleso(TelesoRecord& rec, Center c, float x_cut, float y_cut, float z_cut) {
    geometry::cut(rec, c, x_cut, y_cut, z_cut);
}

}  // namespace tarvo
