// Labelled volumes: labels decoded from their bytes, and the census of one pass over a volume (each
// label's voxel count and bounding box), kept to a bounded number of labels. Nothing here prints.
//
// API
//   kMaxLabels                     the most distinct labels a census holds (hostile volumes stop there)
//   decode_labels(bytes, n, width, big_endian, out)   n labels of 1, 2 or 4 bytes
//   LabelBox                       a label's voxel count and inclusive bounding box
//   Census                         add_row(labels, n, y, z) over a volume; boxes() in label order;
//                                  add_row returns false once a label beyond kMaxLabels comes
#pragma once

#include <array>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace tarvo::volumes {

inline constexpr std::size_t kMaxLabels = std::size_t{1} << 20;

void decode_labels(const std::uint8_t* bytes, std::size_t n, int width, bool big_endian, std::uint32_t* out);
void encode_labels(const std::uint32_t* labels, std::size_t n, int width, std::uint8_t* out);

struct LabelBox {
    std::uint32_t label = 0;
    std::int64_t voxels = 0;
    std::array<std::int64_t, 3> min{}, max{};  // inclusive
    std::array<std::int64_t, 3> extent() const {
        return {max[0] - min[0] + 1, max[1] - min[1] + 1, max[2] - min[2] + 1};
    }
};

class Census {
public:
    // One row of labels (x = 0..n-1) at (y, z); label 0 is background. False when the row brings
    // more than kMaxLabels distinct labels.
    bool add_row(const std::uint32_t* labels, std::size_t n, std::int64_t y, std::int64_t z);
    std::vector<LabelBox> boxes() const;  // ordered by label
    std::size_t size() const { return boxes_.size(); }

private:
    LabelBox& box_of(std::uint32_t label);
    std::unordered_map<std::uint32_t, std::size_t> index_;
    std::vector<LabelBox> boxes_;
};

}  // namespace tarvo::volumes
