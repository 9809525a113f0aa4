// Splitting a pass over the grid by layers (z) between threads. Each part gets whole layers; a
// part's first and last bitmap words may be shared with its neighbour (rows start anywhere inside
// a word), which the callers that write take care of.
//
// API
//   pass_threads(dim, wanted)        how many threads a pass over a grid of edge dim uses
//   for_layer_parts(dim, k, work)    work(z_begin, z_end, part) for k parts, in parallel
#pragma once

#include <cstdint>
#include <system_error>
#include <thread>

namespace geometry::layers {

// Grids below this many voxels are passed over faster than a thread starts.
inline constexpr std::int64_t kThreadedVoxels = std::int64_t{1} << 21;
inline constexpr int kMaxThreads = 2;

// wanted > 0 forces that many threads (at most kMaxThreads); 0 chooses by the grid and machine.
inline int pass_threads(std::int32_t dim, int wanted) {
    if (wanted > 0) return wanted < kMaxThreads ? wanted : kMaxThreads;
    const std::int64_t voxels = std::int64_t{dim} * dim * dim;
    return voxels >= kThreadedVoxels && std::thread::hardware_concurrency() >= 2 ? kMaxThreads : 1;
}

template <class Work>
void for_layer_parts(std::int32_t dim, int parts, Work&& work) {
    if (parts <= 1 || dim < 2) {
        work(0, dim, 0);
        return;
    }
    const std::int32_t mid = dim / 2;
    std::thread second;
    try {
        second = std::thread([&work, mid, dim] { work(mid, dim, 1); });
    } catch (const std::system_error&) {
        // No thread to be had: do both halves here.
        work(0, mid, 0);
        work(mid, dim, 1);
        return;
    }
    work(0, mid, 0);
    second.join();
}

}  // namespace geometry::layers
