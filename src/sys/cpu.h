// simd: the vector and bit-count instructions the codec and the measurements may use. SSE2 is part
// of x86-64 and is used directly; AVX2 (with the bit instructions BMI1, BMI2 and POPCNT that come
// with it) and POPCNT alone only where the processor reports them at run time. The portable build
// (TARVO_PORTABLE) and other processors use none of them: their scalar paths give the same results.
// The writer and the reader also have paths for AVX-512 (with the byte permutes and compresses of
// VBMI and VBMI2).
//
// API
//   TARVO_X86_SIMD            1 where the x86-64 paths are compiled in, 0 elsewhere
//   TARVO_TARGET(features)    compiles one function for extra instructions (nothing elsewhere); call
//                             it only after the matching run-time check
//   has_avx2(), has_popcnt()  what the processor offers (false where nothing is compiled in);
//                             has_avx2() includes BMI1, BMI2 and POPCNT
//   TARVO_AVX2_TARGET         compiles one function for what has_avx2() reports
//   has_avx512()              AVX-512 F, BW, VL, VBMI and VBMI2, with what has_avx2() reports
//   TARVO_AVX512_TARGET       compiles one function for what has_avx512() reports
//   Kernel                    the instruction sets the codec's kernels are built for: scalar, SSE2,
//                             AVX2 (with BMI), AVX-512; kernel_available, kernel_name, parse_kernel
//   fastest_kernel()          the best the processor has
//   chosen_kernel()           the kernel of this process: the one TARVO_KERNEL names, else the
//                             fastest; the scalar kernel also keeps the bit counts off POPCNT
//   kernel_refusal()          why TARVO_KERNEL cannot be followed (empty when it can); the
//                             programs check it first, and chosen_kernel() then falls back to scalar
//   available_kernel_names()  "scalar, sse2, ..." as far as this processor and build have them
//   use_popcnt()              whether bit counts may use POPCNT under the chosen kernel
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(TARVO_PORTABLE)
#define TARVO_X86_SIMD 1
#define TARVO_TARGET(features) __attribute__((target(features)))
#define TARVO_AVX2_TARGET TARVO_TARGET("avx2,bmi,bmi2,popcnt")
#define TARVO_AVX512_TARGET TARVO_TARGET("avx2,bmi,bmi2,popcnt,avx512f,avx512bw,avx512vl,avx512vbmi,avx512vbmi2")
#else
#define TARVO_X86_SIMD 0
#define TARVO_TARGET(features)
#define TARVO_AVX2_TARGET
#define TARVO_AVX512_TARGET
#endif

namespace tarvo::simd {

inline bool has_avx2() {
#if TARVO_X86_SIMD
    static const bool has = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
                            __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
    return has;
#else
    return false;
#endif
}

// The processor's report includes the operating system's support of the vector registers.
inline bool has_avx512() {
#if TARVO_X86_SIMD
    static const bool has = has_avx2() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                            __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi") &&
                            __builtin_cpu_supports("avx512vbmi2");
    return has;
#else
    return false;
#endif
}

inline bool has_popcnt() {
#if TARVO_X86_SIMD
    static const bool has = __builtin_cpu_supports("popcnt");
    return has;
#else
    return false;
#endif
}

}  // namespace tarvo::simd

namespace tarvo {

// Every kernel gives the same results; they differ in speed only.
enum class Kernel { kScalar, kSse2, kAvx2, kAvx512 };
inline constexpr std::array<Kernel, 4> kKernels = {Kernel::kScalar, Kernel::kSse2, Kernel::kAvx2, Kernel::kAvx512};

inline bool kernel_available(Kernel k) {
    switch (k) {
        case Kernel::kScalar: return true;
        case Kernel::kSse2: return TARVO_X86_SIMD != 0;
        case Kernel::kAvx2: return simd::has_avx2();
        case Kernel::kAvx512: return simd::has_avx512();
    }
    return false;
}

// The names TARVO_KERNEL takes.
inline const char* kernel_name(Kernel k) {
    switch (k) {
        case Kernel::kScalar: return "scalar";
        case Kernel::kSse2: return "sse2";
        case Kernel::kAvx2: return "avx2";
        case Kernel::kAvx512: return "avx512";
    }
    return "?";
}

std::optional<Kernel> parse_kernel(std::string_view name);
Kernel fastest_kernel();
Kernel chosen_kernel();
std::string kernel_refusal();
std::string available_kernel_names();
bool use_popcnt();

}  // namespace tarvo
