// HOTA, CLEAR and Identity counts of one sequence, computed as TrackEval computes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace kelmora::mot {

// Boxes of one side of a sequence (ground truth or tracker), sorted by frame.
struct BoxRows {
    std::size_t n = 0;
    const std::int64_t* frames = nullptr;  // any increasing numbering; equal frames are one time step
    const std::int64_t* ids = nullptr;     // 0 .. number of ids - 1, unique within a frame
    const double* xyxy = nullptr;          // n x 4 corner boxes
};

// What TrackEval's metric classes accumulate over the time steps of one sequence; the fields
// they derive from these (DetA, HOTA, MOTA, IDF1, ...) are left to the caller.
struct SequenceCounts {
    // HOTA, one entry per localisation threshold alpha.
    std::vector<double> hota_tp, hota_fn, hota_fp;
    std::vector<double> ass_a_sum, ass_re_sum, ass_pr_sum;  // sums of matches * their association score
    std::vector<double> loc_a_sum;                          // sums of matched similarities
    // CLEAR.
    std::int64_t clr_tp = 0, clr_fn = 0, clr_fp = 0, idsw = 0, mt = 0, pt = 0, ml = 0;
    double frag = 0.0;
    double motp_sum = 0.0;
    // Identity.
    std::int64_t idtp = 0, idfn = 0, idfp = 0;
};

// Evaluates one sequence whose ground truth and tracker both hold boxes. Similarities are
// TrackEval's box IoU; `alphas` are HOTA's thresholds; CLEAR and Identity match at `threshold`
// (0.5). Every similarity, sum and match is the one TrackEval's NumPy code produces, bit for
// bit: row and column sums follow NumPy's summation order, and each frame is matched by the
// same assignment solver as SciPy's.
// `on_progress(done, total)` is called every few hundred frames (two passes over the frames make
// `total`); it may throw to abandon the computation.
using ProgressCallback = std::function<void(std::size_t done, std::size_t total)>;
SequenceCounts evaluate_sequence(const BoxRows& gt, const BoxRows& tracker, std::int64_t num_gt_ids,
                                 std::int64_t num_tracker_ids, const std::vector<double>& alphas, double threshold,
                                 const ProgressCallback& on_progress);

}  // namespace kelmora::mot
