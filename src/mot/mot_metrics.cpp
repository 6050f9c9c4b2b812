// HOTA, CLEAR and Identity counts of one sequence, as TrackEval's metric classes compute them.
#include "mot/mot_metrics.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <stdexcept>

#include "mot/lsap.hpp"

namespace kelmora::mot {

namespace {

// np.finfo(float).eps, TrackEval's margin in every threshold test.
constexpr double kEps = 2.220446049250313e-16;
// CLEAR's bonus for continuing the previous frame's match.
constexpr double kContinueBonus = 1000.0;
// Progress reports (and interrupt checks), every this many frames.
constexpr std::size_t kCheckEvery = 64;

// NumPy's sum of a contiguous array of n values that are zero but at `pos` (ascending), where they
// are `val`: np.sum of a dense matrix with few non-zero entries, summed over its non-zeros only.
// The pairwise order depends on where the values sit, so the recursion follows NumPy's blocks;
// a zero added to a partial sum leaves it unchanged.
double sparse_pairwise_sum(const std::int64_t* pos, const double* val, std::size_t k, std::int64_t lo, std::int64_t n) {
    if (k == 0) return 0.0;
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

// A pair of boxes of one frame that overlap: its place in the frame's g x r matrix (row-major),
// its pair of ids, once known, and its similarity.
struct Overlap {
    std::uint32_t at;
    std::int32_t slot;
    double sim;
};

// TrackEval's box IoU of corner boxes a and b: the intersection is zeroed where either area or
// the union is at most eps, and such a union becomes 1.
double box_iou(const double* a, const double* b) {
    const double area1 = (a[2] - a[0]) * (a[3] - a[1]);
    const double area2 = (b[2] - b[0]) * (b[3] - b[1]);
    const double w = std::max(std::min(a[2], b[2]) - std::max(a[0], b[0]), 0.0);
    const double h = std::max(std::min(a[3], b[3]) - std::max(a[1], b[1]), 0.0);
    double intersection = w * h;
    double union_ = area1 + area2 - intersection;
    if (area1 <= kEps || area2 <= kEps || union_ <= kEps) intersection = 0.0;
    if (union_ <= kEps) union_ = 1.0;
    return intersection / union_;
}

// The pairs of a frame whose IoU is positive, in row-major order; every other pair's IoU is +0.0.
// A positive IoU needs overlapping x ranges, min(x2) - max(x1) > 0, that is b.x1 < a.x2 and
// a.x1 < b.x2 (a difference of finite doubles is positive exactly when the first is larger):
// the tracker boxes are taken in order of x1 up to a.x2.
void frame_overlaps(const double* g_boxes, std::size_t g, const double* t_boxes, std::size_t r,
                    std::vector<std::uint32_t>& by_x1, std::vector<Overlap>& out, std::size_t& first_of_frame) {
    by_x1.resize(r);
    std::iota(by_x1.begin(), by_x1.end(), 0u);
    std::sort(by_x1.begin(), by_x1.end(),
              [t_boxes](std::uint32_t x, std::uint32_t y) { return t_boxes[4 * x] < t_boxes[4 * y]; });
    first_of_frame = out.size();
    for (std::size_t i = 0; i < g; ++i) {
        const double* a = g_boxes + 4 * i;
        const std::size_t row_start = out.size();
        for (std::uint32_t j : by_x1) {
            const double* b = t_boxes + 4 * j;
            if (!(b[0] < a[2])) break;
            if (!(a[0] < b[2])) continue;
            const double v = box_iou(a, b);
            if (v > 0.0) out.push_back({static_cast<std::uint32_t>(i * r + j), -1, v});
        }
        std::sort(out.begin() + static_cast<std::ptrdiff_t>(row_start), out.end(),
                  [](const Overlap& x, const Overlap& y) { return x.at < y.at; });
    }
}

// sum(axis=1) and sum(axis=0) of a frame's g x r IoU matrix, as NumPy computes them, from its
// positive entries (`list`, row-major). The reduction starts from 0.0 and adds the pairwise sum of
// the axis when the axis is the innermost loop. Along the rows it always is; along the columns
// only when r is 1, and otherwise the columns are accumulated row after row.
void numpy_axis_sums(const Overlap* list, std::size_t n, std::size_t g, std::size_t r, std::vector<double>& row_sums,
                     std::vector<double>& col_sums, std::vector<std::int64_t>& pos, std::vector<double>& val) {
    row_sums.assign(g, 0.0);
    col_sums.assign(r, 0.0);
    for (std::size_t k = 0; k < n;) {
        const std::size_t i = list[k].at / r;
        pos.clear();
        val.clear();
        for (; k < n && list[k].at / r == i; ++k) {
            pos.push_back(list[k].at % r);
            val.push_back(list[k].sim);
        }
        row_sums[i] = 0.0 + sparse_pairwise_sum(pos.data(), val.data(), pos.size(), 0, static_cast<std::int64_t>(r));
    }
    if (r == 1) {
        pos.clear();
        val.clear();
        for (std::size_t k = 0; k < n; ++k) {
            pos.push_back(list[k].at);
            val.push_back(list[k].sim);
        }
        col_sums[0] = 0.0 + sparse_pairwise_sum(pos.data(), val.data(), pos.size(), 0, static_cast<std::int64_t>(g));
        return;
    }
    for (std::size_t k = 0; k < n; ++k) col_sums[list[k].at % r] += list[k].sim;
}

// The (ground-truth id, tracker id) pairs that ever overlap, each with a slot: an open
// addressing table from the pair's key to its slot number.
struct PairSlots {
    std::vector<std::uint64_t> keys;  // kEmpty where free
    std::vector<std::int32_t> slots;
    std::size_t count = 0;
    std::vector<std::int32_t> gt_of, tracker_of;  // per slot
};

constexpr std::uint64_t kEmpty = ~std::uint64_t{0};

std::size_t probe_start(std::uint64_t key, std::size_t mask) {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ULL) >> 17) & mask;
}

void grow(PairSlots& t) {
    std::vector<std::uint64_t> keys(t.keys.empty() ? 1024 : 2 * t.keys.size(), kEmpty);
    std::vector<std::int32_t> slots(keys.size(), -1);
    const std::size_t mask = keys.size() - 1;
    for (std::size_t k = 0; k < t.keys.size(); ++k) {
        if (t.keys[k] == kEmpty) continue;
        std::size_t p = probe_start(t.keys[k], mask);
        while (keys[p] != kEmpty) p = (p + 1) & mask;
        keys[p] = t.keys[k];
        slots[p] = t.slots[k];
    }
    t.keys.swap(keys);
    t.slots.swap(slots);
}

// The slot of (g, t), created when new.
std::int32_t slot_of(PairSlots& table, std::int64_t g, std::int64_t t, std::int64_t num_tracker_ids) {
    if (2 * (table.count + 1) > table.keys.size()) grow(table);
    const auto key = static_cast<std::uint64_t>(g * num_tracker_ids + t);
    const std::size_t mask = table.keys.size() - 1;
    std::size_t p = probe_start(key, mask);
    while (table.keys[p] != kEmpty) {
        if (table.keys[p] == key) return table.slots[p];
        p = (p + 1) & mask;
    }
    if (table.count >= static_cast<std::size_t>(INT32_MAX)) throw std::length_error("too many overlapping id pairs");
    table.keys[p] = key;
    table.slots[p] = static_cast<std::int32_t>(table.count++);
    table.gt_of.push_back(static_cast<std::int32_t>(g));
    table.tracker_of.push_back(static_cast<std::int32_t>(t));
    return table.slots[p];
}

// One time step: the rows of each side in it.
struct Step {
    std::size_t g0, g1, t0, t1;
};

std::vector<Step> time_steps(const BoxRows& gt, const BoxRows& tr) {
    std::vector<Step> steps;
    std::size_t i = 0, j = 0;
    while (i < gt.n || j < tr.n) {
        std::int64_t f;
        if (j == tr.n || (i < gt.n && gt.frames[i] <= tr.frames[j]))
            f = gt.frames[i];
        else
            f = tr.frames[j];
        Step s{i, i, j, j};
        while (s.g1 < gt.n && gt.frames[s.g1] == f) ++s.g1;
        while (s.t1 < tr.n && tr.frames[s.t1] == f) ++s.t1;
        steps.push_back(s);
        i = s.g1;
        j = s.t1;
    }
    return steps;
}

// The most matches that an assignment of ground-truth ids to tracker ids can collect, given how
// often each pair matched: the Identity metric's IDTP, which TrackEval finds with one large
// assignment. Solved per connected group of pairs, which gives the same optimum.
std::int64_t identity_true_positives(const PairSlots& pairs, const std::vector<double>& id_matches,
                                     std::int64_t num_gt_ids, std::int64_t num_tracker_ids, LsapWorkspace& work) {
    const auto nodes = static_cast<std::size_t>(num_gt_ids + num_tracker_ids);
    std::vector<std::size_t> parent(nodes);
    std::iota(parent.begin(), parent.end(), std::size_t{0});
    auto find = [&parent](std::size_t x) {
        while (parent[x] != x) x = parent[x] = parent[parent[x]];
        return x;
    };
    std::vector<std::size_t> edges;
    for (std::size_t s = 0; s < pairs.count; ++s) {
        if (id_matches[s] <= 0.0) continue;
        edges.push_back(s);
        const std::size_t a = find(static_cast<std::size_t>(pairs.gt_of[s]));
        const std::size_t b = find(static_cast<std::size_t>(num_gt_ids + pairs.tracker_of[s]));
        if (a != b) parent[a] = b;
    }
    // Edges grouped by component.
    std::sort(edges.begin(), edges.end(), [&](std::size_t x, std::size_t y) {
        const std::size_t cx = find(static_cast<std::size_t>(pairs.gt_of[x]));
        const std::size_t cy = find(static_cast<std::size_t>(pairs.gt_of[y]));
        return cx != cy ? cx < cy : x < y;
    });
    std::int64_t total = 0;
    std::vector<std::int64_t> row_ids, col_ids, rows, cols;
    std::vector<double> cost;
    for (std::size_t k = 0; k < edges.size();) {
        const std::size_t comp = find(static_cast<std::size_t>(pairs.gt_of[edges[k]]));
        std::size_t end = k;
        while (end < edges.size() && find(static_cast<std::size_t>(pairs.gt_of[edges[end]])) == comp) ++end;
        if (end - k == 1) {
            total += static_cast<std::int64_t>(id_matches[edges[k]]);
            k = end;
            continue;
        }
        row_ids.clear();
        col_ids.clear();
        for (std::size_t e = k; e < end; ++e) {
            row_ids.push_back(pairs.gt_of[edges[e]]);
            col_ids.push_back(pairs.tracker_of[edges[e]]);
        }
        std::sort(row_ids.begin(), row_ids.end());
        row_ids.erase(std::unique(row_ids.begin(), row_ids.end()), row_ids.end());
        std::sort(col_ids.begin(), col_ids.end());
        col_ids.erase(std::unique(col_ids.begin(), col_ids.end()), col_ids.end());
        const std::size_t nr = row_ids.size(), nc = col_ids.size();
        cost.assign(nr * nc, 0.0);
        for (std::size_t e = k; e < end; ++e) {
            const auto i = static_cast<std::size_t>(
                std::lower_bound(row_ids.begin(), row_ids.end(), pairs.gt_of[edges[e]]) - row_ids.begin());
            const auto j = static_cast<std::size_t>(
                std::lower_bound(col_ids.begin(), col_ids.end(), pairs.tracker_of[edges[e]]) - col_ids.begin());
            cost[i * nc + j] = -id_matches[edges[e]];
        }
        rows.resize(std::min(nr, nc));
        cols.resize(std::min(nr, nc));
        solve_lsap(nr, nc, cost.data(), rows.data(), cols.data(), work);
        for (std::size_t p = 0; p < rows.size(); ++p) {
            total -= static_cast<std::int64_t>(
                cost[static_cast<std::size_t>(rows[p]) * nc + static_cast<std::size_t>(cols[p])]);
        }
        k = end;
    }
    return total;
}

// Working memory of matched_by_groups.
struct GroupScratch {
    std::vector<std::size_t> parent, order, group_rows, group_cols;
    std::vector<std::pair<std::size_t, std::size_t>> keyed, chosen;
    std::vector<double> cost;
    std::vector<std::int64_t> rows, cols;
};

// Largest group of overlapping pairs matched apart from its frame, in matched pairs.
constexpr std::size_t kMaxGroupMatches = 6;
// How much better than any other matching a group's best one must be to be the only optimum.
constexpr double kUniqueMargin = 1e-9;

// The total score of the positive pairs a solve of `cost` (nr x nc) pairs.
double solved_score(const GroupScratch& w, std::size_t nc) {
    double total = 0.0;
    for (std::size_t p = 0; p < w.rows.size(); ++p) {
        total -= w.cost[static_cast<std::size_t>(w.rows[p]) * nc + static_cast<std::size_t>(w.cols[p])];
    }
    return total;
}

// Decides the pairs that the solver, run over a frame's whole g x r matrix of negated scores,
// would match among the pairs with a positive score (`edge`, `score`): true with `matched` (indices
// into `list`, in row order) when that follows from groups of the pairs alone, false when only
// the frame's whole solve can tell.
//
// Pairs that share no row or column with a positive pair of another group are independent: the
// frame's optimum is the union of each group's optimum, completed by pairs that score 0. A group
// of one pair is in it. A larger group is solved apart, and its optimum is taken when it is the
// group's only one by a margin far above rounding: then the whole solve, whatever order it meets
// the rows in, finds the same. Ties, and groups too large to check, go to the whole solve.
bool matched_by_groups(const std::vector<Overlap>& list, std::size_t b, std::size_t e, const std::vector<char>& edge,
                       const std::vector<double>& score, std::size_t g, std::size_t r, GroupScratch& w,
                       LsapWorkspace& work, std::vector<std::size_t>& matched) {
    matched.clear();
    w.parent.resize(g + r);
    std::iota(w.parent.begin(), w.parent.end(), std::size_t{0});
    auto find = [&w](std::size_t x) {
        while (w.parent[x] != x) x = w.parent[x] = w.parent[w.parent[x]];
        return x;
    };
    for (std::size_t q = b; q < e; ++q) {
        if (!edge[q - b]) continue;
        const std::size_t x = find(list[q].at / r), y = find(g + list[q].at % r);
        if (x != y) w.parent[x] = y;
    }
    // Positive pairs by group (its root), in row-major order within a group.
    w.keyed.clear();
    for (std::size_t q = b; q < e; ++q) {
        if (edge[q - b]) w.keyed.emplace_back(find(list[q].at / r), q);
    }
    std::sort(w.keyed.begin(), w.keyed.end());
    w.order.clear();
    for (const auto& kq : w.keyed) w.order.push_back(kq.second);
    for (std::size_t k = 0; k < w.order.size();) {
        const std::size_t root = w.keyed[k].first;
        std::size_t end = k;
        while (end < w.order.size() && w.keyed[end].first == root) ++end;
        if (end - k == 1) {
            matched.push_back(w.order[k]);
            k = end;
            continue;
        }
        w.group_rows.clear();
        w.group_cols.clear();
        for (std::size_t t = k; t < end; ++t) {
            w.group_rows.push_back(list[w.order[t]].at / r);
            w.group_cols.push_back(list[w.order[t]].at % r);
        }
        std::sort(w.group_rows.begin(), w.group_rows.end());
        w.group_rows.erase(std::unique(w.group_rows.begin(), w.group_rows.end()), w.group_rows.end());
        std::sort(w.group_cols.begin(), w.group_cols.end());
        w.group_cols.erase(std::unique(w.group_cols.begin(), w.group_cols.end()), w.group_cols.end());
        const std::size_t nr = w.group_rows.size(), nc = w.group_cols.size(), m = std::min(nr, nc);
        if (m > kMaxGroupMatches) return false;
        auto cell = [&](std::size_t q) {
            const std::size_t i = static_cast<std::size_t>(
                std::lower_bound(w.group_rows.begin(), w.group_rows.end(), list[q].at / r) - w.group_rows.begin());
            const std::size_t j = static_cast<std::size_t>(
                std::lower_bound(w.group_cols.begin(), w.group_cols.end(), list[q].at % r) - w.group_cols.begin());
            return i * nc + j;
        };
        w.cost.assign(nr * nc, -0.0);
        for (std::size_t t = k; t < end; ++t) w.cost[cell(w.order[t])] = -score[w.order[t] - b];
        w.rows.resize(m);
        w.cols.resize(m);
        solve_lsap(nr, nc, w.cost.data(), w.rows.data(), w.cols.data(), work);
        const double best = solved_score(w, nc);
        // The group's matched pairs, as (cell, index into list).
        auto& chosen = w.chosen;
        chosen.clear();
        for (std::size_t t = k; t < end; ++t) {
            const std::size_t c = cell(w.order[t]);
            for (std::size_t p = 0; p < m; ++p) {
                if (static_cast<std::size_t>(w.rows[p]) * nc + static_cast<std::size_t>(w.cols[p]) == c) {
                    chosen.emplace_back(c, w.order[t]);
                }
            }
        }
        // Any other optimum leaves out one of the chosen pairs: without each, the best must fall
        // short by the margin.
        for (const auto& [c, q] : chosen) {
            const double kept = w.cost[c];
            w.cost[c] = -0.0;
            solve_lsap(nr, nc, w.cost.data(), w.rows.data(), w.cols.data(), work);
            const double without = solved_score(w, nc);
            w.cost[c] = kept;
            if (!(without < best - kUniqueMargin * std::max(1.0, best))) return false;
        }
        for (const auto& chosen_pair : chosen) matched.push_back(chosen_pair.second);
        k = end;
    }
    // The solver reports its pairs in row order (the order of `at` within a frame).
    std::sort(matched.begin(), matched.end(),
              [&list](std::size_t x, std::size_t y) { return list[x].at < list[y].at; });
    return true;
}

}  // namespace

