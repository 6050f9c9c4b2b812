// Squared Mahalanobis distances of xyah measurements from Kalman states, and the
// chi-square gate table.
#include <cmath>
#include <cstdint>
#include <stdexcept>

#include "gating_internal.hpp"
#include "kalman_internal.hpp"
#include "kelmora/interrupt.hpp"
#include "kelmora/kalman.hpp"

namespace kelmora {
namespace detail {

bool cholesky_lower(const double* innovation, Mat4& l) {
    l.setZero();
    for (int j = 0; j < 4; ++j) {
        for (int c = 0; c < j; ++c) {
            // Each sum starts at 0.0 and runs in increasing k.
            double sum = 0.0;
            for (int k = 0; k < c; ++k) sum += l(j, k) * l(c, k);
            l(j, c) = (innovation[4 * j + c] - sum) / l(c, c);
        }
        double sum = 0.0;
        for (int k = 0; k < j; ++k) sum += l(j, k) * l(j, k);
        const double d = innovation[5 * j] - sum;
        // Written so that a NaN pivot fails too.
        if (!(d > 0.0)) return false;
        l(j, j) = std::sqrt(d);
    }
    return true;
}

bool factor_gating_state(const double* mean, const double* covariance, double std_weight_position,
                         GatingFactor& factor) {
    double innovation[16];
    project_state(mean, covariance, std_weight_position, factor.projected, innovation);
    Mat4 l;
    if (!cholesky_lower(innovation, l)) return false;
    // The partial-pivoting LU of L itself (not a plain forward substitution), as Eigen's
    // PartialPivLU computes it: its pivots and factors fix the rounding of every distance of
    // this state.
    Lu4 lu;
    factor_lu4(l.data(), lu);
    for (int k = 0; k < 16; ++k) factor.lu[k] = lu.lu[k];
    // The permutation as Eigen builds it from the row swaps: from the identity, the swaps
    // applied from the last to the first.
    int rows[4] = {0, 1, 2, 3};
    for (int k = 2; k >= 0; --k) {
        const int t = rows[k];
        rows[k] = rows[lu.swaps[k]];
        rows[lu.swaps[k]] = t;
    }
    for (int i = 0; i < 4; ++i) factor.row_of[i] = rows[i];
    return true;
}

}  // namespace detail

void KalmanBoxTracker::gating_distance(const double* means, const double* covariances, std::size_t n,
                                       const double* measurements, std::size_t m, double* out) const {
    const detail::GatingKernel kernel = detail::fastest_gating_kernel();
    detail::InterruptBudget budget;
    for (std::size_t s = 0; s < n; ++s, out += m) {
        budget.spend(m + 64);
        detail::GatingFactor factor;
        if (!detail::factor_gating_state(means + 8 * s, covariances + 64 * s, std_weight_position_, factor)) {
            throw std::runtime_error("gating: innovation covariance is not positive definite");
        }
        detail::gating_row(factor, measurements, m, out, kernel);
    }
}

double chi2_gating_threshold(std::int32_t dof) {
    const std::uint32_t index = static_cast<std::uint32_t>(dof) - 1u;
    if (index > 8u) throw std::invalid_argument("chi2_gating_threshold: dof out of range 1..9");
    return kChi2Quantiles95[index];
}

}  // namespace kelmora
