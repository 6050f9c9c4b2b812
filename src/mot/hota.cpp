// HOTA of one sequence, as TrackEval's HOTA.eval_sequence computes it.
#include <algorithm>
#include <cstdint>
#include <numeric>

#include "mot/metric_units.hpp"

namespace kelmora::mot {

namespace {

// NumPy's sum of a contiguous array of n values that are zero but at `pos` (ascending), where they
// are `val`: np.sum of a dense matrix with few non-zero entries, summed over its non-zeros only.
// The pairwise order depends on where the values sit, so the recursion follows NumPy's blocks;
// a zero added to a partial sum leaves it unchanged.
double sparse_pairwise_sum(const std::int64_t* pos, const double* val, std::size_t k, std::int64_t lo, std::int64_t n) {
    // One or two values give the same sum in any order, the zeros adding nothing.
    if (k <= 2) return k == 0 ? 0.0 : k == 1 ? val[0] : val[0] + val[1];
    if (n < 8) {
        double res = 0.0;
        for (std::size_t i = 0; i < k; ++i) res += val[i];
        return res;
    }
    if (n <= 128) {
        double r[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
        const std::int64_t blocked = n - n % 8;
        std::size_t i = 0;
        for (; i < k && pos[i] - lo < blocked; ++i) r[(pos[i] - lo) % 8] += val[i];
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < k; ++i) res += val[i];
        return res;
    }
    std::int64_t n2 = n / 2;
    n2 -= n2 % 8;
    const auto split = static_cast<std::size_t>(std::lower_bound(pos, pos + k, lo + n2) - pos);
    return sparse_pairwise_sum(pos, val, split, lo, n2) +
           sparse_pairwise_sum(pos + split, val + split, k - split, lo + n2, n - n2);
}

// Working memory of the axis sums.
struct SumScratch {
    std::vector<double> row_sums, col_sums, val;
    std::vector<std::int64_t> pos;
};

// sum(axis=1) and sum(axis=0) of a frame's g x r IoU matrix, as NumPy computes them, from its
// positive entries (`list`, row-major). The reduction starts from 0.0 and adds the pairwise sum of
// the axis when the axis is the innermost loop. Along the rows it always is; along the columns
// only when r is 1, and otherwise the columns are accumulated row after row.
void numpy_axis_sums(const Overlap* list, std::size_t n, std::size_t g, std::size_t r, SumScratch& w) {
    w.row_sums.assign(g, 0.0);
    w.col_sums.assign(r, 0.0);
    for (std::size_t k = 0; k < n;) {
        const std::size_t i = list[k].at / r;
        w.pos.clear();
        w.val.clear();
        for (; k < n && list[k].at / r == i; ++k) {
            w.pos.push_back(list[k].at % r);
            w.val.push_back(list[k].sim);
        }
        w.row_sums[i] =
            0.0 + sparse_pairwise_sum(w.pos.data(), w.val.data(), w.pos.size(), 0, static_cast<std::int64_t>(r));
    }
    if (r == 1) {
        w.pos.clear();
        w.val.clear();
        for (std::size_t k = 0; k < n; ++k) {
            w.pos.push_back(list[k].at);
            w.val.push_back(list[k].sim);
        }
        w.col_sums[0] =
            0.0 + sparse_pairwise_sum(w.pos.data(), w.val.data(), w.pos.size(), 0, static_cast<std::int64_t>(g));
        return;
    }
    for (std::size_t k = 0; k < n; ++k) w.col_sums[list[k].at % r] += list[k].sim;
}

// The global alignment score of each pair of ids that ever overlapped (0 for every other pair):
// the pair's overlaps, each normalised by its row and column sums in its frame, over the boxes of
// both ids less that.
std::vector<double> alignment_scores(const SequenceOverlaps& s) {
    std::vector<double> potential(s.pairs.count, 0.0);  // TrackEval's potential_matches_count
    SumScratch sums;
    for (std::size_t k = 0; k < s.steps.size(); ++k) {
        const std::size_t b = s.first_overlap[k], e = s.first_overlap[k + 1];
        if (b == e) continue;
        const TimeStep& step = s.steps[k];
        const std::size_t g = step.g1 - step.g0, r = step.t1 - step.t0;
        numpy_axis_sums(s.overlaps.data() + b, e - b, g, r, sums);
        for (std::size_t q = b; q < e; ++q) {
            const std::size_t i = s.overlaps[q].at / r, j = s.overlaps[q].at % r;
            const double v = s.overlaps[q].sim;
            // (column sum + row sum) - similarity, as TrackEval broadcasts it.
            const double denom = sums.col_sums[j] + sums.row_sums[i] - v;
            if (denom > kEps) potential[static_cast<std::size_t>(s.overlaps[q].slot)] += v / denom;
        }
    }
    std::vector<double> alignment(s.pairs.count);
    for (std::size_t p = 0; p < s.pairs.count; ++p) {
        const double both = s.gt_count[static_cast<std::size_t>(s.pairs.gt_of[p])] +
                            s.tracker_count[static_cast<std::size_t>(s.pairs.tracker_of[p])];
        alignment[p] = potential[p] / (both - potential[p]);
    }
    return alignment;
}

// The association sums: np.sum over the (ground-truth id, tracker id) matrix of matches times
// their association score, at each alpha; only pairs that ever overlapped are non-zero.
void association_sums(const SequenceOverlaps& s, const std::vector<std::int32_t>& matches, std::size_t n_alpha,
                      HotaCounts& out) {
    const auto num_gt_ids = static_cast<std::int64_t>(s.gt_count.size());
    const auto num_tracker_ids = static_cast<std::int64_t>(s.tracker_count.size());
    out.ass_a_sum.assign(n_alpha, 0.0);
    out.ass_re_sum.assign(n_alpha, 0.0);
    out.ass_pr_sum.assign(n_alpha, 0.0);
    std::vector<std::size_t> by_position(s.pairs.count);
    std::iota(by_position.begin(), by_position.end(), std::size_t{0});
    auto position = [&s, num_tracker_ids](std::size_t p) {
        return std::int64_t{s.pairs.gt_of[p]} * num_tracker_ids + s.pairs.tracker_of[p];
    };
    std::sort(by_position.begin(), by_position.end(),
              [&position](std::size_t x, std::size_t y) { return position(x) < position(y); });
    std::vector<std::int64_t> pos;
    std::vector<double> terms_a, terms_re, terms_pr;
    for (std::size_t a = 0; a < n_alpha; ++a) {
        pos.clear();
        terms_a.clear();
        terms_re.clear();
        terms_pr.clear();
        for (std::size_t p : by_position) {
            const double mc = matches[p * n_alpha + a];
            if (mc == 0.0) continue;
            const double gc = s.gt_count[static_cast<std::size_t>(s.pairs.gt_of[p])];
            const double tc = s.tracker_count[static_cast<std::size_t>(s.pairs.tracker_of[p])];
            pos.push_back(position(p));
            // TrackEval's ass_a, ass_re and ass_pr of the pair, times its matches.
            terms_a.push_back(mc * (mc / std::max(1.0, gc + tc - mc)));
            terms_re.push_back(mc * (mc / std::max(1.0, gc)));
            terms_pr.push_back(mc * (mc / std::max(1.0, tc)));
        }
        const std::int64_t size = num_gt_ids * num_tracker_ids;
        out.ass_a_sum[a] = 0.0 + sparse_pairwise_sum(pos.data(), terms_a.data(), pos.size(), 0, size);
        out.ass_re_sum[a] = 0.0 + sparse_pairwise_sum(pos.data(), terms_re.data(), pos.size(), 0, size);
        out.ass_pr_sum[a] = 0.0 + sparse_pairwise_sum(pos.data(), terms_pr.data(), pos.size(), 0, size);
    }
}

}  // namespace

HotaCounts evaluate_hota(const SequenceOverlaps& s, const std::vector<double>& alphas, const StepCheck& check) {
    const std::size_t n_alpha = alphas.size();
    HotaCounts out;
    out.hota_tp.assign(n_alpha, 0.0);
    out.hota_fn.assign(n_alpha, 0.0);
    out.hota_fp.assign(n_alpha, 0.0);
    out.loc_a_sum.assign(n_alpha, 0.0);
    const std::vector<double> alignment = alignment_scores(s);

    // Each frame matched by alignment times similarity; pairs that do not overlap score 0.
    std::vector<std::int32_t> matches(s.pairs.count * n_alpha, 0);  // per pair slot and alpha
    std::vector<char> edge;
    std::vector<double> score;
    std::vector<std::size_t> matched, n_matched;
    std::vector<double> frame_sum, floors(n_alpha);
    for (std::size_t a = 0; a < n_alpha; ++a) floors[a] = alphas[a] - kEps;
    MatchScratch scratch;
    LsapWorkspace work;
    for (std::size_t k = 0; k < s.steps.size(); ++k) {
        if (check && k % kCheckEvery == 0) check(k);
        const TimeStep& step = s.steps[k];
        const std::size_t g = step.g1 - step.g0, r = step.t1 - step.t0;
        if (g == 0 || r == 0) {
            for (std::size_t a = 0; a < n_alpha; ++a) {
                out.hota_fp[a] += static_cast<double>(r);
                out.hota_fn[a] += static_cast<double>(g);
            }
            continue;
        }
        const std::size_t b = s.first_overlap[k], n = s.first_overlap[k + 1] - b;
        const Overlap* list = s.overlaps.data() + b;
        edge.assign(n, 0);
        score.assign(n, 0.0);
        for (std::size_t q = 0; q < n; ++q) {
            score[q] = alignment[static_cast<std::size_t>(list[q].slot)] * list[q].sim;
            edge[q] = score[q] > 0.0;
        }
        match_frame(list, n, edge.data(), score.data(), g, r, KeepPairs::kOverlapping, scratch, work, matched);
        // A match counts at the thresholds its similarity reaches, a first run of the ascending alphas.
        // Each threshold's sum of similarities is Python's sum(): from 0, in the solver's row order.
        n_matched.assign(n_alpha, 0);
        frame_sum.assign(n_alpha, 0.0);
        for (std::size_t q : matched) {
            const double sim = list[q].sim;
            std::int32_t* pair_matches = matches.data() + static_cast<std::size_t>(list[q].slot) * n_alpha;
            for (std::size_t a = 0; a < n_alpha && sim >= floors[a]; ++a) {
                ++n_matched[a];
                frame_sum[a] += sim;
                ++pair_matches[a];
            }
        }
        for (std::size_t a = 0; a < n_alpha; ++a) {
            out.hota_tp[a] += static_cast<double>(n_matched[a]);
            out.hota_fn[a] += static_cast<double>(g - n_matched[a]);
            out.hota_fp[a] += static_cast<double>(r - n_matched[a]);
            if (n_matched[a] > 0) out.loc_a_sum[a] += frame_sum[a];
        }
    }
    association_sums(s, matches, n_alpha, out);
    return out;
}

}  // namespace kelmora::mot
