// HOTA, CLEAR, Identity and Count of one sequence: the overlaps collected once, then each metric.
#include "mot/mot_metrics.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "mot/metric_units.hpp"

namespace kelmora::mot {

ScoredRows scored_rows(const BoxRows& rows, const char* keep) {
    ScoredRows out;
    std::size_t n = 0;
    for (std::size_t i = 0; i < rows.n; ++i) n += keep == nullptr || keep[i];
    out.frames.reserve(n);
    out.ids.reserve(n);
    out.xyxy.reserve(4 * n);
    std::int64_t lo = INT64_MAX, hi = INT64_MIN;
    for (std::size_t i = 0; i < rows.n; ++i) {
        if (keep != nullptr && !keep[i]) continue;
        out.frames.push_back(rows.frames[i]);
        out.ids.push_back(rows.ids[i]);
        out.xyxy.insert(out.xyxy.end(), rows.xyxy + 4 * i, rows.xyxy + 4 * i + 4);
        lo = std::min(lo, rows.ids[i]);
        hi = std::max(hi, rows.ids[i]);
    }
    if (n == 0) return out;
    // Ids spread over few values (as trackers number them) are ranked through a table of the range;
    // others by sorting.
    const auto span = static_cast<std::uint64_t>(hi) - static_cast<std::uint64_t>(lo);
    if (span < 4 * static_cast<std::uint64_t>(n) + 1024) {
        std::vector<std::int64_t> rank(span + 1, -1);
        for (std::int64_t id : out.ids) rank[static_cast<std::uint64_t>(id) - static_cast<std::uint64_t>(lo)] = 0;
        for (std::int64_t& r : rank) {
            if (r == 0) r = out.num_ids++;
        }
        for (std::int64_t& id : out.ids) id = rank[static_cast<std::uint64_t>(id) - static_cast<std::uint64_t>(lo)];
        return out;
    }
    std::vector<std::int64_t> values(out.ids);
    std::sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());
    out.num_ids = static_cast<std::int64_t>(values.size());
    for (std::int64_t& id : out.ids) id = std::lower_bound(values.begin(), values.end(), id) - values.begin();
    return out;
}

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
