// Shortest-augmenting-path assignment with row and column potentials (Hungarian, O(n^2 m)).
#include <cstring>
#include <limits>
#include <stdexcept>
#include <vector>

#include "assignment_internal.hpp"
#include "kelmora/assignment.hpp"

namespace kelmora {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

[[noreturn]] void no_free_column() { throw std::runtime_error("linear_assignment: no free column; n > m?"); }

// Rows and columns are 1-based; column 0 is the virtual column of the row being
// inserted. The columns not yet in the search tree are kept as an ascending list, so a
// scan visits exactly the unused columns in ascending order without testing a flag.
// Potential update of step k is split in two: the used columns are updated at once,
// the unused columns' `minv[j] - delta` is applied as the first operation of the next
// scan. No unused column is read between the two points, and the search of a row ends
// before the next scan only when the pending updates are dead, so every value and
// every comparison is the one of the straightforward order.
template <typename Index>
void solve_rows(const double* cost, std::size_t n, std::size_t m, std::int64_t* col_to_row) {
    std::vector<double> reals((n + 1) + 2 * (m + 1));
    double* const u = reals.data();
    double* const v = u + (n + 1);
    double* const minv = v + (m + 1);

    std::vector<Index> indexes(5 * (m + 1), Index{0});
    Index* const p = indexes.data();
    Index* const way = p + (m + 1);
    Index* const unused = way + (m + 1);     // ascending list of columns outside the tree
    Index* const used_cols = unused + (m + 1);  // tree columns, in the order they joined
    Index* const used_rows = used_cols + (m + 1);  // their owners (fixed during one search)

    for (std::size_t i = 1; i <= n; ++i) {
        p[0] = static_cast<Index>(i);
        if (m == 0) no_free_column();

        // First step: i0 = i, every real column unused and minv[j] = +inf, so the
        // update test is `inf > cur`; the slack list is written in place of a fill.
        const double* row = cost + (i - 1) * m;
        double ui0 = u[i];
        double delta = kInf;
        std::size_t j1 = 0;
        for (std::size_t j = 1; j <= m; ++j) {
            const double cur = (row[j - 1] - ui0) - v[j];
            double mv = kInf;
            if (mv > cur) {
                mv = cur;
                way[j] = 0;
            }
            minv[j] = mv;
            if (delta > mv) {
                delta = mv;
                j1 = j;
            }
        }
        for (std::size_t k = 0; k < m; ++k) unused[k] = static_cast<Index>(k + 1);
        std::size_t unused_count = m;
        std::size_t j1_slot = j1 - 1;  // position of j1 in `unused`
        used_cols[0] = 0;
        used_rows[0] = static_cast<Index>(i);
        std::size_t used_count = 1;

        while (true) {
            if (j1 == 0) no_free_column();
            // Potential update, used part: each used column has its own owner, so
            // every u and v entry receives exactly one operation.
            for (std::size_t k = 0; k < used_count; ++k) {
                u[used_rows[k]] += delta;
                v[used_cols[k]] -= delta;
            }
            const double pending = delta;
            const std::size_t j0 = j1;
            if (p[j0] == 0) break;

            // j0 joins the tree: its owner's row is scanned next.
            std::memmove(unused + j1_slot, unused + j1_slot + 1, (unused_count - j1_slot - 1) * sizeof(Index));
            --unused_count;
            used_cols[used_count] = static_cast<Index>(j0);
            used_rows[used_count] = p[j0];
            ++used_count;

            const std::size_t i0 = p[j0];
            row = cost + (i0 - 1) * m;
            ui0 = u[i0];
            delta = kInf;
            j1 = 0;
            for (std::size_t k = 0; k < unused_count; ++k) {
                const std::size_t j = unused[k];
                const double cur = (row[j - 1] - ui0) - v[j];
                double mv = minv[j] - pending;
                if (mv > cur) {
                    mv = cur;
                    way[j] = static_cast<Index>(j0);
                }
                minv[j] = mv;
                if (delta > mv) {
                    delta = mv;
                    j1 = j;
                    j1_slot = k;
                }
            }
        }

        // Augmentation: shift every owner one column back along the path.
        std::size_t j0 = j1;
        while (j0 != 0) {
            const std::size_t prev = way[j0];
            p[j0] = p[prev];
            j0 = prev;
        }
    }

    for (std::size_t j = 1; j <= m; ++j) {
        col_to_row[j - 1] = p[j] != 0 ? static_cast<std::int64_t>(p[j]) - 1 : -1;
    }
}

}  // namespace

void linear_assignment_core(const double* cost, std::size_t n, std::size_t m, std::int64_t* col_to_row) {
    if (detail::fits_in_32_bits(n, m)) {
        solve_rows<std::uint32_t>(cost, n, m, col_to_row);
    } else {
        solve_rows<std::size_t>(cost, n, m, col_to_row);
    }
}

AssignmentResult linear_assignment(const double* cost, std::size_t n, std::size_t m) {
    detail::require_finite(cost, n * m);
    const bool tall = n > m;
    std::vector<double> transposed;
    if (tall) transposed = detail::transpose(cost, n, m);
    const double* oriented = tall ? transposed.data() : cost;
    const std::size_t r = tall ? m : n;
    const std::size_t c = tall ? n : m;

    std::vector<std::int64_t> col_to_row(c);
    linear_assignment_core(oriented, r, c, col_to_row.data());

    std::vector<std::int64_t> row_to_col(r, -1);
    for (std::size_t j = 0; j < c; ++j) {
        if (col_to_row[j] != -1) row_to_col[static_cast<std::size_t>(col_to_row[j])] = static_cast<std::int64_t>(j);
    }
    std::vector<std::int64_t> sequence(r);
    for (std::size_t k = 0; k < r; ++k) sequence[k] = static_cast<std::int64_t>(k);

    // Wide: pairs in ascending row order. Tall: in ascending column order of the caller.
    AssignmentResult result;
    if (tall) {
        result.rows = std::move(row_to_col);
        result.cols = std::move(sequence);
    } else {
        result.rows = std::move(sequence);
        result.cols = std::move(row_to_col);
    }
    return result;
}

}  // namespace kelmora
