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

std::optional<std::uint64_t> regular_file_bytes(const std::string& path) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return std::nullopt;
    const auto n = std::filesystem::file_size(path, ec);
    if (ec) return std::nullopt;
    return static_cast<std::uint64_t>(n);
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

void VolumeReader::open(const std::string& path) {
    path_ = path;
    if (!reader_.open(path.c_str())) fail_with(tarvo::fail(tarvo::Error::kOpenInput, path, reader_.error()));
    if (const auto id = reader_.id()) remember_input(tarvo::InputFile{*id, path});
}

std::optional<std::uint64_t> VolumeReader::regular_size() const {
    if (const std::optional<std::uint64_t> n = reader_.regular_size()) return n;
    return regular_file_bytes(path_);
}

void VolumeReader::put_back(std::vector<std::uint8_t> bytes) {
    position_ -= bytes.size();
    bytes.insert(bytes.end(), back_.begin() + static_cast<std::ptrdiff_t>(back_pos_), back_.end());
    back_ = std::move(bytes);
    back_pos_ = 0;
}

std::size_t VolumeReader::read(std::uint8_t* buf, std::size_t n) {
    const std::size_t from_back = std::min(n, back_.size() - back_pos_);
    std::copy_n(back_.begin() + static_cast<std::ptrdiff_t>(back_pos_), from_back, buf);
    back_pos_ += from_back;
    std::size_t got = 0;
    if (from_back < n && !reader_.read(buf + from_back, n - from_back, got))
        fail_with(tarvo::fail(tarvo::Error::kReadInput, path_, reader_.error()));
    position_ += from_back + got;
    return from_back + got;
}

void VolumeReader::skip(std::uint64_t n) {
    std::uint8_t buf[1 << 16];
    while (n > 0) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(n, sizeof buf));
        const std::size_t got = read(buf, want);
        if (got < want) throw Failure("'" + path_ + "' ends before its voxel data");
        n -= got;
    }
}

void VolumeReader::skip_ahead(std::uint64_t n) {
    const std::size_t from_back = static_cast<std::size_t>(std::min<std::uint64_t>(n, back_.size() - back_pos_));
    back_pos_ += from_back;
    position_ += from_back;
    n -= from_back;
    // With nothing put back, position_ is the file's offset.
    if (n == 0) return;
    if (reader_.seek(position_ + n)) {
        position_ += n;
        return;
    }
    skip(n);
}

bool VolumeReader::at_end() {
    std::uint8_t b;
    if (read(&b, 1) == 0) return true;
    put_back({b});
    return false;
}

namespace {

constexpr const char kMagic[] = "NRRD000";
constexpr std::size_t kMagicBytes = sizeof kMagic - 1;
constexpr std::size_t kPiece = 4096;

std::string trimmed(const std::string& s) {
    const std::size_t a = s.find_first_not_of(" \t\r");
    if (a == std::string::npos) return {};
    return s.substr(a, s.find_last_not_of(" \t\r") - a + 1);
}

// Field names may be written with or without their inner spaces ("byte skip", "byteskip").
std::string canonical(std::string name) {
    name.erase(std::remove(name.begin(), name.end(), ' '), name.end());
    return name;
}

struct HeaderText {
    std::string text;                // the header's lines, up to and without the blank line
    std::vector<std::uint8_t> rest;  // bytes read after the blank line
};

// The header text in pieces of kPiece bytes: the magic first, then up to the blank line (or the
// end of a detached header), never more than kMaxNrrdHeader bytes.
HeaderText read_header_text(VolumeReader& in) {
    HeaderText h;
    std::uint8_t buf[kPiece];
    const std::size_t first = in.read(buf, kMagicBytes);
    if (first < kMagicBytes || std::string(buf, buf + first) != kMagic)
        throw Failure("'" + in.path() + "' is not an NRRD file (it does not start with " + kMagic + ")");
    std::string text(buf, buf + first);
    for (;;) {
        // The blank line: "\n\n", or "\n\r\n" in a header written with CRLF line ends.
        std::size_t at = text.find("\n\n"), blank = 2;
        if (const std::size_t crlf = text.find("\n\r\n"); crlf < at) at = crlf, blank = 3;
        if (at != std::string::npos && at + blank <= kMaxNrrdHeader) {
            h.text = text.substr(0, at + 1);
            h.rest.assign(text.begin() + static_cast<std::ptrdiff_t>(at + blank), text.end());
            return h;
        }
        if (text.size() >= kMaxNrrdHeader)
            throw Failure("'" + in.path() + "' has no end of its NRRD header within " +
                          std::to_string(kMaxNrrdHeader) + " bytes");
        const std::size_t got = in.read(buf, std::min(kPiece, kMaxNrrdHeader - text.size()));
        if (got == 0) break;
        text.append(buf, buf + got);
    }
    h.text = text;  // a detached header may end with the file
    return h;
}

using Fields = std::map<std::string, std::string>;

Fields parse_fields(const std::string& path, const std::string& text) {
    Fields fields;
    std::istringstream lines(text);
    std::string line;
    std::getline(lines, line);  // the magic
    while (std::getline(lines, line)) {
        const std::string t = trimmed(line);
        if (t.empty() || t[0] == '#') continue;
        const std::size_t colon = t.find(": ");
        if (colon == std::string::npos) {
            if (t.find(":=") != std::string::npos) continue;  // key/value pairs carry no layout
            throw Failure("'" + path + "' has a malformed NRRD header line: " + t);
        }
        const std::string name = canonical(t.substr(0, colon));
        if (!fields.emplace(name, trimmed(t.substr(colon + 2))).second)
            throw Failure("'" + path + "' gives the NRRD field '" + t.substr(0, colon) + "' twice");
    }
    return fields;
}

const std::string* optional_field(const Fields& f, const char* name) {
    const auto it = f.find(canonical(name));
    return it == f.end() ? nullptr : &it->second;
}

const std::string& field(const Fields& f, const std::string& path, const char* name) {
    const std::string* v = optional_field(f, name);
    if (!v) throw Failure("'" + path + "' has no NRRD field '" + name + "'");
    return *v;
}

std::int64_t edge_of(const std::string& path, const std::string& sizes) {
    std::istringstream s(sizes);
    std::int64_t a = -1, b = -1, c = -1;
    std::string rest;
    if (!(s >> a >> b >> c) || (s >> rest))
        throw Failure("'" + path + "' has sizes '" + sizes + "', not three whole numbers");
    if (a != b || b != c)
        throw Failure("'" + path + "' holds a " + std::to_string(a) + " x " + std::to_string(b) + " x " +
                      std::to_string(c) + " volume; only cubes can become particles");
    return a;
}

}  // namespace

