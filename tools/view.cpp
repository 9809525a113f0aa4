// tarvo-tools view: one self-contained HTML page to turn the particle, move the plane and look
// inside. The page's own files (viewer/) are built in; the particle goes into it as base64.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "common.h"
#include "tarvo/geometry.h"
#include "subcommands.h"
#include "files/io.h"
#include "geometry/passes.h"
#include "viewer_files.h"

namespace tarvo::tools {
namespace {

const char kUsageText[] =
    "Usage: tarvo-tools view FILE.3d OUT.html [--max-edge N]\n"
    "\n"
    "Writes one HTML file that shows the particle in any current browser, offline: turn it with\n"
    "the mouse or a finger, try cut lengths with sliders or typed values and see the cut at once,\n"
    "with the tarvo command for it, the voxel count, bounding box and centre before and after,\n"
    "and single layers along x, y or z. OUT.html#cut=1,1,99999 opens it with that cut.\n"
    "\n"
    "  --max-edge N  particles of a larger edge are reduced for the page: blocks of voxels\n"
    "                become one voxel, set where any of the block is set, and the page says so\n"
    "                (1 to 512, default 256; larger pages turn slowly and need much memory)\n"
    "\n"
    "The page previews the cut in double precision; tarvo decides the voxels exactly on the\n"
    "plane in extended precision, so there the file may differ from the preview.\n";

constexpr long kDefaultMaxEdge = 256;
constexpr long kLargestMaxEdge = 512;

// ---- the four steps that touch the library ----

// Measured while read: the figures and the reduction then need no pass over the whole grid.
void load_particle(const std::string& path, Body& body) {
    tarvo::Tally tally;
    load_or_fail(path, body, nullptr, false, &tally);
    geometry::set_measurement(body.rec, tally);
}

// One row of the grid (dim voxels from voxel `first`) into whole words, voxel x of the row at bit
// x % 64 of word x / 64.
void read_row(const TelesoRecord& rec, std::int64_t first, std::vector<std::uint64_t>& row) {
    const std::int64_t n = rec.dim;
    for (std::size_t w = 0; w < row.size(); ++w) row[w] = tarvo::voxel_word(rec, first + 64 * static_cast<std::int64_t>(w));
    if (n % 64) row.back() &= (std::uint64_t{1} << (n % 64)) - 1;
}

bool any_bit(const std::vector<std::uint64_t>& row, std::int64_t from, std::int64_t to) {
    for (std::int64_t x = from; x < to;) {
        const std::uint64_t word = row[x >> 6] >> (x & 63);
        if (word && std::countr_zero(word) < to - x) return true;
        x = (x | 63) + 1;
    }
    return false;
}

// Keeps a voxel of the reduced body where any voxel of its block x block x block is set; the
// blocks at the far end of each axis may be cut short by the grid. Only the rows of the measured
// body's bounding box are read: a small particle in a large grid costs its box.
void reduce_particle(const TelesoRecord& rec, std::int32_t block, Body& out) {
    const std::int64_t n = rec.dim;
    const auto m = static_cast<std::int32_t>((n + block - 1) / block);
    allocate_or_fail(out, m);
    if (rec.voxels == 0) return;
    std::vector<std::uint64_t> row(static_cast<std::size_t>((n + 63) / 64)), merged(row.size());
    for (std::int32_t bz = rec.z_min / block; bz <= rec.z_max / block; ++bz)
        for (std::int32_t by = rec.y_min / block; by <= rec.y_max / block; ++by) {
            std::fill(merged.begin(), merged.end(), 0);
            for (std::int64_t z = std::max<std::int64_t>(rec.z_min, std::int64_t{bz} * block);
                 z <= std::min<std::int64_t>(rec.z_max, std::int64_t{bz + 1} * block - 1); ++z)
                for (std::int64_t y = std::max<std::int64_t>(rec.y_min, std::int64_t{by} * block);
                     y <= std::min<std::int64_t>(rec.y_max, std::int64_t{by + 1} * block - 1); ++y) {
                    read_row(rec, n * (y + n * z), row);
                    for (std::size_t w = 0; w < row.size(); ++w) merged[w] |= row[w];
                }
            for (std::int32_t bx = 0; bx < m; ++bx)
                if (any_bit(merged, std::int64_t{bx} * block, std::min(n, std::int64_t{bx + 1} * block)))
                    Set_voxel(out.rec, bx, by, bz, 1);
        }
}

struct Embedded {
    const char* format;  // "rle": the shape form stream; "bits": the bitmap, bit i%8 of byte i/8
    std::vector<std::uint8_t> bytes;
};

// The body's voxel stream as tarvo writes it, or its bitmap when that is shorter.
Embedded embedded_bytes(const TelesoRecord& rec) {
    const auto bitmap_bytes = static_cast<std::size_t>((tarvo::voxel_count(rec.dim) + 7) / 8);
    std::vector<std::uint8_t> stream = tarvo::encode_stream(rec);
    if (stream.size() <= bitmap_bytes) return {"rle", std::move(stream)};
    return {"bits", std::vector<std::uint8_t>(rec.data, rec.data + bitmap_bytes)};
}

void write_page(const std::string& path, const std::string& html) { write_or_fail(path, html.data(), html.size()); }

// ---- the page ----

std::string base64(const std::vector<std::uint8_t>& bytes) {
    static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t k = 0; k < bytes.size(); k += 3) {
        const std::size_t left = bytes.size() - k;
        const std::uint32_t v = bytes[k] << 16 | (left > 1 ? bytes[k + 1] << 8 : 0) | (left > 2 ? bytes[k + 2] : 0);
        out += kDigits[v >> 18 & 63];
        out += kDigits[v >> 12 & 63];
        out += left > 1 ? kDigits[v >> 6 & 63] : '=';
        out += left > 2 ? kDigits[v & 63] : '=';
    }
    return out;
}

std::string json_triple(const std::int32_t v[3]) {
    std::string out = "[";
    for (int k = 0; k < 3; ++k) out.append(k ? "," : "").append(std::to_string(v[k]));
    return out + "]";
}

// The measurements of the file's particle; a reduced page needs its centre for the cut.
std::string file_figures_json(const TelesoRecord& rec) {
    const Center c = Get_center(rec);
    const std::int32_t min[3] = {rec.x_min, rec.y_min, rec.z_min}, max[3] = {rec.x_max, rec.y_max, rec.z_max};
    const std::int32_t centre[3] = {c.x, c.y, c.z};
    return "{\"count\":" + std::to_string(rec.voxels) + ",\"min\":" + json_triple(min) + ",\"max\":" +
           json_triple(max) + ",\"centre\":" + json_triple(centre) + "}";
}

void replace_marker(std::string& page, const std::string& marker, const std::string& content) {
    const std::size_t at = page.find(marker);
    if (at == std::string::npos) throw Failure("the built-in page has no " + marker);
    page.replace(at, marker.size(), content);
}

std::string assemble_page(const std::string& particle_json) {
    std::string page, style, script;
    for (const EmbeddedFile& f : viewer_files()) {
        const std::string name(f.name);
        if (name == "page.html") page = f.text;
        else if (name.ends_with(".css")) style.append(f.text);
        else if (name.ends_with(".js")) script.append(f.text).append("\n");
    }
    replace_marker(page, "<!-- tarvo:style -->", "<style>\n" + style + "</style>");
    replace_marker(page, "<!-- tarvo:particle -->",
                   "<script type=\"application/json\" id=\"particle\">" + particle_json + "</script>");
    replace_marker(page, "<!-- tarvo:script -->", "<script>\n" + script + "</script>");
    return page;
}

std::int32_t block_edge(std::int32_t dim, long max_edge) {
    return static_cast<std::int32_t>(dim <= max_edge ? 1 : (dim + max_edge - 1) / max_edge);
}

int run_view(const Args& raw) {
    const Arguments a = parse_arguments(raw, {"--max-edge"}, {});
    expect_positional(a, 2, "FILE.3d OUT.html");
    const long max_edge =
        a.value("--max-edge") ? integer("--max-edge", *a.value("--max-edge"), 1, kLargestMaxEdge) : kDefaultMaxEdge;
    const std::string& in = a.positional[0];
    const std::string& out = a.positional[1];
    check_output_name(out, ".html", "a web page");

    Body body;
    load_particle(in, body);
    const std::int32_t block = block_edge(body.rec.dim, max_edge);
    std::string json = "{\"input\":" + json_string(in, true) + ",\"dim\":" + std::to_string(body.rec.dim) +
                       ",\"block\":" + std::to_string(block);
    Embedded embedded;
    std::int32_t edge = body.rec.dim;
    if (block > 1) {
        json += ",\"file\":" + file_figures_json(body.rec);
        Body reduced;
        reduce_particle(body.rec, block, reduced);
        edge = reduced.rec.dim;
        embedded = embedded_bytes(reduced.rec);
    } else {
        embedded = embedded_bytes(body.rec);
    }
    json += ",\"edge\":" + std::to_string(edge) + ",\"format\":\"" + embedded.format + "\",\"data\":\"" +
            base64(embedded.bytes) + "\"}";
    write_page(out, assemble_page(json));
    return kDone;
}

}  // namespace

const Subcommand kView{"view", "an HTML page to turn the particle and try cuts", kUsageText, run_view};

}  // namespace tarvo::tools
