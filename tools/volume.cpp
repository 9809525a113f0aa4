#include "volume.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <system_error>

#include "common.h"

namespace tools {

void layer_bytes(const TelesoRecord& rec, std::int32_t z, std::vector<std::uint8_t>& out) {
    const std::int64_t count = std::int64_t{rec.dim} * rec.dim;
    out.resize(static_cast<std::size_t>(count));
    const std::int64_t first = count * z;
    for (std::int64_t k = 0; k < count; ++k) {
        const std::int64_t i = first + k;
        out[k] = (rec.data[i >> 3] >> (i & 7)) & 1 ? kExportSet : kExportEmpty;
    }
}

std::string nrrd_header(std::int32_t dim, const std::string& data_file, const std::string& source) {
    std::ostringstream h;
    h << "NRRD0004\n"
      << "# " << source << ": " << int{kExportSet} << " = particle voxel, " << int{kExportEmpty} << " = empty\n"
      << "type: uint8\n"
      << "dimension: 3\n"
      << "sizes: " << dim << " " << dim << " " << dim << "\n"
      << "spacings: 1 1 1\n"
      << "encoding: raw\n";
    if (!data_file.empty())
        h << "data file: " << data_file << "\n";
    else
        h << "\n";  // the blank line after which the data follows
    return h.str();
}

std::uint64_t file_bytes(const std::string& path) {
    std::error_code ec;
    const auto n = std::filesystem::file_size(path, ec);
    if (ec) throw Failure("Can't read '" + path + "' file: " + ec.message());
    return static_cast<std::uint64_t>(n);
}

namespace {

constexpr std::size_t kMaxHeaderBytes = 1 << 16;

std::string trimmed(const std::string& s) {
    const std::size_t a = s.find_first_not_of(" \t\r");
    if (a == std::string::npos) return {};
    return s.substr(a, s.find_last_not_of(" \t\r") - a + 1);
}

struct HeaderText {
    std::map<std::string, std::string> fields;
    std::uint64_t end = 0;  // the byte after the blank line, or the end of the file
};

HeaderText read_fields(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Failure("Can't read '" + path + "' file: " + std::strerror(errno));
    std::string line;
    HeaderText h;
    if (!std::getline(in, line) || line.rfind("NRRD000", 0) != 0)
        throw Failure("'" + path + "' is not an NRRD file (it does not start with NRRD000)");
    h.end = line.size() + 1;
    while (std::getline(in, line)) {
        h.end += line.size() + 1;
        if (h.end > kMaxHeaderBytes) throw Failure("'" + path + "' has no end of its NRRD header");
        const std::string t = trimmed(line);
        if (t.empty()) return h;
        if (t[0] == '#') continue;
        const std::size_t colon = t.find(": ");
        if (colon == std::string::npos) {
            if (t.find(":=") != std::string::npos) continue;  // key/value pairs carry no layout
            throw Failure("'" + path + "' has a malformed NRRD header line: " + t);
        }
        h.fields[t.substr(0, colon)] = trimmed(t.substr(colon + 2));
    }
    h.end = file_bytes(path);
    return h;
}

const std::string& field(const HeaderText& h, const std::string& path, const std::string& name) {
    const auto it = h.fields.find(name);
    if (it == h.fields.end()) throw Failure("'" + path + "' has no NRRD field '" + name + "'");
    return it->second;
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

NrrdSource read_nrrd_header(const std::string& path) {
    const HeaderText h = read_fields(path);
    const std::string& type = field(h, path, "type");
    if (type != "uint8" && type != "uchar" && type != "unsigned char" && type != "uint8_t")
        throw Failure("'" + path + "' holds values of type '" + type + "'; only uint8 can be imported");
    if (field(h, path, "dimension") != "3")
        throw Failure("'" + path + "' has dimension " + field(h, path, "dimension") + ", not 3");
    const std::string& encoding = field(h, path, "encoding");
    if (encoding != "raw") throw Failure("'" + path + "' has encoding '" + encoding + "'; only raw can be imported");
    for (const char* name : {"line skip", "lineskip"})
        if (h.fields.count(name) && h.fields.at(name) != "0")
            throw Failure("'" + path + "' uses a line skip, which cannot be imported");
    NrrdSource src;
    src.edge = edge_of(path, field(h, path, "sizes"));
    std::string data_file;
    for (const char* name : {"data file", "datafile"})
        if (h.fields.count(name)) data_file = h.fields.at(name);
    if (data_file.empty()) {
        src.data_path = path;
        src.offset = h.end;
    } else {
        if (data_file.find(' ') != std::string::npos || data_file.rfind("LIST", 0) == 0)
            throw Failure("'" + path + "' names its data files in a form that cannot be imported: " + data_file);
        const std::filesystem::path p(data_file);
        src.data_path = p.is_absolute() ? data_file : (std::filesystem::path(path).parent_path() / p).string();
        src.offset = 0;
    }
    for (const char* name : {"byte skip", "byteskip"})
        if (h.fields.count(name)) {
            long skip = 0;
            try {
                skip = integer("byte skip", h.fields.at(name), -1, 1L << 40);
            } catch (const UsageError& e) {
                throw Failure("'" + path + "': " + e.what());
            }
            if (skip == -1) {
                const std::uint64_t need = static_cast<std::uint64_t>(src.edge) * src.edge * src.edge;
                const std::uint64_t total = file_bytes(src.data_path);
                src.offset = total >= need ? total - need : 0;
            } else {
                src.offset += static_cast<std::uint64_t>(skip);
            }
        }
    return src;
}

}  // namespace tools