NrrdFields read_nrrd_fields(VolumeReader& in) {
    HeaderText text = read_header_text(in);
    NrrdFields f = parse_fields(in.path(), text.text);
    in.put_back(std::move(text.rest));
    return f;
}

const std::string* nrrd_field(const NrrdFields& f, const char* name) { return optional_field(f, name); }

NrrdHeader read_nrrd_header(VolumeReader& in) {
    const std::string& path = in.path();
    HeaderText text = read_header_text(in);
    const Fields f = parse_fields(path, text.text);
    const std::string& type = field(f, path, "type");
    if (type != "uint8" && type != "uchar" && type != "unsigned char" && type != "uint8_t")
        throw Failure("'" + path + "' holds values of type '" + type + "'; only uint8 can be imported");
    if (field(f, path, "dimension") != "3")
        throw Failure("'" + path + "' has dimension " + field(f, path, "dimension") + ", not 3");
    const std::string& encoding = field(f, path, "encoding");
    if (encoding != "raw") throw Failure("'" + path + "' has encoding '" + encoding + "'; only raw can be imported");
    if (const std::string* skip = optional_field(f, "line skip"); skip && *skip != "0")
        throw Failure("'" + path + "' uses a line skip, which cannot be imported");
    NrrdHeader h;
    h.edge = edge_of(path, field(f, path, "sizes"));
    const std::string* units = optional_field(f, "space units");
    if (!units) units = optional_field(f, "units");
    if (const std::string why = volumes::nrrd_spacing(optional_field(f, "spacings"), optional_field(f, "space directions"),
                                                      units, h.voxel_size);
        !why.empty())
        throw Failure("'" + path + "' has no usable voxel size: " + why);
    if (const std::string* data_file = optional_field(f, "data file")) {
        if (data_file->find(' ') != std::string::npos || data_file->rfind("LIST", 0) == 0)
            throw Failure("'" + path + "' names its data files in a form that cannot be imported: " + *data_file);
        const std::filesystem::path p(*data_file);
        h.data_path = p.is_absolute() ? *data_file : (std::filesystem::path(path).parent_path() / p).string();
    } else {
        in.put_back(std::move(text.rest));
    }
    if (const std::string* skip = optional_field(f, "byte skip")) {
        long n = 0;
        try {
            n = integer("byte skip", *skip, -1, 1L << 40);
        } catch (const UsageError& e) {
            throw Failure("'" + path + "': " + e.what());
        }
        h.data_at_end = n == -1;
        h.byte_skip = n > 0 ? static_cast<std::uint64_t>(n) : 0;
    }
    return h;
}

}  // namespace tarvo::tools
