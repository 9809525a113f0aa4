// tarvo-tools export: the particle as an 8-bit volume for ParaView, ImageJ/Fiji or Python.
#include <algorithm>

#include "common.h"
#include "progress.h"
#include "subcommands.h"
#include "volume.h"

namespace tools {
namespace {

const char kUsageText[] =
    "Usage: tarvo-tools export FILE.3d OUT.vtk|OUT.raw|OUT.nrrd\n"
    "\n"
    "Writes one byte per voxel, 255 for a particle voxel and 0 for an empty one, x fastest, then\n"
    "y, then z; the format follows the output's extension:\n"
    "  .vtk   VTK legacy file, STRUCTURED_POINTS, binary unsigned_char (ParaView, VisIt)\n"
    "  .nrrd  NRRD with the header attached (3D Slicer, Fiji's NRRD reader, pynrrd)\n"
    "  .raw   the bare bytes, plus OUT.nhdr beside it: a detached NRRD header naming OUT.raw (a\n"
    "         name NRRD cannot give, with a space or a control character or starting with LIST,\n"
    "         is refused); the two are written whole or not at all.\n"
    "         ImageJ/Fiji: File > Import > Raw, 8-bit, width = height = images = the edge;\n"
    "         numpy: numpy.fromfile(path, numpy.uint8).reshape(edge, edge, edge) (indices z, y, x)\n";

std::string base_name(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string vtk_header(std::int32_t dim, const std::string& source) {
    const std::int64_t points = std::int64_t{dim} * dim * dim;
    // Escaped, so that a line break in a name cannot end the title line early.
    std::string title = escaped(source) + ": 255 = particle voxel, 0 = empty";
    if (title.size() > 200) title.resize(200);  // the format's title line holds 256 characters
    return "# vtk DataFile Version 3.0\n" + title + "\nBINARY\nDATASET STRUCTURED_POINTS\nDIMENSIONS " +
           std::to_string(dim) + " " + std::to_string(dim) + " " + std::to_string(dim) +
           "\nORIGIN 0 0 0\nSPACING 1 1 1\nPOINT_DATA " + std::to_string(points) +
           "\nSCALARS particle unsigned_char 1\nLOOKUP_TABLE default\n";
}

// Writes header text and then (when with_voxels) the voxel bytes; the caller commits.
void write_volume(OutputFile& out, const std::string& header, const TelesoRecord* voxels, Progress& progress) {
    progress.stage("writing " + out.output().path(), voxels ? voxels->dim : 0);
    out.write(header.data(), header.size());
    std::vector<std::uint8_t> layer;
    for (std::int32_t z = 0; voxels && z < voxels->dim; ++z) {
        layer_bytes(*voxels, z, layer);
        out.write(layer.data(), layer.size());
        progress.advance(1);
    }
}

// Writes a whole volume file, replacing `path` whole.
void write_volume_file(const std::string& path, const std::string& header, const TelesoRecord* voxels,
                       Progress& progress) {
    OutputFile out(path);
    write_volume(out, header, voxels, progress);
    out.commit();
}

// The name a detached NRRD header gives its data file must be one NRRD reads as a single file:
// with a space it would be a pattern of names, after a leading LIST a list of them, and a control
// character would end or break the header's line.
void check_nrrd_data_name(const std::string& out, const std::string& name) {
    const bool control = std::any_of(name.begin(), name.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    });
    if (control || name.find(' ') != std::string::npos || name.rfind("LIST", 0) == 0)
        throw UsageError("'" + out + "': an NRRD header cannot name a data file whose name holds a space or a "
                         "control character or starts with LIST: choose another name, or export to .nrrd");
}

int run_export(const Args& raw) {
    const Arguments a = parse_arguments(raw, {}, {});
    expect_positional(a, 2, "FILE.3d OUT.vtk|OUT.raw|OUT.nrrd");
    const std::string& in = a.positional[0];
    const std::string& out = a.positional[1];
    const std::string ext = lower_extension(out);
    if (ext != ".vtk" && ext != ".raw" && ext != ".nrrd")
        throw UsageError("unknown output format '" + out + "': the name must end in .vtk, .raw or .nrrd");
    if (ext == ".raw") check_nrrd_data_name(out, base_name(out));
    Progress progress("export");
    progress.stage("reading " + in);
    OwnedBody body;
    load_or_fail(in, body);
    const std::string source = "tarvo-tools export of " + base_name(in);
    if (ext == ".vtk") {
        write_volume_file(out, vtk_header(body.rec.dim, source), &body.rec, progress);
    } else if (ext == ".nrrd") {
        write_volume_file(out, nrrd_header(body.rec.dim, "", source), &body.rec, progress);
    } else {
        // The pair is written whole or not at all: both files are opened and written in full
        // before either replaces what was there, so that a header never describes other data.
        const std::string nhdr = out.substr(0, out.size() - ext.size()) + ".nhdr";
        OutputFile data(out);
        OutputFile header(nhdr);
        write_volume(header, nrrd_header(body.rec.dim, base_name(out), source), nullptr, progress);
        write_volume(data, "", &body.rec, progress);
        data.commit();
        header.commit();
    }
    return kDone;
}

}  // namespace

const Subcommand kExport{"export", "an 8-bit volume: .vtk, .nrrd, or .raw with an .nhdr header",
                         kUsageText, run_export};

}  // namespace tools
