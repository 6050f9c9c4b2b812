// Row kernels of the gating distances: one factored state against many measurements.
// The vector kernels run the scalar substitution of gating_internal.hpp on several
// measurements at once, one per lane; every lane performs exactly the scalar sequence of
// IEEE operations (no contraction, no reassociation), so all kernels agree bit for bit.
#include <cstddef>

#include "gating_internal.hpp"

#include "common/cpu_features.hpp"

namespace kelmora::detail {
namespace {

#if defined(KELMORA_X86_KERNELS)

// Each kernel runs blocks of kBlockVectors vectors, then single vectors for what is left. The
// stages of the substitution run across all vectors of a block before the next stage
// starts, so the divisions of different vectors overlap instead of waiting on each other.
constexpr int kBlockVectors = 4;

// --- SSE2, two measurements per vector: part of the x86-64 baseline ---------------------

template <int kVectors>
void sse2_block(const __m128d* m, const __m128d* projected, const int* row_of, const double* z, double* out) {
    __m128d d[4][kVectors];
    for (int v = 0; v < kVectors; ++v, z += 8) {
        const __m128d a01 = _mm_loadu_pd(z);
        const __m128d a23 = _mm_loadu_pd(z + 2);
        const __m128d b01 = _mm_loadu_pd(z + 4);
        const __m128d b23 = _mm_loadu_pd(z + 6);
        d[row_of[0]][v] = _mm_sub_pd(_mm_unpacklo_pd(a01, b01), projected[0]);
        d[row_of[1]][v] = _mm_sub_pd(_mm_unpackhi_pd(a01, b01), projected[1]);
        d[row_of[2]][v] = _mm_sub_pd(_mm_unpacklo_pd(a23, b23), projected[2]);
        d[row_of[3]][v] = _mm_sub_pd(_mm_unpackhi_pd(a23, b23), projected[3]);
    }
    __m128d y1[kVectors], y2[kVectors], y3[kVectors];
    for (int v = 0; v < kVectors; ++v) {
        const __m128d y0 = d[0][v];
        y1[v] = _mm_sub_pd(d[1][v], _mm_mul_pd(m[4], y0));
        y2[v] = _mm_sub_pd(d[2][v], _mm_add_pd(_mm_mul_pd(m[8], y0), _mm_mul_pd(m[9], y1[v])));
        y3[v] = _mm_sub_pd(
            d[3][v], _mm_add_pd(_mm_add_pd(_mm_mul_pd(m[12], y0), _mm_mul_pd(m[13], y1[v])), _mm_mul_pd(m[14], y2[v])));
    }
    __m128d x3[kVectors], x2[kVectors], x1[kVectors];
    for (int v = 0; v < kVectors; ++v) x3[v] = _mm_div_pd(y3[v], m[15]);
    for (int v = 0; v < kVectors; ++v) x2[v] = _mm_div_pd(_mm_sub_pd(y2[v], _mm_mul_pd(m[11], x3[v])), m[10]);
    for (int v = 0; v < kVectors; ++v) {
        const __m128d s = _mm_add_pd(_mm_mul_pd(m[6], x2[v]), _mm_mul_pd(m[7], x3[v]));
        x1[v] = _mm_div_pd(_mm_sub_pd(y1[v], s), m[5]);
    }
    for (int v = 0; v < kVectors; ++v, out += 2) {
        const __m128d s =
            _mm_add_pd(_mm_add_pd(_mm_mul_pd(m[1], x1[v]), _mm_mul_pd(m[2], x2[v])), _mm_mul_pd(m[3], x3[v]));
        const __m128d x0 = _mm_div_pd(_mm_sub_pd(d[0][v], s), m[0]);
        const __m128d even = _mm_add_pd(_mm_mul_pd(x0, x0), _mm_mul_pd(x2[v], x2[v]));
        const __m128d odd = _mm_add_pd(_mm_mul_pd(x1[v], x1[v]), _mm_mul_pd(x3[v], x3[v]));
        _mm_storeu_pd(out, _mm_add_pd(even, odd));
    }
}

// Returns the number of measurements done (a multiple of the block).
std::size_t sse2_rows(const GatingFactor& f, const double* z, std::size_t count, double* out) {
    __m128d m[16];
    __m128d projected[4];
    for (int k = 0; k < 16; ++k) m[k] = _mm_set1_pd(f.lu[k]);
    for (int k = 0; k < 4; ++k) projected[k] = _mm_set1_pd(f.projected[k]);
    std::size_t j = 0;
    for (; j + 2 * kBlockVectors <= count; j += 2 * kBlockVectors)
        sse2_block<kBlockVectors>(m, projected, f.row_of, z + 4 * j, out + j);
    for (; j + 2 <= count; j += 2) sse2_block<1>(m, projected, f.row_of, z + 4 * j, out + j);
    return j;
}

// --- AVX, four measurements per vector: used only where the processor has it ------------

template <int kVectors>
KELMORA_TARGET_AVX inline void avx_block(const __m256d* m, const __m256d* projected, const int* row_of, const double* z,
                                         double* out) {
    __m256d d[4][kVectors];
    for (int v = 0; v < kVectors; ++v, z += 16) {
        // Four rows of (x, y, a, h) transposed into one vector per component.
        const __m256d r0 = _mm256_loadu_pd(z);
        const __m256d r1 = _mm256_loadu_pd(z + 4);
        const __m256d r2 = _mm256_loadu_pd(z + 8);
        const __m256d r3 = _mm256_loadu_pd(z + 12);
        const __m256d t0 = _mm256_unpacklo_pd(r0, r1);
        const __m256d t1 = _mm256_unpackhi_pd(r0, r1);
        const __m256d t2 = _mm256_unpacklo_pd(r2, r3);
        const __m256d t3 = _mm256_unpackhi_pd(r2, r3);
        d[row_of[0]][v] = _mm256_sub_pd(_mm256_permute2f128_pd(t0, t2, 0x20), projected[0]);
        d[row_of[1]][v] = _mm256_sub_pd(_mm256_permute2f128_pd(t1, t3, 0x20), projected[1]);
        d[row_of[2]][v] = _mm256_sub_pd(_mm256_permute2f128_pd(t0, t2, 0x31), projected[2]);
        d[row_of[3]][v] = _mm256_sub_pd(_mm256_permute2f128_pd(t1, t3, 0x31), projected[3]);
    }
    __m256d y1[kVectors], y2[kVectors], y3[kVectors];
    for (int v = 0; v < kVectors; ++v) {
        const __m256d y0 = d[0][v];
        y1[v] = _mm256_sub_pd(d[1][v], _mm256_mul_pd(m[4], y0));
        y2[v] = _mm256_sub_pd(d[2][v], _mm256_add_pd(_mm256_mul_pd(m[8], y0), _mm256_mul_pd(m[9], y1[v])));
        y3[v] =
            _mm256_sub_pd(d[3][v], _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(m[12], y0), _mm256_mul_pd(m[13], y1[v])),
                                                 _mm256_mul_pd(m[14], y2[v])));
    }
    __m256d x3[kVectors], x2[kVectors], x1[kVectors];
    for (int v = 0; v < kVectors; ++v) x3[v] = _mm256_div_pd(y3[v], m[15]);
    for (int v = 0; v < kVectors; ++v) x2[v] = _mm256_div_pd(_mm256_sub_pd(y2[v], _mm256_mul_pd(m[11], x3[v])), m[10]);
    for (int v = 0; v < kVectors; ++v) {
        const __m256d s = _mm256_add_pd(_mm256_mul_pd(m[6], x2[v]), _mm256_mul_pd(m[7], x3[v]));
        x1[v] = _mm256_div_pd(_mm256_sub_pd(y1[v], s), m[5]);
    }
    for (int v = 0; v < kVectors; ++v, out += 4) {
        const __m256d s = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(m[1], x1[v]), _mm256_mul_pd(m[2], x2[v])),
                                        _mm256_mul_pd(m[3], x3[v]));
        const __m256d x0 = _mm256_div_pd(_mm256_sub_pd(d[0][v], s), m[0]);
        const __m256d even = _mm256_add_pd(_mm256_mul_pd(x0, x0), _mm256_mul_pd(x2[v], x2[v]));
        const __m256d odd = _mm256_add_pd(_mm256_mul_pd(x1[v], x1[v]), _mm256_mul_pd(x3[v], x3[v]));
        _mm256_storeu_pd(out, _mm256_add_pd(even, odd));
    }
}

