// Gated association: solve over the whole matrix, then keep the pairs within the gate.
#include <algorithm>
#include <vector>

#include "kelmora/assignment.hpp"

namespace kelmora {

AssociationResult gate_assignment(const double* cost, std::size_t n, std::size_t m, double max_cost,
                                  const std::vector<std::int64_t>& rows, const std::vector<std::int64_t>& cols) {
    AssociationResult result;
    const std::size_t k_max = std::min(n, m);
    result.match_rows.reserve(k_max);
    result.match_cols.reserve(k_max);
    std::vector<unsigned char> row_matched(n, 0);
    std::vector<unsigned char> col_matched(m, 0);
    // The gate is inclusive and written as `max_cost >= cost`, so a NaN gate keeps nothing.
    // A dropped pair is not solved again: its row and column just stay unmatched.
    for (std::size_t k = 0; k < rows.size(); ++k) {
        const auto r = static_cast<std::size_t>(rows[k]);
        const auto c = static_cast<std::size_t>(cols[k]);
        if (max_cost >= cost[r * m + c]) {
            result.match_rows.push_back(rows[k]);
            result.match_cols.push_back(cols[k]);
            row_matched[r] = 1;
            col_matched[c] = 1;
        }
    }
    for (std::size_t r = 0; r < n; ++r) {
        if (!row_matched[r]) result.unmatched_rows.push_back(static_cast<std::int64_t>(r));
    }
    for (std::size_t c = 0; c < m; ++c) {
        if (!col_matched[c]) result.unmatched_cols.push_back(static_cast<std::int64_t>(c));
    }
    return result;
}

AssociationResult associate(const double* cost, std::size_t n, std::size_t m, double max_cost) {
    if (n == 0 || m == 0) {
        // Nothing to pair: no entry is read and the finite test does not run.
        AssociationResult result;
        result.unmatched_rows.resize(n);
        result.unmatched_cols.resize(m);
        for (std::size_t r = 0; r < n; ++r) result.unmatched_rows[r] = static_cast<std::int64_t>(r);
        for (std::size_t c = 0; c < m; ++c) result.unmatched_cols[c] = static_cast<std::int64_t>(c);
        return result;
    }
    const AssignmentResult pairs = linear_assignment(cost, n, m);
    return gate_assignment(cost, n, m, max_cost, pairs.rows, pairs.cols);
}

}  // namespace kelmora
