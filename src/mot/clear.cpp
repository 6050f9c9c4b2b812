// CLEAR of one sequence, as TrackEval's CLEAR.eval_sequence computes it.
#include <cstdint>

#include "mot/metric_units.hpp"

namespace kelmora::mot {

namespace {

// CLEAR's bonus for continuing the previous frame's match.
constexpr double kContinueBonus = 1000.0;

}  // namespace

ClearCounts evaluate_clear(const SequenceOverlaps& s, const BoxRows& gt, const BoxRows& tr, double threshold,
                           const StepCheck& check) {
    ClearCounts out;
    const std::size_t num_gt_ids = s.gt_count.size();
    std::vector<double> gt_matched(num_gt_ids, 0.0), gt_frag(num_gt_ids, 0.0);
    std::vector<std::int64_t> last_tracker(num_gt_ids, -1);  // in any earlier frame
    std::vector<std::int64_t> prev_step(num_gt_ids, -1);     // in the previous frame only
    std::vector<std::int64_t> prev_step_set;
    std::vector<char> edge;
    std::vector<double> score;
    std::vector<std::size_t> matched;
    MatchScratch scratch;
    LsapWorkspace work;
    double motp_sum = 0.0;
    for (std::size_t k = 0; k < s.steps.size(); ++k) {
        if (check && k % kCheckEvery == 0) check(k);
        const TimeStep& step = s.steps[k];
        const std::size_t g = step.g1 - step.g0, r = step.t1 - step.t0;
        if (g == 0 || r == 0) {
            out.clr_fp += static_cast<std::int64_t>(r);
            out.clr_fn += static_cast<std::int64_t>(g);
            continue;
        }
        const std::size_t b = s.first_overlap[k], n = s.first_overlap[k + 1] - b;
        const Overlap* list = s.overlaps.data() + b;
        const std::int64_t* gids = gt.ids + step.g0;
        const std::int64_t* tids = tr.ids + step.t0;
        // Pairs below the threshold score 0; the previous frame's match scores 1000 more.
        edge.assign(n, 0);
        score.assign(n, 0.0);
        for (std::size_t q = 0; q < n; ++q) {
            const std::size_t i = list[q].at / r, j = list[q].at % r;
            const bool continued = prev_step[static_cast<std::size_t>(gids[i])] == tids[j];
            edge[q] = list[q].sim >= threshold - kEps;
            score[q] = edge[q] ? (continued ? kContinueBonus : 0.0) + list[q].sim : 0.0;
        }
        match_frame(list, n, edge.data(), score.data(), g, r, KeepPairs::kScoreAboveEps, scratch, work, matched);
        double motp_frame = 0.0;
        for (std::size_t q : matched) {
            const std::size_t i = list[q].at / r, j = list[q].at % r;
            const auto gid = static_cast<std::size_t>(gids[i]);
            if (last_tracker[gid] != -1 && last_tracker[gid] != tids[j]) ++out.idsw;
            gt_matched[gid] += 1.0;
            // A fragment starts where the id was not matched in the previous frame.
            if (prev_step[gid] == -1) gt_frag[gid] += 1.0;
            motp_frame += list[q].sim;
        }
        for (std::int64_t gid : prev_step_set) prev_step[static_cast<std::size_t>(gid)] = -1;
        prev_step_set.clear();
        for (std::size_t q : matched) {
            const std::size_t i = list[q].at / r, j = list[q].at % r;
            last_tracker[static_cast<std::size_t>(gids[i])] = tids[j];
            prev_step[static_cast<std::size_t>(gids[i])] = tids[j];
            prev_step_set.push_back(gids[i]);
        }
        const auto n_matched = static_cast<std::int64_t>(matched.size());
        out.clr_tp += n_matched;
        out.clr_fn += static_cast<std::int64_t>(g) - n_matched;
        out.clr_fp += static_cast<std::int64_t>(r) - n_matched;
        // Python's sum() of the frame's matched similarities, added to the sequence's.
        if (n_matched > 0) motp_sum += motp_frame;
    }
    out.motp_sum = motp_sum;

    // Track-level counts: mostly tracked above 80 % of an id's frames, partly from 20 %.
    double frag = 0.0;
    for (std::size_t gid = 0; gid < num_gt_ids; ++gid) {
        if (s.gt_count[gid] > 0.0) {
            const double ratio = gt_matched[gid] / s.gt_count[gid];
            out.mt += ratio > 0.8;
            out.pt += ratio >= 0.2;
        }
        if (gt_frag[gid] > 0.0) frag += gt_frag[gid] - 1.0;
    }
    out.pt -= out.mt;
    out.ml = static_cast<std::int64_t>(num_gt_ids) - out.mt - out.pt;
    out.frag = static_cast<std::int64_t>(frag);
    return out;
}

}  // namespace kelmora::mot