KELMORA_TARGET_AVX std::size_t avx_rows(const GatingFactor& f, const double* z, std::size_t count, double* out) {
    __m256d m[16];
    __m256d projected[4];
    for (int k = 0; k < 16; ++k) m[k] = _mm256_set1_pd(f.lu[k]);
    for (int k = 0; k < 4; ++k) projected[k] = _mm256_set1_pd(f.projected[k]);
    std::size_t j = 0;
    for (; j + 4 * kBlockVectors <= count; j += 4 * kBlockVectors)
        avx_block<kBlockVectors>(m, projected, f.row_of, z + 4 * j, out + j);
    for (; j + 4 <= count; j += 4) avx_block<1>(m, projected, f.row_of, z + 4 * j, out + j);
    return j;
}

#endif  // KELMORA_X86_KERNELS

}  // namespace

GatingKernel fastest_gating_kernel() {
#if defined(KELMORA_X86_KERNELS)
    return cpu_features().avx ? GatingKernel::kAvx : GatingKernel::kSse2;
#else
    return GatingKernel::kScalar;
#endif
}

void gating_row(const GatingFactor& factor, const double* measurements, std::size_t m, double* out,
                GatingKernel kernel) {
    std::size_t j = 0;
#if defined(KELMORA_X86_KERNELS)
    if (kernel == GatingKernel::kAvx && m >= 4) j = avx_rows(factor, measurements, m, out);
    // SSE2 also takes a pair left over by AVX.
    if (kernel != GatingKernel::kScalar && m - j >= 2) j += sse2_rows(factor, measurements + 4 * j, m - j, out + j);
#else
    (void)kernel;
#endif
    for (; j < m; ++j) out[j] = gating_distance_one(factor, measurements + 4 * j);
}

}  // namespace kelmora::detail
