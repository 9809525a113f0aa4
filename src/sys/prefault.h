// Takes the first-touch page faults of a fresh, zeroed block on a second thread while another
// thread fills it from the bottom up. Faults taken on two threads at once scale on the machine
// measured (see docs/performance.md), so the helper starts at the top of the block and works downwards, a
// chunk at a time, until it meets the filling thread. It stores a zero into every page of a chunk:
// the contents never change, and a store (unlike a load, which would map the shared zero page)
// leaves the page ready for the filler's own stores.
//
// The two never work in the same chunk at once: the filler announces each chunk before it writes
// into it and waits while the helper is still touching that one (or one below it), and the helper
// claims only chunks above the next one the filler may enter. Both sides go through one mutex, so
// the helper's stores into a chunk happen before the filler's.
//
// API
//   Prefault(data, bytes, run)  starts the helper on data[0..bytes) when `run` (and a thread can
//                               be started); otherwise does nothing
//   enter(last)                 called by the filling thread before it writes bytes up to data[last];
//                               `last` rises over the calls
//   stop()                      ends the helper, chunks not yet touched staying untouched; also done
//                               by the destructor
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <mutex>

#include "sys/threads.h"

namespace tarvo {

class Prefault {
public:
    static constexpr std::size_t kPage = 4096;
    static constexpr std::size_t kMaxChunk = std::size_t{2} << 20;

    Prefault(std::uint8_t* data, std::size_t bytes, bool run) : data_(data), bytes_(bytes) {
        // About 64 chunks however large the block, so that small blocks meet in the middle too.
        chunk_ = std::clamp<std::size_t>(bytes / 64 / kPage * kPage, kPage, kMaxChunk);
        chunks_ = static_cast<std::int64_t>((bytes + chunk_ - 1) / chunk_);
        claimed_ = chunks_;
        if (!run || chunks_ < 3) return;
        // Without a thread the filler takes the faults itself.
        if (worker_.start([this] { work(); })) entered_end_ = 0;
    }
    Prefault(const Prefault&) = delete;
    Prefault& operator=(const Prefault&) = delete;
    ~Prefault() { stop(); }

    void enter(std::size_t last) {
        if (last >= entered_end_) enter_chunk(static_cast<std::int64_t>(last / chunk_));
    }

    void stop() {
        if (!worker_.running()) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            entered_ = chunks_;
        }
        worker_.join();
        entered_end_ = kNever;
    }

private:
    static constexpr std::size_t kNever = std::numeric_limits<std::size_t>::max();

    void enter_chunk(std::int64_t k) {
        k = std::min(k, chunks_ - 1);
        std::unique_lock<std::mutex> lock(mutex_);
        entered_ = k;
        touched_.wait(lock, [this, k] { return touching_ < 0 || touching_ > k; });
        entered_end_ = k + 1 == chunks_ ? kNever : static_cast<std::size_t>(k + 1) * chunk_;
    }

    void work() {
        for (;;) {
            std::int64_t c;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                // The chunk just above the filler's may be entered at any moment: leave it.
                if (claimed_ - 1 <= entered_ + 1) return;
                c = --claimed_;
                touching_ = c;
            }
            volatile std::uint8_t* p = data_;
            const std::size_t end = std::min(bytes_, static_cast<std::size_t>(c + 1) * chunk_);
            for (std::size_t i = static_cast<std::size_t>(c) * chunk_; i < end; i += kPage) p[i] = 0;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                touching_ = -1;
            }
            touched_.notify_all();
        }
    }

    std::uint8_t* data_;
    std::size_t bytes_;
    std::size_t chunk_;
    std::int64_t chunks_;
    // The filler's side alone: bytes below this lie in chunks already entered.
    std::size_t entered_end_ = kNever;
    std::mutex mutex_;
    std::condition_variable touched_;
    std::int64_t entered_ = -1;  // the highest chunk the filler has entered
    std::int64_t claimed_;       // the lowest chunk the helper has claimed
    std::int64_t touching_ = -1; // the chunk the helper is touching, or -1
    Helper worker_;
};

}  // namespace tarvo
