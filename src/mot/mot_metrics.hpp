// HOTA, CLEAR, Identity and Count of one sequence, computed as TrackEval computes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "mot/frame_matching.hpp"
#include "mot/metric_fields.hpp"

namespace kelmora::mot {

// What TrackEval's metric classes accumulate over the time steps of one sequence; the fields
// they derive from these (DetA, HOTA, MOTA, IDF1, ...) are left to the caller.
struct SequenceCounts {
    HotaCounts hota;
    ClearCounts clear;
    IdentityCounts identity;
    CountCounts count;
};

// The rows of one side that a metric scores: those kept, their ids relabelled 0 .. num_ids - 1 in
// the order of their values (as np.unique orders them), so that nothing sized by ids grows with the
// largest id.
struct ScoredRows {
    std::vector<std::int64_t> frames, ids;
    std::vector<double> xyxy;
    std::int64_t num_ids = 0;

    BoxRows view() const { return {frames.size(), frames.data(), ids.data(), xyxy.data()}; }
};

// The rows i of `rows` where keep[i] (all of them when keep is null), in their order, relabelled.
ScoredRows scored_rows(const BoxRows& rows, const char* keep);

// Evaluates one sequence whose ground truth and tracker both hold boxes. Similarities are
// TrackEval's box IoU; `alphas` are HOTA's thresholds; CLEAR and Identity match at `threshold`
// (0.5). Every similarity, sum and match is the one TrackEval's NumPy code produces, bit for
// bit: row and column sums follow NumPy's summation order, and each frame is matched by the
// same assignment solver as SciPy's.
// `on_progress(done, total)` is called every few dozen frames (three passes over the frames make
// `total`); it may throw to abandon the computation.
using ProgressCallback = std::function<void(std::size_t done, std::size_t total)>;
SequenceCounts evaluate_sequence(const BoxRows& gt, const BoxRows& tracker, std::int64_t num_gt_ids,
                                 std::int64_t num_tracker_ids, const std::vector<double>& alphas, double threshold,
                                 const ProgressCallback& on_progress);

}  // namespace kelmora::mot
