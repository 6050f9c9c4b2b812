// Constant-velocity Kalman filter over boxes in (cx, cy, aspect, height) form, and
// Mahalanobis gating. States: mean 8 doubles, covariance 8x8 row-major doubles.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelmora {

// Standard deviations of the position and velocity noise per unit of box height.
constexpr double kDefaultStdWeightPosition = 0.05;
constexpr double kDefaultStdWeightVelocity = 0.00625;

// The 0.95 quantiles of the chi-square distribution for 1 to 9 degrees of freedom, as these
// decimal literals; entry dof - 1 gates dof measured quantities.
constexpr double kChi2Quantiles95[9] = {3.8415, 5.9915, 7.8147, 9.4877, 11.07, 12.592, 14.067, 15.507, 16.919};

// The gate of a four-quantity measurement (x, y, aspect ratio, height): 9.4877.
constexpr double kGate4Dof = kChi2Quantiles95[3];

class KalmanBoxTracker {
public:
    KalmanBoxTracker(double std_weight_position = kDefaultStdWeightPosition,
                     double std_weight_velocity = kDefaultStdWeightVelocity)
        : std_weight_position_(std_weight_position), std_weight_velocity_(std_weight_velocity) {}

    double std_weight_position() const { return std_weight_position_; }
    double std_weight_velocity() const { return std_weight_velocity_; }

    // Writes the state started from one measurement (4 values): mean 8, covariance 64.
    void initiate(const double* measurement, double* mean, double* covariance) const;
    // Advances n states (n x 8 means, n x 64 covariances) one frame, in place.
    void predict(double* means, double* covariances, std::size_t n) const;
    // Advances n states one frame, writing the results to separate buffers (which may also
    // be the inputs themselves): the same arithmetic as the in-place form in one pass.
    void predict(const double* means, const double* covariances, std::size_t n, double* new_means,
                 double* new_covariances) const;
    // Writes n projected means (n x 4) and innovation covariances (n x 16).
    void project(const double* means, const double* covariances, std::size_t n, double* projected_means,
                 double* projected_covariances) const;
    // Absorbs one measurement; the outputs must not overlap the inputs.
    void update(const double* mean, const double* covariance, const double* measurement, double* new_mean,
                double* new_covariance) const;
    // Writes the n x m squared Mahalanobis distances of m measurements (m x 4) from n states.
    // Throws: std::runtime_error when a state's innovation covariance is not positive definite.
    void gating_distance(const double* means, const double* covariances, std::size_t n, const double* measurements,
                         std::size_t m, double* out) const;

private:
    double std_weight_position_;
    double std_weight_velocity_;
};

// The 0.95 chi-square quantile for dof = 1..9.
// Throws: std::invalid_argument for any other dof.
double chi2_gating_threshold(std::int32_t dof);

}  // namespace kelmora
