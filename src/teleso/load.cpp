// Quiet reading and writing of whole files, for programs that keep their own console output.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

#include "teleso/format.h"
#include "teleso/output.h"
#include "teleso/teleso.h"

using namespace shape_form;

namespace teleso {
namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

std::string quoted(const char* path) { return std::string("'") + path + "'"; }

std::uint64_t file_length(const char* path) {
    std::error_code ec;
    const auto n = std::filesystem::file_size(path, ec);
    return ec ? 0 : static_cast<std::uint64_t>(n);
}

}  // namespace

bool load_body(const char* path, TelesoRecord& rec, LoadReport& report, std::string& error) {
    rec.data = nullptr;
    report = LoadReport{};
    File in(std::fopen(path, "rb"));
    if (!in) {
        error = "Can't read " + quoted(path) + " file: " + std::strerror(errno);
        return false;
    }
    std::array<std::uint8_t, kHeaderBytes> bytes{};
    errno = 0;
    // fread stops short only at the end of the file or on an error.
    const std::size_t got = std::fread(bytes.data(), 1, bytes.size(), in.get());
    if (std::ferror(in.get())) {
        error = read_failure(path, errno);
        return false;
    }
    const HeaderImage header = parse_header(bytes.data(), got);
    report.header_bytes = header.bytes;
    report.file_bytes = file_length(path);
    for (std::size_t f = 0; f < header.whole_fields && f < header.fields.size(); ++f)
        report.stored[f] = header.fields[f];
    error = header_refusal(path, header);
    if (!error.empty()) return false;
    apply_header(header, rec);
    if (!allocate_body(rec, header.dim())) {
        error = "Not enough memory for the particle of edge " + std::to_string(header.dim()) +
                " in " + quoted(path);
        return false;
    }
    errno = 0;
    if (!read_voxels(in.get(), rec)) {
        error = read_failure(path, errno);
        release_body(rec);
        return false;
    }
    return true;
}

bool scan_stream(const char* path, std::int32_t dim, StreamFacts& facts, std::string& error) {
    facts = StreamFacts{};
    facts.voxels_needed = dim > 0 ? std::int64_t{dim} * dim * dim : 0;
    File in(std::fopen(path, "rb"));
    if (!in || std::fseek(in.get(), static_cast<long>(kHeaderBytes), SEEK_SET) != 0) {
        error = "Can't read " + quoted(path) + " file: " + std::strerror(errno);
        return false;
    }
    std::vector<std::uint8_t> buf(1 << 16);
    bool value_pending = false;  // a marker was read, its value byte is next
    std::int64_t pending_count = 0;
    for (;;) {
        const std::size_t got = std::fread(buf.data(), 1, buf.size(), in.get());
        if (got == 0) break;
        for (std::size_t k = 0; k < got; ++k) {
            if (facts.voxels_coded >= facts.voxels_needed) {
                facts.surplus_bytes += got - k;
                break;
            }
            ++facts.code_bytes;
            const std::uint8_t b = buf[k];
            if (value_pending) {
                value_pending = false;
                facts.voxels_coded += pending_count;
            } else if (is_marker(b)) {
                value_pending = true;
                pending_count = marker_count(b);
            } else {
                facts.voxels_coded += 1;
            }
        }
    }
    if (std::ferror(in.get())) {
        error = read_failure(path, errno);
        return false;
    }
    if (facts.voxels_coded > facts.voxels_needed) facts.voxels_coded = facts.voxels_needed;
    return true;
}

bool save_body(const char* path, const TelesoRecord& rec, std::string& error) {
    PendingOutput out;
    if (!open_output(path, out)) {
        error = "Can't write to " + quoted(path) + " file: " + std::strerror(errno);
        return false;
    }
    if (!finish_output(out, write_body(out.file, rec))) {
        error = "Writing " + quoted(path) + " failed: " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace teleso
