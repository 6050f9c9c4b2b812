// The finite test, the orientation of a matrix for the solver cores, and the pairs they give.
#include "assignment_internal.hpp"

#include "scan_kernels.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace kelmora::detail {

Lanes widest_lanes() {
#if defined(KELMORA_X86_KERNELS)
    if (cpu_features().avx2) return Lanes::kFour;
#endif
#if defined(__SSE2__)
    return Lanes::kTwo;
#else
    return Lanes::kOne;
#endif
}

void require_finite(const double* values, std::size_t count) {
    constexpr std::uint64_t kExponent = 0x7FF0000000000000u;
    constexpr std::uint64_t kExponentOne = 0x0010000000000000u;
    constexpr std::size_t kBlock = 512;
    // (bits & kExponent) + kExponentOne reaches bit 63 only when every exponent bit
    // is set; OR-ing these sums over a block is a test without a branch per entry.
    for (std::size_t start = 0; start < count; start += kBlock) {
        const std::size_t stop = std::min(count, start + kBlock);
        std::uint64_t seen = 0;
        for (std::size_t k = start; k < stop; ++k) {
            std::uint64_t bits;
            std::memcpy(&bits, values + k, sizeof bits);
            seen |= (bits & kExponent) + kExponentOne;
        }
        if (seen >> 63) throw std::invalid_argument("cost matrix must be finite; gate before assignment");
    }
}

void transpose(const double* cost, std::size_t n, std::size_t m, double* out) {
    // Square tiles keep both the reads and the writes within a few cache lines.
    constexpr std::size_t kTile = 16;
    for (std::size_t i0 = 0; i0 < n; i0 += kTile) {
        const std::size_t i1 = std::min(n, i0 + kTile);
        for (std::size_t j0 = 0; j0 < m; j0 += kTile) {
            const std::size_t j1 = std::min(m, j0 + kTile);
            for (std::size_t i = i0; i < i1; ++i) {
                for (std::size_t j = j0; j < j1; ++j) out[j * n + i] = cost[i * m + j];
            }
        }
    }
}

void release(SolverWorkspace& work) noexcept {
    std::vector<double>().swap(work.reals.heap);
    std::vector<std::int64_t>().swap(work.indexes.heap);
    std::vector<std::int64_t>().swap(work.assignment);
    std::vector<double>().swap(work.transposed);
}

void solve_rows(const double* cost, std::size_t r, std::size_t c, Solver solver, std::int64_t* row_to_col,
                SolverWorkspace& work) {
    if (work.assignment.size() < c) work.assignment.resize(c);
    std::int64_t* const by_column = work.assignment.data();
    if (solver == Solver::kJonkerVolgenant) {
        lapjv_core(cost, r, c, row_to_col, by_column, widest_lanes(), work);
        return;
    }
    hungarian_core(cost, r, c, by_column, widest_lanes(), work);
    // Every row holds exactly one column, so the inversion fills every entry.
    for (std::size_t j = 0; j < c; ++j) {
        if (by_column[j] != -1) row_to_col[by_column[j]] = static_cast<std::int64_t>(j);
    }
}

void pairs_from_rows(const std::int64_t* row_to_col, std::size_t n, std::size_t m, std::vector<std::int64_t>& rows,
                     std::vector<std::int64_t>& cols) {
    const bool tall = n > m;
    const std::size_t r = tall ? m : n;
    rows.resize(r);
    cols.resize(r);
    // Wide: pairs in ascending row order. Tall: in ascending column order of the caller.
    std::int64_t* const sequence = tall ? cols.data() : rows.data();
    std::int64_t* const partner = tall ? rows.data() : cols.data();
    for (std::size_t k = 0; k < r; ++k) {
        sequence[k] = static_cast<std::int64_t>(k);
        partner[k] = row_to_col[k];
    }
}

AssignmentResult solve_assignment(const double* cost, std::size_t n, std::size_t m, Solver solver) {
    require_finite(cost, n * m);
    SolverWorkspace work;
    const bool tall = n > m;
    const double* oriented = cost;
    if (tall) {
        work.transposed.resize(n * m);
        transpose(cost, n, m, work.transposed.data());
        oriented = work.transposed.data();
    }
    const std::size_t r = tall ? m : n;
    const std::size_t c = tall ? n : m;
    std::vector<std::int64_t> row_to_col(r);
    solve_rows(oriented, r, c, solver, row_to_col.data(), work);
    AssignmentResult result;
    pairs_from_rows(row_to_col.data(), n, m, result.rows, result.cols);
    return result;
}

}  // namespace kelmora::detail
