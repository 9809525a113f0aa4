#include "volumes/labels.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

namespace tarvo::volumes {

void decode_labels(const std::uint8_t* bytes, std::size_t n, int width, bool big_endian, std::uint32_t* out) {
    // The common case, labels in the machine's order, without the byte loop.
    if (!big_endian && std::endian::native == std::endian::little) {
        if (width == 4) {
            std::memcpy(out, bytes, 4 * n);
            return;
        }
        if (width == 2) {
            for (std::size_t i = 0; i < n; ++i) {
                std::uint16_t v;
                std::memcpy(&v, bytes + 2 * i, 2);
                out[i] = v;
            }
            return;
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t* b = bytes + i * static_cast<std::size_t>(width);
        std::uint32_t v = 0;
        for (int k = 0; k < width; ++k) v |= std::uint32_t{b[big_endian ? width - 1 - k : k]} << (8 * k);
        out[i] = v;
    }
}

void encode_labels(const std::uint32_t* labels, std::size_t n, int width, std::uint8_t* out) {
    for (std::size_t i = 0; i < n; ++i)
        for (int k = 0; k < width; ++k)
            out[i * static_cast<std::size_t>(width) + k] = static_cast<std::uint8_t>(labels[i] >> (8 * k));
}

LabelBox& Census::box_of(std::uint32_t label) {
    const auto [it, fresh] = index_.emplace(label, boxes_.size());
    if (fresh) {
        LabelBox b;
        b.label = label;
        b.min = {INT64_MAX, INT64_MAX, INT64_MAX};
        b.max = {-1, -1, -1};
        boxes_.push_back(b);
    }
    return boxes_[it->second];
}

bool Census::add_row(const std::uint32_t* labels, std::size_t n, std::int64_t y, std::int64_t z) {
    // One look-up per run of equal labels (grains are runs along x), none for a run of the label
    // before (a grain with a hole).
    std::uint32_t last = 0;
    std::size_t last_box = SIZE_MAX;
    for (std::size_t x = 0; x < n;) {
        const std::uint32_t label = labels[x];
        std::size_t end = x + 1;
        while (end < n && labels[end] == label) ++end;
        if (label != 0) {
            if (label != last || last_box == SIZE_MAX) {
                if (boxes_.size() >= kMaxLabels && !index_.count(label)) return false;
                last_box = static_cast<std::size_t>(&box_of(label) - boxes_.data());
                last = label;
            }
            LabelBox& b = boxes_[last_box];
            b.voxels += static_cast<std::int64_t>(end - x);
            const std::array<std::int64_t, 3> lo{static_cast<std::int64_t>(x), y, z};
            const std::array<std::int64_t, 3> hi{static_cast<std::int64_t>(end - 1), y, z};
            for (int k = 0; k < 3; ++k) {
                b.min[k] = std::min(b.min[k], lo[k]);
                b.max[k] = std::max(b.max[k], hi[k]);
            }
        }
        x = end;
    }
    return true;
}

std::vector<LabelBox> Census::boxes() const {
    std::vector<LabelBox> sorted = boxes_;
    std::sort(sorted.begin(), sorted.end(), [](const LabelBox& a, const LabelBox& b) { return a.label < b.label; });
    return sorted;
}

}  // namespace tarvo::volumes
