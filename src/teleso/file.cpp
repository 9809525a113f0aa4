// Reading a body from a shape form file and writing one to it.
#include <cerrno>
#include <cstring>
#include <string>

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

}  // namespace

namespace shape_form {

std::string read_failure(const char* path, int err) {
    std::string m("Input file '");
    m.append(path).append("' cannot be read: ").append(std::strerror(err));
    return m;
}

std::string header_refusal(const char* path, const HeaderImage& header) {
    std::string m("Input file '");
    m.append(path);
    switch (check_header(header)) {
        case HeaderProblem::kNoEdgeLength:
            return m.append("' is too short (").append(std::to_string(header.bytes)).append(" bytes): it has no edge length");
        case HeaderProblem::kEdgeOutOfRange:
            return m.append("' has edge length ").append(std::to_string(header.dim()))
                .append(", outside 0 to ").append(std::to_string(teleso::kMaxDim));
        case HeaderProblem::kNone:
            break;
    }
    return {};
}

}  // namespace shape_form

int Read_teleso_header(std::FILE* in, TelesoRecord& rec, const char* path) {
    std::array<std::uint8_t, kHeaderBytes> bytes{};
    errno = 0;
    const std::size_t got = read_fully(in, bytes.data(), bytes.size());
    if (std::ferror(in)) {
        std::printf("%s\n", read_failure(path, errno).c_str());
        return 1;
    }
    const HeaderImage header = parse_header(bytes.data(), got);
    if (const std::string refusal = header_refusal(path, header); !refusal.empty()) {
        std::printf("%s\n", refusal.c_str());
        return 1;
    }
    apply_header(header, rec);
    return Create_teleso(rec, header.dim());
}

int Read_teleso_voxels(std::FILE* in, TelesoRecord& rec, const char* path) {
    errno = 0;
    if (!teleso::read_voxels(in, rec)) {
        // The stage heading is still open on this line.
        std::printf("\n%s\n", read_failure(path, errno).c_str());
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
    if (!teleso::finish_output(out, teleso::write_body(out.file, rec))) {
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
