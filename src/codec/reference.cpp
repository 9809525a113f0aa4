// The byte-at-a-time codecs and the voxel-by-voxel body reader and writer.
#include "codec/reference.h"

#include "format/format.h"

using namespace tarvo;

std::uint8_t Next_rle_byte(RleDecoder& dec, std::FILE* in) {
    if (dec.remaining > 0) {
        --dec.remaining;
        return dec.last;
    }
    auto next = [in]() -> std::uint8_t {
        const int c = std::getc(in);
        return c == EOF ? kEndOfInputByte : static_cast<std::uint8_t>(c);
    };
    const std::uint8_t b = next();
    std::uint8_t v = b;
    if (is_marker(b)) {
        dec.remaining = (b & kCountMask) - 1;
        v = next();
    } else {
        dec.remaining = 0;
    }
    dec.last = v;
    return v;
}

namespace {
void emit_run(std::FILE* out, std::uint8_t run_byte, std::int32_t count) {
    if (count >= kMinMarkerRun || is_marker(run_byte)) {
        std::putc(kMarkerBits + count, out);
        std::putc(run_byte, out);
    } else {
        for (std::int32_t k = 0; k < count; ++k) std::putc(run_byte, out);
    }
}
}  // namespace

void Put_rle_byte(RleEncoder& enc, std::FILE* out, std::uint8_t value, int mode) {
    if (mode == kRleFlush) {
        if (enc.started) emit_run(out, enc.run_byte, enc.run_count);
        enc.started = 0;
        enc.run_count = 0;
        return;
    }
    if (mode != kRleAdd) return;
    if (!enc.started) {
        enc.run_byte = value;
        enc.run_count = 1;
        enc.started = 1;
    } else if (value == enc.run_byte) {
        if (enc.run_count == kMaxRun - 1) {
            emit_run(out, enc.run_byte, kMaxRun);
            enc.started = 0;
            enc.run_count = 0;
        } else {
            ++enc.run_count;
        }
    } else {
        emit_run(out, enc.run_byte, enc.run_count);
        enc.run_byte = value;
        enc.run_count = 1;
    }
}

namespace tarvo::reference {

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

}  // namespace tarvo::reference
