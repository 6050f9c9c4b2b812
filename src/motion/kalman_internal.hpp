// Fixed-size matrix types and noise constants shared by the Kalman filter and its gating.
#pragma once

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
