// The association cost of one pair, term by term: shared by the cost builder, which forms
// each term over all pairs, and the tracker's association pass, which forms a pair's cost at
// once. Both therefore give the same bits.
#pragma once

#include "kelmora/cost.hpp"

namespace kelmora::detail {

// The gate and the cost of a forbidden pair for one set of terms. The base term's gate is
// (1 - iou_thresh) * w_iou whichever form the term takes; appearance distances reach 2, hence
// twice its weight; the forbidden cost is one above the gate, never infinite, so that the
// solvers see a finite matrix and the gate drops any forbidden pair they return.
struct CostGate {
    double max_cost;
    double forbidden;
};

inline CostGate cost_gate(const CostWeights& w, double iou_thresh, bool appearance_on, bool uncertainty_on) {
    double gate = (1.0 - iou_thresh) * w.w_iou;
    if (appearance_on) gate = (w.w_app + w.w_app) + gate;
    if (uncertainty_on) gate = gate + w.w_unc;
    return CostGate{gate, gate + 1.0};
}

// The base term: from the overlap, or from a motion term given instead.
inline double overlap_cost(double iou, double w_iou) { return (1.0 - iou) * w_iou; }
inline double motion_cost(double motion, double w_iou) { return w_iou * motion; }

// Each further term is added to the cost so far, its product formed first.
inline double add_term(double cost, double distance, double weight) { return cost + distance * weight; }

}  // namespace kelmora::detail
