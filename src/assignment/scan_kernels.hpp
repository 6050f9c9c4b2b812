// Column scans of the two solvers: one pass that lowers each column's tentative distance
// and picks the first column of smallest distance.
//
// A column that has left the search (joined the tree, or been scanned) holds NaN as its
// distance. Every comparison with a NaN operand is false, so such a column is neither
// lowered nor picked, exactly like a column skipped by a flag test; a column whose
// distance became NaN by overflow behaves the same way under the plain comparisons.
//
// The vector paths take two (SSE2) or four (AVX2) adjacent columns at a time. Each column
// goes through the same operations in the same order as in the scalar loop: subtractions
// are per lane and no multiply is involved, so no contraction can occur. The pick stays
// sequential: the new distances are compared with the current pick at once, and only
// when one of them is smaller are they offered to it in column order, with the scalar
// strict comparison. The AVX2 variants are compiled for that instruction set alone (a
// function attribute, not a build flag) and chosen at run time when the processor has it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "assignment_internal.hpp"
#include "common/cpu_features.hpp"

namespace kelmora::detail {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kLeft = std::numeric_limits<double>::quiet_NaN();  // marks a column out of the search

// The column picked by a scan: its smallest distance and index (-1 when none is below +inf).
struct Pick {
    double value;
    std::int64_t column;
};

// Strict `value > candidate`: a later column replaces the pick only when strictly smaller.
inline void consider(Pick& pick, double candidate, std::int64_t column) {
    if (pick.value > candidate) {
        pick.value = candidate;
        pick.column = column;
    }
}

#if defined(__SSE2__)
// `b > a ? a : b` per lane, which is what MINPD computes: it returns its second operand
// when the two are equal or either is NaN.
inline __m128d lower_of(__m128d a, __m128d b) { return _mm_min_pd(a, b); }

inline __m128i select_epi64(__m128d mask, __m128i a, __m128i b) {
    const __m128i bits = _mm_castpd_si128(mask);
    return _mm_or_si128(_mm_and_si128(bits, a), _mm_andnot_si128(bits, b));
}

// Offers columns j and j + 1, holding `pair`, to the pick. `threshold` holds the pick's
// value in both lanes and is refreshed when the pick changes.
inline void consider_pair(Pick& pick, __m128d& threshold, __m128d pair, std::int64_t j) {
    if (_mm_movemask_pd(_mm_cmplt_pd(pair, threshold)) == 0) return;  // neither is smaller
    consider(pick, _mm_cvtsd_f64(pair), j);
    consider(pick, _mm_cvtsd_f64(_mm_unpackhi_pd(pair, pair)), j + 1);
    threshold = _mm_set1_pd(pick.value);
}
#endif

#if defined(KELMORA_X86_KERNELS)
// `b > a ? a : b` per lane (VMINPD returns its second operand on equality or NaN).
KELMORA_TARGET_AVX2 inline __m256d lower_of(__m256d a, __m256d b) { return _mm256_min_pd(a, b); }

// Where `mask` is set, `a`; elsewhere `b`. A bitwise choice: integers pass unchanged.
KELMORA_TARGET_AVX2 inline __m256i select_epi64(__m256d mask, __m256i a, __m256i b) {
    return _mm256_castpd_si256(_mm256_blendv_pd(_mm256_castsi256_pd(b), _mm256_castsi256_pd(a), mask));
}

// Offers columns j ... j + 3, holding `quad`, to the pick (see consider_pair).
KELMORA_TARGET_AVX2 inline void consider_quad(Pick& pick, __m256d& threshold, __m256d quad, std::int64_t j) {
    if (_mm256_movemask_pd(_mm256_cmp_pd(quad, threshold, _CMP_LT_OQ)) == 0) return;
    alignas(32) double lanes[4];
    _mm256_store_pd(lanes, quad);
    for (std::int64_t k = 0; k < 4; ++k) consider(pick, lanes[k], j + k);
    threshold = _mm256_set1_pd(pick.value);
}
#endif

// Runs the variant of a scan for `lanes`. `Variants` supplies static members `scalar`, `sse2`
// and, on x86-64, `avx2`, of one signature; all three give the same bits.
template <typename Variants, typename... Args>
inline Pick run_scan(Lanes lanes, Args... args) {
#if defined(KELMORA_X86_KERNELS)
    if (lanes == Lanes::kFour) return Variants::avx2(args...);
#endif
    if (lanes == Lanes::kOne) return Variants::scalar(args...);
    return Variants::sse2(args...);
}

}  // namespace kelmora::detail
