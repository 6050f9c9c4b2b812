// Fixed-size matrix types and noise constants shared by the Kalman filter and its gating.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <Eigen/Core>

namespace kelmora::detail {

// Row-major throughout, as the caller's buffers are laid out. The storage order is part of
// the rounding: Eigen's product and triangular-solve kernels accumulate differently for
// row- and column-major operands, and results are held to those of these types.
using Vec4 = Eigen::Matrix<double, 4, 1>;
using Mat4 = Eigen::Matrix<double, 4, 4, Eigen::RowMajor>;
using Mat48 = Eigen::Matrix<double, 4, 8, Eigen::RowMajor>;
using Mat84 = Eigen::Matrix<double, 8, 4, Eigen::RowMajor>;
using Mat8 = Eigen::Matrix<double, 8, 8, Eigen::RowMajor>;

// The fixed noise terms are squares computed in double precision, not the decimal squares:
// 1e-5 * 1e-5 is 1.0000000000000002e-10 and 0.1 * 0.1 is 0.010000000000000002.
constexpr double kAspectVariance = 1e-2 * 1e-2;
constexpr double kAspectVelocityVariance = 1e-5 * 1e-5;
constexpr double kAspectMeasurementVariance = 0.1 * 0.1;
static_assert(kAspectVariance == 0.0001, "aspect variance must be 1e-2 squared");
static_assert(kAspectVelocityVariance == 1.0000000000000002e-10, "aspect velocity variance must be 1e-5 squared");
static_assert(kAspectMeasurementVariance == 0.010000000000000002, "aspect measurement variance must be 0.1 squared");

// The partial-pivoting LU factorisation of a 4x4 row-major matrix, operation for operation as
// Eigen's PartialPivLU<Mat4> computes it (its unblocked kernel for fixed sizes), so that every
// solve that uses it gives Eigen's bits. For k = 0, 1, 2:
//  - the pivot is the first entry of largest magnitude in column k from row k down (a strict
//    `>` scan, so ties keep the upper row and NaN is never chosen over the first entry);
//  - unless that magnitude is exactly zero, rows k and pivot swap whole and the entries below
//    the diagonal are divided (not multiplied by a reciprocal) by the pivot;
//  - the lower-right block is updated entry by entry as a_ij - l_i * u_j.
// The last row takes part in no search. `swaps[k]` is the row swapped with row k.
struct Lu4 {
    double lu[16];  // unit lower factor below the diagonal, upper factor on and above it
    int swaps[3];
};

// Column k of the factorisation; a template so that every loop has constant bounds.
template <int k>
inline void lu4_step(double* m, int* swaps) {
    int pivot = k;
    double biggest = std::fabs(m[4 * k + k]);
    for (int i = k + 1; i < 4; ++i) {
        const double score = std::fabs(m[4 * i + k]);
        if (score > biggest) {
            biggest = score;
            pivot = i;
        }
    }
    swaps[k] = pivot;
    if (biggest != 0.0) {
        if (pivot != k) {
            for (int j = 0; j < 4; ++j) {
                const double t = m[4 * k + j];
                m[4 * k + j] = m[4 * pivot + j];
                m[4 * pivot + j] = t;
            }
        }
        const double d = m[4 * k + k];
        for (int i = k + 1; i < 4; ++i) m[4 * i + k] = m[4 * i + k] / d;
    }
    for (int i = k + 1; i < 4; ++i) {
        const double l = m[4 * i + k];
        for (int j = k + 1; j < 4; ++j) m[4 * i + j] = m[4 * i + j] - l * m[4 * k + j];
    }
}

inline void factor_lu4(const double* a, Lu4& f) {
    for (int k = 0; k < 16; ++k) f.lu[k] = a[k];
    lu4_step<0>(f.lu, f.swaps);
    lu4_step<1>(f.lu, f.swaps);
    lu4_step<2>(f.lu, f.swaps);
}

// Solves A X = B in place for a 4 x 8 row-major B (the Kalman gain's right-hand side) with the
// factorisation of A, as Eigen solves a matrix right-hand side: the row swaps in order, then
// forward substitution with the unit lower factor, each unknown reduced by one product at a
// time in increasing column order, then back substitution with the upper factor, again one
// product at a time in increasing column order and finally multiplied by the reciprocal of
// the diagonal entry (computed once per row). The eight columns are independent; the vector
// form runs each through the same operations.
inline void solve_lu4_8(const Lu4& f, double* b) {
    const double* m = f.lu;
    for (int k = 0; k < 3; ++k) {
        const int p = f.swaps[k];
        if (p == k) continue;
        for (int c = 0; c < 8; ++c) {
            const double t = b[8 * k + c];
            b[8 * k + c] = b[8 * p + c];
            b[8 * p + c] = t;
        }
    }
#if defined(__SSE2__)
    __m128d row[4][4];
    for (int j = 0; j < 4; ++j)
        for (int q = 0; q < 4; ++q) row[j][q] = _mm_loadu_pd(b + 8 * j + 2 * q);
    for (int j = 1; j < 4; ++j) {
        for (int k = 0; k < j; ++k) {
            const __m128d l = _mm_set1_pd(m[4 * j + k]);
            for (int q = 0; q < 4; ++q) row[j][q] = _mm_sub_pd(row[j][q], _mm_mul_pd(row[k][q], l));
        }
    }
    for (int j = 3; j >= 0; --j) {
        for (int k = j + 1; k < 4; ++k) {
            const __m128d u = _mm_set1_pd(m[4 * j + k]);
            for (int q = 0; q < 4; ++q) row[j][q] = _mm_sub_pd(row[j][q], _mm_mul_pd(row[k][q], u));
        }
        const __m128d inverse = _mm_set1_pd(1.0 / m[4 * j + j]);
        for (int q = 0; q < 4; ++q) row[j][q] = _mm_mul_pd(row[j][q], inverse);
    }
    for (int j = 0; j < 4; ++j)
        for (int q = 0; q < 4; ++q) _mm_storeu_pd(b + 8 * j + 2 * q, row[j][q]);
#else
    for (int j = 1; j < 4; ++j) {
        for (int k = 0; k < j; ++k) {
            const double l = m[4 * j + k];
            for (int c = 0; c < 8; ++c) b[8 * j + c] = b[8 * j + c] - b[8 * k + c] * l;
        }
    }
    for (int j = 3; j >= 0; --j) {
        for (int k = j + 1; k < 4; ++k) {
            const double u = m[4 * j + k];
            for (int c = 0; c < 8; ++c) b[8 * j + c] = b[8 * j + c] - b[8 * k + c] * u;
        }
        const double inverse = 1.0 / m[4 * j + j];
        for (int c = 0; c < 8; ++c) b[8 * j + c] = b[8 * j + c] * inverse;
    }
#endif
}

// True when none of the n values (n even) is infinite or NaN: (bits & exponent) + one reaches
// bit 63 only when all eleven exponent bits are set, and OR-ing these sums needs no branch.
inline bool all_finite(const double* values, int n) {
#if defined(__SSE2__)
    const __m128i exponent = _mm_set1_epi64x(0x7FF0000000000000);
    const __m128i one = _mm_set1_epi64x(0x0010000000000000);
    __m128i seen = _mm_setzero_si128();
    for (int k = 0; k < n; k += 2) {
        const __m128i bits = _mm_castpd_si128(_mm_loadu_pd(values + k));
        seen = _mm_or_si128(seen, _mm_add_epi64(_mm_and_si128(bits, exponent), one));
    }
    return _mm_movemask_pd(_mm_castsi128_pd(seen)) == 0;
#else
    std::uint64_t seen = 0;
    for (int k = 0; k < n; ++k) {
        std::uint64_t bits;
        std::memcpy(&bits, values + k, sizeof bits);
        seen |= (bits & 0x7FF0000000000000u) + 0x0010000000000000u;
    }
    return (seen >> 63) == 0;
#endif
}

// Writes the predicted measurement (4) and the innovation covariance S (4x4, measurement
// noise included) of one state.
inline void project_state(const double* mean, const double* covariance, double std_weight_position,
                          double* projected_mean, double* innovation) {
    for (int k = 0; k < 4; ++k) projected_mean[k] = mean[k];
    const double e = mean[3] * std_weight_position;
    const double r = e * e;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) innovation[4 * i + j] = covariance[8 * i + j];
    innovation[0] += r;
    innovation[5] += r;
    innovation[10] += kAspectMeasurementVariance;
    innovation[15] += r;
}

}  // namespace kelmora::detail
