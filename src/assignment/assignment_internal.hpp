// Helpers shared by the two solvers: working memory, the finite test, the orientation of a
// matrix for the cores, and the wrapper that turns a core's answer into the caller's pairs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kelmora/assignment.hpp"

namespace kelmora::detail {

// How many adjacent columns the scans of the solvers take at a time: one (the plain
// loop), two (SSE2) or four (AVX2). All widths give bit-identical results.
enum class Lanes { kOne, kTwo, kFour };

// The widest scan this build and processor support.
Lanes widest_lanes();

// Working array of a solver: `inline_slots` when the problem needs no more, else one heap
// block, which a workspace kept between calls reuses. Small problems, the common case of a
// tracker frame, then allocate no working arrays at all.
template <typename T, std::size_t kInlineSlots>
struct Scratch {
    T inline_slots[kInlineSlots];
    std::vector<T> heap;
};

// Returns `count` entries of `scratch`, each set to `fill`.
template <typename T, std::size_t kInlineSlots>
T* take(Scratch<T, kInlineSlots>& scratch, std::size_t count, T fill) {
    T* data = scratch.inline_slots;
    if (count > kInlineSlots) {
        if (scratch.heap.size() < count) scratch.heap.resize(count);
        data = scratch.heap.data();
    }
    for (std::size_t k = 0; k < count; ++k) data[k] = fill;
    return data;
}

// Slots kept inline per working array (2 KiB each).
constexpr std::size_t kInlineSlots = 256;

// The working memory of both cores and of the wrapper.
struct SolverWorkspace {
    Scratch<double, kInlineSlots> reals;
    Scratch<std::int64_t, kInlineSlots> indexes;
    std::vector<std::int64_t> assignment;  // the core's answer, one entry per column
    std::vector<double> transposed;        // a tall matrix turned wide
};

// Frees the heap blocks of a workspace.
void release(SolverWorkspace& work) noexcept;

// The cores, for n <= m, with an explicit scan width; the public functions use widest_lanes().
// hungarian_core writes m entries of col_to_row (the row of each column, or -1); lapjv_core
// writes x (the column of each row) and y (the row of each column, or -1).
void hungarian_core(const double* cost, std::size_t n, std::size_t m, std::int64_t* col_to_row, Lanes lanes,
                    SolverWorkspace& work);
void lapjv_core(const double* cost, std::size_t n, std::size_t m, std::int64_t* x, std::int64_t* y, Lanes lanes,
                SolverWorkspace& work);

enum class Solver { kHungarian, kJonkerVolgenant };

// Solves a matrix of r <= c rows as it is laid out and writes the column of each row into
// row_to_col (r entries; the cores pair every row).
void solve_rows(const double* cost, std::size_t r, std::size_t c, Solver solver, std::int64_t* row_to_col,
                SolverWorkspace& work);

// The pairs of a solved n x m problem in the caller's order, from the column of each row of
// the oriented matrix (the caller's when n <= m, its transpose otherwise): ascending rows of
// the caller's matrix when n <= m, ascending columns otherwise.
void pairs_from_rows(const std::int64_t* row_to_col, std::size_t n, std::size_t m, std::vector<std::int64_t>& rows,
                     std::vector<std::int64_t>& cols);

// The public entry of both solvers: finite test over the caller's matrix, a transposed copy
// when it is tall, the core, and the pairs in the caller's order.
// Throws: std::invalid_argument for a non-finite entry; the core's std::runtime_error.
AssignmentResult solve_assignment(const double* cost, std::size_t n, std::size_t m, Solver solver);

// An association of n rows and m columns with no pair: every row and column unmatched.
inline void all_unmatched(std::size_t n, std::size_t m, AssociationResult& result) {
    result.match_rows.clear();
    result.match_cols.clear();
    result.unmatched_rows.resize(n);
    for (std::size_t r = 0; r < n; ++r) result.unmatched_rows[r] = static_cast<std::int64_t>(r);
    result.unmatched_cols.resize(m);
    for (std::size_t c = 0; c < m; ++c) result.unmatched_cols[c] = static_cast<std::int64_t>(c);
}

// A solver's pair: its row and column in the caller's matrix, and its cost.
struct GatedPair {
    std::size_t row;
    std::size_t col;
    double cost;
};

// The gate after a solve: keeps, in the solver's order, each of the `count` pairs given by
// pair(k) whose cost is within max_cost, and lists every other row (of n) and column (of m)
// in ascending order. The gate is inclusive and written as `max_cost >= cost`, so a NaN cost or
// gate keeps nothing; a dropped pair is not solved again: its row and column just stay
// unmatched. `matched` is n + m bytes of working memory.
template <typename PairOf>
void keep_within_gate(std::size_t count, PairOf pair, std::size_t n, std::size_t m, double max_cost,
                      unsigned char* matched, AssociationResult& result) {
    result.match_rows.clear();
    result.match_cols.clear();
    result.unmatched_rows.clear();
    result.unmatched_cols.clear();
    result.match_rows.reserve(count);
    result.match_cols.reserve(count);
    for (std::size_t k = 0; k < n + m; ++k) matched[k] = 0;
    for (std::size_t k = 0; k < count; ++k) {
        const GatedPair p = pair(k);
        if (max_cost >= p.cost) {
            result.match_rows.push_back(static_cast<std::int64_t>(p.row));
            result.match_cols.push_back(static_cast<std::int64_t>(p.col));
            matched[p.row] = 1;
            matched[n + p.col] = 1;
        }
    }
    for (std::size_t r = 0; r < n; ++r) {
        if (!matched[r]) result.unmatched_rows.push_back(static_cast<std::int64_t>(r));
    }
    for (std::size_t c = 0; c < m; ++c) {
        if (!matched[n + c]) result.unmatched_cols.push_back(static_cast<std::int64_t>(c));
    }
}

// Refuses a matrix holding an infinity or a NaN (all eleven exponent bits set).
// Throws: std::invalid_argument "cost matrix must be finite; gate before assignment".
void require_finite(const double* values, std::size_t count);

// Writes the m x n transpose of the row-major n x m matrix, every entry copied bit for bit.
void transpose(const double* cost, std::size_t n, std::size_t m, double* out);

}  // namespace kelmora::detail
