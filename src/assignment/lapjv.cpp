// Jonker-Volgenant style solver: greedy start, then Dijkstra augmentation with column
// potentials only. Optimal, but on ties it may pick another optimum than the Hungarian core.
#include <cstring>
#include <limits>
#include <stdexcept>
#include <vector>

#include "assignment_internal.hpp"
#include "kelmora/assignment.hpp"

namespace kelmora {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

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

// The unscanned columns are kept as an ascending list, so selection and relaxation visit
// them in ascending order without testing a flag. Selection is fused into the loop that
// fills or relaxes the distances: both run over the same columns in the same order, and
// each column's distance is final for this round before it is compared.
template <typename Index>
void solve_free_rows(const double* cost, std::size_t n, std::size_t m, std::int64_t* x, std::int64_t* y) {
    std::vector<double> reals(3 * m);
    double* const v = reals.data();
    double* const d = v + m;
    std::vector<Index> indexes(3 * m);
    Index* const pred = indexes.data();
    Index* const unscanned = pred + m;
    Index* const scanned = unscanned + m;  // in the order they were scanned

    if (m == 0) {
        if (n > 0) no_augmenting_path();  // a free row and no column to reach
        return;
    }
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t j = greedy_column(cost + i * m, m, y);
        if (j != -1) {
            x[i] = j;
            y[j] = static_cast<std::int64_t>(i);
        }
    }

    for (std::size_t i = 0; i < n; ++i) {
        if (x[i] != -1) continue;

        const double* row = cost + i * m;
        double mu = kInf;
        std::size_t jmin = m;  // none
        std::size_t jmin_slot = 0;
        for (std::size_t j = 0; j < m; ++j) {
            const double dj = row[j] - v[j];
            d[j] = dj;
            pred[j] = static_cast<Index>(i);
            unscanned[j] = static_cast<Index>(j);
            if (mu > dj) {
                mu = dj;
                jmin = j;
                jmin_slot = j;
            }
        }
        std::size_t unscanned_count = m;
        std::size_t scanned_count = 0;

        while (true) {
            if (jmin == m) no_augmenting_path();
            std::memmove(unscanned + jmin_slot, unscanned + jmin_slot + 1,
                         (unscanned_count - jmin_slot - 1) * sizeof(Index));
            --unscanned_count;
            scanned[scanned_count++] = static_cast<Index>(jmin);
            const std::int64_t owner = y[jmin];
            if (owner == -1) break;

            const auto i2 = static_cast<std::size_t>(owner);
            const double* row2 = cost + i2 * m;
            const double h = (row2[jmin] - v[jmin]) - mu;
            mu = kInf;
            jmin = m;
            for (std::size_t k = 0; k < unscanned_count; ++k) {
                const std::size_t j = unscanned[k];
                const double cand = (row2[j] - v[j]) - h;
                double dj = d[j];
                if (dj > cand) {
                    dj = cand;
                    d[j] = cand;
                    pred[j] = static_cast<Index>(i2);
                }
                if (mu > dj) {
                    mu = dj;
                    jmin = j;
                    jmin_slot = k;
                }
            }
        }

        // Potentials of the scanned columns, the free column reached (the last one) excepted.
        for (std::size_t k = 0; k + 1 < scanned_count; ++k) {
            const std::size_t j = scanned[k];
            v[j] = (d[j] - mu) + v[j];
        }

        // Path reversal from the free column back to row i.
        std::size_t ip = pred[jmin];
        std::int64_t prev = x[ip];
        y[jmin] = static_cast<std::int64_t>(ip);
        x[ip] = static_cast<std::int64_t>(jmin);
        while (ip != i) {
            const auto jj = static_cast<std::size_t>(prev);
            ip = pred[jj];
            prev = x[ip];
            y[jj] = static_cast<std::int64_t>(ip);
            x[ip] = static_cast<std::int64_t>(jj);
        }
    }
}

}  // namespace

void lapjv(const double* cost, std::size_t n, std::size_t m, std::vector<std::int64_t>& x,
           std::vector<std::int64_t>& y) {
    x.assign(n, -1);
    y.assign(m, -1);
    if (detail::fits_in_32_bits(n, m)) {
        solve_free_rows<std::uint32_t>(cost, n, m, x.data(), y.data());
    } else {
        solve_free_rows<std::size_t>(cost, n, m, x.data(), y.data());
    }
}

void linear_assignment_lapjv(const double* cost, std::size_t n, std::size_t m, std::vector<std::int64_t>& rows,
                             std::vector<std::int64_t>& cols) {
    detail::require_finite(cost, n * m);
    const bool tall = n > m;
    std::vector<double> transposed;
    if (tall) transposed = detail::transpose(cost, n, m);
    const double* oriented = tall ? transposed.data() : cost;
    const std::size_t r = tall ? m : n;
    const std::size_t c = tall ? n : m;

    std::vector<std::int64_t> x;
    std::vector<std::int64_t> y;
    lapjv(oriented, r, c, x, y);

    std::vector<std::int64_t> sequence(r);
    for (std::size_t k = 0; k < r; ++k) sequence[k] = static_cast<std::int64_t>(k);
    // Wide: pairs in ascending row order. Tall: in ascending column order of the caller.
    if (tall) {
        rows = std::move(x);
        cols = std::move(sequence);
    } else {
        rows = std::move(sequence);
        cols = std::move(x);
    }
}

}  // namespace kelmora
