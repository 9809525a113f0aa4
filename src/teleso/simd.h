// simd: the vector and bit-count instructions the codec and the measurements may use. SSE2 is part
// of x86-64 and is used directly; AVX2 (with the bit instructions BMI1, BMI2 and POPCNT that come
// with it) and POPCNT alone only where the processor reports them at run time. The portable build
// (TARVO_PORTABLE) and other processors use none of them: their scalar paths give the same results.
//
// API
//   TARVO_X86_SIMD            1 where the x86-64 paths are compiled in, 0 elsewhere
//   TARVO_TARGET(features)    compiles one function for extra instructions (nothing elsewhere); call
//                             it only after the matching run-time check
//   has_avx2(), has_popcnt()  what the processor offers (false where nothing is compiled in);
//                             has_avx2() includes BMI1, BMI2 and POPCNT
//   TARVO_AVX2_TARGET         compiles one function for what has_avx2() reports
#pragma once

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(TARVO_PORTABLE)
#define TARVO_X86_SIMD 1
#define TARVO_TARGET(features) __attribute__((target(features)))
#define TARVO_AVX2_TARGET TARVO_TARGET("avx2,bmi,bmi2,popcnt")
#else
#define TARVO_X86_SIMD 0
#define TARVO_TARGET(features)
#define TARVO_AVX2_TARGET
#endif

namespace teleso::simd {

inline bool has_avx2() {
#if TARVO_X86_SIMD
    static const bool has = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
                            __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
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

}  // namespace teleso::simd
