// Helpers shared by the two solvers: the finite test and the bit-exact transposition.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kelmora::detail {

// Refuses a matrix holding an infinity or a NaN (all eleven exponent bits set).
// Throws: std::invalid_argument "cost matrix must be finite; gate before assignment".
void require_finite(const double* values, std::size_t count);

// Returns the m x n transpose of the row-major n x m matrix, every entry copied bit for bit.
std::vector<double> transpose(const double* cost, std::size_t n, std::size_t m);

}  // namespace kelmora::detail
