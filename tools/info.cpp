// tarvo-tools info: the header as stored, the particle as measured now, and where they disagree.
#include <cinttypes>
#include <cstdio>

#include "common.h"
#include "geometry/geometry.h"
#include "subcommands.h"
#include "teleso/format.h"

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

const char* const kFieldNames[12] = {"size",   "dim",    "x_min",  "x_max",  "y_min",  "y_max",
                                     "z_min",  "z_max",  "x_mean", "y_mean", "z_mean", "voxels"};

struct Report {
    std::string path;
    teleso::LoadReport load;
    teleso::StreamFacts stream;
    TelesoRecord measured;  // fields only; the bitmap belongs to the loaded body
    Center centre;
    std::vector<std::string> warnings;
};

std::array<std::int32_t, 12> fields_of(const TelesoRecord& r) {
    return {r.size,  r.dim,   r.x_min,  r.x_max,  r.y_min,  r.y_max,
            r.z_min, r.z_max, r.x_mean, r.y_mean, r.z_mean, r.voxels};
}

std::size_t whole_fields(const Report& r) {
    return std::min<std::size_t>(r.load.header_bytes / shape_form::kFieldBytes, 12);
}

void collect_warnings(Report& r) {
    if (r.load.header_bytes < shape_form::kHeaderBytes)
        r.warnings.push_back("the header is incomplete: the file ends after " +
                             std::to_string(r.load.header_bytes) + " of its 52 bytes");
    const auto measured = fields_of(r.measured);
    for (std::size_t f = 0; f < 12; ++f) {
        if (f == 1) continue;  // dim is what was read
        if (f >= whole_fields(r)) continue;
        if (r.load.stored[f] != measured[f])
            r.warnings.push_back(std::string("header ") + kFieldNames[f] + " is " +
                                 std::to_string(r.load.stored[f]) + ", the voxels give " +
                                 std::to_string(measured[f]));
    }
    if (r.stream.ends_early())
        r.warnings.push_back("the voxel stream ends early: it codes " + std::to_string(r.stream.voxels_coded) +
                             " of " + std::to_string(r.stream.voxels_needed) +
                             " voxels; the rest read as empty");
    if (r.stream.surplus_bytes > 0)
        r.warnings.push_back(std::to_string(r.stream.surplus_bytes) +
                             " bytes follow the last code needed; they are ignored");
}

void print_text(const Report& r) {
    std::printf("file      %s (%" PRIu64 " bytes)\n", r.path.c_str(), r.load.file_bytes);
    std::printf("header    (as stored)\n");
    for (std::size_t f = 0; f < 12; ++f) {
        if (f < whole_fields(r))
            std::printf("  %-8s %11i\n", kFieldNames[f], r.load.stored[f]);
        else
            std::printf("  %-8s %11s\n", kFieldNames[f], "missing");
    }
    const TelesoRecord& m = r.measured;
    std::printf("measured\n");
    std::printf("  voxels   %11i\n", m.voxels);
    std::printf("  x        min %i  max %i  mean %i\n", m.x_min, m.x_max, m.x_mean);
    std::printf("  y        min %i  max %i  mean %i\n", m.y_min, m.y_max, m.y_mean);
    std::printf("  z        min %i  max %i  mean %i\n", m.z_min, m.z_max, m.z_mean);
    std::printf("  center   [%i,%i,%i]\n", r.centre.x, r.centre.y, r.centre.z);
    std::printf("stream    %" PRIu64 " code bytes for %" PRId64 " voxels\n", r.stream.code_bytes,
                r.stream.voxels_needed);
    if (r.warnings.empty()) std::printf("no warnings\n");
    for (const std::string& w : r.warnings) std::printf("warning: %s\n", w.c_str());
}

void print_json(const Report& r) {
    std::printf("{\n  \"file\": %s,\n  \"file_bytes\": %" PRIu64 ",\n  \"header\": {", json_string(r.path).c_str(),
                r.load.file_bytes);
    for (std::size_t f = 0; f < whole_fields(r); ++f)
        std::printf("%s\"%s\": %i", f ? ", " : "", kFieldNames[f], r.load.stored[f]);
    const TelesoRecord& m = r.measured;
    std::printf("},\n  \"header_bytes\": %zu,\n", r.load.header_bytes);
    std::printf("  \"measured\": {\"voxels\": %i, \"x_min\": %i, \"x_max\": %i, \"y_min\": %i, \"y_max\": %i, "
                "\"z_min\": %i, \"z_max\": %i, \"x_mean\": %i, \"y_mean\": %i, \"z_mean\": %i, "
                "\"center\": [%i, %i, %i]},\n",
                m.voxels, m.x_min, m.x_max, m.y_min, m.y_max, m.z_min, m.z_max, m.x_mean, m.y_mean, m.z_mean,
                r.centre.x, r.centre.y, r.centre.z);
    std::printf("  \"stream\": {\"code_bytes\": %" PRIu64 ", \"voxels_needed\": %" PRId64
                ", \"voxels_coded\": %" PRId64 ", \"ends_early\": %s, \"surplus_bytes\": %" PRIu64 "},\n",
                r.stream.code_bytes, r.stream.voxels_needed, r.stream.voxels_coded,
                r.stream.ends_early() ? "true" : "false", r.stream.surplus_bytes);
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
    load_or_fail(r.path, body, &r.load);
    std::string error;
    if (!teleso::scan_stream(r.path.c_str(), body.rec.dim, r.stream, error)) throw Failure(error);
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
