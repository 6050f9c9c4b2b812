// Finite test and transposition of cost matrices.
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

std::vector<double> transpose(const double* cost, std::size_t n, std::size_t m) {
    std::vector<double> out(n * m);
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
    return out;
}

}  // namespace kelmora::detail
