// Appearance (cosine) and uncertainty (scaled squared Mahalanobis) distances.
#include <cmath>
#include <vector>

#include "kelmora/cost.hpp"
#include "kelmora/interrupt.hpp"

namespace kelmora {
namespace {

// Norm floor of a feature vector and of the gate threshold.
constexpr double kDistanceFloor = 1e-9;

// Scales each row to unit length; a row whose norm is below the floor is divided by the
// floor instead, so a zero row stays zero.
void normalise_rows(const double* in, std::size_t rows, std::size_t dim, double* out) {
    for (std::size_t r = 0; r < rows; ++r, in += dim, out += dim) {
        double s = 0.0;
        for (std::size_t k = 0; k < dim; ++k) s = s + in[k] * in[k];
        const double norm = std::sqrt(s);
        // A NaN norm fails the test and stays NaN.
        const double den = kDistanceFloor > norm ? kDistanceFloor : norm;
        // A true division, not a product with 1 / den: the quotient rounds once.
        for (std::size_t k = 0; k < dim; ++k) out[k] = in[k] / den;
    }
}

}  // namespace

void appearance_distance(const double* track_features, std::size_t t, const double* det_features, std::size_t d,
                         std::size_t dim, double* out) {
    std::vector<double> a(t * dim);
    std::vector<double> b(d * dim);
    normalise_rows(track_features, t, dim, a.data());
    normalise_rows(det_features, d, dim, b.data());
    detail::InterruptBudget budget;
    for (std::size_t i = 0; i < t; ++i) {
        budget.spend(d * (dim + 1));
        const double* ai = a.data() + i * dim;
        for (std::size_t j = 0; j < d; ++j) {
            const double* bj = b.data() + j * dim;
            double dot = 0.0;
            for (std::size_t k = 0; k < dim; ++k) dot = dot + ai[k] * bj[k];
            // Not clamped: rounding may leave the value slightly outside [0, 2].
            out[i * d + j] = 1.0 - dot;
        }
    }
}

void uncertainty_distance(const double* gating_d2, std::size_t n, double gate_thresh, double* out) {
    const double den = kDistanceFloor > gate_thresh ? kDistanceFloor : gate_thresh;
    for (std::size_t k = 0; k < n; ++k) {
        const double u = gating_d2[k] / den;
        // Both comparisons are false for NaN, which passes through.
        out[k] = u < 0.0 ? 0.0 : (u > 1.0 ? 1.0 : u);
    }
}

}  // namespace kelmora
