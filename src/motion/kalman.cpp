// Constant-velocity Kalman filter over (cx, cy, aspect, height) boxes: initiate, predict,
// project and update on caller-owned row-major buffers.
#include <Eigen/Core>
#include <Eigen/LU>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "kalman_internal.hpp"
#include "kelmora/kalman.hpp"

namespace kelmora {
namespace {

// The covariance step of predict on rows i (`top`) and i + 4 (`bottom`), i < 4:
//   row step     r = P[i] + P[i + 4]                      (row i + 4 unchanged)
//   column step  top[j] = r[j] + r[j + 4], bottom[j] = P[i + 4][j] + P[i + 4][j + 4], j < 4
// Both input rows are read whole before either output row is written, so the outputs may
// be the inputs. The vector form runs every element through the same two additions as the
// scalar one.
inline void advance_row_pair(const double* top, const double* bottom, double* top_out, double* bottom_out) {
#if defined(__SSE2__)
    const __m128d b01 = _mm_loadu_pd(bottom);
    const __m128d b23 = _mm_loadu_pd(bottom + 2);
    const __m128d b45 = _mm_loadu_pd(bottom + 4);
    const __m128d b67 = _mm_loadu_pd(bottom + 6);
    const __m128d r01 = _mm_add_pd(_mm_loadu_pd(top), b01);
    const __m128d r23 = _mm_add_pd(_mm_loadu_pd(top + 2), b23);
    const __m128d r45 = _mm_add_pd(_mm_loadu_pd(top + 4), b45);
    const __m128d r67 = _mm_add_pd(_mm_loadu_pd(top + 6), b67);
    _mm_storeu_pd(top_out, _mm_add_pd(r01, r45));
    _mm_storeu_pd(top_out + 2, _mm_add_pd(r23, r67));
    _mm_storeu_pd(top_out + 4, r45);
    _mm_storeu_pd(top_out + 6, r67);
    _mm_storeu_pd(bottom_out, _mm_add_pd(b01, b45));
    _mm_storeu_pd(bottom_out + 2, _mm_add_pd(b23, b67));
    _mm_storeu_pd(bottom_out + 4, b45);
    _mm_storeu_pd(bottom_out + 6, b67);
#else
    double r[8];
    double b[8];
    for (int j = 0; j < 8; ++j) {
        b[j] = bottom[j];
        r[j] = top[j] + b[j];
    }
    for (int j = 0; j < 4; ++j) {
        top_out[j] = r[j] + r[j + 4];
        top_out[j + 4] = r[j + 4];
        bottom_out[j] = b[j] + b[j + 4];
        bottom_out[j + 4] = b[j + 4];
    }
#endif
}

}  // namespace

using detail::kAspectMeasurementVariance;
using detail::kAspectVariance;
using detail::kAspectVelocityVariance;
using detail::Mat4;
using detail::Mat48;
using detail::Mat8;
using detail::Mat84;

void KalmanBoxTracker::initiate(const double* measurement, double* mean, double* covariance) const {
    for (int k = 0; k < 4; ++k) {
        mean[k] = measurement[k];
        mean[k + 4] = 0.0;
    }
    const double h = measurement[3];
    // wp + wp is 2 * wp exactly; the product with the height comes last.
    const double a = (std_weight_position_ + std_weight_position_) * h;
    const double b = (std_weight_velocity_ * 10.0) * h;
    const double diagonal[8] = {a * a, a * a, kAspectVariance, a * a, b * b, b * b, kAspectVelocityVariance, b * b};
    for (int k = 0; k < 64; ++k) covariance[k] = 0.0;
    for (int k = 0; k < 8; ++k) covariance[9 * k] = diagonal[k];
}

void KalmanBoxTracker::predict(double* means, double* covariances, std::size_t n) const {
    predict(means, covariances, n, means, covariances);
}

void KalmanBoxTracker::predict(const double* means, const double* covariances, std::size_t n, double* new_means,
                               double* new_covariances) const {
    for (std::size_t s = 0; s < n; ++s, means += 8, covariances += 64, new_means += 8, new_covariances += 64) {
        const double* x = means;
        const double* p = covariances;
        double* x_out = new_means;
        double* p_out = new_covariances;
        // The height before the step scales the process noise.
        const double h = x[3];
        const double c = h * std_weight_position_;
        const double d = h * std_weight_velocity_;
        for (int i = 0; i < 4; ++i) {
            const double moved = x[i] + x[i + 4];
            x_out[i + 4] = x[i + 4];
            x_out[i] = moved;
        }
        // F * P first (rows), then the result times F^T (columns): the other grouping,
        // F * (P * F^T), rounds differently. The steps run per pair of rows i, i + 4.
        for (int i = 0; i < 4; ++i) advance_row_pair(p + 8 * i, p + 8 * (i + 4), p_out + 8 * i, p_out + 8 * (i + 4));
        const double q[8] = {c * c, c * c, kAspectVariance, c * c, d * d, d * d, kAspectVelocityVariance, d * d};
        for (int k = 0; k < 8; ++k) p_out[9 * k] = p_out[9 * k] + q[k];
    }
}

void KalmanBoxTracker::project(const double* means, const double* covariances, std::size_t n,
                               double* projected_means, double* projected_covariances) const {
    for (std::size_t s = 0; s < n; ++s) {
        detail::project_state(means + 8 * s, covariances + 64 * s, std_weight_position_, projected_means + 4 * s,
                              projected_covariances + 16 * s);
    }
}

void KalmanBoxTracker::update(const double* mean, const double* covariance, const double* measurement,
                              double* new_mean, double* new_covariance) const {
    double projected[4];
    Mat4 s;
    detail::project_state(mean, covariance, std_weight_position_, projected, s.data());
    const Eigen::Map<const Mat8> p(covariance);

    // Gain: solve S * X = (P * H^T)^T with Eigen's partial-pivoting LU, then K = X^T.
    const Mat48 b = p.leftCols<4>().transpose();
    const Eigen::PartialPivLU<Mat4> lu(s);
    const Mat48 x = lu.solve(b);
    const Mat84 k = x.transpose();

    double y[4];
    for (int j = 0; j < 4; ++j) y[j] = measurement[j] - projected[j];
    for (int i = 0; i < 8; ++i) {
        // The weighted innovation is summed first, in index order, and added to the mean last.
        const double gain = ((k(i, 0) * y[0] + k(i, 1) * y[1]) + k(i, 2) * y[2]) + k(i, 3) * y[3];
        new_mean[i] = mean[i] + gain;
    }

    // A = I - K * H, formed entry by entry: delta_ij - K_ij keeps +0.0 where both are zero.
    Mat8 a;
    for (int i = 0; i < 8; ++i) {
        for (int j = 0; j < 8; ++j) {
            const double delta = i == j ? 1.0 : 0.0;
            a(i, j) = j < 4 ? delta - k(i, j) : delta;
        }
    }
    const double e = std_weight_position_ * mean[3];
    Mat4 r = Mat4::Zero();
    r(0, 0) = e * e;
    r(1, 1) = e * e;
    r(2, 2) = kAspectMeasurementVariance;
    r(3, 3) = e * e;

    // Joseph form with Eigen's dense products, grouped exactly so: the kernels' blocking
    // is part of the rounding.
    const Mat8 joseph = (a * p) * a.transpose() + (k * r) * k.transpose();
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j) new_covariance[8 * i + j] = 0.5 * (joseph(j, i) + joseph(i, j));
}

}  // namespace kelmora
