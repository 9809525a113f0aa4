// tarvo-tools export: the particle as an 8-bit volume for ParaView, ImageJ/Fiji or Python.
#include <algorithm>

#include "common.h"
#include "progress.h"
#include "subcommands.h"
#include "volume.h"

namespace tarvo::tools {
namespace {

const char kUsageText[] =
    "Usage: tarvo-tools export FILE.3d OUT.vtk|OUT.vti|OUT.raw|OUT.nrrd|OUT.tif [--spacing X[,Y,Z]]\n"
    "                          [--unit U]\n"
    "\n"
    "Writes one byte per voxel, 255 for a particle voxel and 0 for an empty one, x fastest, then\n"
    "y, then z; the format follows the output's extension:\n"
    "  .vtk   VTK legacy file, STRUCTURED_POINTS, binary unsigned_char (ParaView, VisIt)\n"
    "  .vti   VTK XML image data, the bytes appended raw (ParaView, VTK's XML readers)\n"
    "  .nrrd  NRRD with the header attached (3D Slicer, Fiji's NRRD reader, pynrrd)\n"
    "  .tif   a multi-page 8-bit TIFF, one page per z layer, with resolution tags and ImageJ's\n"
    "         description (spacing, unit) (ImageJ/Fiji, tifffile)\n"
    "  .raw   the bare bytes, plus OUT.nhdr beside it: a detached NRRD header naming OUT.raw (a\n"
    "         name NRRD cannot give, with a space or a control character or starting with LIST,\n"
    "         is refused); the two are written whole or not at all.\n"
    "         ImageJ/Fiji: File > Import > Raw, 8-bit, width = height = images = the edge;\n"
    "         numpy: numpy.fromfile(path, numpy.uint8).reshape(edge, edge, edge) (indices z, y, x)\n"
    "VTK's points are the voxels' centres: origin 0 0 0, the coordinates of tarvo-tools mesh.\n"
    "  --spacing X[,Y,Z]  the size of a voxel, written as VTK's spacing and NRRD's spacings\n"
    "                     (default: FILE.3d.json beside the particle, else 1)\n"
    "  --unit U           its unit, written to the NRRD (default: the sidecar's)\n";

std::string base_name(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string spacing_text(const volumes::VoxelSize& size) {
    return volumes::format_number(size.size[0]) + " " + volumes::format_number(size.size[1]) + " " +
           volumes::format_number(size.size[2]);
}

std::string vtk_header(std::int32_t dim, const std::string& source, const volumes::VoxelSize& size) {
    const std::int64_t points = std::int64_t{dim} * dim * dim;
    // Escaped, so that a line break in a name cannot end the title line early.
    std::string title = escaped(source) + ": 255 = particle voxel, 0 = empty";
    if (title.size() > 200) title.resize(200);  // the format's title line holds 256 characters
    return "# vtk DataFile Version 3.0\n" + title + "\nBINARY\nDATASET STRUCTURED_POINTS\nDIMENSIONS " +
           std::to_string(dim) + " " + std::to_string(dim) + " " + std::to_string(dim) +
           "\nORIGIN 0 0 0\nSPACING " + spacing_text(size) + "\nPOINT_DATA " + std::to_string(points) +
           "\nSCALARS particle unsigned_char 1\nLOOKUP_TABLE default\n";
}

// VTK XML image data: the voxel bytes follow the markup as raw appended data, preceded by their
// count as a 64-bit little-endian number; vti_trailer() closes the file after them.
std::string vti_header(std::int32_t dim, const std::string& source, const volumes::VoxelSize& size) {
    const std::string extent = "0 " + std::to_string(dim - 1) + " 0 " + std::to_string(dim - 1) + " 0 " +
                               std::to_string(dim - 1);
    std::string title = source;  // inside a comment: no markup and no "--"
    for (char& c : title)
        if (c == '<' || c == '>' || c == '&') c = '_';
    for (std::size_t at; (at = title.find("--")) != std::string::npos;) title[at + 1] = '_';
    std::string h = "<?xml version=\"1.0\"?>\n<!-- " + title + ": 255 = particle voxel, 0 = empty -->\n"
                    "<VTKFile type=\"ImageData\" version=\"1.0\" byte_order=\"LittleEndian\" header_type=\"UInt64\">\n"
                    "  <ImageData WholeExtent=\"" + extent + "\" Origin=\"0 0 0\" Spacing=\"" + spacing_text(size) + "\">\n"
                    "    <Piece Extent=\"" + extent + "\">\n"
                    "      <PointData Scalars=\"particle\">\n"
                    "        <DataArray type=\"UInt8\" Name=\"particle\" format=\"appended\" offset=\"0\"/>\n"
                    "      </PointData>\n"
                    "    </Piece>\n"
                    "  </ImageData>\n"
                    "  <AppendedData encoding=\"raw\">\n   _";
    std::uint64_t bytes = static_cast<std::uint64_t>(voxel_count(dim));
    for (int i = 0; i < 8; ++i, bytes >>= 8) h += static_cast<char>(bytes & 0xFF);
    return h;
}

const std::string kVtiTrailer = "\n  </AppendedData>\n</VTKFile>\n";

// Writes header text, then (when given) the voxel bytes, then the trailer; the caller commits.
void write_volume(OutputFile& out, const std::string& header, const TelesoRecord* voxels, Progress& progress,
                  const std::string& trailer = {}) {
    progress.stage("writing " + out.output().path(), voxels ? voxels->dim : 0);
    out.write(header.data(), header.size());
    std::vector<std::uint8_t> layer;
    for (std::int32_t z = 0; voxels && z < voxels->dim; ++z) {
        layer_bytes(*voxels, z, layer);
        out.write(layer.data(), layer.size());
        progress.advance(1);
    }
    out.write(trailer.data(), trailer.size());
}

// Writes a whole volume file, replacing `path` whole.
void write_volume_file(const std::string& path, const std::string& header, const TelesoRecord* voxels,
                       Progress& progress, const std::string& trailer = {}) {
    OutputFile out(path);
    write_volume(out, header, voxels, progress, trailer);
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
    const Arguments a = parse_arguments(raw, {"--spacing", "--unit"}, {});
    expect_positional(a, 2, "FILE.3d OUT.vtk|OUT.vti|OUT.raw|OUT.nrrd|OUT.tif");
    const std::string& in = a.positional[0];
    const std::string& out = a.positional[1];
    const std::string ext = lower_extension(out);
    if (ext != ".vtk" && ext != ".vti" && ext != ".raw" && ext != ".nrrd" && !is_tiff_name(out))
        throw UsageError("unknown output format '" + out + "': the name must end in .vtk, .vti, .raw, .nrrd or .tif");
    volumes::VoxelSize any;
    any.known = true;
    voxel_size_options(a.value("--spacing"), a.value("--unit"), any);  // usage errors before any reading
    if (ext == ".raw") check_nrrd_data_name(out, base_name(out));
    Progress progress("export");
    progress.stage("reading " + in);
    Body body;
    load_or_fail(in, body);
    const volumes::VoxelSize size =
        voxel_size_options(a.value("--spacing"), a.value("--unit"), particle_voxel_size(in));
    const std::string source = "tarvo-tools export of " + base_name(in);
    if (ext == ".vtk") {
        write_volume_file(out, vtk_header(body.rec.dim, source, size), &body.rec, progress);
    } else if (ext == ".vti") {
        write_volume_file(out, vti_header(body.rec.dim, source, size), &body.rec, progress, kVtiTrailer);
    } else if (is_tiff_name(out)) {
        const std::int64_t dim = body.rec.dim;
        std::vector<std::uint8_t> bytes;
        progress.stage("writing " + out, dim);
        write_tiff_stack(out, {dim, dim, dim}, 1, size, [&](std::int64_t z, std::vector<std::uint32_t>& layer) {
            layer_bytes(body.rec, static_cast<std::int32_t>(z), bytes);
            std::copy(bytes.begin(), bytes.end(), layer.begin());
            progress.advance(1);
        });
    } else if (ext == ".nrrd") {
        write_volume_file(out, nrrd_header(body.rec.dim, "", source, size), &body.rec, progress);
    } else {
        // The pair is written whole or not at all: both files are opened and written in full
        // before either replaces what was there, so that a header never describes other data.
        const std::string nhdr = out.substr(0, out.size() - ext.size()) + ".nhdr";
        OutputFile data(out);
        OutputFile header(nhdr);
        write_volume(header, nrrd_header(body.rec.dim, base_name(out), source, size), nullptr, progress);
        write_volume(data, "", &body.rec, progress);
        data.commit();
        header.commit();
    }
    return kDone;
}

}  // namespace

const Subcommand kExport{"export", "an 8-bit volume: .vtk, .vti, .nrrd, .tif, or .raw with an .nhdr header",
                         kUsageText, run_export};

}  // namespace tarvo::tools
