// One row of an overlap matrix at a time, for callers that combine each row with more
// evidence before the next (the tracker's association pass).
#pragma once

#include <cstddef>

namespace kelmora::detail {

// The boxes of the columns laid out one coordinate per array, with each box's area, so that
// a row reads contiguous values. The area depends on the column only, so computing it once
// per column gives the same bits as computing it for every pair.
struct ColumnBoxes {
    const double* x1;
    const double* y1;
    const double* x2;
    const double* y2;
    const double* area;
};

// Lays out m corner boxes into `storage` (5 m values) and returns the view of them.
ColumnBoxes lay_out_columns(const double* boxes, std::size_t m, double* storage);

// Writes the IoU, or the GIoU, of the corner box `a` with each of the m columns: the values
// and bits of one row of iou_matrix_kernel or giou_matrix_kernel.
void iou_row(const double* a, const ColumnBoxes& cols, std::size_t m, double* out);
void giou_row(const double* a, const ColumnBoxes& cols, std::size_t m, double* out);

}  // namespace kelmora::detail
