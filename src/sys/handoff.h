// A second thread that consumes batches of work handed over by the calling thread, so that
// producing the next batches overlaps consuming the last ones (encoding the stream while the
// blocks before it are written, decoding while the bitmap is filled). Every batch is made before
// the thread starts, so nothing is allocated while the two work: running out of memory can only
// happen in the constructor, on the calling thread.
//
// API
//   Handoff(consume, threaded, depth, make)   consume(batch) does the work and leaves the batch
//                               empty for reuse; at most `depth` batches wait; make() gives a
//                               fresh batch; without `threaded`, or when no thread can be had,
//                               batches are consumed on the calling thread
//   give(batch)                 hand a batch over; `batch` comes back as an empty one to refill
//   close()                     wait until every batch given has been consumed
//   consumer()                  the consumer, after close()
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <utility>
#include <vector>

#include "sys/threads.h"

namespace tarvo {

template <class Batch, class Consume>
class Handoff {
public:
    template <class Make>
    Handoff(Consume consume, bool threaded, std::size_t depth, Make make)
        : consume_(std::move(consume)), depth_(depth > 0 ? depth : 1) {
        if (!threaded) return;
        // In flight at once: the caller's, `depth` waiting, one being consumed.
        ring_.resize(depth_);
        spare_.reserve(depth_ + 1);
        for (std::size_t k = 0; k <= depth_; ++k) spare_.push_back(make());
        worker_.start([this] { work(); });
    }
    Handoff(const Handoff&) = delete;
    Handoff& operator=(const Handoff&) = delete;
    ~Handoff() { close(); }

    void give(Batch& batch) {
        if (!worker_.running()) {
            consume_(batch);
            return;
        }
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return waiting_ < depth_ && !spare_.empty(); });
        std::swap(ring_[(head_ + waiting_) % depth_], batch);
        ++waiting_;
        std::swap(batch, spare_.back());
        spare_.pop_back();
        lock.unlock();
        changed_.notify_all();
    }

    void close() {
        if (!worker_.running()) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        changed_.notify_all();
        worker_.join();
    }

    // The consumer, to ask it what it found (after close()).
    const Consume& consumer() const { return consume_; }

private:
    void work() {
        Batch batch;
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [this] { return waiting_ > 0 || done_; });
                if (waiting_ == 0) return;
                std::swap(batch, ring_[head_]);
                head_ = (head_ + 1) % depth_;
                --waiting_;
            }
            changed_.notify_all();
            consume_(batch);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                spare_.push_back(std::move(batch));  // within the capacity reserved
            }
            changed_.notify_all();
        }
    }

    Consume consume_;
    std::size_t depth_;
    std::vector<Batch> ring_;   // batches waiting: ring_[head_], ... (waiting_ of them)
    std::size_t head_ = 0;
    std::size_t waiting_ = 0;
    std::vector<Batch> spare_;  // empty batches for the calling thread to refill
    bool done_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    Helper worker_;
};

}  // namespace tarvo
