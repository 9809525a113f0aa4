// tarvo-tools table: one row of characteristics per particle file, for many files at once.
#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "report.h"
#include "subcommands.h"

namespace tools {
namespace {

const char kUsageText[] =
    "Usage: tarvo-tools table FILE.3d... [--csv | --json]\n"
    "\n"
    "Prints one row per file: file, dim, voxels, the bounding box (x_min ... z_max), the truncated\n"
    "means, the centre (cx, cy, cz: the middle of the bounding box, as tarvo takes it),\n"
    "stream_bytes (the voxel stream's code bytes), warnings (as info gives them, joined by '; ')\n"
    "and error. An empty particle has no bounding box, means or centre cells. A file that cannot be\n"
    "read gives a row with its error, and the exit status is then 1.\n"
    "  --csv    comma-separated values with a header line; a cell that would start a formula in a\n"
    "           spreadsheet (= + - @) or starts with ' gets a ' in front\n"
    "  --json   a JSON array of one object per file\n"
    "Names that hold backslashes, control characters or bytes that are no UTF-8 are escaped in text\n"
    "and CSV (\\\\ \\t \\n \\r \\xHH); in JSON such a byte is \\udcXX. Either maps back to the bytes.\n";

const char* const kColumns[] = {"file",   "dim",    "voxels", "x_min", "x_max", "y_min", "y_max",
                                "z_min",  "z_max",  "x_mean", "y_mean", "z_mean", "cx", "cy", "cz",
                                "stream_bytes", "warnings", "error"};
constexpr std::size_t kColumnCount = std::size(kColumns);

using Row = std::vector<std::string>;  // kColumnCount cells; empty: none

std::string joined(const std::vector<std::string>& parts) {
    std::string s;
    for (const std::string& p : parts) s += (s.empty() ? "" : "; ") + p;
    return s;
}

Row row_of(const ParticleReport& r) {
    Row row(kColumnCount);
    row[0] = r.path;
    if (!r.read()) {
        row[kColumnCount - 1] = r.error;
        return row;
    }
    const TelesoRecord& m = r.measured;
    row[1] = std::to_string(m.dim);
    row[2] = std::to_string(m.voxels);
    if (!r.empty()) {
        const std::int32_t values[] = {m.x_min, m.x_max, m.y_min, m.y_max, m.z_min, m.z_max, m.x_mean,
                                       m.y_mean, m.z_mean, r.centre.x, r.centre.y, r.centre.z};
        for (std::size_t k = 0; k < std::size(values); ++k) row[3 + k] = std::to_string(values[k]);
    }
    row[15] = std::to_string(r.load.stream.code_bytes);
    row[16] = joined(r.warnings);
    return row;
}

// A spreadsheet takes a cell that starts with one of these for a formula, quoted or not.
bool starts_formula(const std::string& s) { return !s.empty() && std::string("=+-@\t\r").find(s[0]) != std::string::npos; }

// The escaped text (valid UTF-8, no control characters); a ' before one that would start a formula,
// or that starts with ' itself, so that dropping one leading ' gives the escaped text back.
std::string csv_cell(const std::string& text) {
    std::string s = escaped(text);
    if (starts_formula(s) || (!s.empty() && s[0] == '\'')) s.insert(0, 1, '\'');
    if (s.find_first_of(",\"\n\r") == std::string::npos) return s;
    std::string q = "\"";
    for (char c : s) q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return q + "\"";
}

void print_csv(const std::vector<Row>& rows) {
    for (std::size_t c = 0; c < kColumnCount; ++c) std::printf("%s%s", c ? "," : "", kColumns[c]);
    std::printf("\n");
    for (const Row& row : rows) {
        for (std::size_t c = 0; c < kColumnCount; ++c) std::printf("%s%s", c ? "," : "", csv_cell(row[c]).c_str());
        std::printf("\n");
    }
}

// Numbers stay numbers, missing cells are null, warnings an array.
void print_json(const std::vector<Row>& rows, const std::vector<ParticleReport>& reports) {
    std::printf("[");
    for (std::size_t r = 0; r < rows.size(); ++r) {
        std::printf("%s\n  {", r ? "," : "");
        for (std::size_t c = 0; c < kColumnCount; ++c) {
            const std::string& cell = rows[r][c];
            std::string value;
            if (c == 16) {
                value = "[";
                for (std::size_t w = 0; w < reports[r].warnings.size(); ++w)
                    value += (w ? ", " : "") + json_string(reports[r].warnings[w]);
                value += "]";
            } else if (cell.empty() && c != 0) {
                value = "null";
            } else {
                value = c == 0 || c == kColumnCount - 1 ? json_string(cell) : cell;
            }
            std::printf("%s\"%s\": %s", c ? ", " : "", kColumns[c], value.c_str());
        }
        std::printf("}");
    }
    std::printf("\n]\n");
}

void print_text(std::vector<Row> rows) {
    for (Row& row : rows)
        for (std::string& cell : row) cell = escaped(cell);
    std::vector<std::size_t> width(kColumnCount);
    for (std::size_t c = 0; c < kColumnCount; ++c) width[c] = std::string(kColumns[c]).size();
    for (const Row& row : rows)
        for (std::size_t c = 0; c < kColumnCount; ++c) width[c] = std::max(width[c], row[c].size());
    auto line = [&](auto cell) {
        std::string s;
        for (std::size_t c = 0; c < kColumnCount; ++c) {
            const std::string text = cell(c);
            const bool last = c + 1 == kColumnCount;
            // Names and texts to the left, numbers to the right.
            const bool left = c == 0 || c >= 16;
            const std::string pad(last ? 0 : width[c] - std::min(width[c], text.size()), ' ');
            s += left ? text + pad : pad + text;
            if (!last) s += "  ";
        }
        while (!s.empty() && s.back() == ' ') s.pop_back();
        std::printf("%s\n", s.c_str());
    };
    line([](std::size_t c) { return std::string(kColumns[c]); });
    for (const Row& row : rows) line([&row](std::size_t c) { return row[c].empty() && c > 0 && c < 16 ? std::string("-") : row[c]; });
}

int run_table(const Args& raw) {
    const Arguments a = parse_arguments(raw, {}, {"--csv", "--json"});
    if (a.positional.empty()) throw UsageError("missing arguments: expected FILE.3d...");
    if (a.has("--csv") && a.has("--json")) throw UsageError("--csv and --json exclude each other");
    std::vector<ParticleReport> reports;
    std::vector<Row> rows;
    reports.reserve(a.positional.size());
    bool all_read = true;
    for (const std::string& path : a.positional) {
        reports.push_back(report_on(path));
        rows.push_back(row_of(reports.back()));
        all_read = all_read && reports.back().read();
    }
    if (a.has("--csv"))
        print_csv(rows);
    else if (a.has("--json"))
        print_json(rows, reports);
    else
        print_text(rows);
    return all_read ? kDone : kFailed;
}

}  // namespace

const Subcommand kTable{"table", "one row of characteristics per file, for many files (text, CSV, JSON)", kUsageText,
                        run_table};

}  // namespace tools
