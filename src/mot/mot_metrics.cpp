// HOTA, CLEAR, Identity and Count of one sequence: the overlaps collected once, then each metric.
#include "mot/mot_metrics.hpp"

#include <utility>

#include "mot/metric_units.hpp"

namespace kelmora::mot {

SequenceCounts evaluate_sequence(const BoxRows& gt, const BoxRows& tr, std::int64_t num_gt_ids,
                                 std::int64_t num_tracker_ids, const std::vector<double>& alphas, double threshold,
                                 const ProgressCallback& on_progress) {
    std::vector<TimeStep> steps = time_steps(gt, tr);
    // Three passes over the steps: the overlaps, HOTA's matching, CLEAR's.
    const std::size_t n_steps = steps.size(), total = 3 * n_steps;
    auto pass_check = [&](std::size_t pass) -> StepCheck {
        if (!on_progress) return {};
        return [&on_progress, pass, n_steps, total](std::size_t k) { on_progress(pass * n_steps + k, total); };
    };
    const SequenceOverlaps s = collect_overlaps(gt, tr, std::move(steps), num_gt_ids, num_tracker_ids, pass_check(0));
    SequenceCounts out;
    out.hota = evaluate_hota(s, alphas, pass_check(1));
    out.clear = evaluate_clear(s, gt, tr, threshold, pass_check(2));
    out.identity = evaluate_identity(s, gt, tr, threshold);
    out.count = evaluate_count(gt, tr, num_gt_ids, num_tracker_ids);
    if (on_progress) on_progress(total, total);
    return out;
}

}  // namespace kelmora::mot
