// The overlaps of a sequence frame by frame, and the matching of one frame, as TrackEval computes them.
#include "mot/frame_matching.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <stdexcept>
#include <utility>

namespace kelmora::mot {

namespace {

constexpr std::uint64_t kEmptyKey = ~std::uint64_t{0};

std::size_t probe_start(std::uint64_t key, std::size_t mask) {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ULL) >> 17) & mask;
}

void grow(PairSlots& t) {
    std::vector<std::uint64_t> keys(t.keys.empty() ? 1024 : 2 * t.keys.size(), kEmptyKey);
    std::vector<std::int32_t> slots(keys.size(), -1);
    const std::size_t mask = keys.size() - 1;
    for (std::size_t k = 0; k < t.keys.size(); ++k) {
        if (t.keys[k] == kEmptyKey) continue;
        std::size_t p = probe_start(t.keys[k], mask);
        while (keys[p] != kEmptyKey) p = (p + 1) & mask;
        keys[p] = t.keys[k];
        slots[p] = t.slots[k];
    }
    t.keys.swap(keys);
    t.slots.swap(slots);
}

// Largest group of overlapping pairs matched apart from its frame, in matched pairs.
constexpr std::size_t kMaxGroupMatches = 6;
// How much better than any other matching a group's best one must be to be the only optimum.
constexpr double kUniqueMargin = 1e-9;

// The total score of the pairs a solve of the group's nr x nc `cost` pairs.
double solved_score(const MatchScratch& w, std::size_t nc) {
    double total = 0.0;
    for (std::size_t p = 0; p < w.group_row_of.size(); ++p) {
        total -= w.group_cost[static_cast<std::size_t>(w.group_row_of[p]) * nc +
                              static_cast<std::size_t>(w.group_col_of[p])];
    }
    return total;
}

// Groups of at most this many positive pairs are matched by trying every matching of them.
constexpr std::size_t kMaxEnumeratedPairs = 16;

// Tries every matching of a group's `n` positive pairs (`pairs`, indices into `list`): appends the
// best one's pairs to `matched` and returns true when every other matching falls short of it by
// the margin, else returns false (a tie, or a near one).
bool unique_best_matching(const Overlap* list, const std::size_t* group, std::size_t n, const double* score,
                          std::size_t r, std::vector<std::size_t>& matched) {
    // The pairs from the best score down, so that good matchings come first and bound the search.
    std::size_t pairs[kMaxEnumeratedPairs];
    std::copy(group, group + n, pairs);
    std::sort(pairs, pairs + n, [score](std::size_t a, std::size_t b) { return score[a] > score[b]; });
    // Rows and columns of the pairs, as small numbers for bit masks; the scores still to come.
    std::uint32_t row_bit[kMaxEnumeratedPairs], col_bit[kMaxEnumeratedPairs];
    double rest[kMaxEnumeratedPairs + 1];
    std::size_t rows_seen = 0, cols_seen = 0;
    std::size_t row_of[kMaxEnumeratedPairs], col_of[kMaxEnumeratedPairs];
    for (std::size_t e = 0; e < n; ++e) {
        const std::size_t i = list[pairs[e]].at / r, j = list[pairs[e]].at % r;
        std::size_t a = 0, b = 0;
        while (a < rows_seen && row_of[a] != i) ++a;
        if (a == rows_seen) row_of[rows_seen++] = i;
        while (b < cols_seen && col_of[b] != j) ++b;
        if (b == cols_seen) col_of[cols_seen++] = j;
        row_bit[e] = std::uint32_t{1} << a;
        col_bit[e] = std::uint32_t{1} << b;
    }
    rest[n] = 0.0;
    for (std::size_t e = n; e-- > 0;) rest[e] = rest[e + 1] + score[pairs[e]];
    // Depth-first over the pairs, each taken or left; the two best distinct matchings are kept. A
    // branch that cannot beat the second best even with every pair left is not followed: it
    // changes neither.
    double best = -1.0, second = -1.0;
    std::uint32_t best_set = 0;
    struct Frame {
        std::size_t e;
        std::uint32_t rows, cols, set;
        double total;
    };
    Frame stack[kMaxEnumeratedPairs + 1];
    std::size_t depth = 0;
    stack[depth++] = {0, 0, 0, 0, 0.0};
    while (depth > 0) {
        const Frame f = stack[--depth];
        if (f.e == n) {
            if (f.total > best) {
                second = best;
                best = f.total;
                best_set = f.set;
            } else if (f.total > second) {
                second = f.total;
            }
            continue;
        }
        if (f.total + rest[f.e] <= second) continue;
        stack[depth++] = {f.e + 1, f.rows, f.cols, f.set, f.total};
        if (!(f.rows & row_bit[f.e]) && !(f.cols & col_bit[f.e])) {
            stack[depth++] = {f.e + 1, f.rows | row_bit[f.e], f.cols | col_bit[f.e], f.set | (std::uint32_t{1} << f.e),
                              f.total + score[pairs[f.e]]};
        }
    }
    if (!(second < best - kUniqueMargin * std::max(1.0, best))) return false;
    for (std::size_t e = 0; e < n; ++e) {
        if (best_set & (std::uint32_t{1} << e)) matched.push_back(pairs[e]);
    }
    return true;
}

