// When the core uses a second thread, and how a pass over the grid is split between threads.
//
// API
//   kThreadedVoxels                grids below this many voxels are done on one thread
//   pass_threads(voxels, wanted)   threads for a pass (wanted > 0 forces that many, at most kMaxThreads)
//   start_thread(t, work)          t runs work; false (t not started) when no thread can be had
//   for_layer_parts(dim, k, work)  work(z_begin, z_end, part) for k parts of whole layers, in parallel
#pragma once

#include <cstdint>
#include <exception>
#include <thread>
#include <utility>

namespace teleso {

// Below this a pass is done before a thread would have started.
inline constexpr std::int64_t kThreadedVoxels = std::int64_t{1} << 21;
inline constexpr int kMaxThreads = 2;

inline int pass_threads(std::int64_t voxels, int wanted) {
    if (wanted > 0) return wanted < kMaxThreads ? wanted : kMaxThreads;
    return voxels >= kThreadedVoxels && std::thread::hardware_concurrency() >= 2 ? kMaxThreads : 1;
}

// Starting a thread can fail for want of memory or of threads; the work is then done without it.
template <class Work>
bool start_thread(std::thread& t, Work&& work) {
    try {
        t = std::thread(std::forward<Work>(work));
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// Each part gets whole layers (z); a part's first and last bitmap words may be shared with its
// neighbour, which the callers that write take care of.
template <class Work>
void for_layer_parts(std::int32_t dim, int parts, Work&& work) {
    if (parts <= 1 || dim < 2) {
        work(0, dim, 0);
        return;
    }
    const std::int32_t mid = dim / 2;
    std::thread second;
    if (!start_thread(second, [&work, mid, dim] { work(mid, dim, 1); })) {
        work(0, mid, 0);
        work(mid, dim, 1);
        return;
    }
    work(0, mid, 0);
    second.join();
}

}  // namespace teleso
