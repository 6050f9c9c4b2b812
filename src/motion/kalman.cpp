// Constant-velocity Kalman filter over (cx, cy, aspect, height) boxes: initiate, predict,
// project and update on caller-owned row-major buffers.
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cmath>
#include <cstdint>
#include <cstring>

#include "kalman_internal.hpp"
#include "kelmora/kalman.hpp"

namespace kelmora {
namespace {

// The covariance step of predict on rows i (`top`) and i + 4 (`bottom`), i < 4:
//   row step     r = P[i] + P[i + 4]                      (row i + 4 unchanged)
//   column step  top[j] = r[j] + r[j + 4], bottom[j] = P[i + 4][j] + P[i + 4][j + 4], j < 4
// Both input rows are read whole before either output row is written, so the outputs may
// be the inputs. The vector form runs every element through the same two additions as the
// scalar one.
inline void advance_row_pair(const double* top, const double* bottom, double* top_out, double* bottom_out) {
#if defined(__SSE2__)
    const __m128d b01 = _mm_loadu_pd(bottom);
    const __m128d b23 = _mm_loadu_pd(bottom + 2);
    const __m128d b45 = _mm_loadu_pd(bottom + 4);
    const __m128d b67 = _mm_loadu_pd(bottom + 6);
    const __m128d r01 = _mm_add_pd(_mm_loadu_pd(top), b01);
    const __m128d r23 = _mm_add_pd(_mm_loadu_pd(top + 2), b23);
    const __m128d r45 = _mm_add_pd(_mm_loadu_pd(top + 4), b45);
    const __m128d r67 = _mm_add_pd(_mm_loadu_pd(top + 6), b67);
    _mm_storeu_pd(top_out, _mm_add_pd(r01, r45));
    _mm_storeu_pd(top_out + 2, _mm_add_pd(r23, r67));
    _mm_storeu_pd(top_out + 4, r45);
    _mm_storeu_pd(top_out + 6, r67);
    _mm_storeu_pd(bottom_out, _mm_add_pd(b01, b45));
    _mm_storeu_pd(bottom_out + 2, _mm_add_pd(b23, b67));
    _mm_storeu_pd(bottom_out + 4, b45);
    _mm_storeu_pd(bottom_out + 6, b67);
#else
    double r[8];
    double b[8];
    for (int j = 0; j < 8; ++j) {
        b[j] = bottom[j];
        r[j] = top[j] + b[j];
    }
    for (int j = 0; j < 4; ++j) {
        top_out[j] = r[j] + r[j + 4];
        top_out[j + 4] = r[j + 4];
        bottom_out[j] = b[j] + b[j + 4];
        bottom_out[j + 4] = b[j + 4];
    }
#endif
}

}  // namespace

using detail::kAspectMeasurementVariance;
using detail::kAspectVariance;
using detail::kAspectVelocityVariance;

void KalmanBoxTracker::initiate(const double* measurement, double* mean, double* covariance) const {
    for (int k = 0; k < 4; ++k) {
        mean[k] = measurement[k];
        mean[k + 4] = 0.0;
    }
    const double h = measurement[3];
    // wp + wp is 2 * wp exactly; the product with the height comes last.
    const double a = (std_weight_position_ + std_weight_position_) * h;
    const double b = (std_weight_velocity_ * 10.0) * h;
    const double diagonal[8] = {a * a, a * a, kAspectVariance, a * a, b * b, b * b, kAspectVelocityVariance, b * b};
    for (int k = 0; k < 64; ++k) covariance[k] = 0.0;
    for (int k = 0; k < 8; ++k) covariance[9 * k] = diagonal[k];
}

void KalmanBoxTracker::predict(double* means, double* covariances, std::size_t n) const {
    predict(means, covariances, n, means, covariances);
}

void KalmanBoxTracker::predict(const double* means, const double* covariances, std::size_t n, double* new_means,
                               double* new_covariances) const {
    for (std::size_t s = 0; s < n; ++s, means += 8, covariances += 64, new_means += 8, new_covariances += 64) {
        const double* x = means;
        const double* p = covariances;
        double* x_out = new_means;
        double* p_out = new_covariances;
        // The height before the step scales the process noise.
        const double h = x[3];
        const double c = h * std_weight_position_;
        const double d = h * std_weight_velocity_;
        for (int i = 0; i < 4; ++i) {
            const double moved = x[i] + x[i + 4];
            x_out[i + 4] = x[i + 4];
            x_out[i] = moved;
        }
        // F * P first (rows), then the result times F^T (columns): the other grouping,
        // F * (P * F^T), rounds differently. The steps run per pair of rows i, i + 4.
        for (int i = 0; i < 4; ++i) advance_row_pair(p + 8 * i, p + 8 * (i + 4), p_out + 8 * i, p_out + 8 * (i + 4));
        const double q[8] = {c * c, c * c, kAspectVariance, c * c, d * d, d * d, kAspectVelocityVariance, d * d};
        for (int k = 0; k < 8; ++k) p_out[9 * k] = p_out[9 * k] + q[k];
    }
}

void KalmanBoxTracker::project(const double* means, const double* covariances, std::size_t n, double* projected_means,
                               double* projected_covariances) const {
    for (std::size_t s = 0; s < n; ++s) {
        detail::project_state(means + 8 * s, covariances + 64 * s, std_weight_position_, projected_means + 4 * s,
                              projected_covariances + 16 * s);
    }
}

namespace {

// The covariance update P+ = (A P) A^T + (K R) K^T with A = I - K H, then symmetrised, exactly
// as Eigen's dense products evaluate it: every entry of A P, (A P) A^T and (K R) K^T is
// accumulated from 0.0 in increasing k, each product rounded before it is added (a row-major
// product runs as the transposed column-major one, so each product takes the right-hand factor
// first); K R is evaluated coefficient by coefficient with its four products summed pairwise;
// the second product is added onto the first as its own sum plus the destination.
void joseph_full(const double* p, const double* k, const double* r, double* out) {
    double a[64];
    for (int i = 0; i < 8; ++i) {
        for (int j = 0; j < 8; ++j) {
            const double delta = i == j ? 1.0 : 0.0;
            // delta_ij - K_ij keeps +0.0 where both are zero.
            a[8 * i + j] = j < 4 ? delta - k[4 * i + j] : delta;
        }
    }
    double ap[64];
    for (int i = 0; i < 8; ++i) {
        for (int j = 0; j < 8; ++j) {
            double acc = 0.0;
            for (int q = 0; q < 8; ++q) acc = acc + p[8 * q + j] * a[8 * i + q];
            ap[8 * i + j] = acc + 0.0;
        }
    }
    double joseph[64];
    for (int i = 0; i < 8; ++i) {
        for (int j = 0; j < 8; ++j) {
            double acc = 0.0;
            for (int q = 0; q < 8; ++q) acc = acc + a[8 * j + q] * ap[8 * i + q];
            joseph[8 * i + j] = acc + 0.0;
        }
    }
    double kr[32];
    for (int i = 0; i < 8; ++i) {
        for (int j = 0; j < 4; ++j) {
            const double p0 = k[4 * i] * r[j];
            const double p1 = k[4 * i + 1] * r[4 + j];
            const double p2 = k[4 * i + 2] * r[8 + j];
            const double p3 = k[4 * i + 3] * r[12 + j];
            kr[4 * i + j] = (p0 + p1) + (p2 + p3);
        }
    }
    for (int i = 0; i < 8; ++i) {
        for (int j = 0; j < 8; ++j) {
            double acc = 0.0;
            for (int q = 0; q < 4; ++q) acc = acc + k[4 * j + q] * kr[4 * i + q];
            joseph[8 * i + j] = acc + joseph[8 * i + j];
        }
    }
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j) out[8 * i + j] = 0.5 * (joseph[8 * j + i] + joseph[8 * i + j]);
}

// True when P and K have the shape of a tracker's state: each of the four measured quantities
// is coupled only to its own velocity (P_ij = 0 unless i = j mod 4; K_ij = 0 unless i = j mod 4).
// The entries outside the blocks are OR-ed without their sign bits: zero only if all are +-0.
// K is read as X = K^T, 4 x 8, the layout the gain is solved in.
struct BlockMasks {
    std::uint64_t p[64];
    std::uint64_t k[32];
    constexpr BlockMasks() : p(), k() {
        for (int i = 0; i < 8; ++i) {
            for (int j = 0; j < 8; ++j) p[8 * i + j] = (i & 3) != (j & 3) ? ~std::uint64_t{0} >> 1 : 0;
            for (int j = 0; j < 4; ++j) k[8 * j + i] = (i & 3) != j ? ~std::uint64_t{0} >> 1 : 0;
        }
    }
};
constexpr BlockMasks kBlockMasks;

bool coordinate_blocks(const double* p, const double* x) {
#if defined(__SSE2__)
    __m128i bits = _mm_setzero_si128();
    const auto masked = [&bits](const double* values, const std::uint64_t* masks, int n) {
        for (int q = 0; q < n; q += 2) {
            const __m128i v = _mm_castpd_si128(_mm_loadu_pd(values + q));
            bits = _mm_or_si128(bits, _mm_and_si128(v, _mm_loadu_si128(reinterpret_cast<const __m128i*>(masks + q))));
        }
    };
    masked(p, kBlockMasks.p, 64);
    masked(x, kBlockMasks.k, 32);
    return _mm_movemask_epi8(_mm_cmpeq_epi32(bits, _mm_setzero_si128())) == 0xFFFF;
#else
    std::uint64_t p_bits[64];
    std::uint64_t k_bits[32];
    std::memcpy(p_bits, p, sizeof p_bits);
    std::memcpy(k_bits, x, sizeof k_bits);
    std::uint64_t bits = 0;
    for (int q = 0; q < 64; ++q) bits |= p_bits[q] & kBlockMasks.p[q];
    for (int q = 0; q < 32; ++q) bits |= k_bits[q] & kBlockMasks.k[q];
    return bits == 0;
#endif
}

// joseph_full for a state of coordinate blocks with finite entries. There every product that
// joseph_full forms with a zero factor is a signed zero, and adding a signed zero to a sum that
// started at +0.0 leaves it unchanged (such a sum is never -0.0), so those products are left
// out and each entry keeps only its non-zero terms, in joseph_full's order. Every entry outside
// the blocks is then +0.0. Returns false, writing nothing, when an intermediate value is not
// finite: a zero factor times an infinity is NaN, which only joseph_full reproduces.
bool joseph_blocks(const double* p, const double* x, const double* r, double* out) {
    double blocks[4][4];
    for (int c = 0; c < 4; ++c) {
        const int a = c;
        const int b = c + 4;
        const double paa = p[8 * a + a], pab = p[8 * a + b], pba = p[8 * b + a], pbb = p[8 * b + b];
        const double ka = x[8 * c + a], kb = x[8 * c + b];  // K[a][c], K[b][c]
        const double aa = 1.0 - ka;                         // A[a][c]
        const double ab = 0.0 - kb;                         // A[b][c]; A[b][b] = 1, A[a][b] = 0
        // A P: the column-c term, then (rows of velocities) the identity term.
        const double ap_aa = 0.0 + paa * aa;
        const double ap_ab = 0.0 + pab * aa;
        const double ap_ba = (0.0 + paa * ab) + pba;
        const double ap_bb = (0.0 + pab * ab) + pbb;
        // (A P) A^T, entry (i, j) = sum over q of AP[i][q] A[j][q].
        const double j1_aa = 0.0 + aa * ap_aa;
        const double j1_ab = (0.0 + ab * ap_aa) + ap_ab;
        const double j1_ba = 0.0 + aa * ap_ba;
        const double j1_bb = (0.0 + ab * ap_ba) + ap_bb;
        // (K R) K^T, entry (i, j) = K[j][c] KR[i][c].
        const double rc = r[5 * c];
        const double kra = ka * rc;
        const double krb = kb * rc;
        const double check = ap_aa + ap_ab + ap_ba + ap_bb + kra + krb;
        if (!std::isfinite(check) || !std::isfinite(paa + pab + pba + pbb + ka + kb)) return false;
        const double jaa = (0.0 + ka * kra) + j1_aa;
        const double jab = (0.0 + kb * kra) + j1_ab;
        const double jba = (0.0 + ka * krb) + j1_ba;
        const double jbb = (0.0 + kb * krb) + j1_bb;
        blocks[c][0] = 0.5 * (jaa + jaa);
        blocks[c][1] = 0.5 * (jba + jab);
        blocks[c][2] = 0.5 * (jab + jba);
        blocks[c][3] = 0.5 * (jbb + jbb);
    }
    for (int i = 0; i < 64; ++i) out[i] = 0.0;
    for (int c = 0; c < 4; ++c) {
        out[9 * c] = blocks[c][0];
        out[8 * c + c + 4] = blocks[c][1];
        out[8 * (c + 4) + c] = blocks[c][2];
        out[9 * (c + 4)] = blocks[c][3];
    }
    return true;
}

}  // namespace

