// The rectangular assignment solver of MOT evaluation, as SciPy's linear_sum_assignment.
#include "mot/lsap.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <utility>

namespace kelmora::mot {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Grows a shortest augmenting path from row i; returns its sink column, or -1 when every
// column is out of reach. *min_val receives the path's reduced length.
std::ptrdiff_t augmenting_path(std::ptrdiff_t nc, const double* cost, LsapWorkspace& w, std::ptrdiff_t i,
                               double* min_val) {
    double found = 0.0;
    std::ptrdiff_t num_remaining = nc;
    // Filled in reverse, so that a constant cost matrix gives the identity.
    for (std::ptrdiff_t it = 0; it < nc; ++it) w.remaining[it] = nc - it - 1;
    std::fill(w.row_seen.begin(), w.row_seen.end(), 0);
    std::fill(w.col_seen.begin(), w.col_seen.end(), 0);
    std::fill(w.shortest.begin(), w.shortest.end(), kInf);

    std::ptrdiff_t sink = -1;
    while (sink == -1) {
        std::ptrdiff_t index = -1;
        double lowest = kInf;
        w.row_seen[i] = 1;
        for (std::ptrdiff_t it = 0; it < num_remaining; ++it) {
            const std::ptrdiff_t j = w.remaining[it];
            // Left to right, as written there: ((min + cost) - u) - v.
            const double r = found + cost[i * nc + j] - w.u[i] - w.v[j];
            if (r < w.shortest[j]) {
                w.path[j] = i;
                w.shortest[j] = r;
            }
            // Among equal costs an unassigned column wins: it ends the path.
            if (w.shortest[j] < lowest || (w.shortest[j] == lowest && w.row4col[j] == -1)) {
                lowest = w.shortest[j];
                index = it;
            }
        }
        found = lowest;
        if (found == kInf) return -1;
        const std::ptrdiff_t j = w.remaining[index];
        if (w.row4col[j] == -1) {
            sink = j;
        } else {
            i = w.row4col[j];
        }
        w.col_seen[j] = 1;
        w.remaining[index] = w.remaining[--num_remaining];
    }
    *min_val = found;
    return sink;
}

}  // namespace

LsapStatus solve_lsap(std::size_t rows_in, std::size_t cols_in, const double* cost, std::int64_t* rows,
                      std::int64_t* cols, LsapWorkspace& w) {
    auto nr = static_cast<std::ptrdiff_t>(rows_in);
    auto nc = static_cast<std::ptrdiff_t>(cols_in);
    if (nr == 0 || nc == 0) return LsapStatus::kSolved;
    // Checked before anything is solved, as SciPy does: the method would still end in some
    // assignment, but with NaN or -inf entries it is not a minimum of anything.
    for (std::ptrdiff_t k = 0; k < nr * nc; ++k) {
        if (std::isnan(cost[k]) || cost[k] == -kInf) return LsapStatus::kInvalid;
    }
    // A tall matrix is solved transposed.
    const bool transpose = nc < nr;
    if (transpose) {
        w.cost.resize(static_cast<std::size_t>(nr * nc));
        for (std::ptrdiff_t i = 0; i < nr; ++i) {
            for (std::ptrdiff_t j = 0; j < nc; ++j) w.cost[j * nr + i] = cost[i * nc + j];
        }
        std::swap(nr, nc);
        cost = w.cost.data();
    }
    w.u.assign(nr, 0.0);
    w.v.assign(nc, 0.0);
    w.shortest.resize(nc);
    w.path.assign(nc, -1);
    w.col4row.assign(nr, -1);
    w.row4col.assign(nc, -1);
    w.row_seen.resize(nr);
    w.col_seen.resize(nc);
    w.remaining.resize(nc);

    for (std::ptrdiff_t cur_row = 0; cur_row < nr; ++cur_row) {
        double min_val = 0.0;
        const std::ptrdiff_t sink = augmenting_path(nc, cost, w, cur_row, &min_val);
        if (sink < 0) return LsapStatus::kInfeasible;
        // Dual update.
        w.u[cur_row] += min_val;
        for (std::ptrdiff_t i = 0; i < nr; ++i) {
            if (w.row_seen[i] && i != cur_row) w.u[i] += min_val - w.shortest[w.col4row[i]];
        }
        for (std::ptrdiff_t j = 0; j < nc; ++j) {
            if (w.col_seen[j]) w.v[j] -= min_val - w.shortest[j];
        }
        // Augmentation along the path.
        std::ptrdiff_t j = sink;
        while (true) {
            const std::ptrdiff_t i = w.path[j];
            w.row4col[j] = i;
            std::swap(w.col4row[i], j);
            if (i == cur_row) break;
        }
    }
    if (transpose) {
        // Pairs in the order of the caller's columns (each row of the transposed problem holds
        // a distinct column, so the order is unique).
        std::vector<std::ptrdiff_t> order(static_cast<std::size_t>(nr));
        std::iota(order.begin(), order.end(), 0);
        std::sort(order.begin(), order.end(),
                  [&w](std::ptrdiff_t a, std::ptrdiff_t b) { return w.col4row[a] < w.col4row[b]; });
        for (std::ptrdiff_t k = 0; k < nr; ++k) {
            rows[k] = w.col4row[order[k]];
            cols[k] = order[k];
        }
    } else {
        for (std::ptrdiff_t i = 0; i < nr; ++i) {
            rows[i] = i;
            cols[i] = w.col4row[i];
        }
    }
    return LsapStatus::kSolved;
}

}  // namespace kelmora::mot
