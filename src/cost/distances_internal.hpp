// The pieces of the appearance distance, for callers that need it for some pairs only.
#pragma once

#include <cstddef>

namespace kelmora::detail {

// Norm floor of a feature vector and of the gate threshold.
constexpr double kDistanceFloor = 1e-9;

// Scales each of `rows` rows of `dim` values to unit length, from `in` into `out`; a row whose
// norm is below the floor is divided by the floor instead, so a zero row stays zero.
void normalise_rows(const double* in, std::size_t rows, std::size_t dim, double* out);

// 1 - <a, b> for two normalised rows, the products summed from 0.0 in index order.
inline double cosine_distance(const double* a, const double* b, std::size_t dim) {
    double dot = 0.0;
    for (std::size_t k = 0; k < dim; ++k) dot = dot + a[k] * b[k];
    // Not clamped: rounding may leave the value slightly outside [0, 2].
    return 1.0 - dot;
}

// The uncertainty of one squared distance: d2 / den clipped to [0, 1], NaN passed through;
// den is the gate threshold floored at kDistanceFloor.
inline double uncertainty_of(double d2, double den) {
    const double u = d2 / den;
    // Both comparisons are false for NaN, which passes through.
    return u < 0.0 ? 0.0 : (u > 1.0 ? 1.0 : u);
}

}  // namespace kelmora::detail
