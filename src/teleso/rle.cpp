// The header image and the byte-at-a-time run-length codecs of the shape form file.
#include "teleso/format.h"
#include "teleso/teleso.h"

namespace shape_form {

HeaderImage parse_header(const std::uint8_t* bytes, std::size_t count) {
    HeaderImage h;
    h.bytes = count < kHeaderBytes ? count : kHeaderBytes;
    h.whole_fields = h.bytes / kFieldBytes;
    for (std::size_t f = 0; f < h.fields.size() && f < h.whole_fields; ++f)
        h.fields[f] = load_le32(bytes + f * kFieldBytes);
    return h;
}

HeaderProblem check_header(const HeaderImage& h) {
    if (h.bytes < kMinHeaderBytes) return HeaderProblem::kNoEdgeLength;
    if (!teleso::dim_in_range(h.dim())) return HeaderProblem::kEdgeOutOfRange;
    return HeaderProblem::kNone;
}

void apply_header(const HeaderImage& h, TelesoRecord& rec) {
    std::int32_t* const measured[] = {&rec.x_min,  &rec.x_max,  &rec.y_min, &rec.y_max,
                                      &rec.z_min,  &rec.z_max,  &rec.x_mean, &rec.y_mean,
                                      &rec.z_mean, &rec.voxels};
    const std::size_t first = kOffsetXMin / kFieldBytes;
    for (std::size_t k = 0; k < std::size(measured); ++k)
        if (first + k < h.whole_fields) *measured[k] = h.fields[first + k];
}

std::array<std::uint8_t, kHeaderBytes> header_image(const TelesoRecord& rec) {
    std::array<std::uint8_t, kHeaderBytes> out{};  // the slot stays zero
    const std::int32_t fields[] = {rec.size,  rec.dim,   rec.x_min,  rec.x_max,
                                   rec.y_min, rec.y_max, rec.z_min,  rec.z_max,
                                   rec.x_mean, rec.y_mean, rec.z_mean, rec.voxels};
    for (std::size_t f = 0; f < std::size(fields); ++f) store_le32(out.data() + f * kFieldBytes, fields[f]);
    return out;
}

}  // namespace shape_form

using namespace shape_form;

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
