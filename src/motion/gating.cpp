// Squared Mahalanobis distances of xyah measurements from Kalman states, and the
// chi-square gate table.
#include <cmath>
#include <cstdint>
#include <stdexcept>

#include <Eigen/Core>
#include <Eigen/LU>

#include "kalman_internal.hpp"
#include "kelmora/kalman.hpp"

namespace kelmora {

using detail::Mat4;
using detail::Vec4;

void KalmanBoxTracker::gating_distance(const double* means, const double* covariances, std::size_t n,
                                       const double* measurements, std::size_t m, double* out) const {
    for (std::size_t s = 0; s < n; ++s, out += m) {
        double projected[4];
        double innovation[16];
        detail::project_state(means + 8 * s, covariances + 64 * s, std_weight_position_, projected, innovation);

        // Cholesky factor, row by row from the lower triangle of S only; each sum starts at
        // 0.0 and runs in increasing k.
        Mat4 l = Mat4::Zero();
        for (int j = 0; j < 4; ++j) {
            for (int c = 0; c < j; ++c) {
                double sum = 0.0;
                for (int k = 0; k < c; ++k) sum += l(j, k) * l(c, k);
                l(j, c) = (innovation[4 * j + c] - sum) / l(c, c);
            }
            double sum = 0.0;
            for (int k = 0; k < j; ++k) sum += l(j, k) * l(j, k);
            const double d = innovation[5 * j] - sum;
            // Written so that a NaN pivot fails too.
            if (!(d > 0.0)) throw std::runtime_error("gating: innovation covariance is not positive definite");
            l(j, j) = std::sqrt(d);
        }

        // The distances are solved through an LU factorisation of L (not a plain forward
        // substitution): its substitution order fixes the rounding. Factored once per state.
        const Eigen::PartialPivLU<Mat4> lu(l);
        const double* z = measurements;
        for (std::size_t j = 0; j < m; ++j, z += 4) {
            const Vec4 e(z[0] - projected[0], z[1] - projected[1], z[2] - projected[2], z[3] - projected[3]);
            const Vec4 x = lu.solve(e);
            // Even squares and odd squares summed apart, then added: the pairing is part of the result.
            out[j] = (x(0) * x(0) + x(2) * x(2)) + (x(1) * x(1) + x(3) * x(3));
        }
    }
}

double chi2_gating_threshold(std::int32_t dof) {
    // 0.95 quantiles of the chi-square distribution for 1..9 degrees of freedom.
    static constexpr double kTable[9] = {3.8415, 5.9915, 7.8147, 9.4877, 11.07, 12.592, 14.067, 15.507, 16.919};
    const std::uint32_t index = static_cast<std::uint32_t>(dof) - 1u;
    if (index > 8u) throw std::invalid_argument("chi2_gating_threshold: dof out of range 1..9");
    return kTable[index];
}

}  // namespace kelmora
