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

}  // namespace

ParticleReport report_on(const std::string& path) {
    ParticleReport r;
    r.path = path;
    TelesoRecord rec;
    // Measured while the stream is read: work in proportion to the stream, not to the grid its
    // header claims (a 52-byte file may claim the largest).
    teleso::Tally tally;
    const teleso::Status s = teleso::load_body(path, rec, &r.load, true, &tally);
    remember_input(r.load.file);
    if (!s) {
        r.error = teleso::describe(s);
        return r;
    }
    geometry::set_measurement(rec, tally);
    r.measured = rec;
    r.measured.data = nullptr;
    r.centre = Get_center(rec);
    teleso::free_body(rec);
    collect_warnings(r);
    return r;
}

}  // namespace tools
