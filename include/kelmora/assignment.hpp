// Rectangular minimum-cost assignment: the parity-safe solver, gated association and
// the Jonker-Volgenant solver. Cost matrices are row-major n x m doubles, rows are
// tracks, columns are detections, lower is better, every entry finite.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kelmora {

// Paired row and column indexes into the caller's matrix; pair k is (rows[k], cols[k]).
struct AssignmentResult {
    std::vector<std::int64_t> rows;
    std::vector<std::int64_t> cols;
};

// Kept pairs plus the unmatched rows and columns in ascending order.
struct AssociationResult {
    std::vector<std::int64_t> match_rows;
    std::vector<std::int64_t> match_cols;
    std::vector<std::int64_t> unmatched_rows;
    std::vector<std::int64_t> unmatched_cols;
};

// Solves the rectangular assignment with min(n, m) pairs, transposing a tall matrix.
// Pairs come in ascending row order when n <= m, in ascending column order otherwise.
// Throws: std::invalid_argument for a non-finite entry; std::runtime_error when the
// reduced costs overflow and no column can be found.
AssignmentResult linear_assignment(const double* cost, std::size_t n, std::size_t m);

// Shortest-augmenting-path core for n <= m; writes m entries of col_to_row (row or -1).
void linear_assignment_core(const double* cost, std::size_t n, std::size_t m, std::int64_t* col_to_row);

// Keeps, in the given order, the pairs (rows[k], cols[k]) whose cost is <= max_cost (a NaN
// cost or gate keeps nothing) and lists every other row and column in ascending order.
AssociationResult gate_assignment(const double* cost, std::size_t n, std::size_t m, double max_cost,
                                  const std::vector<std::int64_t>& rows, const std::vector<std::int64_t>& cols);

// Solves with linear_assignment, then keeps the pairs whose cost is <= max_cost.
AssociationResult associate(const double* cost, std::size_t n, std::size_t m, double max_cost);

// Jonker-Volgenant solver: optimal, but may return another optimum than
// linear_assignment on ties. Overwrites rows and cols with min(n, m) pairs.
void linear_assignment_lapjv(const double* cost, std::size_t n, std::size_t m, std::vector<std::int64_t>& rows,
                             std::vector<std::int64_t>& cols);

// Jonker-Volgenant core for n <= m: x (n entries) gets each row's column, y (m entries)
// each column's row or -1.
void lapjv(const double* cost, std::size_t n, std::size_t m, std::vector<std::int64_t>& x,
           std::vector<std::int64_t>& y);

}  // namespace kelmora
