// Links the motion core without Python: the gating substitution against Eigen's own
// PartialPivLU solve, bit for bit, over states that pivot and states that do not.
#include <Eigen/Core>
#include <Eigen/LU>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <limits>
#include <random>
#include <vector>

#include "kelmora/kalman.hpp"
#include "motion/gating_internal.hpp"

namespace {

using kelmora::detail::Mat4;
using kelmora::detail::Vec4;

int failures = 0;
long passes = 0;

bool same_bits(double a, double b) {
    if (std::isnan(a) && std::isnan(b)) return true;
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// The distance the way Eigen computes it: PartialPivLU<Mat4>::solve on a Vec4.
double eigen_distance(const double* mean, const double* covariance, double wp, const double* z) {
    double projected[4];
    double innovation[16];
    kelmora::detail::project_state(mean, covariance, wp, projected, innovation);
    Mat4 l;
    kelmora::detail::cholesky_lower(innovation, l);
    const Eigen::PartialPivLU<Mat4> lu(l);
    const Vec4 e(z[0] - projected[0], z[1] - projected[1], z[2] - projected[2], z[3] - projected[3]);
    const Vec4 x = lu.solve(e);
    return (x(0) * x(0) + x(2) * x(2)) + (x(1) * x(1) + x(3) * x(3));
}

// A state whose 4x4 block mixes scales, so that the LU of its Cholesky factor pivots often.
void random_state(std::mt19937_64& rng, double* mean, double* covariance) {
    std::normal_distribution<double> normal;
    std::uniform_real_distribution<double> scale(-3.0, 3.0);
    double root[64];
    for (int i = 0; i < 8; ++i) {
        const double row_scale = std::pow(10.0, scale(rng));
        for (int j = 0; j < 8; ++j) root[8 * i + j] = normal(rng) * row_scale;
    }
    for (int i = 0; i < 8; ++i) {
        for (int j = 0; j < 8; ++j) {
            double s = 0.0;
            for (int k = 0; k < 8; ++k) s += root[8 * i + k] * root[8 * j + k];
            covariance[8 * i + j] = s;
        }
    }
    for (int k = 0; k < 8; ++k) mean[k] = normal(rng) * 100.0;
    mean[3] = std::abs(mean[3]) + 1.0;
}

}  // namespace

int main() {
    std::mt19937_64 rng(20240607);
    std::normal_distribution<double> normal;
    const kelmora::KalmanBoxTracker kf;
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    long pivoting_states = 0;
    // Every kernel this processor runs, and the public entry (which picks the widest).
    struct Kernel {
        const char* name;
        kelmora::detail::GatingKernel kind;
        bool through_public_entry;
    };
    std::vector<Kernel> kernels = {{"public", kelmora::detail::fastest_gating_kernel(), true},
                                   {"scalar", kelmora::detail::GatingKernel::kScalar, false}};
#if defined(__x86_64__)
    kernels.push_back({"sse2", kelmora::detail::GatingKernel::kSse2, false});
#endif
    if (kelmora::detail::fastest_gating_kernel() == kelmora::detail::GatingKernel::kAvx)
        kernels.push_back({"avx", kelmora::detail::GatingKernel::kAvx, false});
    for (int trial = 0; trial < 20000; ++trial) {
        double mean[8];
        double covariance[64];
        random_state(rng, mean, covariance);
        const std::size_t m = 1 + static_cast<std::size_t>(trial % 40);  // whole blocks and remainders
        std::vector<double> z(4 * m);
        for (double& v : z) v = normal(rng) * std::pow(10.0, normal(rng));
        if (trial % 50 == 0) z[static_cast<std::size_t>(trial / 50) % z.size()] = trial % 100 == 0 ? nan : inf;
        kelmora::detail::GatingFactor factor;
        if (!kelmora::detail::factor_gating_state(mean, covariance, kf.std_weight_position(), factor)) {
            continue;  // not positive definite after rounding: nothing to compare
        }
        for (int i = 0; i < 4; ++i) {
            if (factor.row_of[i] != i) {
                ++pivoting_states;
                break;
            }
        }
        std::vector<double> want(m);
        for (std::size_t j = 0; j < m; ++j)
            want[j] = eigen_distance(mean, covariance, kf.std_weight_position(), z.data() + 4 * j);
        for (const Kernel& kernel : kernels) {
            std::vector<double> got(m);
            if (kernel.through_public_entry) {
                kf.gating_distance(mean, covariance, 1, z.data(), m, got.data());
            } else {
                kelmora::detail::gating_row(factor, z.data(), m, got.data(), kernel.kind);
            }
            for (std::size_t j = 0; j < m; ++j) {
                if (same_bits(got[j], want[j])) {
                    ++passes;
                } else if (++failures <= 10) {
                    std::printf("FAIL %s kernel, trial %d measurement %zu: got %a, Eigen %a\n", kernel.name, trial, j,
                                got[j], want[j]);
                }
            }
        }
    }
    if (pivoting_states < 1000) {
        ++failures;
        std::printf("FAIL only %ld pivoting states: the comparison does not cover row exchanges\n", pivoting_states);
    }
    std::printf("motion core: %ld passed, %d failed (%ld states pivoted, %zu kernels)\n", passes, failures,
                pivoting_states, kernels.size());
    return failures == 0 ? 0 : 1;
}
