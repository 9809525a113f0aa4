// A second thread that consumes batches of work handed over by the calling thread, a few batches
// waiting at most, so that producing the next batches overlaps consuming the last ones (encoding
// the voxel stream while the blocks before are written out). Several batches may wait, so that a
// moment in which the second thread gets no processor does not stop the first.
//
// API
//   Handoff(consume, threaded, depth)  consume(batch) does the work and leaves the batch empty for
//                               reuse; at most `depth` batches wait; without `threaded`, or when no
//                               thread can be started, batches are consumed on the calling thread
//   give(batch)                 hand a batch over; `batch` comes back as an empty one to refill
//   close()                     wait until every batch given has been consumed
//   threaded()                  whether a second thread does the work
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace teleso {

template <class Batch, class Consume>
class Handoff {
public:
    Handoff(Consume consume, bool threaded, std::size_t depth)
        : consume_(std::move(consume)), depth_(depth > 0 ? depth : 1) {
        if (!threaded) return;
        try {
            worker_ = std::thread([this] { work(); });
        } catch (const std::system_error&) {
            // No thread to be had: the work is done on the calling thread.
        }
    }
    Handoff(const Handoff&) = delete;
    Handoff& operator=(const Handoff&) = delete;
    ~Handoff() { close(); }

    bool threaded() const { return worker_.joinable(); }

    void give(Batch& batch) {
        if (!worker_.joinable()) {
            consume_(batch);
            return;
        }
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return pending_.size() < depth_; });
        pending_.push_back(std::move(batch));
        if (spare_.empty()) {
            batch = Batch{};
        } else {
            batch = std::move(spare_.back());
            spare_.pop_back();
        }
        lock.unlock();
        changed_.notify_all();
    }

    void close() {
        if (!worker_.joinable()) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        changed_.notify_all();
        worker_.join();
    }

private:
    void work() {
        for (;;) {
            Batch batch;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [this] { return !pending_.empty() || done_; });
                if (pending_.empty()) return;
                batch = std::move(pending_.front());
                pending_.pop_front();
            }
            changed_.notify_all();
            consume_(batch);
            std::lock_guard<std::mutex> lock(mutex_);
            spare_.push_back(std::move(batch));
        }
    }

    Consume consume_;
    std::size_t depth_;
    std::deque<Batch> pending_;
    std::vector<Batch> spare_;  // consumed batches, empty, for the calling thread to refill
    bool done_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread worker_;
};

}  // namespace teleso