void KalmanBoxTracker::update(const double* mean, const double* covariance, const double* measurement, double* new_mean,
                              double* new_covariance) const {
    // The arithmetic of the Eigen expressions
    //   K = (PartialPivLU(S).solve((P H^T)^T))^T,  A = I - K H,
    //   P+ = (A P) A^T + (K R) K^T
    // written out so that no product goes through Eigen's general matrix kernels, which pack
    // their operands for every 8x8 product. Each step reproduces the bits Eigen computes on
    // x86-64 without contraction; a native test holds the two to the same bits on random,
    // subnormal, huge, infinite and NaN inputs.
    double projected[4];
    double s[16];
    detail::project_state(mean, covariance, std_weight_position_, projected, s);
    const double* p = covariance;

    // Gain: solve S X = (P H^T)^T, a 4 x 8 right-hand side; K = X^T, read from X in place.
    double x[32];
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 8; ++c) x[8 * r + c] = p[8 * c + r];
    detail::Lu4 lu;
    detail::factor_lu4(s, lu);
    detail::solve_lu4_8(lu, x);

    double y[4];
    for (int j = 0; j < 4; ++j) y[j] = measurement[j] - projected[j];
    // The weighted innovation of row i, K[i][0] y0 + ... + K[i][3] y3, is summed first, in index
    // order, and added to the mean last; row j of X holds K[.][j] for all eight rows.
    for (int i = 0; i < 8; ++i) {
        const double gain = ((x[i] * y[0] + x[8 + i] * y[1]) + x[16 + i] * y[2]) + x[24 + i] * y[3];
        new_mean[i] = mean[i] + gain;
    }

    // R, the same measurement noise that project_state added into S.
    const double e = std_weight_position_ * mean[3];
    double r[16] = {};
    r[0] = e * e;
    r[5] = e * e;
    r[10] = kAspectMeasurementVariance;
    r[15] = e * e;
    if (coordinate_blocks(p, x) && joseph_blocks(p, x, r, new_covariance)) return;
    double k[32];  // 8 x 4
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 4; ++j) k[4 * i + j] = x[8 * j + i];
    joseph_full(p, k, r, new_covariance);
}

}  // namespace kelmora
