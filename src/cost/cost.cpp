// The association cost builder: one T x D matrix from overlap, motion, appearance and
// uncertainty terms, with the gate max_cost and its forbidden value max_cost + 1.0.
#include "kelmora/cost.hpp"

namespace kelmora {

AssociationCost build_association_cost(const double* ious, std::size_t t, std::size_t d, const CostWeights& weights,
                                       double iou_thresh, const double* motion, const unsigned char* class_mismatch,
                                       const double* gating_d2, const double* gate_thresh, const double* appearance,
                                       const double* uncertainty) {
    const std::size_t n = t * d;
    AssociationCost result{{}, 0.0};
    // Filled by the base term directly rather than zeroed first: large matrices are
    // bound by memory traffic.
    result.cost.reserve(n);
    if (motion != nullptr) {
        for (std::size_t k = 0; k < n; ++k) result.cost.push_back(weights.w_iou * motion[k]);
    } else {
        for (std::size_t k = 0; k < n; ++k) result.cost.push_back((1.0 - ious[k]) * weights.w_iou);
    }
    double* cost = result.cost.data();
    // The gate of the base term, whichever form it took.
    double gate = (1.0 - iou_thresh) * weights.w_iou;

    // A term counts only when its weight is greater than zero (NaN is not) and its matrix
    // is given; the gate grows with it, whatever the number of pairs.
    if (weights.w_app > 0.0 && appearance != nullptr) {
        for (std::size_t k = 0; k < n; ++k) cost[k] = cost[k] + appearance[k] * weights.w_app;
        // Appearance distances reach 2, hence twice the weight.
        gate = (weights.w_app + weights.w_app) + gate;
    }
    if (weights.w_unc > 0.0 && uncertainty != nullptr) {
        for (std::size_t k = 0; k < n; ++k) cost[k] = cost[k] + uncertainty[k] * weights.w_unc;
        gate = gate + weights.w_unc;
    }
    result.max_cost = gate;

    // Forbidden pairs get a finite cost one above the gate, never infinity: the solvers
    // refuse non-finite matrices, and associate drops any such pair it is handed.
    const double forbidden = gate + 1.0;
    const bool distance_gate = gating_d2 != nullptr && gate_thresh != nullptr;
    const double d2_limit = distance_gate ? *gate_thresh : 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        // Strict comparisons: a value equal to its threshold is admissible, and NaN never trips them.
        const bool forbid = iou_thresh > ious[k] || (class_mismatch != nullptr && class_mismatch[k] != 0) ||
                            (distance_gate && gating_d2[k] > d2_limit);
        if (forbid) cost[k] = forbidden;
    }
    return result;
}

}  // namespace kelmora
