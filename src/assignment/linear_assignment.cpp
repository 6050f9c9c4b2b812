// Shortest-augmenting-path assignment with row and column potentials (Hungarian, O(n^2 m)).
#include <stdexcept>
#include <utility>
#include <vector>

#include "assignment_internal.hpp"
#include "kelmora/assignment.hpp"
#include "kelmora/interrupt.hpp"
#include "scan_kernels.hpp"

namespace kelmora {
namespace {

using detail::kInf;
using detail::kLeft;
using detail::Pick;

[[noreturn]] void no_free_column() { throw std::runtime_error("linear_assignment: no free column; n > m?"); }

// One search step over the m real columns (0-based here): slack of row i0 through each
// column, minv lowered where strictly smaller (way[j] then records the column `from`),
// and the first column of smallest minv picked. `pending` is the previous step's delta:
// the potential update subtracts it from every column outside the tree, and this scan is
// the first to read those columns again, so it applies the subtraction on load. On the
// first step of a row minv is +inf everywhere and is not read.
//
// Columns j ... m-1 one at a time: the reference form, and the tail of the vector variants.
template <bool kFirstStep>
void scan_tail(std::size_t j, const double* row, const double* v, double* minv, std::int64_t* way, std::size_t m,
               double ui0, double pending, std::int64_t from, Pick& pick) {
    for (; j < m; ++j) {
        const double cur = (row[j] - ui0) - v[j];
        double mv = kFirstStep ? kInf : minv[j] - pending;
        if (mv > cur) {
            mv = cur;
            way[j] = from;
        }
        minv[j] = mv;
        detail::consider(pick, mv, static_cast<std::int64_t>(j));
    }
}

// The three variants of a scan, chosen by detail::run_scan.
template <bool kFirstStep>
struct HungarianScan {
    static Pick scalar(const double* row, const double* v, double* minv, std::int64_t* way, std::size_t m, double ui0,
                       double pending, std::int64_t from) {
        Pick pick{kInf, -1};
        scan_tail<kFirstStep>(0, row, v, minv, way, m, ui0, pending, from, pick);
        return pick;
    }

