// Identity of one sequence, as TrackEval's Identity.eval_sequence computes it.
#include <algorithm>
#include <cstdint>
#include <numeric>

#include "mot/metric_units.hpp"

namespace kelmora::mot {

namespace {

// The most matches that an assignment of ground-truth ids to tracker ids can collect, given how
// often each pair matched: IDTP, which TrackEval finds with one large assignment. Solved per
// connected group of pairs, which gives the same optimum.
std::int64_t identity_true_positives(const PairSlots& pairs, const std::vector<double>& id_matches,
                                     std::int64_t num_gt_ids, std::int64_t num_tracker_ids) {
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
    LsapWorkspace work;
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

}  // namespace

IdentityCounts evaluate_identity(const SequenceOverlaps& s, const BoxRows& gt, const BoxRows& tr, double threshold) {
    // Frames each pair of ids matched in at `threshold`.
    std::vector<double> id_matches(s.pairs.count, 0.0);
    for (const Overlap& o : s.overlaps) {
        if (o.sim >= threshold) id_matches[static_cast<std::size_t>(o.slot)] += 1.0;
    }
    IdentityCounts out;
    out.idtp = identity_true_positives(s.pairs, id_matches, static_cast<std::int64_t>(s.gt_count.size()),
                                       static_cast<std::int64_t>(s.tracker_count.size()));
    out.idfn = static_cast<std::int64_t>(gt.n) - out.idtp;
    out.idfp = static_cast<std::int64_t>(tr.n) - out.idtp;
    return out;
}

}  // namespace kelmora::mot