// The pairs of `list` with an edge, matched group by group: true with `matched` (indices into
// `list`, in row order) when that follows from the groups alone, false when only the frame's whole
// solve can tell.
//
// Pairs that share no row or column with a positive pair of another group are independent: the
// frame's optimum is the union of each group's optimum, completed by pairs that score 0. A group
// of one pair is in it. A larger group is solved apart, and its optimum is taken when it is the
// group's only one by a margin far above rounding: then the whole solve, whatever order it meets
// the rows in, finds the same. Ties, and groups too large to check, go to the whole solve.
bool matched_by_groups(const Overlap* list, std::size_t n, const char* edge, const double* score, std::size_t g,
                       std::size_t r, MatchScratch& w, LsapWorkspace& work, std::vector<std::size_t>& matched) {
    matched.clear();
    // A positive pair whose row and column hold no other is a group of its own, in every optimum:
    // the common case, taken without grouping.
    w.degree.assign(g + r, 0);
    for (std::size_t q = 0; q < n; ++q) {
        if (!edge[q]) continue;
        ++w.degree[list[q].at / r];
        ++w.degree[g + list[q].at % r];
    }
    auto alone = [&](std::size_t q) { return w.degree[list[q].at / r] == 1 && w.degree[g + list[q].at % r] == 1; };
    w.parent.resize(g + r);
    std::iota(w.parent.begin(), w.parent.end(), std::size_t{0});
    auto find = [&w](std::size_t x) {
        while (w.parent[x] != x) x = w.parent[x] = w.parent[w.parent[x]];
        return x;
    };
    for (std::size_t q = 0; q < n; ++q) {
        if (!edge[q]) continue;
        if (alone(q)) {
            matched.push_back(q);
            continue;
        }
        const std::size_t x = find(list[q].at / r), y = find(g + list[q].at % r);
        if (x != y) w.parent[x] = y;
    }
    // The other positive pairs by group (its root), in row-major order within a group.
    w.keyed.clear();
    for (std::size_t q = 0; q < n; ++q) {
        if (edge[q] && !alone(q)) w.keyed.emplace_back(find(list[q].at / r), q);
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
        if (end - k <= kMaxEnumeratedPairs) {
            if (!unique_best_matching(list, w.order.data() + k, end - k, score, r, matched)) return false;
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
            const auto i = static_cast<std::size_t>(
                std::lower_bound(w.group_rows.begin(), w.group_rows.end(), list[q].at / r) - w.group_rows.begin());
            const auto j = static_cast<std::size_t>(
                std::lower_bound(w.group_cols.begin(), w.group_cols.end(), list[q].at % r) - w.group_cols.begin());
            return i * nc + j;
        };
        w.group_cost.assign(nr * nc, -0.0);
        for (std::size_t t = k; t < end; ++t) w.group_cost[cell(w.order[t])] = -score[w.order[t]];
        w.group_row_of.resize(m);
        w.group_col_of.resize(m);
        solve_lsap(nr, nc, w.group_cost.data(), w.group_row_of.data(), w.group_col_of.data(), work);
        const double best = solved_score(w, nc);
        // The group's matched pairs, as (cell, index into list).
        auto& chosen = w.chosen;
        chosen.clear();
        for (std::size_t t = k; t < end; ++t) {
            const std::size_t c = cell(w.order[t]);
            for (std::size_t p = 0; p < m; ++p) {
                if (static_cast<std::size_t>(w.group_row_of[p]) * nc + static_cast<std::size_t>(w.group_col_of[p]) ==
                    c) {
                    chosen.emplace_back(c, w.order[t]);
                }
            }
        }
        // Any other optimum leaves out one of the chosen pairs: without each, the best must fall
        // short by the margin.
        for (const auto& [c, q] : chosen) {
            const double kept = w.group_cost[c];
            w.group_cost[c] = -0.0;
            solve_lsap(nr, nc, w.group_cost.data(), w.group_row_of.data(), w.group_col_of.data(), work);
            const double without = solved_score(w, nc);
            w.group_cost[c] = kept;
            if (!(without < best - kUniqueMargin * std::max(1.0, best))) return false;
        }
        for (const auto& chosen_pair : chosen) matched.push_back(chosen_pair.second);
        k = end;
    }
    // The solver reports its pairs in row order (the order of `at` within a frame).
    std::sort(matched.begin(), matched.end(), [list](std::size_t x, std::size_t y) { return list[x].at < list[y].at; });
    return true;
}

}  // namespace

