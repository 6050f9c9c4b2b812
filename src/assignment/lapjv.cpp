// Jonker-Volgenant style solver: greedy start, then Dijkstra augmentation with column
// potentials only. Optimal, but on ties it may pick another optimum than the Hungarian core.
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

[[noreturn]] void no_augmenting_path() { throw std::runtime_error("lapjv: no augmenting path"); }

// Greedy start for one row: the first free column holding the row's minimum, or -1.
// One pass: the running minimum moves only on a strictly smaller entry, and no column
// before such an entry can equal the final minimum, so the first free column equal to
// the final minimum is found among those seen since the last move.
std::int64_t greedy_column(const double* row, std::size_t m, const std::int64_t* y) {
    double best = row[0];
    std::int64_t first_free = y[0] == -1 ? 0 : -1;
    for (std::size_t j = 1; j < m; ++j) {
        const double c = row[j];
        if (c < best) {
            best = c;
            first_free = y[j] == -1 ? static_cast<std::int64_t>(j) : -1;
        } else if (first_free == -1 && c == best && y[j] == -1) {
            first_free = static_cast<std::int64_t>(j);
        }
    }
    return first_free;
}

// First distances of a search from free row i: d[j] = C[i][j] - v[j], pred[j] = i, and the
// first column of smallest distance picked (every column is unscanned at this point).
// Columns j ... m-1 one at a time: the reference form, and the tail of the vector variants.
void start_tail(std::size_t j, const double* row, const double* v, double* d, std::int64_t* pred, std::size_t m,
                std::int64_t i, Pick& pick) {
    for (; j < m; ++j) {
        const double dj = row[j] - v[j];
        d[j] = dj;
        pred[j] = i;
        detail::consider(pick, dj, static_cast<std::int64_t>(j));
    }
}

// First distances of a search, in its three variants, chosen by detail::run_scan.
struct SearchStart {
    static Pick scalar(const double* row, const double* v, double* d, std::int64_t* pred, std::size_t m,
                       std::int64_t i) {
        Pick pick{kInf, -1};
        start_tail(0, row, v, d, pred, m, i, pick);
        return pick;
    }

    static Pick sse2(const double* row, const double* v, double* d, std::int64_t* pred, std::size_t m, std::int64_t i) {
        std::size_t j = 0;
        Pick pick{kInf, -1};
#if defined(__SSE2__)
        const __m128i rowv = _mm_set1_epi64x(i);
        __m128d threshold = _mm_set1_pd(kInf);
        for (; j + 2 <= m; j += 2) {
            const __m128d dj = _mm_sub_pd(_mm_loadu_pd(row + j), _mm_loadu_pd(v + j));
            _mm_storeu_pd(d + j, dj);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(pred + j), rowv);
            detail::consider_pair(pick, threshold, dj, static_cast<std::int64_t>(j));
        }
#endif
        start_tail(j, row, v, d, pred, m, i, pick);
        return pick;
    }

#if defined(KELMORA_X86_KERNELS)
    KELMORA_TARGET_AVX2 static Pick avx2(const double* row, const double* v, double* d, std::int64_t* pred,
                                         std::size_t m, std::int64_t i) {
        std::size_t j = 0;
        Pick pick{kInf, -1};
        const __m256i rowv = _mm256_set1_epi64x(i);
        __m256d threshold = _mm256_set1_pd(kInf);
        for (; j + 4 <= m; j += 4) {
            const __m256d dj = _mm256_sub_pd(_mm256_loadu_pd(row + j), _mm256_loadu_pd(v + j));
            _mm256_storeu_pd(d + j, dj);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(pred + j), rowv);
            detail::consider_quad(pick, threshold, dj, static_cast<std::int64_t>(j));
        }
        start_tail(j, row, v, d, pred, m, i, pick);
        return pick;
    }
#endif
};

