#include "sheet.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>

namespace tarvo::tools {

std::string number_text(double v) {
    if (std::isnan(v)) return {};
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

Format format_of(const Arguments& a) {
    if (a.has("--csv") && a.has("--json")) throw UsageError("--csv and --json exclude each other");
    return a.has("--csv") ? Format::kCsv : a.has("--json") ? Format::kJson : Format::kText;
}

namespace {

bool is_list(Kind k) { return k == Kind::kTexts || k == Kind::kNumbers; }

std::string joined(const std::vector<std::string>& parts) {
    std::string s;
    for (const std::string& p : parts) s += (s.empty() ? "" : "; ") + p;
    return s;
}

// What a cell shows in text and CSV.
std::string plain(const Cell& cell, Kind kind) { return is_list(kind) ? joined(cell.items) : cell.text; }

// A spreadsheet takes a cell that starts with one of these for a formula, quoted or not.
bool starts_formula(const std::string& s) { return !s.empty() && std::string("=+-@\t\r").find(s[0]) != std::string::npos; }

// A text cell escaped (valid UTF-8, no control characters), with a ' before one that would start a
// formula or that starts with ' itself, so that dropping one leading ' gives the escaped text
// back; numbers as they are.
std::string csv_cell(const std::string& text, Kind kind) {
    std::string s = kind == Kind::kNumber ? text : escaped(text);
    if (kind != Kind::kNumber && (starts_formula(s) || (!s.empty() && s[0] == '\''))) s.insert(0, 1, '\'');
    if (s.find_first_of(",\"\n\r") == std::string::npos) return s;
    std::string q = "\"";
    for (char c : s) q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return q + "\"";
}

void print_csv(const Sheet& sheet) {
    const std::size_t n = sheet.columns.size();
    for (std::size_t c = 0; c < n; ++c) std::printf("%s%s", c ? "," : "", sheet.columns[c].name);
    std::printf("\n");
    for (const Row& row : sheet.rows) {
        for (std::size_t c = 0; c < n; ++c)
            std::printf("%s%s", c ? "," : "", csv_cell(plain(row[c], sheet.columns[c].kind), sheet.columns[c].kind).c_str());
        std::printf("\n");
    }
}

std::string json_value(const Cell& cell, Kind kind) {
    if (is_list(kind)) {
        std::string value = "[";
        for (std::size_t k = 0; k < cell.items.size(); ++k)
            value += (k ? ", " : "") + (kind == Kind::kTexts ? json_string(cell.items[k]) : cell.items[k]);
        return value + "]";
    }
    if (kind == Kind::kText) return cell.text.empty() ? "null" : json_string(cell.text);
    return cell.text.empty() ? "null" : cell.text;
}

// Numbers stay numbers, missing numbers are null, lists are arrays.
void print_json(const Sheet& sheet) {
    std::printf("[");
    for (std::size_t r = 0; r < sheet.rows.size(); ++r) {
        std::printf("%s\n  {", r ? "," : "");
        for (std::size_t c = 0; c < sheet.columns.size(); ++c)
            std::printf("%s\"%s\": %s", c ? ", " : "", sheet.columns[c].name,
                        json_value(sheet.rows[r][c], sheet.columns[c].kind).c_str());
        std::printf("}");
    }
    std::printf("\n]\n");
}

void print_text(const Sheet& sheet) {
    const std::size_t n = sheet.columns.size();
    auto shown = [&](const Row& row, std::size_t c) {
        const std::string s = escaped(plain(row[c], sheet.columns[c].kind));
        return s.empty() && sheet.columns[c].kind == Kind::kNumber ? std::string("-") : s;
    };
    std::vector<std::size_t> width(n);
    for (std::size_t c = 0; c < n; ++c) width[c] = std::string(sheet.columns[c].name).size();
    for (const Row& row : sheet.rows)
        for (std::size_t c = 0; c < n; ++c) width[c] = std::max(width[c], shown(row, c).size());
    auto line = [&](auto cell) {
        std::string s;
        for (std::size_t c = 0; c < n; ++c) {
            const std::string text = cell(c);
            const bool last = c + 1 == n;
            // Names and texts to the left, numbers to the right.
            const bool left = sheet.columns[c].kind != Kind::kNumber;
            const std::string pad(last ? 0 : width[c] - std::min(width[c], text.size()), ' ');
            s += left ? text + pad : pad + text;
            if (!last) s += "  ";
        }
        while (!s.empty() && s.back() == ' ') s.pop_back();
        std::printf("%s\n", s.c_str());
    };
    line([&](std::size_t c) { return std::string(sheet.columns[c].name); });
    for (const Row& row : sheet.rows) line([&](std::size_t c) { return shown(row, c); });
}

}  // namespace

void print_sheet(const Sheet& sheet, Format format) {
    if (format == Format::kCsv)
        print_csv(sheet);
    else if (format == Format::kJson)
        print_json(sheet);
    else
        print_text(sheet);
}

std::vector<std::string> batch_paths(const Arguments& a) {
    std::vector<std::string> paths = a.positional;
    if (const std::string* list = a.value("--files")) {
        std::ifstream in(*list == kStandardOutput ? "/dev/stdin" : *list);
        if (!in) throw Failure(*list + ": cannot read the file list");
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (!line.empty()) paths.push_back(line);
        }
        if (in.bad()) throw Failure(*list + ": reading the file list failed");
    }
    if (paths.empty()) throw UsageError("missing arguments: expected FILE.3d... or --files LIST");
    return paths;
}

}  // namespace tarvo::tools
