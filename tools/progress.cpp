#include "progress.h"

#include <unistd.h>

#include <algorithm>

#include "common.h"
#include "sys/threads.h"

namespace tarvo::tools {
namespace {
constexpr double kShowAfter = 1.0;  // seconds of work before anything is drawn
constexpr auto kTick = std::chrono::milliseconds(200);
}  // namespace

Progress::Progress(std::string task) : task_(std::move(task)) {
    if (isatty(fileno(stderr))) {
        out_ = stderr;
        start(kShowAfter);
    }
}

Progress::Progress(std::string task, std::FILE* out, double after_seconds) : task_(std::move(task)), out_(out) {
    if (out_) start(after_seconds);
}

void Progress::start(double after_seconds) {
    begin_ = std::chrono::steady_clock::now();
    after_ = std::chrono::duration<double>(after_seconds);
    ticker_.start([this] { run(); });  // without a thread, no progress is shown
}

Progress::~Progress() {
    if (!ticker_.running()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    ticker_.join();
    if (drawn_ > 0) {
        std::fprintf(out_, "\r%*s\r", static_cast<int>(drawn_), "");
        std::fflush(out_);
    }
}

void Progress::stage(std::string name, std::int64_t total) {
    std::lock_guard<std::mutex> lock(mutex_);
    stage_ = std::move(name);
    total_ = total;
    done_.store(0, std::memory_order_relaxed);
}

void Progress::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, kTick, [this] { return stop_; }))
        if (std::chrono::steady_clock::now() - begin_ >= after_) draw();
}

// Called with the mutex held.
void Progress::draw() {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin_).count();
    std::string line = task_ + ": " + escaped(stage_);
    if (total_ > 0) {
        const std::int64_t done = std::min(done_.load(std::memory_order_relaxed), total_);
        line.append(1, ' ').append(std::to_string(done * 100 / total_)).append(1, '%');
    }
    char clock[32];
    std::snprintf(clock, sizeof clock, " (%.0f s)", seconds);
    line += clock;
    const std::size_t pad = drawn_ > line.size() ? drawn_ - line.size() : 0;
    std::fprintf(out_, "\r%s%*s", line.c_str(), static_cast<int>(pad), "");
    std::fflush(out_);
    drawn_ = line.size() + pad;
}

}  // namespace tarvo::tools
