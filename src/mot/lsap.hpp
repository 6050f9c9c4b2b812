// The rectangular assignment solver that MOT evaluation matches boxes with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kelmora::mot {

// Working memory of solve_lsap, kept between calls so that a loop over frames allocates
// nothing once it has seen its largest frame.
struct LsapWorkspace {
    std::vector<double> cost;
    std::vector<double> u, v, shortest;
    std::vector<std::ptrdiff_t> path, col4row, row4col, remaining;
    std::vector<char> row_seen, col_seen;
};

// What solve_lsap made of a cost matrix; the two refusals are SciPy's.
enum class LsapStatus {
    kSolved,
    kInvalid,     // an entry is NaN or -inf
    kInfeasible,  // some row cannot be assigned at a finite cost
};

// Solves the rectangular minimum-cost assignment of the nr x nc row-major `cost` (finite or
// +inf entries) and writes min(nr, nc) pairs to rows and cols, in ascending row order.
//
// It is the shortest-augmenting-path method that scipy.optimize.linear_sum_assignment runs
// (Crouse, 2016), operation for operation, so that every tie is broken as there: a
// constant matrix gives the identity, and among columns of equal path cost an unassigned
// one is taken. It refuses what SciPy refuses, in SciPy's order: an empty matrix is solved
// (no pairs), then a NaN or -inf entry makes it kInvalid, then a matrix in which every
// assignment of min(nr, nc) pairs takes an infinite cost is kInfeasible; rows and cols are
// then unspecified.
LsapStatus solve_lsap(std::size_t nr, std::size_t nc, const double* cost, std::int64_t* rows, std::int64_t* cols,
                      LsapWorkspace& work);

}  // namespace kelmora::mot
