// One association pass of the frame update: a list of tracks against a list of detections.
#pragma once

#include <cstddef>
#include <vector>

#include "frame_work.hpp"
#include "kelmora/assignment.hpp"
#include "kelmora/cost.hpp"
#include "kelmora/kalman.hpp"
#include "kelmora/tracker.hpp"

namespace kelmora::detail {

// What a pass reads of the tracker and of the frame.
struct PassContext {
    const TrackerConfig& config;
    const CostWeights& weights;
    const KalmanBoxTracker& kf;
    double gate_thresh;
    const std::vector<Track>& tracks;
    const double* predicted_means;        // 8 per track of the list, by list index
    const double* predicted_covariances;  // 64 per track of the list, by list index
    std::size_t feature_dim;              // of the frame; 0 without features
};

// Pairs `tracks` (indexes into the track list; rows) with `detections` (columns) under the
// overlap threshold `iou_thresh`, Mahalanobis-gated when `gated` and the configuration asks
// for it, and writes the kept pairs and the unmatched rows and columns into `result`.
//
// The cost of each pair is that of the association-cost builder over the overlap, GIoU,
// class, distance, appearance and uncertainty terms, computed in one pass over the pairs and
// written in the orientation the solver takes; distances and appearance are computed only
// for the pairs that overlap and class leave admissible, as every other pair is forbidden
// whatever they are. Evidence that is not a number cannot be judged: a pair whose overlap or
// motion term is NaN is forbidden, and a track whose innovation covariance is no longer
// positive definite, or a distance that is NaN, counts as infinitely far. A pass in which no
// pair is admissible skips the solver, whose pairs the gate would all drop.
// Throws: std::invalid_argument when a cost is not finite (the solvers' message);
// the solver's std::runtime_error; whatever the interrupt check throws.
void associate_pass(const PassContext& context, PassBuffers& buffers, const std::vector<std::size_t>& tracks,
                    const std::vector<const Detection*>& detections, double iou_thresh, bool gated,
                    AssociationResult& result);

}  // namespace kelmora::detail
