// The choice of kernel, made once for the process from the processor and TARVO_KERNEL.
#include "sys/cpu.h"

#include <algorithm>
#include <cstdlib>
#include <thread>

#include "sys/threads.h"

namespace tarvo {

namespace {

struct Choice {
    Kernel kernel = Kernel::kScalar;
    std::string refusal;
};

}  // namespace

std::string available_kernel_names() {
    std::string names;
    for (Kernel k : kKernels)
        if (kernel_available(k)) names += std::string(names.empty() ? "" : ", ") + kernel_name(k);
    return names;
}

namespace {

Choice choose() {
    const char* wanted = std::getenv("TARVO_KERNEL");
    if (!wanted || !*wanted) return {fastest_kernel(), {}};
    const std::optional<Kernel> k = parse_kernel(wanted);
    const std::string prefix = std::string("TARVO_KERNEL=") + wanted + ": ";
    if (!k) return {Kernel::kScalar, prefix + "no such kernel (scalar, sse2, avx2 or avx512)"};
    if (!kernel_available(*k))
        return {Kernel::kScalar, prefix + "this processor or build lacks it (available: " + available_kernel_names() + ")"};
    return {*k, {}};
}

const Choice& choice() {
    static const Choice c = choose();
    return c;
}

}  // namespace

std::optional<Kernel> parse_kernel(std::string_view name) {
    for (Kernel k : kKernels)
        if (name == kernel_name(k)) return k;
    return std::nullopt;
}

Kernel fastest_kernel() {
    for (auto k = kKernels.rbegin(); k != kKernels.rend(); ++k)
        if (kernel_available(*k)) return *k;
    return Kernel::kScalar;
}

Kernel chosen_kernel() { return choice().kernel; }

std::string kernel_refusal() { return choice().refusal; }

int machine_threads() {
    static const int threads = [] {
        const char* forced = std::getenv("TARVO_THREADS");
        if (forced && *forced) {
            char* end = nullptr;
            const long k = std::strtol(forced, &end, 10);
            if (*end == '\0' && k >= 1 && k <= 64) return static_cast<int>(k);
        }
        return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    }();
    return threads;
}

bool use_popcnt() { return chosen_kernel() != Kernel::kScalar && simd::has_popcnt(); }

}  // namespace tarvo
