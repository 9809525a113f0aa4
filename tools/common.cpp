#include "common.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "tarvo/geometry.h"

namespace tarvo::tools {

const std::string* Arguments::value(const std::string& name) const {
    const auto it = values.find(name);
    return it == values.end() ? nullptr : &it->second;
}

Arguments parse_arguments(const std::vector<std::string>& args, const std::set<std::string>& valued,
                          const std::set<std::string>& flags) {
    Arguments a;
    bool options = true;
    for (std::size_t k = 0; k < args.size(); ++k) {
        const std::string& arg = args[k];
        if (options && arg == "--") {
            options = false;
            continue;
        }
        if (!options || arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
            a.positional.push_back(arg);
            continue;
        }
        const std::size_t eq = arg.find('=');
        const std::string name = arg.substr(0, eq);
        if (a.has(name)) throw UsageError("option " + name + " given twice");
        if (valued.count(name)) {
            if (eq != std::string::npos) {
                a.values[name] = arg.substr(eq + 1);
            } else if (k + 1 < args.size()) {
                a.values[name] = args[++k];
            } else {
                throw UsageError("option " + name + " needs a value");
            }
        } else if (flags.count(name) && eq == std::string::npos) {
            a.flags.insert(name);
        } else {
            throw UsageError("unknown option " + arg);
        }
    }
    return a;
}

void expect_positional(const Arguments& a, std::size_t count, const char* what) {
    if (a.positional.size() < count) throw UsageError(std::string("missing arguments: expected ") + what);
    if (a.positional.size() > count)
        throw UsageError("unexpected argument '" + a.positional[count] + "'");
}

namespace {
std::string show(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}
}  // namespace

double number(const std::string& option, const std::string& text, double lo, double hi) {
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(v))
        throw UsageError(option + ": '" + text + "' is not a number");
    if (v < lo || v > hi)
        throw UsageError(option + ": " + text + " is outside " + show(lo) + " to " + show(hi));
    return v;
}

long integer(const std::string& option, const std::string& text, long lo, long hi) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno == ERANGE)
        throw UsageError(option + ": '" + text + "' is not a whole number");
    if (v < lo || v > hi)
        throw UsageError(option + ": " + text + " is outside " + std::to_string(lo) + " to " +
                         std::to_string(hi));
    return v;
}

std::array<double, 3> triple(const std::string& option, const std::string& text, double lo, double hi) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t comma; (comma = text.find(',', start)) != std::string::npos; start = comma + 1)
        parts.push_back(text.substr(start, comma - start));
    parts.push_back(text.substr(start));
    if (parts.size() == 1) parts.assign(3, parts[0]);
    if (parts.size() != 3) throw UsageError(option + ": '" + text + "' is not one number or three (a,b,c)");
    return {number(option, parts[0], lo, hi), number(option, parts[1], lo, hi),
            number(option, parts[2], lo, hi)};
}

std::optional<std::array<std::string, 3>> take_cut(std::vector<std::string>& args) {
    std::optional<std::array<std::string, 3>> cut;
    for (std::size_t k = 0; k < args.size(); ++k) {
        if (args[k] != "--cut") continue;
        if (cut) throw UsageError("option --cut given twice");
        if (k + 3 >= args.size()) throw UsageError("--cut needs three lengths X Y Z");
        std::array<std::string, 3> lengths;
        for (int i = 0; i < 3; ++i) {
            lengths[i] = args[k + 1 + i];
            if (lengths[i].rfind("--", 0) == 0) throw UsageError("--cut needs three lengths X Y Z");
        }
        cut = lengths;
        args.erase(args.begin() + static_cast<std::ptrdiff_t>(k), args.begin() + static_cast<std::ptrdiff_t>(k + 4));
        --k;
    }
    return cut;
}

void fail_with(const tarvo::Status& status) { throw Failure(tarvo::describe(status)); }

namespace {

// The length of the valid UTF-8 sequence at s[i], or 0 when it is not one.
std::size_t utf8_sequence(const std::string& s, std::size_t i) {
    const auto b = [&s](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    std::size_t n = 0;
    unsigned lo = 0x80, hi = 0xBF;  // the range of the second byte
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) n = 2;
    else if (c >= 0xE0 && c <= 0xEF) n = 3, lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
    else if (c >= 0xF0 && c <= 0xF4) n = 4, lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
    else return 0;
    if (i + n > s.size() || b(i + 1) < lo || b(i + 1) > hi) return 0;
    for (std::size_t k = 2; k < n; ++k)
        if (b(i + k) < 0x80 || b(i + k) > 0xBF) return 0;
    return n;
}

}  // namespace

std::string json_string(const std::string& text, bool in_script) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const std::size_t n = utf8_sequence(text, i);
        if (n == 0) {
            // A file name may hold bytes that are no UTF-8: each keeps its value, as a lone
            // surrogate, so that two names never read the same.
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\udc%02x", c);
            out += escape;
            ++i;
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c < 0x20 || (in_script && (c == '<' || c == '>' || c == '&'))) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
            ++i;
        } else {
            out.append(text, i, n);
            i += n;
        }
    }
    return out + "\"";
}

