// A second thread that consumes batches of work handed over by the calling thread, one batch
// waiting at a time, so that producing the next batch overlaps consuming the last (decoding the
// input while the bitmap is filled, encoding the stream while it is written out).
//
// API
//   Handoff(consume, threaded)  consume(batch) does the work and leaves the batch empty for reuse;
//                               without `threaded`, or when no thread can be started, batches are
//                               consumed on the calling thread
//   give(batch)                 hand a batch over; `batch` comes back as an empty one to refill
//   close()                     wait until every batch given has been consumed
//   threaded()                  whether a second thread does the work
#pragma once

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace teleso {

template <class Batch, class Consume>
class Handoff {
public:
    Handoff(Consume consume, bool threaded) : consume_(std::move(consume)) {
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
        changed_.wait(lock, [this] { return !has_pending_; });
        std::swap(batch, pending_);
        has_pending_ = true;
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
        Batch batch{};
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [this] { return has_pending_ || done_; });
                if (!has_pending_) return;
                std::swap(batch, pending_);
                has_pending_ = false;
            }
            changed_.notify_all();
            consume_(batch);
        }
    }

    Consume consume_;
    Batch pending_{};
    bool has_pending_ = false;
    bool done_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread worker_;
};

}  // namespace teleso
