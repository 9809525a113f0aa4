// Reading a body from a shape form file and writing one to it.
#include <cerrno>
#include <cstring>

#include "teleso/format.h"
#include "teleso/output.h"
#include "teleso/teleso.h"

using namespace shape_form;

namespace {

std::size_t read_fully(std::FILE* in, std::uint8_t* buf, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        const std::size_t k = std::fread(buf + got, 1, n - got, in);
        if (k == 0) break;
        got += k;
    }
    return got;
}

void report_read_error(const char* path, int err, bool mid_line) {
    std::printf("%sInput file '%s' cannot be read: %s\n", mid_line ? "\n" : "", path,
                std::strerror(err));
}

}  // namespace

int Read_teleso_header(std::FILE* in, TelesoRecord& rec, const char* path) {
    std::array<std::uint8_t, kHeaderBytes> bytes{};
    errno = 0;
    const std::size_t got = read_fully(in, bytes.data(), bytes.size());
    if (std::ferror(in)) {
        report_read_error(path, errno, false);
        return 1;
    }
    const HeaderImage header = parse_header(bytes.data(), got);
    switch (check_header(header)) {
        case HeaderProblem::kNoEdgeLength:
            std::printf("Input file '%s' is too short (%zu bytes): it has no edge length\n", path, got);
            return 1;
        case HeaderProblem::kEdgeOutOfRange:
            std::printf("Input file '%s' has edge length %i, outside 0 to %i\n", path, header.dim(),
                        teleso::kMaxDim);
            return 1;
        case HeaderProblem::kNone:
            break;
    }
    apply_header(header, rec);
    return Create_teleso(rec, header.dim());
}

int Read_teleso_voxels(std::FILE* in, TelesoRecord& rec, const char* path) {
    errno = 0;
    if (!teleso::read_voxels(in, rec)) {
        report_read_error(path, errno, true);
        return 1;
    }
    return 0;
}

int Write_teleso(const char* path, const TelesoRecord& rec) {
    teleso::PendingOutput out;
    if (!teleso::open_output(path, out)) {
        std::printf("Write_teleso(): Neda sa otvorit subor %s\n", path);
        return 1;
    }
    std::printf("Write_teleso(): Zapisujem subor %s ... ", path);
    std::fflush(stdout);
    const bool written = teleso::write_body(out.file, rec);
    if (!written) teleso::abandon_output(out);
    if (!written || !teleso::commit_output(out)) {
        std::printf("\nWrite_teleso(): Chyba pri zapise do suboru %s\n", path);
        return 1;
    }
    std::printf("O.K.\n");
    return 0;
}

namespace teleso {

bool read_voxels(std::FILE* in, TelesoRecord& rec) { return bulk::read_voxels(in, rec); }

bool write_body(std::FILE* out, const TelesoRecord& rec) { return bulk::write_body(out, rec); }

namespace per_voxel {

bool read_voxels(std::FILE* in, TelesoRecord& rec) {
    RleDecoder dec;
    const std::int32_t n = rec.dim;
    for (std::int32_t z = 0; z < n; ++z)
        for (std::int32_t y = 0; y < n; ++y)
            for (std::int32_t x = 0; x < n; ++x)
                Set_voxel(rec, x, y, z, static_cast<std::int8_t>(Next_rle_byte(dec, in)));
    return !std::ferror(in);
}

bool write_body(std::FILE* out, const TelesoRecord& rec) {
    const std::int32_t n = rec.dim;
    const auto header = header_image(rec);
    if (std::fwrite(header.data(), 1, header.size(), out) != header.size()) return false;
    RleEncoder enc;
    for (std::int32_t z = 0; z < n; ++z)
        for (std::int32_t y = 0; y < n; ++y)
            for (std::int32_t x = 0; x < n; ++x)
                Put_rle_byte(enc, out, static_cast<std::uint8_t>(Get_voxel(rec, x, y, z)), kRleAdd);
    Put_rle_byte(enc, out, 0, kRleFlush);
    return !std::ferror(out);
}

}  // namespace per_voxel
}  // namespace teleso