std::vector<TimeStep> time_steps(const BoxRows& gt, const BoxRows& tr) {
    std::vector<TimeStep> steps;
    std::size_t i = 0, j = 0;
    while (i < gt.n || j < tr.n) {
        std::int64_t f;
        if (j == tr.n || (i < gt.n && gt.frames[i] <= tr.frames[j]))
            f = gt.frames[i];
        else
            f = tr.frames[j];
        TimeStep s{i, i, j, j};
        while (s.g1 < gt.n && gt.frames[s.g1] == f) ++s.g1;
        while (s.t1 < tr.n && tr.frames[s.t1] == f) ++s.t1;
        steps.push_back(s);
        i = s.g1;
        j = s.t1;
    }
    return steps;
}

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

void order_by_x1(const double* boxes, std::size_t n, XOrder& out) {
    out.by_x1.resize(n);
    std::iota(out.by_x1.begin(), out.by_x1.end(), 0u);
    std::sort(out.by_x1.begin(), out.by_x1.end(),
              [boxes](std::uint32_t x, std::uint32_t y) { return boxes[4 * x] < boxes[4 * y]; });
    out.widest = 0.0;
    for (std::size_t j = 0; j < n; ++j) out.widest = std::max(out.widest, boxes[4 * j + 2] - boxes[4 * j]);
    out.bounded = std::isfinite(out.widest);
}

std::vector<std::uint32_t>::const_iterator candidates(const double* boxes, const XOrder& order, const double* a) {
    if (!order.bounded) return order.by_x1.begin();
    // x2 - x1 of a box exceeds its rounded width by at most a relative 2^-53, and this bound by far
    // more than its own rounding: every box that starts before it ends before a.x1.
    const double from = a[0] - order.widest * (1.0 + 1e-12) - 1e-12 * std::fabs(a[0]);
    return std::lower_bound(order.by_x1.begin(), order.by_x1.end(), from,
                            [boxes](std::uint32_t x, double v) { return boxes[4 * x] < v; });
}

// A positive IoU needs overlapping x ranges, min(x2) - max(x1) > 0, that is b.x1 < a.x2 and
// a.x1 < b.x2 (a difference of finite doubles is positive exactly when the first is larger):
// the candidates of each ground-truth box are scanned up to a.x2. The same holds for y.
void frame_overlaps(const double* g_boxes, std::size_t g, const double* t_boxes, std::size_t r, XOrder& order,
                    std::vector<Overlap>& out) {
    order_by_x1(t_boxes, r, order);
    for (std::size_t i = 0; i < g; ++i) {
        const double* a = g_boxes + 4 * i;
        const std::size_t row_start = out.size();
        for (auto it = candidates(t_boxes, order, a); it != order.by_x1.end(); ++it) {
            const std::uint32_t j = *it;
            const double* b = t_boxes + 4 * j;
            if (!(b[0] < a[2])) break;
            if (!(a[0] < b[2]) || !(b[1] < a[3] && a[1] < b[3])) continue;
            const double v = box_iou(a, b);
            if (v > 0.0) out.push_back({static_cast<std::uint32_t>(i * r + j), -1, v});
        }
        std::sort(out.begin() + static_cast<std::ptrdiff_t>(row_start), out.end(),
                  [](const Overlap& x, const Overlap& y) { return x.at < y.at; });
    }
}

