#include "volumes/nrrd.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <vector>

namespace tarvo::volumes {
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

// A byte skip: -1 (the data end the file) or a count of bytes up to 2^40.
long byte_skip_of(const std::string& path, const std::string& text) {
    constexpr long kMost = 1L << 40;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno == ERANGE)
        throw Failure("'" + path + "': byte skip: '" + text + "' is not a whole number");
    if (v < -1 || v > kMost)
        throw Failure("'" + path + "': byte skip: " + text + " is outside -1 to " + std::to_string(kMost));
    return v;
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
    if (const std::string why = nrrd_spacing(optional_field(f, "spacings"), optional_field(f, "space directions"),
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
        const long n = byte_skip_of(path, *skip);
        h.data_at_end = n == -1;
        h.byte_skip = n > 0 ? static_cast<std::uint64_t>(n) : 0;
    }
    return h;
}

}  // namespace tarvo::volumes
