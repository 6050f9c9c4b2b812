// Count of one sequence, as TrackEval's Count.eval_sequence reports it.
#include "mot/metric_units.hpp"

namespace kelmora::mot {

CountCounts evaluate_count(const BoxRows& gt, const BoxRows& tr, std::int64_t num_gt_ids,
                           std::int64_t num_tracker_ids) {
    CountCounts out;
    out.dets = static_cast<std::int64_t>(tr.n);
    out.gt_dets = static_cast<std::int64_t>(gt.n);
    out.ids = num_tracker_ids;
    out.gt_ids = num_gt_ids;
    return out;
}

}  // namespace kelmora::mot
