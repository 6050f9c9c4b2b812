// Box format conversions, areas, clipping and overlap matrices.
#include "kelmora/geometry.hpp"

#include <vector>

#include "common/cpu_features.hpp"
#include "overlap_rows.hpp"

namespace kelmora {

using detail::clamp_non_negative;
using detail::ColumnBoxes;
using detail::guard_divisor;
using detail::pair_iou;
using detail::RowBox;
#if defined(__SSE2__)
using detail::pair_iou_vec;
using detail::RowBoxVec;
#endif
#if defined(KELMORA_X86_KERNELS)
using detail::iou4;
using detail::RowBox4;
#endif

void xyxy_to_xywh_rows(const double* in, std::size_t n, double* out) {
    for (std::size_t r = 0; r < n; ++r, in += 4, out += 4) {
        const double x1 = in[0], y1 = in[1], x2 = in[2], y2 = in[3];
        out[0] = x1;
        out[1] = y1;
        out[2] = x2 - x1;
        out[3] = y2 - y1;
    }
}

void xywh_to_xyxy_rows(const double* in, std::size_t n, double* out) {
    for (std::size_t r = 0; r < n; ++r, in += 4, out += 4) {
        const double x = in[0], y = in[1], w = in[2], h = in[3];
        out[0] = x;
        out[1] = y;
        out[2] = x + w;
        out[3] = y + h;
    }
}

void xyxy_to_cxcywh_rows(const double* in, std::size_t n, double* out) {
    for (std::size_t r = 0; r < n; ++r, in += 4, out += 4) {
        const double x1 = in[0], y1 = in[1], x2 = in[2], y2 = in[3];
        out[0] = (x1 + x2) * 0.5;
        out[1] = (y1 + y2) * 0.5;
        out[2] = x2 - x1;
        out[3] = y2 - y1;
    }
}

void cxcywh_to_xyxy_rows(const double* in, std::size_t n, double* out) {
    for (std::size_t r = 0; r < n; ++r, in += 4, out += 4) {
        const double cx = in[0], cy = in[1];
        const double hw = in[2] * 0.5;
        const double hh = in[3] * 0.5;
        out[0] = cx - hw;
        out[1] = cy - hh;
        out[2] = cx + hw;
        out[3] = cy + hh;
    }
}

void xyxy_to_xyah_rows(const double* in, std::size_t n, double* out) {
    for (std::size_t r = 0; r < n; ++r, in += 4, out += 4) {
        const double x1 = in[0], y1 = in[1], x2 = in[2], y2 = in[3];
        const double h = y2 - y1;
        // Floor the divisor only; a NaN height fails the test and keeps NaN.
        const double d = kBoxEpsilon > h ? kBoxEpsilon : h;
        out[0] = (x1 + x2) * 0.5;
        out[1] = (y1 + y2) * 0.5;
        out[2] = (x2 - x1) / d;
        out[3] = h;
    }
}

void xyah_to_xyxy_rows(const double* in, std::size_t n, double* out) {
    for (std::size_t r = 0; r < n; ++r, in += 4, out += 4) {
        const double cx = in[0], cy = in[1], a = in[2], h = in[3];
        // The product h * a is rounded before it is halved.
        const double hw = (h * a) * 0.5;
        const double hh = h * 0.5;
        out[0] = cx - hw;
        out[1] = cy - hh;
        out[2] = cx + hw;
        out[3] = cy + hh;
    }
}

void box_area_rows(const double* in, std::size_t n, double* out) {
    for (std::size_t r = 0; r < n; ++r, in += 4) {
        out[r] = clamp_non_negative(in[2] - in[0]) * clamp_non_negative(in[3] - in[1]);
    }
}

void clip_boxes_rows(const double* in, std::size_t n, double width, double height, double* out) {
    const double limits[4] = {width, height, width, height};
    for (std::size_t r = 0; r < n; ++r, in += 4, out += 4) {
        for (int k = 0; k < 4; ++k) {
            // Lower bound first, then the upper bound: a NaN limit leaves m as it is,
            // a negative limit wins over every m >= 0.
            const double m = clamp_non_negative(in[k]);
            const double limit = limits[k];
            out[k] = limit < m ? limit : m;
        }
    }
}

namespace {

inline double pair_giou(const RowBox& a, double bx1, double by1, double bx2, double by2, double area_b) {
    double uni;
    const double iou = pair_iou(a, bx1, by1, bx2, by2, area_b, &uni);
    const double ex1 = a.x1 > bx1 ? bx1 : a.x1;
    const double ey1 = a.y1 > by1 ? by1 : a.y1;
    const double ex2 = bx2 > a.x2 ? bx2 : a.x2;
    const double ey2 = by2 > a.y2 ? by2 : a.y2;
    const double enclose = clamp_non_negative(ey2 - ey1) * clamp_non_negative(ex2 - ex1);
    return iou - (enclose - uni) / guard_divisor(enclose);
}

#if defined(__SSE2__)
inline __m128d pair_giou_vec(const RowBoxVec& a, __m128d bx1, __m128d by1, __m128d bx2, __m128d by2, __m128d area_b) {
    const __m128d zero = _mm_setzero_pd();
    const __m128d eps = _mm_set1_pd(kBoxEpsilon);
    __m128d uni;
    const __m128d iou = pair_iou_vec(a, bx1, by1, bx2, by2, area_b, &uni);
    const __m128d ex1 = _mm_min_pd(bx1, a.x1);
    const __m128d ey1 = _mm_min_pd(by1, a.y1);
    const __m128d ex2 = _mm_max_pd(bx2, a.x2);
    const __m128d ey2 = _mm_max_pd(by2, a.y2);
    const __m128d enclose = _mm_mul_pd(_mm_max_pd(zero, _mm_sub_pd(ey2, ey1)), _mm_max_pd(zero, _mm_sub_pd(ex2, ex1)));
    return _mm_sub_pd(iou, _mm_div_pd(_mm_sub_pd(enclose, uni), _mm_max_pd(eps, enclose)));
}
#endif

#if defined(KELMORA_X86_KERNELS)
// Four columns per vector, compiled for AVX in this function only and chosen at run time.
// VMAXPD/VMINPD select per lane exactly as MAXPD/MINPD do, and AVX has no fused
// multiply-add, so every lane still follows the scalar operation sequence.
template <bool kGeneralised>
KELMORA_TARGET_AVX std::size_t overlap_columns_avx(const RowBox& a, const ColumnBoxes& cols, std::size_t m,
                                                   double* dst) {
    const RowBox4 row4(a);
    std::size_t j = 0;
    for (; j + 4 <= m; j += 4) {
        if constexpr (!kGeneralised) {
            __m256d uni;
            _mm256_storeu_pd(dst + j, iou4(row4, cols, j, &uni));
        } else {
            const __m256d zero = _mm256_setzero_pd();
            const __m256d eps = _mm256_set1_pd(kBoxEpsilon);
            __m256d uni;
            const __m256d iou = iou4(row4, cols, j, &uni);
            const __m256d ex1 = _mm256_min_pd(_mm256_loadu_pd(cols.x1 + j), row4.x1);
            const __m256d ey1 = _mm256_min_pd(_mm256_loadu_pd(cols.y1 + j), row4.y1);
            const __m256d ex2 = _mm256_max_pd(_mm256_loadu_pd(cols.x2 + j), row4.x2);
            const __m256d ey2 = _mm256_max_pd(_mm256_loadu_pd(cols.y2 + j), row4.y2);
            const __m256d enclose = _mm256_mul_pd(_mm256_max_pd(zero, _mm256_sub_pd(ey2, ey1)),
                                                  _mm256_max_pd(zero, _mm256_sub_pd(ex2, ex1)));
            _mm256_storeu_pd(
                dst + j, _mm256_sub_pd(iou, _mm256_div_pd(_mm256_sub_pd(enclose, uni), _mm256_max_pd(eps, enclose))));
        }
    }
    return j;
}

#endif

template <bool kGeneralised>
void overlap_row(const double* a, const ColumnBoxes& cols, std::size_t m, double* dst) {
    const RowBox row(a);
    std::size_t j = 0;
#if defined(KELMORA_X86_KERNELS)
    if (detail::cpu_features().avx) j = overlap_columns_avx<kGeneralised>(row, cols, m, dst);
#endif
#if defined(__SSE2__)
    const RowBoxVec rv(row);
    for (; j + 2 <= m; j += 2) {
        const __m128d bx1 = _mm_loadu_pd(cols.x1 + j);
        const __m128d by1 = _mm_loadu_pd(cols.y1 + j);
        const __m128d bx2 = _mm_loadu_pd(cols.x2 + j);
        const __m128d by2 = _mm_loadu_pd(cols.y2 + j);
        const __m128d area_b = _mm_loadu_pd(cols.area + j);
        __m128d value;
        if constexpr (kGeneralised) {
            value = pair_giou_vec(rv, bx1, by1, bx2, by2, area_b);
        } else {
            __m128d uni;
            value = pair_iou_vec(rv, bx1, by1, bx2, by2, area_b, &uni);
        }
        _mm_storeu_pd(dst + j, value);
    }
#endif
    for (; j < m; ++j) {
        if constexpr (kGeneralised) {
            dst[j] = pair_giou(row, cols.x1[j], cols.y1[j], cols.x2[j], cols.y2[j], cols.area[j]);
        } else {
            double uni;
            dst[j] = pair_iou(row, cols.x1[j], cols.y1[j], cols.x2[j], cols.y2[j], cols.area[j], &uni);
        }
    }
}

template <bool kGeneralised>
void overlap_kernel(const double* a, std::size_t n, const double* b, std::size_t m, double* out) {
    std::vector<double> storage(5 * m);
    const detail::ColumnBoxes cols = detail::lay_out_columns(b, m, storage.data());
    for (std::size_t i = 0; i < n; ++i) overlap_row<kGeneralised>(a + 4 * i, cols, m, out + i * m);
}

}  // namespace

namespace detail {

ColumnBoxes lay_out_columns(const double* b, std::size_t m, double* storage) {
    double* p = storage;
    for (std::size_t j = 0; j < m; ++j) {
        const double* box = b + 4 * j;
        p[j] = box[0];
        p[m + j] = box[1];
        p[2 * m + j] = box[2];
        p[3 * m + j] = box[3];
        p[4 * m + j] = clamp_non_negative(box[3] - box[1]) * clamp_non_negative(box[2] - box[0]);
    }
    return ColumnBoxes{p, p + m, p + 2 * m, p + 3 * m, p + 4 * m};
}

void iou_row(const double* a, const ColumnBoxes& cols, std::size_t m, double* out) {
    overlap_row<false>(a, cols, m, out);
}

void giou_row(const double* a, const ColumnBoxes& cols, std::size_t m, double* out) {
    overlap_row<true>(a, cols, m, out);
}

}  // namespace detail

void iou_matrix_kernel(const double* a, std::size_t n, const double* b, std::size_t m, double* out) {
    overlap_kernel<false>(a, n, b, m, out);
}

void giou_matrix_kernel(const double* a, std::size_t n, const double* b, std::size_t m, double* out) {
    overlap_kernel<true>(a, n, b, m, out);
}

}  // namespace kelmora
