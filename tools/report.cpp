// What a particle file holds, for info and table.
#include "report.h"

#include <cstdio>
#include <new>

#include "geometry/geometry.h"

namespace tools {

using teleso::kHeaderFields;

namespace {

void collect_warnings(ParticleReport& r) {
    if (r.load.header.bytes < teleso::kHeaderBytes)
        r.warnings.push_back("the header is incomplete: the file ends after " +
                             std::to_string(r.load.header.bytes) + " of its " + std::to_string(teleso::kHeaderBytes) +
                             " bytes");
    for (std::size_t f = 0; f < r.whole_fields(); ++f) {
        if (f == teleso::kDimField) continue;  // dim is what was read
        if (r.stored(f) != r.measured_field(f))
            r.warnings.push_back(std::string("header ") + kHeaderFields[f].name + " is " +
                                 std::to_string(r.stored(f)) + ", the voxels give " +
                                 std::to_string(r.measured_field(f)));
    }
    const teleso::StreamFacts& stream = r.load.stream;
    if (stream.ends_early())
        r.warnings.push_back("the voxel stream ends early: it codes " + std::to_string(stream.voxels_coded) +
                             " of " + std::to_string(stream.voxels_needed) +
                             " voxels; the rest read as empty");
    if (stream.surplus_bytes > 0)
        r.warnings.push_back(std::to_string(stream.surplus_bytes) +
                             " bytes follow the last code needed; they are ignored");
}

// The length of the valid UTF-8 sequence at s[i], or 0 when it is not one.
std::size_t utf8_sequence(const std::string& s, std::size_t i) {
    const auto b = [&s](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    std::size_t n = 0;
    unsigned lo = 0x80, hi = 0xBF;  // the range of the second byte
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) n = 2;
    else if (c >= 0xE0 && c <= 0xEF) n = 3, lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
    else if (c >= 0xF0 && c <= 0xF4) n = 4, lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
    else return 0;
    if (i + n > s.size() || b(i + 1) < lo || b(i + 1) > hi) return 0;
    for (std::size_t k = 2; k < n; ++k)
        if (b(i + k) < 0x80 || b(i + k) > 0xBF) return 0;
    return n;
}

}  // namespace

// A JSON string; bytes that are not UTF-8 (a file name may hold any) become U+FFFD.
std::string json_string(const std::string& s) {
    std::string out = "\"";
    for (std::size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const std::size_t n = utf8_sequence(s, i);
        if (n == 0) {
            out += "\\ufffd";
            ++i;
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
            ++i;
        } else {
            out.append(s, i, n);
            i += n;
        }
    }
    return out + "\"";
}

ParticleReport report_on(const std::string& path) {
    ParticleReport r;
    r.path = path;
    TelesoRecord rec;
    const teleso::Status s = teleso::load_body(path, rec, &r.load, true);
    remember_input(r.load.file);
    if (!s) {
        r.error = teleso::describe(s);
        return r;
    }
    Analyse_teleso(rec);
    r.measured = rec;
    r.measured.data = nullptr;
    r.centre = Get_center(rec);
    teleso::free_body(rec);
    collect_warnings(r);
    return r;
}

}  // namespace tools
