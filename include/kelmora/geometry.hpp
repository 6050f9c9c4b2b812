// Box format conversions, areas, clipping and overlap matrices on raw row-major buffers.
#pragma once

#include <cstddef>

namespace kelmora {

// Floor of box heights in the aspect ratio and of the divisors of IoU and GIoU.
constexpr double kBoxEpsilon = 1e-7;

// Row kernels: `in` holds n boxes of 4 values, `out` receives n boxes of 4 values.
// The buffers must not overlap. Every value is computed with its own fixed sequence
// of separately rounded operations, so results match the reference bit for bit.

// Converts (x1, y1, x2, y2) to (x1, y1, x2 - x1, y2 - y1).
void xyxy_to_xywh_rows(const double* in, std::size_t n, double* out);
// Converts (x, y, w, h) to (x, y, x + w, y + h).
void xywh_to_xyxy_rows(const double* in, std::size_t n, double* out);
// Converts corners to (centre x, centre y, width, height); centres are (a + b) * 0.5.
void xyxy_to_cxcywh_rows(const double* in, std::size_t n, double* out);
// Converts (cx, cy, w, h) to corners, with half sizes w * 0.5 and h * 0.5.
void cxcywh_to_xyxy_rows(const double* in, std::size_t n, double* out);
// Converts corners to (cx, cy, aspect ratio, height); the aspect divisor is the height
// floored at kBoxEpsilon, the stored height is not floored.
void xyxy_to_xyah_rows(const double* in, std::size_t n, double* out);
// Converts (cx, cy, a, h) to corners with half width (h * a) * 0.5.
void xyah_to_xyxy_rows(const double* in, std::size_t n, double* out);

// Writes n areas: clamp(x2 - x1) * clamp(y2 - y1), negative extents clamped to 0.
void box_area_rows(const double* in, std::size_t n, double* out);
// Clips x coordinates to [0, width] and y coordinates to [0, height]: first the lower
// bound 0, then the upper bound, so NaN coordinates stay NaN.
void clip_boxes_rows(const double* in, std::size_t n, double width, double height, double* out);

// Fills out (n x m, row-major) with the IoU of every box of a against every box of b.
void iou_matrix_kernel(const double* a, std::size_t n, const double* b, std::size_t m, double* out);
// Fills out (n x m, row-major) with the generalised IoU of every pair.
void giou_matrix_kernel(const double* a, std::size_t n, const double* b, std::size_t m, double* out);

}  // namespace kelmora