    static Pick sse2(const double* row, const double* v, double* minv, std::int64_t* way, std::size_t m, double ui0,
                     double pending, std::int64_t from) {
        std::size_t j = 0;
        Pick pick{kInf, -1};
#if defined(__SSE2__)
        const __m128d uv = _mm_set1_pd(ui0);
        const __m128d pend = _mm_set1_pd(pending);
        const __m128i fromv = _mm_set1_epi64x(from);
        __m128d threshold = _mm_set1_pd(kInf);
        for (; j + 2 <= m; j += 2) {
            const __m128d cur = _mm_sub_pd(_mm_sub_pd(_mm_loadu_pd(row + j), uv), _mm_loadu_pd(v + j));
            __m128d mv = kFirstStep ? _mm_set1_pd(kInf) : _mm_sub_pd(_mm_loadu_pd(minv + j), pend);
            const __m128d lower = _mm_cmpgt_pd(mv, cur);
            mv = detail::lower_of(cur, mv);
            _mm_storeu_pd(minv + j, mv);
            __m128i* const way_at = reinterpret_cast<__m128i*>(way + j);
            _mm_storeu_si128(way_at, detail::select_epi64(lower, fromv, _mm_loadu_si128(way_at)));
            detail::consider_pair(pick, threshold, mv, static_cast<std::int64_t>(j));
        }
#endif
        scan_tail<kFirstStep>(j, row, v, minv, way, m, ui0, pending, from, pick);
        return pick;
    }

#if defined(KELMORA_X86_KERNELS)
    KELMORA_TARGET_AVX2 static Pick avx2(const double* row, const double* v, double* minv, std::int64_t* way,
                                         std::size_t m, double ui0, double pending, std::int64_t from) {
        std::size_t j = 0;
        Pick pick{kInf, -1};
        const __m256d uv = _mm256_set1_pd(ui0);
        const __m256d pend = _mm256_set1_pd(pending);
        const __m256i fromv = _mm256_set1_epi64x(from);
        __m256d threshold = _mm256_set1_pd(kInf);
        for (; j + 4 <= m; j += 4) {
            const __m256d cur = _mm256_sub_pd(_mm256_sub_pd(_mm256_loadu_pd(row + j), uv), _mm256_loadu_pd(v + j));
            __m256d mv = kFirstStep ? _mm256_set1_pd(kInf) : _mm256_sub_pd(_mm256_loadu_pd(minv + j), pend);
            const __m256d lower = _mm256_cmp_pd(mv, cur, _CMP_GT_OQ);
            mv = detail::lower_of(cur, mv);
            _mm256_storeu_pd(minv + j, mv);
            __m256i* const way_at = reinterpret_cast<__m256i*>(way + j);
            _mm256_storeu_si256(way_at, detail::select_epi64(lower, fromv, _mm256_loadu_si256(way_at)));
            detail::consider_quad(pick, threshold, mv, static_cast<std::int64_t>(j));
        }
        scan_tail<kFirstStep>(j, row, v, minv, way, m, ui0, pending, from, pick);
        return pick;
    }
#endif
};

}  // namespace

namespace detail {

// Rows and columns are 1-based as in the textbook method; column 0 is the virtual column
// of the row being inserted, and the arrays of real columns are passed on from index 1.
// A column joins the tree by getting minv = NaN (see scan_kernels.hpp), so no used flag
// is kept. While a search runs, the potentials of the tree's rows and columns live in
// two compact arrays in the order they joined: every step adds delta to each u and
// subtracts it from each v, the same operations in the same order as in place, but on
// contiguous memory. They are written back when the search ends; no scan reads them in
// between (a tree column's slack is discarded, and u of a row is read once, as it joins).
void hungarian_core(const double* cost, std::size_t n, std::size_t m, std::int64_t* col_to_row, Lanes lanes,
                    SolverWorkspace& work) {
    double* const u = take(work.reals, (n + 1) + 4 * (m + 1), 0.0);
    double* const v = u + (n + 1);
    double* const minv = v + (m + 1);
    double* const tree_u = minv + (m + 1);
    double* const tree_v = tree_u + (m + 1);
    std::int64_t* const p = take(work.indexes, 4 * (m + 1), std::int64_t{0});
    std::int64_t* const way = p + (m + 1);
    std::int64_t* const tree_rows = way + (m + 1);
    std::int64_t* const tree_cols = tree_rows + (m + 1);

    // Every step of a row's search scans the m columns; long solves answer an interrupt
    // between rows (checking inside the search loop would slow the scans down).
    detail::InterruptBudget budget;
    for (std::size_t i = 1; i <= n; ++i) {
        p[0] = static_cast<std::int64_t>(i);
        if (m == 0) no_free_column();
        tree_rows[0] = static_cast<std::int64_t>(i);
        tree_cols[0] = 0;
        tree_u[0] = u[i];
        tree_v[0] = v[0];
        std::size_t tree_size = 1;

        Pick pick = run_scan<HungarianScan<true>>(lanes, cost + (i - 1) * m, v + 1, minv + 1, way + 1, m, tree_u[0],
                                                  0.0, std::int64_t{0});
        while (true) {
            if (pick.column < 0) no_free_column();
            const double delta = pick.value;
            for (std::size_t t = 0; t < tree_size; ++t) tree_u[t] += delta;
            for (std::size_t t = 0; t < tree_size; ++t) tree_v[t] -= delta;
            const std::size_t j0 = static_cast<std::size_t>(pick.column) + 1;
            if (p[j0] == 0) break;

            // j0 joins the tree; its owner's row is scanned next.
            const auto i0 = static_cast<std::size_t>(p[j0]);
            minv[j0] = kLeft;
            tree_rows[tree_size] = static_cast<std::int64_t>(i0);
            tree_cols[tree_size] = static_cast<std::int64_t>(j0);
            tree_u[tree_size] = u[i0];
            tree_v[tree_size] = v[j0];
            pick = run_scan<HungarianScan<false>>(lanes, cost + (i0 - 1) * m, v + 1, minv + 1, way + 1, m,
                                                  tree_u[tree_size], delta, static_cast<std::int64_t>(j0));
            ++tree_size;
        }
        for (std::size_t t = 0; t < tree_size; ++t) {
            u[static_cast<std::size_t>(tree_rows[t])] = tree_u[t];
            v[static_cast<std::size_t>(tree_cols[t])] = tree_v[t];
        }
        budget.spend(tree_size * (m + 1));

        // Augmentation: shift every owner one column back along the path.
        std::size_t j0 = static_cast<std::size_t>(pick.column) + 1;
        while (j0 != 0) {
            const auto prev = static_cast<std::size_t>(way[j0]);
            p[j0] = p[prev];
            j0 = prev;
        }
    }

    for (std::size_t j = 1; j <= m; ++j) {
        col_to_row[j - 1] = p[j] != 0 ? p[j] - 1 : -1;
    }
}

}  // namespace detail

void linear_assignment_core(const double* cost, std::size_t n, std::size_t m, std::int64_t* col_to_row) {
    detail::SolverWorkspace work;
    detail::hungarian_core(cost, n, m, col_to_row, detail::widest_lanes(), work);
}

AssignmentResult linear_assignment(const double* cost, std::size_t n, std::size_t m) {
    return detail::solve_assignment(cost, n, m, detail::Solver::kHungarian);
}

}  // namespace kelmora
