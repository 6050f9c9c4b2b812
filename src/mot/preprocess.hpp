// The benchmark preprocessing of TrackEval's MOTChallenge dataset (MOT16, MOT17, MOT20).
#pragma once

#include <vector>

#include "mot/frame_matching.hpp"

namespace kelmora::mot {

// The IoU from which a result can be matched to a ground-truth box in the preprocessing.
inline constexpr double kMatchThreshold = 0.5;

// Marks the tracker rows that TrackEval's preprocessing removes: in each frame, the whole g x r
// matrix of IoUs, zeroed below 0.5 - eps, is solved by SciPy's assignment solver, and a result
// matched (score above eps) to a ground-truth row of a distractor class goes. Every ground-truth
// row of the frame takes part, whatever its class or flag; `gt_distractor[i]` says whether row i is
// of a distractor class. Ids are not read. Returns one flag per tracker row.
// Throws: std::length_error when a frame has more than 2^32 pairs of boxes.
std::vector<char> distractor_matches(const BoxRows& gt, const char* gt_distractor, const BoxRows& tr);

}  // namespace kelmora::mot
