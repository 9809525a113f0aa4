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
#pragma once

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

}  // namespace teleso::simd
