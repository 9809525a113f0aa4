// tarvo-tools info: the header as stored, the particle as measured now, and where they disagree.
#include <cinttypes>
#include <cstdio>

#include "report.h"
#include "subcommands.h"

namespace tarvo::tools {
namespace {

const char kUsageText[] =
    "Usage: tarvo-tools info FILE.3d [--json]\n"
    "\n"
    "Prints the header fields as stored, the characteristics measured from the voxels (count,\n"
    "bounding box, truncated means, centre = middle of the bounding box), the voxel stream's\n"
    "length, and warnings where the header disagrees with the voxels, the stream ends before the\n"
    "last voxel (the rest reads as empty) or bytes follow the last code needed (they are ignored).\n"
    "--json prints the same as one JSON object (the measured fields of an empty particle are\n"
    "those tarvo writes into its header: minima dim-1, maxima 0; \"empty\" tells).\n";

using tarvo::kHeaderFields;
using tarvo::kStoredFields;
using Report = ParticleReport;

void print_text(const Report& r) {
    std::printf("file      %s (%" PRIu64 " bytes)\n", escaped(r.path).c_str(), r.load.file_bytes);
    std::printf("header    (as stored)\n");
    for (std::size_t f = 0; f < kStoredFields; ++f) {
        if (f < r.whole_fields())
            std::printf("  %-8s %11i\n", kHeaderFields[f].name, r.stored(f));
        else
            std::printf("  %-8s %11s\n", kHeaderFields[f].name, "missing");
    }
    const TelesoRecord& m = r.measured;
    std::printf("measured\n");
    std::printf("  voxels   %11i\n", m.voxels);
    if (r.empty()) {
        // The fields a measurement gives then (minima dim-1, maxima 0) are no box.
        std::printf("  empty particle: no voxel is set\n");
        std::printf("  center   [%i,%i,%i] (the middle of the grid, as tarvo takes it)\n", r.centre.x, r.centre.y,
                    r.centre.z);
    } else {
        std::printf("  x        min %i  max %i  mean %i\n", m.x_min, m.x_max, m.x_mean);
        std::printf("  y        min %i  max %i  mean %i\n", m.y_min, m.y_max, m.y_mean);
        std::printf("  z        min %i  max %i  mean %i\n", m.z_min, m.z_max, m.z_mean);
        std::printf("  center   [%i,%i,%i]\n", r.centre.x, r.centre.y, r.centre.z);
    }
    std::printf("stream    %" PRIu64 " code bytes for %" PRId64 " voxels\n", r.load.stream.code_bytes,
                r.load.stream.voxels_needed);
    if (r.warnings.empty()) std::printf("no warnings\n");
    for (const std::string& w : r.warnings) std::printf("warning: %s\n", w.c_str());
}

void print_json(const Report& r) {
    std::printf("{\n  \"file\": %s,\n  \"file_bytes\": %" PRIu64 ",\n  \"header\": {", json_string(r.path).c_str(),
                r.load.file_bytes);
    for (std::size_t f = 0; f < r.whole_fields(); ++f)
        std::printf("%s\"%s\": %i", f ? ", " : "", kHeaderFields[f].name, r.stored(f));
    const TelesoRecord& m = r.measured;
    std::printf("},\n  \"header_bytes\": %zu,\n", r.load.header.bytes);
    std::printf("  \"measured\": {\"empty\": %s, \"voxels\": %i, \"x_min\": %i, \"x_max\": %i, \"y_min\": %i, \"y_max\": %i, "
                "\"z_min\": %i, \"z_max\": %i, \"x_mean\": %i, \"y_mean\": %i, \"z_mean\": %i, "
                "\"center\": [%i, %i, %i]},\n",
                r.empty() ? "true" : "false", m.voxels, m.x_min, m.x_max, m.y_min, m.y_max, m.z_min, m.z_max, m.x_mean, m.y_mean, m.z_mean,
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
    const Report r = report_on(a.positional[0]);
    if (!r.read()) throw Failure(r.error);
    if (a.has("--json"))
        print_json(r);
    else
        print_text(r);
    return kDone;
}

}  // namespace

const Subcommand kInfo{"info", "the header as stored, the measured particle, warnings", kUsageText, run_info};

}  // namespace tarvo::tools
