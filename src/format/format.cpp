// The header image of the shape form file.
#include "format/format.h"

namespace tarvo {

HeaderImage parse_header(const std::uint8_t* bytes, std::size_t count) {
    HeaderImage h;
    h.bytes = count < kHeaderBytes ? count : kHeaderBytes;
    h.whole_fields = h.bytes / kFieldBytes;
    if (h.whole_fields > kStoredFields) h.whole_fields = kStoredFields;
    for (std::size_t f = 0; f < h.whole_fields; ++f) h.fields[f] = load_le32(bytes + f * kFieldBytes);
    if (h.bytes == kHeaderBytes) h.slot = load_le32(bytes + kSlotOffset);
    return h;
}

Status check_header(const HeaderImage& h, const std::string& path) {
    if (h.bytes < kMinHeaderBytes) return fail(Error::kNoEdgeLength, path, 0, static_cast<std::int64_t>(h.bytes));
    if (!dim_in_range(h.dim())) return fail(Error::kEdgeOutOfRange, path, 0, h.dim());
    return {};
}

void apply_header(const HeaderImage& h, TelesoRecord& rec) {
    for (std::size_t f = kFirstMeasuredField; f < h.whole_fields; ++f) rec.*kHeaderFields[f].member = h.fields[f];
}

std::array<std::uint8_t, kHeaderBytes> header_image(const TelesoRecord& rec) {
    std::array<std::uint8_t, kHeaderBytes> out{};  // the slot stays zero
    for (std::size_t f = 0; f < kStoredFields; ++f) store_le32(out.data() + f * kFieldBytes, rec.*kHeaderFields[f].member);
    return out;
}

}  // namespace tarvo
