// threads: the one way the library, the tools and the bindings use more threads than the caller's,
// with one policy for how many.
//
// API
//   kThreadedVoxels                a job smaller than this is done on one thread: it would be done
//                                  before a second thread had started
//   kMaxPassThreads                the threads of a pass over the grid (reading, cutting, writing
//                                  on two cores: measured, more did not pay)
//   machine_threads()              the machine's cores, or TARVO_THREADS where it is set
//   thread_count(work, wanted, most)   the policy: `wanted` > 0 forces that many (at most `most`);
//                                  0 chooses one below kThreadedVoxels units of work, else as many
//                                  as the machine has, at most `most`
//   pass_threads(voxels, wanted)   thread_count for a pass over a grid of `voxels`
//   Helper                         one thread beside the caller (std::jthread): start(work) is false
//                                  when no thread can be had, and the caller then does the work
//                                  itself; join() or the destructor waits for it
//   run_parts(parts, work)         work(part) for parts 0..parts-1 at once, part 0 on the calling
//                                  thread; a part whose thread cannot be had runs on the caller
//   for_layer_parts(dim, k, work)  work(z_begin, z_end, part) for k parts of whole layers, in parallel
#pragma once

#include <algorithm>
#include <cstdint>
#include <exception>
#include <thread>
#include <utility>
#include <vector>

namespace tarvo {

inline constexpr std::int64_t kThreadedVoxels = std::int64_t{1} << 21;
inline constexpr int kMaxPassThreads = 2;

// The threads the machine offers: its cores, or TARVO_THREADS (a whole number from 1 on) where
// that is set, so that benchmarks can weigh the threads' gain in whole runs. Read once.
int machine_threads();

inline int thread_count(std::int64_t work, int wanted, int most) {
    if (wanted > 0) return std::min(wanted, most);
    if (work < kThreadedVoxels) return 1;
    return std::min(machine_threads(), most);
}

inline int pass_threads(std::int64_t voxels, int wanted) { return thread_count(voxels, wanted, kMaxPassThreads); }

// Starting a thread can fail for want of memory or of threads; the work is then done without it.
class Helper {
public:
    Helper() = default;
    ~Helper() { join(); }
    Helper(const Helper&) = delete;
    Helper& operator=(const Helper&) = delete;

    template <class Work>
    bool start(Work&& work) {
        try {
            thread_ = std::jthread(std::forward<Work>(work));
            return true;
        } catch (const std::exception&) {
            return false;
        }
    }
    void join() {
        if (thread_.joinable()) thread_.join();
    }
    bool running() const { return thread_.joinable(); }

private:
    std::jthread thread_;
};

template <class Work>
void run_parts(int parts, Work&& work) {
    if (parts <= 1) {
        work(0);
        return;
    }
    std::vector<Helper> helpers(static_cast<std::size_t>(parts - 1));
    std::vector<int> left;  // parts whose thread could not be had
    for (int k = 1; k < parts; ++k)
        if (!helpers[static_cast<std::size_t>(k - 1)].start([&work, k] { work(k); })) left.push_back(k);
    work(0);
    for (int k : left) work(k);
    for (Helper& h : helpers) h.join();
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
    run_parts(2, [&work, mid, dim](int part) { part == 0 ? work(0, mid, 0) : work(mid, dim, 1); });
}

}  // namespace tarvo