std::string escaped(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const std::size_t n = utf8_sequence(text, i);
        const bool c1 = n == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
        if (n == 0 || c1 || c < 0x20 || c == 0x7F || c == '\\') {
            const std::size_t k = c1 ? 2 : 1;
            for (std::size_t j = 0; j < k; ++j) {
                const unsigned char b = static_cast<unsigned char>(text[i + j]);
                char escape[8];
                if (b == '\\') std::snprintf(escape, sizeof escape, "\\\\");
                else if (b == '\t') std::snprintf(escape, sizeof escape, "\\t");
                else if (b == '\n') std::snprintf(escape, sizeof escape, "\\n");
                else if (b == '\r') std::snprintf(escape, sizeof escape, "\\r");
                else std::snprintf(escape, sizeof escape, "\\x%02x", b);
                out += escape;
            }
            i += k;
        } else {
            out.append(text, i, n);
            i += n;
        }
    }
    return out;
}

void allocate_or_fail(Body& body, std::int32_t dim) {
    if (const tarvo::Status s = body.create(dim); !s) fail_with(s);
}

namespace {
std::string output_path(const std::string& path) { return path == kStandardOutput ? "/dev/stdout" : path; }

// The inputs of this run (one subcommand a process); a batch reads and writes on several threads.
// Each output takes a snapshot, shared until a new input comes: a batch of a thousand files knows
// every input before its first output, and copying the list for each output kept the other
// thread waiting on the lock.
std::mutex inputs_lock;
std::vector<tarvo::InputFile>& inputs() {
    static std::vector<tarvo::InputFile> files;
    return files;
}
std::shared_ptr<const std::vector<tarvo::InputFile>>& inputs_snapshot() {
    static std::shared_ptr<const std::vector<tarvo::InputFile>> snapshot;
    return snapshot;
}
std::shared_ptr<const std::vector<tarvo::InputFile>> inputs_now() {
    const std::lock_guard<std::mutex> hold(inputs_lock);
    auto& snapshot = inputs_snapshot();
    if (!snapshot) snapshot = std::make_shared<const std::vector<tarvo::InputFile>>(inputs());
    return snapshot;
}
}  // namespace

namespace {
// The volumes room's readers report the files they open: no output of this run replaces them.
[[maybe_unused]] const bool g_volume_inputs_remembered = [] {
    volumes::set_input_hook([](const tarvo::InputFile& file) { remember_input(file); });
    return true;
}();
}  // namespace

void remember_input(const std::optional<tarvo::InputFile>& file) {
    if (!file) return;
    const std::lock_guard<std::mutex> hold(inputs_lock);
    for (const tarvo::InputFile& known : inputs())
        if (known.id == file->id) return;
    inputs().push_back(*file);
    inputs_snapshot().reset();
}

void load_or_fail(const std::string& path, Body& body, tarvo::LoadInfo* info, bool count_surplus,
                  tarvo::Tally* measured) {
    tarvo::LoadInfo local;
    tarvo::LoadInfo& i = info ? *info : local;
    const tarvo::Status s = tarvo::load_body(path, body.rec, &i, count_surplus, measured);
    remember_input(i.file);
    if (!s) fail_with(s);
}

void measure_and_save(const std::string& path, TelesoRecord& rec) {
    Analyse_teleso(rec);
    save_measured(path, rec);
}

void save_measured(const std::string& path, const TelesoRecord& rec) {
    if (const tarvo::Status s = tarvo::save_body(output_path(path), rec, *inputs_now()); !s) fail_with(s);
}

OutputFile::OutputFile(const std::string& path) {
    if (const tarvo::Status s = out_.open(output_path(path), *inputs_now()); !s) fail_with(s);
}

void OutputFile::write(const void* bytes, std::size_t n) {
    if (const tarvo::Status s = out_.write(static_cast<const std::uint8_t*>(bytes), n); !s) fail_with(s);
}

void OutputFile::commit() {
    if (const tarvo::Status s = out_.commit(); !s) fail_with(s);
}

void check_output_name(const std::string& path, const std::string& extension, const std::string& what) {
    static const std::set<std::string> kFormats = {
        ".3d",  ".png",  ".jpg",  ".jpeg", ".gif", ".bmp", ".tif",  ".tiff", ".webp", ".svg", ".pdf",
        ".raw", ".nrrd", ".nhdr", ".vtk",  ".vti", ".html", ".htm", ".json", ".csv",  ".txt", ".npy",
        ".npz", ".mat",  ".h5",   ".hdf5", ".stl", ".obj",  ".ply"};
    const std::string ext = lower_extension(path);
    if (path == kStandardOutput || ext == extension || !kFormats.count(ext)) return;
    throw UsageError("'" + path + "' names a " + ext + " file, but this writes " + what + ": name it " + extension +
                     " (or - for standard output)");
}

void write_mesh_or_fail(const std::string& path, const tarvo::Mesh& mesh, tarvo::MeshFormat format, bool ascii) {
    if (const tarvo::Status s = tarvo::write_mesh(output_path(path), mesh, format, ascii, *inputs_now()); !s) fail_with(s);
}

void write_or_fail(const std::string& path, const void* bytes, std::size_t n) {
    OutputFile out(path);
    out.write(bytes, n);
    out.commit();
}

}  // namespace tarvo::tools