std::int32_t slot_of(PairSlots& table, std::int64_t g, std::int64_t t, std::int64_t num_tracker_ids) {
    if (2 * (table.count + 1) > table.keys.size()) grow(table);
    const auto key = static_cast<std::uint64_t>(g * num_tracker_ids + t);
    const std::size_t mask = table.keys.size() - 1;
    std::size_t p = probe_start(key, mask);
    while (table.keys[p] != kEmptyKey) {
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

SequenceOverlaps collect_overlaps(const BoxRows& gt, const BoxRows& tr, std::vector<TimeStep> steps,
                                  std::int64_t num_gt_ids, std::int64_t num_tracker_ids, const StepCheck& check) {
    SequenceOverlaps s;
    s.steps = std::move(steps);
    s.first_overlap.assign(s.steps.size() + 1, 0);
    s.gt_count.assign(static_cast<std::size_t>(num_gt_ids), 0.0);
    s.tracker_count.assign(static_cast<std::size_t>(num_tracker_ids), 0.0);
    XOrder order;
    for (std::size_t k = 0; k < s.steps.size(); ++k) {
        if (check && k % kCheckEvery == 0) check(k);
        const TimeStep& step = s.steps[k];
        const std::size_t g = step.g1 - step.g0, r = step.t1 - step.t0;
        s.first_overlap[k] = s.overlaps.size();
        for (std::size_t i = step.g0; i < step.g1; ++i) s.gt_count[static_cast<std::size_t>(gt.ids[i])] += 1.0;
        for (std::size_t j = step.t0; j < step.t1; ++j) s.tracker_count[static_cast<std::size_t>(tr.ids[j])] += 1.0;
        if (g == 0 || r == 0) continue;
        if (g * r > UINT32_MAX) throw std::length_error("evaluate_sequence: too many boxes in one frame");
        const std::size_t first = s.overlaps.size();
        frame_overlaps(gt.xyxy + 4 * step.g0, g, tr.xyxy + 4 * step.t0, r, order, s.overlaps);
        for (std::size_t q = first; q < s.overlaps.size(); ++q) {
            const std::size_t i = s.overlaps[q].at / r, j = s.overlaps[q].at % r;
            s.overlaps[q].slot = slot_of(s.pairs, gt.ids[step.g0 + i], tr.ids[step.t0 + j], num_tracker_ids);
        }
    }
    s.first_overlap[s.steps.size()] = s.overlaps.size();
    return s;
}

bool match_groups(const Overlap* list, std::size_t n, const char* edge, const double* score, std::size_t g,
                  std::size_t r, MatchScratch& scratch, LsapWorkspace& work, std::vector<std::size_t>& matched) {
    return matched_by_groups(list, n, edge, score, g, r, scratch, work, matched);
}

void match_frame(const Overlap* list, std::size_t n, const char* edge, const double* score, std::size_t g,
                 std::size_t r, KeepPairs keep, MatchScratch& w, LsapWorkspace& work,
                 std::vector<std::size_t>& matched) {
    if (matched_by_groups(list, n, edge, score, g, r, w, work, matched)) return;
    // The whole frame: pairs without an edge score 0, whose negation the solver sees as -0.0.
    w.cost.assign(g * r, -0.0);
    w.overlap_at.assign(g * r, -1);
    for (std::size_t q = 0; q < n; ++q) {
        if (edge[q]) w.cost[list[q].at] = -score[q];
        w.overlap_at[list[q].at] = static_cast<std::int32_t>(q);
    }
    const std::size_t m = std::min(g, r);
    w.rows.resize(m);
    w.cols.resize(m);
    solve_lsap(g, r, w.cost.data(), w.rows.data(), w.cols.data(), work);
    matched.clear();
    for (std::size_t p = 0; p < m; ++p) {
        const std::size_t at = static_cast<std::size_t>(w.rows[p]) * r + static_cast<std::size_t>(w.cols[p]);
        const std::int32_t q = w.overlap_at[at];
        if (q < 0) continue;
        if (keep == KeepPairs::kScoreAboveEps && !(-w.cost[at] > kEps)) continue;
        matched.push_back(static_cast<std::size_t>(q));
    }
}

}  // namespace kelmora::mot
