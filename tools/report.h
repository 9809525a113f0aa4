// What a particle file holds: the header as stored, the particle as measured (count, bounding box,
// truncated means, centre) and the warnings where they disagree or the stream is damaged; for info
// and table.
//
// API
//   ParticleReport            one file's report; `error` says why it could not be read
//   report_on(path, figures, spacing)  reads the file once (a pipe will do) and measures it; with
//                             figures, its shape figures (tarvo/quantities.h) too, in the
//                             units of spacing
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common.h"
#include "tarvo/geometry.h"
#include "format/format.h"
#include "files/io.h"
#include "tarvo/quantities.h"

namespace tarvo::tools {

struct ParticleReport {
    std::string path;
    tarvo::LoadInfo load;
    TelesoRecord measured;  // the fields only, no bitmap
    Center centre;
    std::vector<std::string> warnings;
    std::optional<Properties> figures;
    std::string error;

    bool read() const { return error.empty(); }
    bool empty() const { return measured.voxels == 0; }
    std::size_t whole_fields() const { return load.header.whole_fields; }
    std::int32_t stored(std::size_t f) const { return load.header.fields[f]; }
    std::int32_t measured_field(std::size_t f) const { return measured.*tarvo::kHeaderFields[f].member; }
};

ParticleReport report_on(const std::string& path, bool figures = false, const Spacing& spacing = kVoxelUnits);

}  // namespace tarvo::tools
