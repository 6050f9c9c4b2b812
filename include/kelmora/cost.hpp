// The association cost: overlap, motion, class, gating, appearance and uncertainty
// evidence combined into one T x D matrix (rows tracks, columns detections) and its gate.
#pragma once

#include <cstddef>
#include <vector>

namespace kelmora {

struct CostWeights {
    double w_iou = 1.0;
    double w_app = 0.0;     // appearance term counts only when > 0
    double w_unc = 0.0;     // uncertainty term counts only when > 0
    double w_ocm = 0.0;     // carried, never read by the builder
    bool use_giou = false;  // carried; the caller passes `motion` when it wants 1 - GIoU
};

struct AssociationCost {
    std::vector<double> cost;  // T * D entries
    double max_cost;           // largest admissible cost; forbidden pairs hold max_cost + 1.0
};

// Writes the cost of T x D pairs into `cost` (T * D values) and returns max_cost. Every
// optional pointer may be null (input absent); given ones hold T * D values (class_mismatch
// one byte per pair, non-zero = set), gate_thresh points to one value.
double build_association_cost(const double* ious, std::size_t t, std::size_t d, const CostWeights& weights,
                              double iou_thresh, const double* motion, const unsigned char* class_mismatch,
                              const double* gating_d2, const double* gate_thresh, const double* appearance,
                              const double* uncertainty, double* cost);

// The same, returning the cost in a new vector.
AssociationCost build_association_cost(const double* ious, std::size_t t, std::size_t d, const CostWeights& weights,
                                       double iou_thresh, const double* motion, const unsigned char* class_mismatch,
                                       const double* gating_d2, const double* gate_thresh, const double* appearance,
                                       const double* uncertainty);

// Writes t x d cosine distances 1 - <a_i, b_j> between L2-normalised rows (norm floored
// at 1e-9) of track features (t x dim) and detection features (d x dim).
void appearance_distance(const double* track_features, std::size_t t, const double* det_features, std::size_t d,
                         std::size_t dim, double* out);

// Writes n values v / max(gate_thresh, 1e-9) clipped to [0, 1] (NaN stays NaN).
void uncertainty_distance(const double* gating_d2, std::size_t n, double gate_thresh, double* out);

}  // namespace kelmora
