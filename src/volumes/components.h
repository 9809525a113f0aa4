// Connected components of a mask read row by row (x fastest, then y, then z), in two passes over
// the same rows: the first gives each run of set voxels a provisional id and joins touching ones;
// the same labelling run again maps each id to its component's label. Components are numbered
// 1, 2, ... in the order of their first voxel, as scipy.ndimage.label numbers them. Memory: two
// layers of runs and one number per provisional id (a run that touches none before it).
//
// API
//   RunLabeller(nx, ny, connectivity)   6 (faces) or 26 (faces, edges and corners)
//   label_row(mask, y, z, ids)          provisional ids of one row (0 where the mask is 0); false
//                                       when the ids would pass kMaxProvisional
//   labels()                            provisional id -> component label, after the first pass
#pragma once

#include <cstdint>
#include <vector>

namespace tarvo::volumes {

inline constexpr std::uint32_t kMaxProvisional = 1u << 24;

class RunLabeller {
public:
    RunLabeller(std::int64_t nx, std::int64_t ny, int connectivity);
    bool label_row(const std::uint32_t* mask, std::int64_t y, std::int64_t z, std::uint32_t* ids);
    std::vector<std::uint32_t> labels();

private:
    struct Run {
        std::int64_t x0, x1;  // [x0, x1)
        std::uint32_t id;
    };
    std::uint32_t find(std::uint32_t id);
    void unite(std::uint32_t a, std::uint32_t b);
    void touch(const std::vector<Run>& row, std::int64_t x0, std::int64_t x1, std::uint32_t& id);

    std::int64_t nx_, ny_;
    bool full_;
    std::int64_t z_ = -1;
    std::vector<std::vector<Run>> previous_, current_;
    std::vector<std::uint32_t> parent_{0};
};

}  // namespace tarvo::volumes
