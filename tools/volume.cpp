#include "volume.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <system_error>

#include "common.h"

namespace tarvo::tools {

void layer_bytes(const TelesoRecord& rec, std::int32_t z, std::vector<std::uint8_t>& out) {
    const std::int64_t count = std::int64_t{rec.dim} * rec.dim;
    out.resize(static_cast<std::size_t>(count));
    tarvo::unpack_voxels(rec, count * z, count, out.data(), kExportSet, kExportEmpty);
}

std::string nrrd_header(std::int32_t dim, const std::string& data_file, const std::string& source,
                        const volumes::VoxelSize& size) {
    std::ostringstream h;
    h << "NRRD0004\n"
      << "# " << escaped(source) << ": " << int{kExportSet} << " = particle voxel, " << int{kExportEmpty} << " = empty\n"
      << "type: uint8\n"
      << "dimension: 3\n"
      << "sizes: " << dim << " " << dim << " " << dim << "\n"
      << "spacings: " << volumes::format_number(size.size[0]) << " " << volumes::format_number(size.size[1]) << " "
      << volumes::format_number(size.size[2]) << "\n";
    if (!size.unit.empty()) h << "units: \"" << size.unit << "\" \"" << size.unit << "\" \"" << size.unit << "\"\n";
    h
      << "encoding: raw\n";
    if (!data_file.empty())
        h << "data file: " << data_file << "\n";
    else
        h << "\n";  // the blank line after which the data follows
    return h.str();
}

namespace {

// The safe output as the volumes room's writers see it.
class OutputSink : public volumes::VolumeSink {
public:
    explicit OutputSink(const std::string& path) : path_(path) {}
    void open() override { out_.emplace(path_); }
    void write(const void* bytes, std::size_t n) override { out_->write(bytes, n); }
    void commit() override { out_->commit(); }

private:
    std::string path_;
    std::optional<OutputFile> out_;
};

}  // namespace

void write_label_volume(const std::string& path, const std::array<std::int64_t, 3>& size, int width,
                        const volumes::VoxelSize& voxel_size,
                        const std::function<void(std::int64_t, std::vector<std::uint32_t>&)>& layer) {
    OutputSink out(path);
    volumes::write_label_volume(path, out, size, width, voxel_size, layer);
}

void write_tiff_stack(const std::string& path, const std::array<std::int64_t, 3>& size, int width,
                      const volumes::VoxelSize& voxel_size,
                      const std::function<void(std::int64_t, std::vector<std::uint32_t>&)>& layer) {
    OutputSink out(path);
    volumes::write_tiff_stack(path, out, size, width, voxel_size, layer);
}

volumes::VoxelSize particle_voxel_size(const std::string& particle) {
    const std::string path = volumes::sidecar_path(particle);
    volumes::VoxelSize size;
    if (particle == kStandardOutput || !std::filesystem::exists(path)) return size;
    const std::optional<std::uint64_t> bytes = regular_file_bytes(path);
    if (!bytes || *bytes > kMaxSidecar) throw Failure("'" + path + "' is no voxel size sidecar (not a small regular file)");
    VolumeReader in;
    in.open(path);
    std::string text(static_cast<std::size_t>(*bytes), '\0');
    text.resize(in.read(reinterpret_cast<std::uint8_t*>(text.data()), text.size()));
    if (const std::string why = volumes::parse_sidecar(text, size); !why.empty())
        throw Failure("'" + path + "' cannot give the voxel size of '" + particle + "': " + why);
    return size;
}

void write_sidecar(const std::string& particle, const volumes::VoxelSize& size, const std::string& source) {
    if (particle == kStandardOutput) return;
    const std::string text = volumes::sidecar_text(size, source);
    write_or_fail(volumes::sidecar_path(particle), text.data(), text.size());
}

void carry_sidecar(const std::string& from, const std::string& to) {
    if (to == kStandardOutput) return;
    const bool has = from != kStandardOutput && std::filesystem::exists(volumes::sidecar_path(from));
    if (!has && !std::filesystem::exists(volumes::sidecar_path(to))) return;
    write_sidecar(to, particle_voxel_size(from), from);
}

volumes::VoxelSize voxel_size_options(const std::string* spacing, const std::string* unit, volumes::VoxelSize base) {
    if (spacing) {
        if (const std::string why = volumes::parse_voxel_size(*spacing, base.size); !why.empty())
            throw UsageError("--spacing '" + *spacing + "': " + why);
        base.known = true;
        if (!unit) base.unit.clear();
    }
    if (unit) {
        if (!volumes::plain_unit(*unit)) throw UsageError("--unit '" + *unit + "' is not a plain word such as um or mm");
        if (!base.known) throw UsageError("--unit needs a voxel size: give --spacing too");
        base.unit = *unit;
    }
    return base;
}

}  // namespace tarvo::tools
