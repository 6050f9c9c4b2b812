// The per-state factorisation behind the gating distances and the substitution that
// uses it; shared with the native test, which checks it against Eigen's own solve.
#pragma once

#include <cstddef>

#include "kalman_internal.hpp"

namespace kelmora::detail {

// Writes the lower Cholesky factor of the innovation covariance S (4x4 row-major), read
// row by row from the lower triangle only; the upper triangle of `l` is zero.
// Returns false, with `l` partly written, when a pivot is not greater than zero (NaN included):
// S is not positive definite.
bool cholesky_lower(const double* innovation, Mat4& l);

// What one state contributes to all of its distances.
struct GatingFactor {
    double projected[4];  // predicted measurement
    double lu[16];        // Eigen's PartialPivLU of the Cholesky factor, packed row-major
    int row_of[4];        // the permutation: innovation entry i goes to row row_of[i]
};

// Projects one state and factors its innovation covariance.
// Returns false when that covariance is not positive definite (see cholesky_lower).
bool factor_gating_state(const double* mean, const double* covariance, double std_weight_position,
                         GatingFactor& factor);

// The squared distance of one measurement (4 values). The substitution repeats, operation
// for operation, Eigen's PartialPivLU<Mat4>::solve of one 4-vector on SSE2: a row segment of
// two or three products is summed as (p0 + p1) [+ p2], and each unknown is divided by its
// pivot. The distance pairs the squares as (x0^2 + x2^2) + (x1^2 + x3^2).
inline double gating_distance_one(const GatingFactor& f, const double* z) {
    double d[4];
    for (int i = 0; i < 4; ++i) d[f.row_of[i]] = z[i] - f.projected[i];
    const double* m = f.lu;
    const double y0 = d[0];
    const double y1 = d[1] - m[4] * y0;
    const double y2 = d[2] - (m[8] * y0 + m[9] * y1);
    const double y3 = d[3] - ((m[12] * y0 + m[13] * y1) + m[14] * y2);
    const double x3 = y3 / m[15];
    const double x2 = (y2 - m[11] * x3) / m[10];
    const double x1 = (y1 - (m[6] * x2 + m[7] * x3)) / m[5];
    const double x0 = (y0 - ((m[1] * x1 + m[2] * x2) + m[3] * x3)) / m[0];
    return (x0 * x0 + x2 * x2) + (x1 * x1 + x3 * x3);
}

// The row kernels: scalar, SSE2 (two lanes) and AVX (four lanes). All give the same bits.
enum class GatingKernel { kScalar, kSse2, kAvx };

// The widest kernel this processor runs.
GatingKernel fastest_gating_kernel();

// Writes the distances of m measurements (m x 4) from one factored state with `kernel`,
// which the processor must support.
void gating_row(const GatingFactor& factor, const double* measurements, std::size_t m, double* out,
                GatingKernel kernel);

}  // namespace kelmora::detail
