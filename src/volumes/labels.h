// Labelled volumes: labels decoded from their bytes, and the census of one pass over a volume (each
// label's voxel count and bounding box), kept to a bounded number of labels. Nothing here prints.
//
// API
//   kMaxLabels                     the most distinct labels a census holds (hostile volumes stop there)
//   decode_labels(bytes, n, width, big_endian, out)   n labels of 1, 2 or 4 bytes
//   for_each_run(labels, n, run)   run(begin, end, label) for each run of equal labels in a row
//   LabelBox                       a label's voxel count, inclusive bounding box and coordinate sums
//   Census                         add_row(labels, n, y, z) over a volume; boxes() in label order;
//                                  add_row returns false once a label beyond kMaxLabels comes;
//                                  merge(other) adds the census of other rows (another part of the
//                                  volume), false beyond kMaxLabels together
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <unordered_map>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace tarvo::volumes {

inline constexpr std::size_t kMaxLabels = std::size_t{1} << 20;

void decode_labels(const std::uint8_t* bytes, std::size_t n, int width, bool big_endian, std::uint32_t* out);
void encode_labels(const std::uint32_t* labels, std::size_t n, int width, std::uint8_t* out);

// Bit j set where labels[at + j] differs from the label before it, for j in 0..63 below n - at;
// at + j >= 1.
inline std::uint64_t label_changes(const std::uint32_t* labels, std::size_t at, std::size_t n) {
    const std::size_t count = std::min<std::size_t>(64, n - at);
    std::uint64_t changes = 0;
    std::size_t j = 0;
#ifdef __SSE2__
    // Four labels against the four before them in one comparison: the runs' ends are found
    // without a branch a voxel.
    for (; j + 4 <= count; j += 4) {
        const auto* here = reinterpret_cast<const __m128i*>(labels + at + j);
        const auto* before = reinterpret_cast<const __m128i*>(labels + at + j - 1);
        const int same = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(_mm_loadu_si128(here), _mm_loadu_si128(before))));
        changes |= static_cast<std::uint64_t>(~same & 15) << j;
    }
#endif
    for (; j < count; ++j) changes |= static_cast<std::uint64_t>(labels[at + j] != labels[at + j - 1]) << j;
    return changes;
}

template <class Run>
void for_each_run(const std::uint32_t* labels, std::size_t n, Run&& run) {
    if (n == 0) return;
    std::size_t begin = 0;
    for (std::size_t at = 0; at < n; at += 64) {
        // The first label of the row begins a run but ends none.
        std::uint64_t ends = at == 0 ? (n > 1 ? label_changes(labels + 1, 0, n - 1) << 1 : 0) : label_changes(labels, at, n);
        for (; ends != 0; ends &= ends - 1) {
            const std::size_t end = at + static_cast<std::size_t>(std::countr_zero(ends));
            run(begin, end, labels[begin]);
            begin = end;
        }
    }
    run(begin, n, labels[begin]);
}

struct LabelBox {
    std::uint32_t label = 0;
    std::int64_t voxels = 0;
    std::array<std::int64_t, 3> min{}, max{};  // inclusive
    // The sums of the voxels' x, y and z, modulo 2^64: exact once taken relative to a grid that
    // holds the label (a particle's), whose sums fit 64 bits.
    std::array<std::uint64_t, 3> sums{};
    std::array<std::int64_t, 3> extent() const {
        return {max[0] - min[0] + 1, max[1] - min[1] + 1, max[2] - min[2] + 1};
    }
};

class Census {
public:
    // One row of labels (x = 0..n-1) at (y, z); label 0 is background. False when the row brings
    // more than kMaxLabels distinct labels.
    bool add_row(const std::uint32_t* labels, std::size_t n, std::int64_t y, std::int64_t z);
    bool merge(const Census& other);
    std::vector<LabelBox> boxes() const;  // ordered by label
    std::size_t size() const { return boxes_.size(); }

private:
    // Labels below this are found in a table indexed by the label (a uint16 volume's always);
    // larger ones by hashing.
    static constexpr std::uint32_t kTableLabels = std::uint32_t{1} << 20;
    // The box of a label, or SIZE_MAX when it is new and the census is full.
    std::size_t box_index(std::uint32_t label);
    std::vector<std::uint32_t> table_;  // label -> box index + 1 (0: none yet)
    std::unordered_map<std::uint32_t, std::size_t> index_;
    std::vector<LabelBox> boxes_;
};

}  // namespace tarvo::volumes
