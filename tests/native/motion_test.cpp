// Links the motion core without Python: the Kalman update and the gating substitution against
// Eigen's own products and PartialPivLU solves, bit for bit, over states that pivot and states
// that do not, with signed zeros, subnormals, huge values, infinities and NaN.
#include <Eigen/Core>
#include <Eigen/LU>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "kelmora/kalman.hpp"
#include "motion/gating_internal.hpp"

namespace {

using kelmora::detail::Mat4;
using kelmora::detail::Mat48;
using kelmora::detail::Mat8;
using kelmora::detail::Mat84;
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

// The Kalman update as the Eigen expressions compute it: the reference of the hand-written one.
void eigen_update(double wp, const double* mean, const double* covariance, const double* measurement, double* new_mean,
                  double* new_covariance) {
    double projected[4];
    Mat4 s;
    kelmora::detail::project_state(mean, covariance, wp, projected, s.data());
    const Eigen::Map<const Mat8> p(covariance);
    const Mat48 b = p.leftCols<4>().transpose();
    const Eigen::PartialPivLU<Mat4> lu(s);
    const Mat48 x = lu.solve(b);
    const Mat84 k = x.transpose();
    double y[4];
    for (int j = 0; j < 4; ++j) y[j] = measurement[j] - projected[j];
    for (int i = 0; i < 8; ++i) {
        const double gain = ((k(i, 0) * y[0] + k(i, 1) * y[1]) + k(i, 2) * y[2]) + k(i, 3) * y[3];
        new_mean[i] = mean[i] + gain;
    }
    Mat8 a;
    for (int i = 0; i < 8; ++i) {
        for (int j = 0; j < 8; ++j) {
            const double delta = i == j ? 1.0 : 0.0;
            a(i, j) = j < 4 ? delta - k(i, j) : delta;
        }
    }
    const double e = wp * mean[3];
    Mat4 r = Mat4::Zero();
    r(0, 0) = e * e;
    r(1, 1) = e * e;
    r(2, 2) = kelmora::detail::kAspectMeasurementVariance;
    r(3, 3) = e * e;
    const Mat8 joseph = (a * p) * a.transpose() + (k * r) * k.transpose();
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j) new_covariance[8 * i + j] = 0.5 * (joseph(j, i) + joseph(i, j));
}

// A value of a random kind: ordinary, of any magnitude, a signed zero, subnormal, near the
// overflow threshold, infinite or NaN.
double special_value(std::mt19937_64& rng, double typical) {
    std::uniform_int_distribution<int> kind(0, 99);
    std::normal_distribution<double> normal;
    std::uniform_real_distribution<double> exponent(-310.0, 308.0);
    const int k = kind(rng);
    const double sign = normal(rng) < 0 ? -1.0 : 1.0;
    if (k < 70) return normal(rng) * typical;
    if (k < 78) return sign * std::pow(10.0, exponent(rng));
    if (k < 82) return sign * 0.0;
    if (k < 86) return sign * std::numeric_limits<double>::denorm_min() * static_cast<double>(1 + kind(rng));
    if (k < 92) return sign * std::pow(10.0, 300.0 + 8.25 * std::fabs(std::tanh(normal(rng))));
    if (k < 96) return sign * std::numeric_limits<double>::infinity();
    return std::numeric_limits<double>::quiet_NaN();
}

// The hand-written update gives Eigen's bits on states of every kind: tracker-like ones (diagonal
// blocks), dense random ones, and ones salted with special values. A NaN must meet a NaN; its sign
// and payload depend on which operand of an addition the compiler puts first, which neither
// side controls.
void check_update_against_eigen(std::mt19937_64& rng, int trials) {
    std::normal_distribution<double> normal;
    std::uniform_int_distribution<int> coin(0, 3);
    std::uniform_int_distribution<int> styles(0, 5);
    std::uniform_int_distribution<int> where(0, 63);
    long mismatched_states = 0;
    for (int trial = 0; trial < trials; ++trial) {
        double mean[8];
        double covariance[64];
        double measurement[4];
        // 0, 4, 5: a tracker's shape (each quantity coupled only to its own velocity), plain, or
        // salted with special values inside the blocks, or with signed zeros outside them;
        // 1: dense; 2, 3: dense and salted, 3 with special measurements too.
        const int style = styles(rng);
        random_state(rng, mean, covariance);
        const bool blocks = style == 0 || style >= 4;
        if (blocks) {
            for (int i = 0; i < 8; ++i)
                for (int j = 0; j < 8; ++j)
                    if (i % 4 != j % 4) covariance[8 * i + j] = style == 5 && coin(rng) == 0 ? -0.0 : 0.0;
        }
        const int salt = 1 + coin(rng) * 4;
        for (int q = 0; q < salt && style != 0 && style != 1; ++q) {
            const int at = where(rng);
            if (!blocks || (at / 8) % 4 == (at % 8) % 4) covariance[at] = special_value(rng, 1.0);
        }
        if (style >= 2) mean[where(rng) % 8] = special_value(rng, 100.0);
        for (int j = 0; j < 4; ++j)
            measurement[j] = style == 3 || style == 4 ? special_value(rng, 100.0) : mean[j] + normal(rng);
        const double weights[4] = {0.05, -0.3, 0.0, special_value(rng, 0.05)};
        const double wp = weights[coin(rng)];
        const kelmora::KalmanBoxTracker kf(wp, 0.00625);
        double got_mean[8], got_cov[64], want_mean[8], want_cov[64];
        kf.update(mean, covariance, measurement, got_mean, got_cov);
        eigen_update(wp, mean, covariance, measurement, want_mean, want_cov);
        bool same = true;
        for (int i = 0; i < 8; ++i) same = same && same_bits(got_mean[i], want_mean[i]);
        for (int i = 0; i < 64; ++i) same = same && same_bits(got_cov[i], want_cov[i]);
        if (same) {
            ++passes;
        } else if (++mismatched_states <= 5) {
            ++failures;
            for (int i = 0; i < 64; ++i) {
                if (!same_bits(got_cov[i], want_cov[i])) {
                    std::printf("FAIL update, trial %d (style %d): covariance %d got %a, Eigen %a\n", trial, style, i,
                                got_cov[i], want_cov[i]);
                    break;
                }
            }
            for (int i = 0; i < 8; ++i) {
                if (!same_bits(got_mean[i], want_mean[i])) {
                    std::printf("FAIL update, trial %d (style %d): mean %d got %a, Eigen %a\n", trial, style, i,
                                got_mean[i], want_mean[i]);
                    break;
                }
            }
        } else {
            ++failures;
        }
    }
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
    check_update_against_eigen(rng, 200000);
    if (pivoting_states < 1000) {
        ++failures;
        std::printf("FAIL only %ld pivoting states: the comparison does not cover row exchanges\n", pivoting_states);
    }
    std::printf("motion core: %ld passed, %d failed (%ld states pivoted, %zu kernels)\n", passes, failures,
                pivoting_states, kernels.size());
    return failures == 0 ? 0 : 1;
}
