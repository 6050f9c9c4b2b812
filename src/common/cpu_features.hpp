// The processor features the vector kernels dispatch on: every compile-time and run-time
// check in one place, the run-time answer computed once per process.
#pragma once

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
// Kernels for wider vectors are compiled one function at a time with a target attribute,
// never with a build flag: the rest of the code stays on the SSE2 baseline, and neither
// target enables fused multiply-adds, so every lane keeps the scalar rounding.
#define KELMORA_X86_KERNELS 1
#define KELMORA_TARGET_AVX __attribute__((target("avx")))
#define KELMORA_TARGET_AVX2 __attribute__((target("avx2")))
#endif

namespace kelmora::detail {

struct CpuFeatures {
    bool avx = false;   // 256-bit floating-point vectors
    bool avx2 = false;  // 256-bit integer vectors as well
};

// What this processor runs; the checks include that the system saves the wide registers.
inline CpuFeatures detect_cpu_features() {
    CpuFeatures f;
#if defined(KELMORA_X86_KERNELS)
    __builtin_cpu_init();
    f.avx = __builtin_cpu_supports("avx") != 0;
    f.avx2 = __builtin_cpu_supports("avx2") != 0;
#endif
    return f;
}

// The features the kernels dispatch on: those detected, computed once per process.
inline CpuFeatures& cpu_features_in_use() {
    static CpuFeatures features = detect_cpu_features();
    return features;
}

inline const CpuFeatures& cpu_features() { return cpu_features_in_use(); }

// Makes the kernels dispatch as if the processor had only `features` (which must be a subset of
// what it has), so that a native test can run the narrower paths on a wider processor.
inline void restrict_cpu_features(const CpuFeatures& features) { cpu_features_in_use() = features; }

}  // namespace kelmora::detail
