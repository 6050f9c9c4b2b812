// Appearance (cosine) and uncertainty (scaled squared Mahalanobis) distances.
#include <cmath>
#include <vector>

#include "distances_internal.hpp"
#include "kelmora/cost.hpp"
#include "kelmora/interrupt.hpp"

namespace kelmora {
namespace detail {

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

}  // namespace detail

void appearance_distance(const double* track_features, std::size_t t, const double* det_features, std::size_t d,
                         std::size_t dim, double* out) {
    std::vector<double> a(t * dim);
    std::vector<double> b(d * dim);
    detail::normalise_rows(track_features, t, dim, a.data());
    detail::normalise_rows(det_features, d, dim, b.data());
    detail::InterruptBudget budget;
    for (std::size_t i = 0; i < t; ++i) {
        budget.spend(d * (dim + 1));
        const double* ai = a.data() + i * dim;
        for (std::size_t j = 0; j < d; ++j) out[i * d + j] = detail::cosine_distance(ai, b.data() + j * dim, dim);
    }
}

void uncertainty_distance(const double* gating_d2, std::size_t n, double gate_thresh, double* out) {
    const double den = detail::kDistanceFloor > gate_thresh ? detail::kDistanceFloor : gate_thresh;
    for (std::size_t k = 0; k < n; ++k) out[k] = detail::uncertainty_of(gating_d2[k], den);
}

}  // namespace kelmora
