// What a particle file holds, for info and table.
#include "report.h"

#include <cstdio>
#include <new>

#include "files/io.h"
#include "geometry/passes.h"
#include "geometry/tape_cut.h"

namespace tarvo::tools {

using tarvo::kHeaderFields;

namespace {

void collect_warnings(ParticleReport& r) {
    if (r.load.header.bytes < tarvo::kHeaderBytes)
        r.warnings.push_back("the header is incomplete: the file ends after " +
                             std::to_string(r.load.header.bytes) + " of its " + std::to_string(tarvo::kHeaderBytes) +
                             " bytes");
    for (std::size_t f = 0; f < r.whole_fields(); ++f) {
        if (f == tarvo::kDimField) continue;  // dim is what was read
        if (r.stored(f) != r.measured_field(f))
            r.warnings.push_back(std::string("header ") + kHeaderFields[f].name + " is " +
                                 std::to_string(r.stored(f)) + ", the voxels give " +
                                 std::to_string(r.measured_field(f)));
    }
    const tarvo::StreamFacts& stream = r.load.stream;
    if (stream.ends_early())
        r.warnings.push_back("the voxel stream ends early: it codes " + std::to_string(stream.voxels_coded) +
                             " of " + std::to_string(stream.voxels_needed) +
                             " voxels; the rest read as empty");
    if (stream.surplus_bytes > 0)
        r.warnings.push_back(std::to_string(stream.surplus_bytes) +
                             " bytes follow the last code needed; they are ignored");
}

}  // namespace

ParticleReport report_on(const std::string& path, bool figures, const Spacing& spacing) {
    ParticleReport r;
    r.path = path;
    Body body;
    TelesoRecord& rec = body.rec;
    tarvo::Status s;
    if (figures) {
        // The shape figures need the bitmap. Measured while the stream is read: work in proportion
        // to the stream, not to the grid its header claims (a 52-byte file may claim the largest).
        tarvo::Tally tally;
        s = tarvo::load_body(path, rec, &r.load, true, &tally);
        if (s) geometry::set_measurement(rec, tally);
    } else {
        // The figures of the header alone need no grid: the particle is read onto a tape, which
        // takes memory where its voxels are.
        tarvo::Tape tape;
        s = tarvo::load_tape(path, rec, tape, &r.load, true);
        if (s) geometry::set_measurement(rec, geometry::measure_tape(tape, tarvo::kAutoThreads));
    }
    remember_input(r.load.file);
    if (!s) {
        r.error = tarvo::describe(s);
        return r;
    }
    r.measured = rec;
    r.measured.data = nullptr;
    r.centre = Get_center(rec);
    if (figures) r.figures = properties_of_measured(rec, spacing);
    collect_warnings(r);
    return r;
}

}  // namespace tarvo::tools
