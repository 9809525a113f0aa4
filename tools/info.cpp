// tarvo-tools info: the header as stored, the particle as measured now, and where they disagree.
#include <cinttypes>
#include <cstdio>

#include "common.h"
#include "geometry/geometry.h"
#include "subcommands.h"
#include "teleso/format.h"
#include "teleso/io.h"

namespace tools {
namespace {

const char kUsageText[] =
    "Usage: tarvo-tools info FILE.3d [--json]\n"
    "\n"
    "Prints the header fields as stored, the characteristics measured from the voxels (count,\n"
    "bounding box, truncated means, centre = middle of the bounding box), the voxel stream's\n"
    "length, and warnings where the header disagrees with the voxels, the stream ends before the\n"
    "last voxel (the rest reads as empty) or bytes follow the last code needed (they are ignored).\n"
    "--json prints the same as one JSON object.\n";

using teleso::kHeaderFields;
using teleso::kStoredFields;

struct Report {
    std::string path;
    teleso::LoadInfo load;
    TelesoRecord measured;  // fields only; the bitmap belongs to the loaded body
    Center centre;
    std::vector<std::string> warnings;
};

std::int32_t measured_field(const Report& r, std::size_t f) { return r.measured.*kHeaderFields[f].member; }
std::int32_t stored_field(const Report& r, std::size_t f) { return r.load.header.fields[f]; }
std::size_t whole_fields(const Report& r) { return r.load.header.whole_fields; }

void collect_warnings(Report& r) {
    if (r.load.header.bytes < teleso::kHeaderBytes)
        r.warnings.push_back("the header is incomplete: the file ends after " +
                             std::to_string(r.load.header.bytes) + " of its " + std::to_string(teleso::kHeaderBytes) +
                             " bytes");
    for (std::size_t f = 0; f < whole_fields(r); ++f) {
        if (f == teleso::kDimField) continue;  // dim is what was read
        if (stored_field(r, f) != measured_field(r, f))
            r.warnings.push_back(std::string("header ") + kHeaderFields[f].name + " is " +
                                 std::to_string(stored_field(r, f)) + ", the voxels give " +
                                 std::to_string(measured_field(r, f)));
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

void print_text(const Report& r) {
    std::printf("file      %s (%" PRIu64 " bytes)\n", r.path.c_str(), r.load.file_bytes);
    std::printf("header    (as stored)\n");
    for (std::size_t f = 0; f < kStoredFields; ++f) {
        if (f < whole_fields(r))
            std::printf("  %-8s %11i\n", kHeaderFields[f].name, stored_field(r, f));
        else
            std::printf("  %-8s %11s\n", kHeaderFields[f].name, "missing");
    }
    const TelesoRecord& m = r.measured;
    std::printf("measured\n");
    std::printf("  voxels   %11i\n", m.voxels);
    std::printf("  x        min %i  max %i  mean %i\n", m.x_min, m.x_max, m.x_mean);
    std::printf("  y        min %i  max %i  mean %i\n", m.y_min, m.y_max, m.y_mean);
    std::printf("  z        min %i  max %i  mean %i\n", m.z_min, m.z_max, m.z_mean);
    std::printf("  center   [%i,%i,%i]\n", r.centre.x, r.centre.y, r.centre.z);
    std::printf("stream    %" PRIu64 " code bytes for %" PRId64 " voxels\n", r.load.stream.code_bytes,
                r.load.stream.voxels_needed);
    if (r.warnings.empty()) std::printf("no warnings\n");
    for (const std::string& w : r.warnings) std::printf("warning: %s\n", w.c_str());
}

void print_json(const Report& r) {
    std::printf("{\n  \"file\": %s,\n  \"file_bytes\": %" PRIu64 ",\n  \"header\": {", json_string(r.path).c_str(),
                r.load.file_bytes);
    for (std::size_t f = 0; f < whole_fields(r); ++f)
        std::printf("%s\"%s\": %i", f ? ", " : "", kHeaderFields[f].name, stored_field(r, f));
    const TelesoRecord& m = r.measured;
    std::printf("},\n  \"header_bytes\": %zu,\n", r.load.header.bytes);
    std::printf("  \"measured\": {\"voxels\": %i, \"x_min\": %i, \"x_max\": %i, \"y_min\": %i, \"y_max\": %i, "
                "\"z_min\": %i, \"z_max\": %i, \"x_mean\": %i, \"y_mean\": %i, \"z_mean\": %i, "
                "\"center\": [%i, %i, %i]},\n",
                m.voxels, m.x_min, m.x_max, m.y_min, m.y_max, m.z_min, m.z_max, m.x_mean, m.y_mean, m.z_mean,
                r.centre.x, r.centre.y, r.centre.z);
    std::printf("  \"stream\": {\"code_bytes\": %" PRIu64 ", \"voxels_needed\": %" PRId64
                ", \"voxels_coded\": %" PRId64 ", \"ends_early\": %s, \"surplus_bytes\": %" PRIu64 "},\n",
                r.load.stream.code_bytes, r.load.stream.voxels_needed, r.load.stream.voxels_coded,
                r.load.stream.ends_early() ? "true" : "false", r.load.stream.surplus_bytes);
    std::printf("  \"warnings\": [");
    for (std::size_t k = 0; k < r.warnings.size(); ++k)
        std::printf("%s%s", k ? ", " : "", json_string(r.warnings[k]).c_str());
    std::printf("]\n}\n");
}

int run_info(const Args& raw) {
    const Arguments a = parse_arguments(raw, {}, {"--json"});
    expect_positional(a, 1, "FILE.3d");
    Report r;
    r.path = a.positional[0];
    OwnedBody body;
    load_or_fail(r.path, body, &r.load, true);
    Analyse_teleso(body.rec);
    r.measured = body.rec;
    r.measured.data = nullptr;
    r.centre = Get_center(body.rec);
    collect_warnings(r);
    if (a.has("--json"))
        print_json(r);
    else
        print_text(r);
    return kDone;
}

}  // namespace

const Subcommand kInfo{"info", "the header as stored, the measured particle, warnings", kUsageText, run_info};

}  // namespace tools
