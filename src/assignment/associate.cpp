// Gated association: solve over the whole matrix, then keep the pairs within the gate.
#include <algorithm>
#include <vector>

#include "assignment_internal.hpp"
#include "kelmora/assignment.hpp"

namespace kelmora {

AssociationResult gate_assignment(const double* cost, std::size_t n, std::size_t m, double max_cost,
                                  const std::vector<std::int64_t>& rows, const std::vector<std::int64_t>& cols) {
    AssociationResult result;
    std::vector<unsigned char> matched(n + m);
    const auto pair = [&](std::size_t k) {
        const auto r = static_cast<std::size_t>(rows[k]);
        const auto c = static_cast<std::size_t>(cols[k]);
        return detail::GatedPair{r, c, cost[r * m + c]};
    };
    detail::keep_within_gate(rows.size(), pair, n, m, max_cost, matched.data(), result);
    return result;
}

AssociationResult associate(const double* cost, std::size_t n, std::size_t m, double max_cost) {
    if (n == 0 || m == 0) {
        // Nothing to pair: no entry is read and the finite test does not run.
        AssociationResult result;
        detail::all_unmatched(n, m, result);
        return result;
    }
    const AssignmentResult pairs = linear_assignment(cost, n, m);
    return gate_assignment(cost, n, m, max_cost, pairs.rows, pairs.cols);
}

}  // namespace kelmora
