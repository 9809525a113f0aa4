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

std::size_t Census::box_index(std::uint32_t label) {
    if (label < kTableLabels) {
        if (label >= table_.size()) table_.resize(std::min<std::size_t>(kTableLabels, std::bit_ceil(std::size_t{label} + 1)));
        if (table_[label] != 0) return table_[label] - 1;
    } else if (const auto it = index_.find(label); it != index_.end()) {
        return it->second;
    }
    if (boxes_.size() >= kMaxLabels) return SIZE_MAX;
    LabelBox b;
    b.label = label;
    b.min = {INT64_MAX, INT64_MAX, INT64_MAX};
    b.max = {-1, -1, -1};
    boxes_.push_back(b);
    if (label < kTableLabels)
        table_[label] = static_cast<std::uint32_t>(boxes_.size());
    else
        index_.emplace(label, boxes_.size() - 1);
    return boxes_.size() - 1;
}

bool Census::add_row(const std::uint32_t* labels, std::size_t n, std::int64_t y, std::int64_t z) {
    // One look-up per run of equal labels (grains are runs along x), none for a run of the label
    // before (a grain with a hole).
    std::uint32_t last = 0;
    std::size_t last_box = SIZE_MAX;
    bool full = false;
    for_each_run(labels, n, [&](std::size_t x, std::size_t end, std::uint32_t label) {
        if (label == 0 || full) return;
        if (label != last || last_box == SIZE_MAX) {
            last_box = box_index(label);
            if (last_box == SIZE_MAX) {
                full = true;
                return;
            }
            last = label;
        }
        LabelBox& b = boxes_[last_box];
        const auto count = static_cast<std::int64_t>(end - x);
        b.voxels += count;
        b.min[0] = std::min(b.min[0], static_cast<std::int64_t>(x));
        b.max[0] = std::max(b.max[0], static_cast<std::int64_t>(end - 1));
        b.min[1] = std::min(b.min[1], y);
        b.max[1] = std::max(b.max[1], y);
        b.min[2] = std::min(b.min[2], z);
        b.max[2] = std::max(b.max[2], z);
        // x + ... + (end - 1): one of the two factors is even.
        const std::uint64_t first = x, last_x = end - 1, c = static_cast<std::uint64_t>(count);
        b.sums[0] += c % 2 == 0 ? c / 2 * (first + last_x) : (first + last_x) / 2 * c;
        b.sums[1] += c * static_cast<std::uint64_t>(y);
        b.sums[2] += c * static_cast<std::uint64_t>(z);
    });
    return !full;
}

bool Census::merge(const Census& other) {
    for (const LabelBox& o : other.boxes_) {
        const std::size_t k = box_index(o.label);
        if (k == SIZE_MAX) return false;
        LabelBox& b = boxes_[k];
        b.voxels += o.voxels;
        for (int i = 0; i < 3; ++i) {
            b.min[i] = std::min(b.min[i], o.min[i]);
            b.max[i] = std::max(b.max[i], o.max[i]);
            b.sums[i] += o.sums[i];
        }
    }
    return true;
}

std::vector<LabelBox> Census::boxes() const {
    std::vector<LabelBox> sorted = boxes_;
    std::sort(sorted.begin(), sorted.end(), [](const LabelBox& a, const LabelBox& b) { return a.label < b.label; });
    return sorted;
}

}  // namespace tarvo::volumes
