// The metrics of one sequence, each computed as its TrackEval class computes it, from the
// overlaps that frame_matching collected. Each metric lives in a file of its own (hota.cpp,
// clear.cpp, identity.cpp, count.cpp) with its per-frame accumulation and its finishing sums;
// evaluate_sequence (mot_metrics.cpp) runs them in turn.
#pragma once

#include <cstdint>
#include <vector>

#include "mot/frame_matching.hpp"
#include "mot/metric_fields.hpp"

namespace kelmora::mot {

// HOTA at each localisation threshold of `alphas` (ascending): detection counts, the sums its AssA, AssRe,
// AssPr and LocA are derived from. `check` hears the frames done.
HotaCounts evaluate_hota(const SequenceOverlaps& s, const std::vector<double>& alphas, const StepCheck& check);

// CLEAR at the similarity `threshold`: matches, misses, false positives, switches, track coverage.
ClearCounts evaluate_clear(const SequenceOverlaps& s, const BoxRows& gt, const BoxRows& tr, double threshold,
                           const StepCheck& check);

// Identity at the similarity `threshold`: the true positives of the best one-to-one assignment of
// ground-truth ids to tracker ids over the whole sequence.
IdentityCounts evaluate_identity(const SequenceOverlaps& s, const BoxRows& gt, const BoxRows& tr, double threshold);

// Count: boxes and ids of each side.
CountCounts evaluate_count(const BoxRows& gt, const BoxRows& tr, std::int64_t num_gt_ids, std::int64_t num_tracker_ids);

}  // namespace kelmora::mot
