// The IoU of one box with many, one, two or four columns at a time, and one row of an overlap
// matrix at a time: shared by the overlap kernels and the tracker's association pass, which
// combines each row with more evidence before the next.
#pragma once

#include <cstddef>

#include "common/cpu_features.hpp"
#include "kelmora/geometry.hpp"

namespace kelmora::detail {

// The selections below are written as comparisons because their outcome on equal values and on
// NaN operands is part of the result: a false comparison always picks the second alternative.
inline double clamp_non_negative(double v) { return 0.0 > v ? 0.0 : v; }
inline double guard_divisor(double v) { return kBoxEpsilon > v ? kBoxEpsilon : v; }

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

// The box of a row, with its area.
struct RowBox {
    double x1, y1, x2, y2, area;
    explicit RowBox(const double* box)
        : x1(box[0]), y1(box[1]), x2(box[2]), y2(box[3]),
          area(clamp_non_negative(box[3] - box[1]) * clamp_non_negative(box[2] - box[0])) {}
};

// Intersection over union of the row box with column j; also hands back the union for GIoU.
inline double pair_iou(const RowBox& a, double bx1, double by1, double bx2, double by2, double area_b,
                       double* union_out) {
    const double ix1 = bx1 > a.x1 ? bx1 : a.x1;
    const double iy1 = by1 > a.y1 ? by1 : a.y1;
    const double ix2 = a.x2 > bx2 ? bx2 : a.x2;
    const double iy2 = a.y2 > by2 ? by2 : a.y2;
    const double inter = clamp_non_negative(ix2 - ix1) * clamp_non_negative(iy2 - iy1);
    // Add the two areas first, then subtract the intersection: this order fixes the rounding.
    const double uni = (a.area + area_b) - inter;
    *union_out = uni;
    return inter / guard_divisor(uni);
}

inline double iou1(const RowBox& a, const ColumnBoxes& cols, std::size_t j) {
    double uni;
    return pair_iou(a, cols.x1[j], cols.y1[j], cols.x2[j], cols.y2[j], cols.area[j], &uni);
}

#if defined(__SSE2__)
// Two columns per vector. MAXPD(x, y) yields x > y ? x : y and MINPD(x, y) yields
// x < y ? x : y per lane, second operand on equality or NaN: exactly the scalar
// selections above, so every lane follows the scalar operation sequence.
struct RowBoxVec {
    __m128d x1, y1, x2, y2, area;
    explicit RowBoxVec(const RowBox& a)
        : x1(_mm_set1_pd(a.x1)), y1(_mm_set1_pd(a.y1)), x2(_mm_set1_pd(a.x2)), y2(_mm_set1_pd(a.y2)),
          area(_mm_set1_pd(a.area)) {}
};

inline __m128d pair_iou_vec(const RowBoxVec& a, __m128d bx1, __m128d by1, __m128d bx2, __m128d by2, __m128d area_b,
                            __m128d* union_out) {
    const __m128d zero = _mm_setzero_pd();
    const __m128d eps = _mm_set1_pd(kBoxEpsilon);
    const __m128d ix1 = _mm_max_pd(bx1, a.x1);
    const __m128d iy1 = _mm_max_pd(by1, a.y1);
    const __m128d ix2 = _mm_min_pd(bx2, a.x2);
    const __m128d iy2 = _mm_min_pd(by2, a.y2);
    const __m128d inter = _mm_mul_pd(_mm_max_pd(zero, _mm_sub_pd(ix2, ix1)), _mm_max_pd(zero, _mm_sub_pd(iy2, iy1)));
    const __m128d uni = _mm_sub_pd(_mm_add_pd(a.area, area_b), inter);
    *union_out = uni;
    return _mm_div_pd(inter, _mm_max_pd(eps, uni));
}

inline __m128d iou2(const RowBoxVec& a, const ColumnBoxes& cols, std::size_t j) {
    __m128d uni;
    return pair_iou_vec(a, _mm_loadu_pd(cols.x1 + j), _mm_loadu_pd(cols.y1 + j), _mm_loadu_pd(cols.x2 + j),
                        _mm_loadu_pd(cols.y2 + j), _mm_loadu_pd(cols.area + j), &uni);
}
#endif

#if defined(KELMORA_X86_KERNELS)
// Four columns per vector, for functions compiled for AVX and chosen at run time. VMAXPD and
// VMINPD select per lane exactly as MAXPD and MINPD do, and AVX has no fused multiply-add, so
// every lane still follows the scalar operation sequence.
struct RowBox4 {
    __m256d x1, y1, x2, y2, area;
    KELMORA_TARGET_AVX explicit RowBox4(const RowBox& a)
        : x1(_mm256_set1_pd(a.x1)), y1(_mm256_set1_pd(a.y1)), x2(_mm256_set1_pd(a.x2)), y2(_mm256_set1_pd(a.y2)),
          area(_mm256_set1_pd(a.area)) {}
};

// The intersections and unions of the row box with columns j .. j + 3.
KELMORA_TARGET_AVX inline void overlap4(const RowBox4& a, const ColumnBoxes& cols, std::size_t j, __m256d* inter_out,
                                        __m256d* union_out) {
    const __m256d zero = _mm256_setzero_pd();
    const __m256d bx1 = _mm256_loadu_pd(cols.x1 + j);
    const __m256d by1 = _mm256_loadu_pd(cols.y1 + j);
    const __m256d bx2 = _mm256_loadu_pd(cols.x2 + j);
    const __m256d by2 = _mm256_loadu_pd(cols.y2 + j);
    const __m256d area_b = _mm256_loadu_pd(cols.area + j);
    const __m256d ix1 = _mm256_max_pd(bx1, a.x1);
    const __m256d iy1 = _mm256_max_pd(by1, a.y1);
    const __m256d ix2 = _mm256_min_pd(bx2, a.x2);
    const __m256d iy2 = _mm256_min_pd(by2, a.y2);
    const __m256d inter =
        _mm256_mul_pd(_mm256_max_pd(zero, _mm256_sub_pd(ix2, ix1)), _mm256_max_pd(zero, _mm256_sub_pd(iy2, iy1)));
    *inter_out = inter;
    *union_out = _mm256_sub_pd(_mm256_add_pd(a.area, area_b), inter);
}

// The IoU of the row box with columns j .. j + 3; hands back the unions for GIoU.
KELMORA_TARGET_AVX inline __m256d iou4(const RowBox4& a, const ColumnBoxes& cols, std::size_t j, __m256d* union_out) {
    __m256d inter;
    overlap4(a, cols, j, &inter, union_out);
    return _mm256_div_pd(inter, _mm256_max_pd(_mm256_set1_pd(kBoxEpsilon), *union_out));
}

// As iou4, without the division when no column intersects the row box and every union is a
// number: then each quotient is its zero numerator over a positive divisor (the union floored
// at kBoxEpsilon, or infinite), which is that very zero, sign included. Most columns of a
// tracking frame are far from a given box, and the division is the slowest operation here.
KELMORA_TARGET_AVX inline __m256d sparse_iou4(const RowBox4& a, const ColumnBoxes& cols, std::size_t j) {
    __m256d inter;
    __m256d uni;
    overlap4(a, cols, j, &inter, &uni);
    const __m256d hit =
        _mm256_or_pd(_mm256_cmp_pd(inter, _mm256_setzero_pd(), _CMP_NEQ_UQ), _mm256_cmp_pd(uni, uni, _CMP_UNORD_Q));
    if (_mm256_movemask_pd(hit) == 0) return inter;
    return _mm256_div_pd(inter, _mm256_max_pd(_mm256_set1_pd(kBoxEpsilon), uni));
}
#endif

// Writes the IoU, or the GIoU, of the corner box `a` with each of the m columns: the values
// and bits of one row of iou_matrix_kernel or giou_matrix_kernel.
void iou_row(const double* a, const ColumnBoxes& cols, std::size_t m, double* out);
void giou_row(const double* a, const ColumnBoxes& cols, std::size_t m, double* out);

}  // namespace kelmora::detail
