// Helpers shared by the two solvers: the finite test and the bit-exact transposition.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kelmora::detail {

// How many adjacent columns the scans of the solvers take at a time: one (the plain
// loop), two (SSE2) or four (AVX2). All widths give bit-identical results.
enum class Lanes { kOne, kTwo, kFour };

// The widest scan this build and processor support.
Lanes widest_lanes();

// The cores with an explicit scan width; the public functions use widest_lanes().
void hungarian_core(const double* cost, std::size_t n, std::size_t m, std::int64_t* col_to_row, Lanes lanes);
void lapjv_core(const double* cost, std::size_t n, std::size_t m, std::int64_t* x, std::int64_t* y, Lanes lanes);

// Refuses a matrix holding an infinity or a NaN (all eleven exponent bits set).
// Throws: std::invalid_argument "cost matrix must be finite; gate before assignment".
void require_finite(const double* values, std::size_t count);

// Returns the m x n transpose of the row-major n x m matrix, every entry copied bit for bit.
std::vector<double> transpose(const double* cost, std::size_t n, std::size_t m);

// Working array of one call: `inline_slots` on the caller's stack when the call needs no
// more, else one heap block. Small problems, the common case of a tracker frame, then
// allocate no working arrays, only their results.
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
        scratch.heap.resize(count);
        data = scratch.heap.data();
    }
    for (std::size_t k = 0; k < count; ++k) data[k] = fill;
    return data;
}

// Slots kept on the stack per working array (2 KiB each).
constexpr std::size_t kInlineSlots = 256;

}  // namespace kelmora::detail
