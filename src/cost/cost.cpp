// The association cost builder: one T x D matrix from overlap, motion, appearance and
// uncertainty terms, with the gate max_cost and its forbidden value max_cost + 1.0.
#include "kelmora/cost.hpp"
#include "cost_internal.hpp"

namespace kelmora {

double build_association_cost(const double* ious, std::size_t t, std::size_t d, const CostWeights& weights,
                              double iou_thresh, const double* motion, const unsigned char* class_mismatch,
                              const double* gating_d2, const double* gate_thresh, const double* appearance,
                              const double* uncertainty, double* cost) {
    const std::size_t n = t * d;
    // A term counts only when its weight is greater than zero (NaN is not) and its matrix is
    // given; the gate grows with it, whatever the number of pairs.
    const bool appearance_on = weights.w_app > 0.0 && appearance != nullptr;
    const bool uncertainty_on = weights.w_unc > 0.0 && uncertainty != nullptr;
    const detail::CostGate gate = detail::cost_gate(weights, iou_thresh, appearance_on, uncertainty_on);
    if (motion != nullptr) {
        for (std::size_t k = 0; k < n; ++k) cost[k] = detail::motion_cost(motion[k], weights.w_iou);
    } else {
        for (std::size_t k = 0; k < n; ++k) cost[k] = detail::overlap_cost(ious[k], weights.w_iou);
    }
    if (appearance_on) {
        for (std::size_t k = 0; k < n; ++k) cost[k] = detail::add_term(cost[k], appearance[k], weights.w_app);
    }
    if (uncertainty_on) {
        for (std::size_t k = 0; k < n; ++k) cost[k] = detail::add_term(cost[k], uncertainty[k], weights.w_unc);
    }
    const bool distance_gate = gating_d2 != nullptr && gate_thresh != nullptr;
    const double d2_limit = distance_gate ? *gate_thresh : 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        // Strict comparisons: a value equal to its threshold is admissible, and NaN never trips them.
        const bool forbid = iou_thresh > ious[k] || (class_mismatch != nullptr && class_mismatch[k] != 0) ||
                            (distance_gate && gating_d2[k] > d2_limit);
        if (forbid) cost[k] = gate.forbidden;
    }
    return gate.max_cost;
}

AssociationCost build_association_cost(const double* ious, std::size_t t, std::size_t d, const CostWeights& weights,
                                       double iou_thresh, const double* motion, const unsigned char* class_mismatch,
                                       const double* gating_d2, const double* gate_thresh, const double* appearance,
                                       const double* uncertainty) {
    AssociationCost result{std::vector<double>(t * d), 0.0};
    result.max_cost = build_association_cost(ious, t, d, weights, iou_thresh, motion, class_mismatch, gating_d2,
                                             gate_thresh, appearance, uncertainty, result.cost.data());
    return result;
}

}  // namespace kelmora