// Relaxation through row i2 (h is its offset), fused with the next selection: both visit
// the unscanned columns in ascending order, and each column's distance is final for the
// round before it is compared. Scanned columns hold NaN and are left unchanged.
void relax_tail(std::size_t j, const double* row2, const double* v, double* d, std::int64_t* pred, std::size_t m,
                double h, std::int64_t i2, Pick& pick) {
    for (; j < m; ++j) {
        const double cand = (row2[j] - v[j]) - h;
        double dj = d[j];
        if (dj > cand) {
            dj = cand;
            d[j] = cand;
            pred[j] = i2;
        }
        detail::consider(pick, dj, static_cast<std::int64_t>(j));
    }
}

// Relaxation through a row fused with the next selection, in its three variants.
struct RelaxSelect {
    static Pick scalar(const double* row2, const double* v, double* d, std::int64_t* pred, std::size_t m, double h,
                       std::int64_t i2) {
        Pick pick{kInf, -1};
        relax_tail(0, row2, v, d, pred, m, h, i2, pick);
        return pick;
    }

    static Pick sse2(const double* row2, const double* v, double* d, std::int64_t* pred, std::size_t m, double h,
                     std::int64_t i2) {
        std::size_t j = 0;
        Pick pick{kInf, -1};
#if defined(__SSE2__)
        const __m128d hv = _mm_set1_pd(h);
        const __m128i rowv = _mm_set1_epi64x(i2);
        __m128d threshold = _mm_set1_pd(kInf);
        for (; j + 2 <= m; j += 2) {
            const __m128d cand = _mm_sub_pd(_mm_sub_pd(_mm_loadu_pd(row2 + j), _mm_loadu_pd(v + j)), hv);
            __m128d dj = _mm_loadu_pd(d + j);
            const __m128d lower = _mm_cmpgt_pd(dj, cand);
            dj = detail::lower_of(cand, dj);
            _mm_storeu_pd(d + j, dj);
            __m128i* const pred_at = reinterpret_cast<__m128i*>(pred + j);
            _mm_storeu_si128(pred_at, detail::select_epi64(lower, rowv, _mm_loadu_si128(pred_at)));
            detail::consider_pair(pick, threshold, dj, static_cast<std::int64_t>(j));
        }
#endif
        relax_tail(j, row2, v, d, pred, m, h, i2, pick);
        return pick;
    }

#if defined(KELMORA_X86_KERNELS)
    KELMORA_TARGET_AVX2 static Pick avx2(const double* row2, const double* v, double* d, std::int64_t* pred,
                                         std::size_t m, double h, std::int64_t i2) {
        std::size_t j = 0;
        Pick pick{kInf, -1};
        const __m256d hv = _mm256_set1_pd(h);
        const __m256i rowv = _mm256_set1_epi64x(i2);
        __m256d threshold = _mm256_set1_pd(kInf);
        for (; j + 4 <= m; j += 4) {
            const __m256d cand = _mm256_sub_pd(_mm256_sub_pd(_mm256_loadu_pd(row2 + j), _mm256_loadu_pd(v + j)), hv);
            __m256d dj = _mm256_loadu_pd(d + j);
            const __m256d lower = _mm256_cmp_pd(dj, cand, _CMP_GT_OQ);
            dj = detail::lower_of(cand, dj);
            _mm256_storeu_pd(d + j, dj);
            __m256i* const pred_at = reinterpret_cast<__m256i*>(pred + j);
            _mm256_storeu_si256(pred_at, detail::select_epi64(lower, rowv, _mm256_loadu_si256(pred_at)));
            detail::consider_quad(pick, threshold, dj, static_cast<std::int64_t>(j));
        }
        relax_tail(j, row2, v, d, pred, m, h, i2, pick);
        return pick;
    }
#endif
};

}  // namespace

