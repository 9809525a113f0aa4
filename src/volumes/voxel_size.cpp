#include "volumes/voxel_size.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <vector>

namespace tarvo::volumes {
// A unit is a short word ("um", "mm", "µm"): no quotes, backslashes, spaces or control bytes, so
// it stands unescaped in JSON, CSV and NRRD.
bool plain_unit(const std::string& u) {
    if (u.empty() || u.size() > 32) return false;
    for (unsigned char c : u)
        if (c <= ' ' || c == '"' || c == '\\' || c == ',' || c == 0x7F) return false;
    return true;
}

namespace {

bool read_number(const std::string& text, double& v) {
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, v);
    return ec == std::errc() && ptr == end;
}

bool usable(double v) { return std::isfinite(v) && v > 0; }

std::string trim(const std::string& s) {
    const std::size_t a = s.find_first_not_of(" \t\r\n");
    if (a == std::string::npos) return {};
    return s.substr(a, s.find_last_not_of(" \t\r\n") - a + 1);
}

// The quoted words of an NRRD "units" field: "mm" "mm" "mm".
std::vector<std::string> quoted_words(const std::string& field) {
    std::vector<std::string> words;
    for (std::size_t at = field.find('"'); at != std::string::npos;) {
        const std::size_t end = field.find('"', at + 1);
        if (end == std::string::npos) break;
        words.push_back(field.substr(at + 1, end - at - 1));
        at = field.find('"', end + 1);
    }
    return words;
}

std::string json_text(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

}  // namespace

std::string format_number(double v) {
    char buf[32];
    const auto [ptr, ec] = std::to_chars(buf, buf + sizeof buf, v);
    return ec == std::errc() ? std::string(buf, ptr) : "nan";
}

std::string sidecar_path(const std::string& particle) { return particle + ".json"; }

std::string sidecar_text(const VoxelSize& size, const std::string& source) {
    std::string t = "{\n  \"voxel_size\": [";
    for (int k = 0; k < 3; ++k) t += (k ? ", " : "") + format_number(size.size[k]);
    t += "],\n  \"unit\": " + json_text(size.unit) + ",\n  \"source\": " + json_text(source) + "\n}\n";
    return t;
}

std::string parse_sidecar(const std::string& text, VoxelSize& size) {
    const std::size_t key = text.find("\"voxel_size\"");
    const std::size_t open = text.find('[', key);
    const std::size_t close = text.find(']', open);
    if (key == std::string::npos || open == std::string::npos || close == std::string::npos)
        return "it has no \"voxel_size\": [x, y, z]";
    std::istringstream parts(text.substr(open + 1, close - open - 1));
    std::string part;
    int k = 0;
    while (std::getline(parts, part, ',')) {
        if (k == 3 || !read_number(trim(part), size.size[k]) || !usable(size.size[k]))
            return "its \"voxel_size\" is not three positive numbers";
        ++k;
    }
    if (k != 3) return "its \"voxel_size\" is not three positive numbers";
    size.unit.clear();
    const std::size_t unit_key = text.find("\"unit\"", close);
    if (unit_key != std::string::npos) {
        const std::size_t a = text.find('"', text.find(':', unit_key));
        const std::size_t b = a == std::string::npos ? a : text.find('"', a + 1);
        if (b == std::string::npos) return "its \"unit\" is not a string";
        size.unit = text.substr(a + 1, b - a - 1);
        if (!size.unit.empty() && !plain_unit(size.unit)) return "its \"unit\" is not a plain word";
    }
    size.known = true;
    return {};
}

std::string parse_voxel_size(const std::string& text, std::array<double, 3>& size) {
    std::istringstream parts(text);
    std::string part;
    std::vector<double> values;
    while (std::getline(parts, part, ',')) {
        double v = 0;
        if (values.size() == 3 || !read_number(trim(part), v) || !usable(v)) return "not X or X,Y,Z, each positive";
        values.push_back(v);
    }
    if (values.size() == 1) values.assign(3, values[0]);
    if (values.size() != 3) return "not X or X,Y,Z, each positive";
    for (int k = 0; k < 3; ++k) size[k] = values[k];
    return {};
}

std::string nrrd_spacing(const std::string* spacings, const std::string* directions, const std::string* units,
                         VoxelSize& size) {
    size = VoxelSize{};
    if (directions) {
        // "(a,b,c) (d,e,f) (g,h,i)": each axis's step in space; its length is the voxel size.
        std::string t = *directions;
        for (char& c : t)
            if (c == '(' || c == ')' || c == ',') c = ' ';
        std::istringstream s(t);
        std::string word;
        for (int axis = 0; axis < 3; ++axis) {
            double len2 = 0;
            for (int k = 0; k < 3; ++k) {
                double v = 0;
                if (!(s >> word) || !read_number(word, v) || !std::isfinite(v))
                    return "its space directions '" + *directions + "' are not three vectors of three numbers";
                len2 += v * v;
            }
            size.size[axis] = std::sqrt(len2);
            if (!usable(size.size[axis])) return "its space directions '" + *directions + "' have a zero vector";
        }
        if (s >> word) return "its space directions '" + *directions + "' are not three vectors of three numbers";
        size.known = true;
    } else if (spacings) {
        std::istringstream s(*spacings);
        std::string word;
        int given = 0;
        for (int axis = 0; axis < 3; ++axis) {
            if (!(s >> word)) return "its spacings '" + *spacings + "' are not three numbers";
            double v = 0;
            if (word == "nan" || word == "NaN") continue;  // no size on this axis
            if (!read_number(word, v) || !usable(v)) return "its spacings '" + *spacings + "' are not positive";
            size.size[axis] = v;
            ++given;
        }
        if (s >> word) return "its spacings '" + *spacings + "' are not three numbers";
        if (given != 0 && given != 3) return "its spacings '" + *spacings + "' leave an axis without a size";
        size.known = given == 3;
    }
    if (units && size.known) {
        const std::vector<std::string> words = quoted_words(*units);
        if (words.size() != 3) return "its units '" + *units + "' are not three quoted words";
        if (words[0] != words[1] || words[1] != words[2])
            return "its units '" + *units + "' differ between the axes";
        if (!words[0].empty() && !plain_unit(words[0])) return "its unit '" + words[0] + "' is not a plain word";
        size.unit = words[0];
    }
    return {};
}

}  // namespace tarvo::volumes
