// Column scans of the two solvers: one pass that lowers each column's tentative distance
// and picks the first column of smallest distance.
//
// A column that has left the search (joined the tree, or been scanned) holds NaN as its
// distance. Every comparison with a NaN operand is false, so such a column is neither
// lowered nor picked, exactly like a column skipped by a flag test; a column whose
// distance became NaN by overflow behaves the same way under the plain comparisons.
//
// The SSE2 paths process two adjacent columns per lane pair. Every column goes through
// the same operations in the same order as in the scalar loop; the pick is tracked per
// lane with the same strict comparison, and the lanes are merged by (distance, index),
// which is the first column of smallest distance, the one the sequential scan picks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Per-lane picks; lane 0 holds even columns, lane 1 odd ones.
struct LanePick {
    __m128d value = _mm_set1_pd(kInf);
    __m128i column = _mm_set1_epi64x(-1);

    void consider(__m128d candidate, __m128i columns) {
        const __m128d smaller = _mm_cmpgt_pd(value, candidate);
        value = lower_of(candidate, value);
        column = select_epi64(smaller, columns, column);
    }

    // The lane with the smaller distance, the lower column on equal distances. A lane
    // without a pick holds (+inf, -1) and never wins over a lane that has one.
    Pick merge() const {
        alignas(16) double values[2];
        alignas(16) std::int64_t columns[2];
        _mm_store_pd(values, value);
        _mm_store_si128(reinterpret_cast<__m128i*>(columns), column);
        Pick pick{values[0], columns[0]};
        if (values[1] < pick.value || (values[1] == pick.value && columns[1] < pick.column)) {
            pick = {values[1], columns[1]};
        }
        return pick;
    }
};
#endif

}  // namespace kelmora::detail
