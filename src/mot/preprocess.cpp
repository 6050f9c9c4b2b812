// The benchmark preprocessing of TrackEval's MOTChallenge dataset: results matched to distractors.
#include "mot/preprocess.hpp"

#include <cstdint>
#include <stdexcept>

namespace kelmora::mot {

std::vector<char> distractor_matches(const BoxRows& gt, const char* gt_distractor, const BoxRows& tr) {
    std::vector<char> removed(tr.n, 0);
    std::vector<std::uint32_t> by_x1;
    std::vector<Overlap> overlaps;
    std::vector<char> edge;
    std::vector<double> score;
    std::vector<std::size_t> matched;
    MatchScratch scratch;
    LsapWorkspace work;
    for (const TimeStep& step : time_steps(gt, tr)) {
        const std::size_t g = step.g1 - step.g0, r = step.t1 - step.t0;
        if (g == 0 || r == 0) continue;
        // Only a match with a distractor removes anything: frames without one keep every result.
        bool any = false;
        for (std::size_t i = step.g0; i < step.g1 && !any; ++i) any = gt_distractor[i] != 0;
        if (!any) continue;
        if (g * r > UINT32_MAX) throw std::length_error("distractor_matches: too many boxes in one frame");
        overlaps.clear();
        frame_overlaps(gt.xyxy + 4 * step.g0, g, tr.xyxy + 4 * step.t0, r, by_x1, overlaps);
        // TrackEval zeroes similarities below 0.5 - eps and keeps the solver's pairs above eps.
        const std::size_t n = overlaps.size();
        edge.assign(n, 0);
        score.assign(n, 0.0);
        for (std::size_t q = 0; q < n; ++q) {
            edge[q] = !(overlaps[q].sim < kMatchThreshold - kEps);
            score[q] = edge[q] ? overlaps[q].sim : 0.0;
        }
        match_frame(overlaps.data(), n, edge.data(), score.data(), g, r, KeepPairs::kScoreAboveEps, scratch, work,
                    matched);
        for (std::size_t q : matched) {
            const std::size_t i = overlaps[q].at / r, j = overlaps[q].at % r;
            if (gt_distractor[step.g0 + i]) removed[step.t0 + j] = 1;
        }
    }
    return removed;
}

}  // namespace kelmora::mot
