#include "common.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "geometry/geometry.h"

namespace tools {

const std::string* Arguments::value(const std::string& name) const {
    const auto it = values.find(name);
    return it == values.end() ? nullptr : &it->second;
}

Arguments parse_arguments(const std::vector<std::string>& args, const std::set<std::string>& valued,
                          const std::set<std::string>& flags) {
    Arguments a;
    for (std::size_t k = 0; k < args.size(); ++k) {
        const std::string& arg = args[k];
        if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
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

std::string lower_extension(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    const std::size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    std::string ext = path.substr(dot);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext;
}

std::string json_string(const std::string& text, bool in_script) {
    std::string out = "\"";
    for (const unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || (in_script && (c == '<' || c == '>' || c == '&'))) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

void allocate_or_fail(OwnedBody& body, std::int32_t dim) {
    if (!teleso::allocate_body(body.rec, dim))
        throw Failure("not enough memory for a particle of edge " + std::to_string(dim));
}

void load_or_fail(const std::string& path, OwnedBody& body, teleso::LoadReport* report) {
    teleso::LoadReport local;
    std::string error;
    if (!teleso::load_body(path.c_str(), body.rec, report ? *report : local, error)) throw Failure(error);
}

void measure_and_save(const std::string& path, TelesoRecord& rec) {
    Analyse_teleso(rec);
    std::string error;
    if (!teleso::save_body(path.c_str(), rec, error)) throw Failure(error);
}

}  // namespace tools
