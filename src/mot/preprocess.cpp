// The benchmark preprocessing of TrackEval's MOTChallenge dataset: results matched to distractors.
#include "mot/preprocess.hpp"

#include <algorithm>
#include <cstdint>
#include <stdexcept>

namespace kelmora::mot {

namespace {

// Working memory of one frame's search.
struct FrameSearch {
    XOrder tr_order;
    std::vector<char> gt_seen, tr_seen;
    std::vector<std::size_t> queue;
    std::vector<Overlap> overlaps;
    std::vector<char> edge;
    std::vector<double> score;
    std::vector<std::size_t> matched;
    MatchScratch scratch;
    LsapWorkspace work;
};

// Whether a pair can be matched in the preprocessing: TrackEval zeroes similarities below 0.5 - eps.
bool can_match(double iou) { return !(iou < kMatchThreshold - kEps); }

// Whether boxes a and b overlap in x and in y, which a positive IoU needs (see frame_overlaps).
bool boxes_overlap(const double* a, const double* b) {
    return b[0] < a[2] && a[0] < b[2] && b[1] < a[3] && a[1] < b[3];
}

// The pairs that can be matched in the groups holding a distractor, in row-major order: a search
// from each distractor's box to the results it can match, from those to the ground truth they can
// match, and so on. Pairs of other groups are not looked at. Each box reached is held against
// every box of the other side: few are reached, fewer than sorting the frame would cost.
void distractor_groups(const double* g_boxes, std::size_t g, const char* distractor, const double* t_boxes,
                       std::size_t r, FrameSearch& w) {
    w.gt_seen.assign(g, 0);
    w.tr_seen.assign(r, 0);
    w.queue.clear();
    for (std::size_t i = 0; i < g; ++i) {
        if (distractor[i]) {
            w.gt_seen[i] = 1;
            w.queue.push_back(i);
        }
    }
    w.overlaps.clear();
    for (std::size_t k = 0; k < w.queue.size(); ++k) {
        const std::size_t i = w.queue[k];
        const double* a = g_boxes + 4 * i;
        for (std::size_t j = 0; j < r; ++j) {
            const double* b = t_boxes + 4 * j;
            if (!boxes_overlap(a, b)) continue;
            const double v = box_iou(a, b);
            if (!can_match(v)) continue;
            // Each pair is recorded from its ground-truth side, whose search runs once.
            w.overlaps.push_back({static_cast<std::uint32_t>(i * r + j), -1, v});
            if (w.tr_seen[j]) continue;
            w.tr_seen[j] = 1;
            for (std::size_t i2 = 0; i2 < g; ++i2) {
                const double* c = g_boxes + 4 * i2;
                if (w.gt_seen[i2] || !boxes_overlap(c, b)) continue;
                if (can_match(box_iou(c, b))) {
                    w.gt_seen[i2] = 1;
                    w.queue.push_back(i2);
                }
            }
        }
    }
    std::sort(w.overlaps.begin(), w.overlaps.end(), [](const Overlap& x, const Overlap& y) { return x.at < y.at; });
}

}  // namespace

std::vector<char> distractor_matches(const BoxRows& gt, const char* gt_distractor, const BoxRows& tr) {
    std::vector<char> removed(tr.n, 0);
    FrameSearch w;
    for (const TimeStep& step : time_steps(gt, tr)) {
        const std::size_t g = step.g1 - step.g0, r = step.t1 - step.t0;
        if (g == 0 || r == 0) continue;
        // Only a match with a distractor removes anything: frames without one keep every result.
        const char* distractor = gt_distractor + step.g0;
        if (std::none_of(distractor, distractor + g, [](char d) { return d != 0; })) continue;
        if (g * r > UINT32_MAX) throw std::length_error("distractor_matches: too many boxes in one frame");
        const double* g_boxes = gt.xyxy + 4 * step.g0;
        const double* t_boxes = tr.xyxy + 4 * step.t0;
        // The groups holding a distractor decide it alone when their matching is the only best one;
        // otherwise the whole frame is solved, as TrackEval solves it.
        distractor_groups(g_boxes, g, distractor, t_boxes, r, w);
        w.edge.assign(w.overlaps.size(), 1);
        w.score.resize(w.overlaps.size());
        for (std::size_t q = 0; q < w.overlaps.size(); ++q) w.score[q] = w.overlaps[q].sim;
        if (!match_groups(w.overlaps.data(), w.overlaps.size(), w.edge.data(), w.score.data(), g, r, w.scratch, w.work,
                          w.matched)) {
            w.overlaps.clear();
            frame_overlaps(g_boxes, g, t_boxes, r, w.tr_order, w.overlaps);
            const std::size_t n = w.overlaps.size();
            w.edge.assign(n, 0);
            w.score.assign(n, 0.0);
            for (std::size_t q = 0; q < n; ++q) {
                w.edge[q] = can_match(w.overlaps[q].sim);
                w.score[q] = w.edge[q] ? w.overlaps[q].sim : 0.0;
            }
            match_frame(w.overlaps.data(), n, w.edge.data(), w.score.data(), g, r, KeepPairs::kScoreAboveEps, w.scratch,
                        w.work, w.matched);
        }
        for (std::size_t q : w.matched) {
            const std::size_t i = w.overlaps[q].at / r, j = w.overlaps[q].at % r;
            if (distractor[i]) removed[step.t0 + j] = 1;
        }
    }
    return removed;
}

}  // namespace kelmora::mot