SequenceCounts evaluate_sequence(const BoxRows& gt, const BoxRows& tr, std::int64_t num_gt_ids,
                                 std::int64_t num_tracker_ids, const std::vector<double>& alphas, double threshold,
                                 const ProgressCallback& on_progress) {
    const std::size_t n_alpha = alphas.size();
    SequenceCounts out;
    out.hota_tp.assign(n_alpha, 0.0);
    out.hota_fn.assign(n_alpha, 0.0);
    out.hota_fp.assign(n_alpha, 0.0);
    out.loc_a_sum.assign(n_alpha, 0.0);
    const std::vector<Step> steps = time_steps(gt, tr);
    const std::size_t total = 2 * steps.size();

    std::vector<double> gt_count(static_cast<std::size_t>(num_gt_ids), 0.0);
    std::vector<double> tracker_count(static_cast<std::size_t>(num_tracker_ids), 0.0);
    PairSlots pairs;
    std::vector<double> potential;   // per slot: TrackEval's potential_matches_count
    std::vector<double> id_matches;  // per slot: frames matched at `threshold` (Identity)
    std::vector<Overlap> overlaps;   // every frame's overlapping pairs, in frame and row-major order
    std::vector<std::size_t> first_overlap(steps.size() + 1, 0);
    std::vector<double> row_sums, col_sums, cost, sum_val;
    std::vector<std::int64_t> sum_pos;
    std::vector<std::uint32_t> by_x1;
    std::vector<std::int64_t> rows, cols;
    LsapWorkspace work;

    // Pass 1: per id and per overlapping pair of ids, the counts and the normalised overlaps.
    for (std::size_t k = 0; k < steps.size(); ++k) {
        if (on_progress && k % kCheckEvery == 0) on_progress(k, total);
        const Step& s = steps[k];
        const std::size_t g = s.g1 - s.g0, r = s.t1 - s.t0;
        first_overlap[k] = overlaps.size();
        for (std::size_t i = s.g0; i < s.g1; ++i) gt_count[static_cast<std::size_t>(gt.ids[i])] += 1.0;
        for (std::size_t j = s.t0; j < s.t1; ++j) tracker_count[static_cast<std::size_t>(tr.ids[j])] += 1.0;
        if (g == 0 || r == 0) continue;
        if (g * r > UINT32_MAX) throw std::length_error("evaluate_sequence: too many boxes in one frame");
        std::size_t first = 0;
        frame_overlaps(gt.xyxy + 4 * s.g0, g, tr.xyxy + 4 * s.t0, r, by_x1, overlaps, first);
        numpy_axis_sums(overlaps.data() + first, overlaps.size() - first, g, r, row_sums, col_sums, sum_pos, sum_val);
        for (std::size_t q = first; q < overlaps.size(); ++q) {
            const std::size_t i = overlaps[q].at / r, j = overlaps[q].at % r;
            const double v = overlaps[q].sim;
            const std::int32_t slot = slot_of(pairs, gt.ids[s.g0 + i], tr.ids[s.t0 + j], num_tracker_ids);
            if (static_cast<std::size_t>(slot) == potential.size()) {
                potential.push_back(0.0);
                id_matches.push_back(0.0);
            }
            overlaps[q].slot = slot;
            // (column sum + row sum) - similarity, as TrackEval broadcasts it.
            const double denom = col_sums[j] + row_sums[i] - v;
            if (denom > kEps) potential[static_cast<std::size_t>(slot)] += v / denom;
            if (v >= threshold) id_matches[static_cast<std::size_t>(slot)] += 1.0;
        }
    }
    first_overlap[steps.size()] = overlaps.size();
    // The global alignment score of each pair that ever overlapped; 0 for every other pair.
    std::vector<double> alignment(pairs.count);
    for (std::size_t p = 0; p < pairs.count; ++p) {
        const double both = gt_count[static_cast<std::size_t>(pairs.gt_of[p])] +
                            tracker_count[static_cast<std::size_t>(pairs.tracker_of[p])];
        alignment[p] = potential[p] / (both - potential[p]);
    }

    // Pass 2: each frame matched for HOTA (by alignment times similarity) and for CLEAR (by
    // similarity, a match continued from the previous frame first). Pairs that do not overlap score
    // 0 in both; the solver minimises the negated scores, -0.0 where TrackEval's score is 0.
    std::vector<std::int32_t> hota_matches(pairs.count * n_alpha, 0);
    std::vector<double> gt_matched(static_cast<std::size_t>(num_gt_ids), 0.0);
    std::vector<double> gt_frag(static_cast<std::size_t>(num_gt_ids), 0.0);
    std::vector<std::int64_t> last_tracker(static_cast<std::size_t>(num_gt_ids), -1);  // any earlier frame
    std::vector<std::int64_t> prev_step(static_cast<std::size_t>(num_gt_ids), -1);     // previous frame only
    std::vector<std::int64_t> prev_step_set;
    std::vector<char> edge;
    std::vector<double> score;
    GroupScratch groups;
    std::vector<std::size_t> matched;  // indices into overlaps, in the solver's row order
    std::vector<std::int32_t> overlap_at;
    for (std::size_t k = 0; k < steps.size(); ++k) {
        if (on_progress && k % kCheckEvery == 0) on_progress(steps.size() + k, total);
        const Step& s = steps[k];
        const std::size_t g = s.g1 - s.g0, r = s.t1 - s.t0;
        if (g == 0) {
            for (std::size_t a = 0; a < n_alpha; ++a) out.hota_fp[a] += static_cast<double>(r);
            out.clr_fp += static_cast<std::int64_t>(r);
            continue;
        }
        if (r == 0) {
            for (std::size_t a = 0; a < n_alpha; ++a) out.hota_fn[a] += static_cast<double>(g);
            out.clr_fn += static_cast<std::int64_t>(g);
            continue;
        }
        const std::size_t b = first_overlap[k], e = first_overlap[k + 1];
        const std::int64_t* gids = gt.ids + s.g0;
        const std::int64_t* tids = tr.ids + s.t0;
        const std::size_t m = std::min(g, r);
        // Solves the frame's negated scores, `cost`, and collects the matched overlapping pairs
        // (those the solver pairs that overlap at all).
        auto solve_frame = [&]() {
            overlap_at.assign(g * r, -1);
            for (std::size_t q = b; q < e; ++q) overlap_at[overlaps[q].at] = static_cast<std::int32_t>(q);
            rows.resize(m);
            cols.resize(m);
            solve_lsap(g, r, cost.data(), rows.data(), cols.data(), work);
            matched.clear();
            for (std::size_t p = 0; p < m; ++p) {
                const std::int32_t q =
                    overlap_at[static_cast<std::size_t>(rows[p]) * r + static_cast<std::size_t>(cols[p])];
                if (q >= 0) matched.push_back(static_cast<std::size_t>(q));
            }
        };

        // HOTA: maximise alignment * similarity.
        edge.assign(e - b, 0);
        score.assign(e - b, 0.0);
        for (std::size_t q = b; q < e; ++q) {
            score[q - b] = alignment[static_cast<std::size_t>(overlaps[q].slot)] * overlaps[q].sim;
            edge[q - b] = score[q - b] > 0.0;
        }
        if (!matched_by_groups(overlaps, b, e, edge, score, g, r, groups, work, matched)) {
            cost.assign(g * r, -0.0);
            for (std::size_t q = b; q < e; ++q) cost[overlaps[q].at] = -score[q - b];
            solve_frame();
        }
        for (std::size_t a = 0; a < n_alpha; ++a) {
            const double floor = alphas[a] - kEps;
            std::size_t n_matched = 0;
            // Python's sum() of the matched similarities: from 0, in the solver's row order.
            double frame_sum = 0.0;
            for (std::size_t q : matched) {
                if (!(overlaps[q].sim >= floor)) continue;
                ++n_matched;
                frame_sum += overlaps[q].sim;
                hota_matches[static_cast<std::size_t>(overlaps[q].slot) * n_alpha + a] += 1;
            }
            out.hota_tp[a] += static_cast<double>(n_matched);
            out.hota_fn[a] += static_cast<double>(g - n_matched);
            out.hota_fp[a] += static_cast<double>(r - n_matched);
            if (n_matched > 0) out.loc_a_sum[a] += frame_sum;
        }

        // CLEAR: pairs below the threshold score 0; the previous frame's match scores 1000 more.
        for (std::size_t q = b; q < e; ++q) {
            const std::size_t i = overlaps[q].at / r, j = overlaps[q].at % r;
            const bool continued = prev_step[static_cast<std::size_t>(gids[i])] == tids[j];
            edge[q - b] = overlaps[q].sim >= threshold - kEps;
            score[q - b] = edge[q - b] ? (continued ? kContinueBonus : 0.0) + overlaps[q].sim : 0.0;
        }
        if (!matched_by_groups(overlaps, b, e, edge, score, g, r, groups, work, matched)) {
            cost.assign(g * r, -0.0);
            for (std::size_t q = b; q < e; ++q) {
                if (edge[q - b]) cost[overlaps[q].at] = -score[q - b];
            }
            solve_frame();
            // Matched pairs scoring 0 (below the threshold) are no match.
            std::size_t kept = 0;
            for (std::size_t q : matched) {
                if (-cost[overlaps[q].at] > kEps) matched[kept++] = q;
            }
            matched.resize(kept);
        }
        double motp_frame = 0.0;
        for (std::size_t q : matched) {
            const std::size_t i = overlaps[q].at / r, j = overlaps[q].at % r;
            const auto gid = static_cast<std::size_t>(gids[i]);
            if (last_tracker[gid] != -1 && last_tracker[gid] != tids[j]) ++out.idsw;
            gt_matched[gid] += 1.0;
            // A fragment starts where the id was not matched in the previous frame.
            if (prev_step[gid] == -1) gt_frag[gid] += 1.0;
            motp_frame += overlaps[q].sim;
        }
        for (std::int64_t gid : prev_step_set) prev_step[static_cast<std::size_t>(gid)] = -1;
        prev_step_set.clear();
        for (std::size_t q : matched) {
            const std::size_t i = overlaps[q].at / r, j = overlaps[q].at % r;
            last_tracker[static_cast<std::size_t>(gids[i])] = tids[j];
            prev_step[static_cast<std::size_t>(gids[i])] = tids[j];
            prev_step_set.push_back(gids[i]);
        }
        const auto n_matched = static_cast<std::int64_t>(matched.size());
        out.clr_tp += n_matched;
        out.clr_fn += static_cast<std::int64_t>(g) - n_matched;
        out.clr_fp += static_cast<std::int64_t>(r) - n_matched;
        if (n_matched > 0) out.motp_sum += motp_frame;
    }

    // HOTA's association sums: np.sum over the (ground-truth id, tracker id) matrix of matches times
    // their association score, at each alpha; only pairs that ever overlapped are non-zero.
    out.ass_a_sum.assign(n_alpha, 0.0);
    out.ass_re_sum.assign(n_alpha, 0.0);
    out.ass_pr_sum.assign(n_alpha, 0.0);
    std::vector<std::size_t> by_position(pairs.count);
    std::iota(by_position.begin(), by_position.end(), std::size_t{0});
    auto position = [&pairs, num_tracker_ids](std::size_t p) {
        return std::int64_t{pairs.gt_of[p]} * num_tracker_ids + pairs.tracker_of[p];
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
            const double mc = hota_matches[p * n_alpha + a];
            if (mc == 0.0) continue;
            const double gc = gt_count[static_cast<std::size_t>(pairs.gt_of[p])];
            const double tc = tracker_count[static_cast<std::size_t>(pairs.tracker_of[p])];
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

    // CLEAR's track-level counts.
    for (std::size_t gid = 0; gid < gt_count.size(); ++gid) {
        if (gt_count[gid] > 0.0) {
            const double ratio = gt_matched[gid] / gt_count[gid];
            out.mt += ratio > 0.8;
            out.pt += ratio >= 0.2;
        }
        if (gt_frag[gid] > 0.0) out.frag += gt_frag[gid] - 1.0;
    }
    out.pt -= out.mt;
    out.ml = num_gt_ids - out.mt - out.pt;

    // Identity.
    const std::int64_t idtp = identity_true_positives(pairs, id_matches, num_gt_ids, num_tracker_ids, work);
    out.idtp = idtp;
    out.idfn = static_cast<std::int64_t>(gt.n) - idtp;
    out.idfp = static_cast<std::int64_t>(tr.n) - idtp;
    if (on_progress) on_progress(2 * steps.size(), 2 * steps.size());
    return out;
}

}  // namespace kelmora::mot