namespace detail {

// A scanned column gets d = NaN (see scan_kernels.hpp); its distance at the moment it was
// scanned, which is the mu of that round, is kept beside it for the potential update.
void lapjv_core(const double* cost, std::size_t n, std::size_t m, std::int64_t* x, std::int64_t* y, Lanes lanes,
                SolverWorkspace& work) {
    for (std::size_t i = 0; i < n; ++i) x[i] = -1;
    for (std::size_t j = 0; j < m; ++j) y[j] = -1;
    if (m == 0) {
        if (n > 0) no_augmenting_path();  // a free row and no column to reach
        return;
    }
    // Every row of the greedy start and every step of a search scans m columns; long solves
    // answer an interrupt between rows (checking inside a search would slow the scans down).
    detail::InterruptBudget budget;
    for (std::size_t i = 0; i < n; ++i) {
        budget.spend(m);
        const std::int64_t j = greedy_column(cost + i * m, m, y);
        if (j != -1) {
            x[i] = j;
            y[j] = static_cast<std::int64_t>(i);
        }
    }

    double* const v = take(work.reals, 3 * m, 0.0);
    double* const d = v + m;
    double* const scanned_d = d + m;
    std::int64_t* const pred = take(work.indexes, 2 * m, std::int64_t{0});
    std::int64_t* const scanned = pred + m;  // in the order they were scanned

    for (std::size_t i = 0; i < n; ++i) {
        if (x[i] != -1) continue;

        Pick pick = run_scan<SearchStart>(lanes, cost + i * m, v, d, pred, m, static_cast<std::int64_t>(i));
        std::size_t scanned_count = 0;
        while (true) {
            if (pick.column < 0) no_augmenting_path();
            const auto jmin = static_cast<std::size_t>(pick.column);
            const double mu = pick.value;
            d[jmin] = kLeft;
            scanned[scanned_count] = pick.column;
            scanned_d[scanned_count] = mu;
            ++scanned_count;
            const std::int64_t i2 = y[jmin];
            if (i2 == -1) break;

            const double* row2 = cost + static_cast<std::size_t>(i2) * m;
            const double h = (row2[jmin] - v[jmin]) - mu;
            pick = run_scan<RelaxSelect>(lanes, row2, v, d, pred, m, h, i2);
        }
        const double mu = pick.value;
        const auto jmin = static_cast<std::size_t>(pick.column);
        budget.spend(scanned_count * m);

        // Potentials of the scanned columns, the free column reached (the last one) excepted.
        for (std::size_t k = 0; k + 1 < scanned_count; ++k) {
            const auto j = static_cast<std::size_t>(scanned[k]);
            v[j] = (scanned_d[k] - mu) + v[j];
        }

        // Path reversal from the free column back to row i.
        auto ip = static_cast<std::size_t>(pred[jmin]);
        std::int64_t prev = x[ip];
        y[jmin] = static_cast<std::int64_t>(ip);
        x[ip] = static_cast<std::int64_t>(jmin);
        while (ip != i) {
            const auto j = static_cast<std::size_t>(prev);
            ip = static_cast<std::size_t>(pred[j]);
            prev = x[ip];
            y[j] = static_cast<std::int64_t>(ip);
            x[ip] = static_cast<std::int64_t>(j);
        }
    }
}

}  // namespace detail

void lapjv(const double* cost, std::size_t n, std::size_t m, std::vector<std::int64_t>& x,
           std::vector<std::int64_t>& y) {
    x.resize(n);
    y.resize(m);
    detail::SolverWorkspace work;
    detail::lapjv_core(cost, n, m, x.data(), y.data(), detail::widest_lanes(), work);
}

void linear_assignment_lapjv(const double* cost, std::size_t n, std::size_t m, std::vector<std::int64_t>& rows,
                             std::vector<std::int64_t>& cols) {
    AssignmentResult result = detail::solve_assignment(cost, n, m, detail::Solver::kJonkerVolgenant);
    rows = std::move(result.rows);
    cols = std::move(result.cols);
}

}  // namespace kelmora
