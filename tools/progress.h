// Progress of long work on standard error, shown only when standard error is a terminal and the
// work has taken longer than about a second; scripts and pipes see nothing.
//
// API
//   Progress(task)                  silent unless standard error is a terminal
//   Progress(task, out, after)      draws on `out` once `after` seconds have passed (tests)
//   stage(name, total)              a new step; total > 0 shows the percentage advance() reaches
//   advance(n)                      n more units of the current step done; any thread may call it
//   ~Progress                       stops drawing and clears the line it drew
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include "sys/threads.h"

namespace tarvo::tools {

class Progress {
public:
    explicit Progress(std::string task);
    Progress(std::string task, std::FILE* out, double after_seconds);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void stage(std::string name, std::int64_t total = 0);
    void advance(std::int64_t n) { done_.fetch_add(n, std::memory_order_relaxed); }

private:
    void start(double after_seconds);
    void run();
    void draw();

    std::string task_;
    std::FILE* out_ = nullptr;  // null: silent
    std::chrono::steady_clock::time_point begin_;
    std::chrono::duration<double> after_{};
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::string stage_;
    std::int64_t total_ = 0;
    std::atomic<std::int64_t> done_{0};
    std::size_t drawn_ = 0;  // characters on the line now
    tarvo::Helper ticker_;
};

}  // namespace tarvo::tools
