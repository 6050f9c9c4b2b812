// One association pass: the cost of every pair in one pass over the pairs, then the solve.
#include "association_pass.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "assignment/assignment_internal.hpp"
#include "cost/cost_internal.hpp"
#include "cost/distances_internal.hpp"
#include "geometry/overlap_rows.hpp"
#include "kelmora/geometry.hpp"
#include "kelmora/interrupt.hpp"
#include "motion/gating_internal.hpp"

namespace kelmora::detail {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// The terms of the pass that do not depend on the pair.
struct PassTerms {
    bool use_giou;
    bool class_aware;
    bool gate;         // pairs beyond the Mahalanobis gate are forbidden
    bool distances;    // squared Mahalanobis distances are needed (gate or uncertainty)
    bool appearance;   // the appearance term counts
    bool uncertainty;  // the uncertainty term counts
    double iou_thresh;
    double gate_thresh;
    double uncertainty_den;  // the gate threshold floored as the uncertainty distance floors it
    CostWeights weights;
    CostGate limits;
};

// What the first stage of a row tells: the pairs still open (not forbidden by overlap and class),
// how many pairs are within the gate, and whether a cost is not finite.
struct RowTally {
    std::uint32_t* open;  // columns still open, ascending
    std::size_t open_count = 0;
    std::size_t admissible = 0;
    bool not_finite = false;
};

// The first stage of a row for columns from .. to - 1, one at a time: the base cost from the
// overlap (or from the motion term), forbidden below the overlap threshold, when the overlap or
// motion term is NaN, or when both classes are known and differ.
void base_columns(const PassTerms& terms, std::size_t from, std::size_t to, const double* overlap, const double* motion,
                  double track_class, const double* det_classes, double* cost, RowTally& tally) {
    const double thresh = terms.iou_thresh;
    const double w_iou = terms.weights.w_iou;
    const double forbidden = terms.limits.forbidden;
    const double max_cost = terms.limits.max_cost;
    for (std::size_t j = from; j < to; ++j) {
        const double iou = overlap[j];
        bool forbid = thresh > iou || iou != iou;
        double c;
        if (motion != nullptr) {
            const double m = 1.0 - motion[j];
            forbid = forbid || m != m;
            c = motion_cost(m, w_iou);
        } else {
            c = overlap_cost(iou, w_iou);
        }
        if (terms.class_aware) {
            const double det_class = det_classes[j];
            forbid = forbid || (track_class != det_class && track_class != -1.0 && det_class != -1.0);
        }
        c = forbid ? forbidden : c;
        cost[j] = c;
        if (!forbid) tally.open[tally.open_count++] = static_cast<std::uint32_t>(j);
        tally.admissible += max_cost >= c ? 1 : 0;
        tally.not_finite = tally.not_finite || !(c - c == 0.0);
    }
}

#if defined(KELMORA_X86_KERNELS)
// The first stage of a row from the overlap, four columns at a time: every lane follows the
// operation sequence of base_columns and of the overlap kernel. Returns the columns done.
KELMORA_TARGET_AVX std::size_t base_columns_avx(const PassTerms& terms, const RowBox& box, const ColumnBoxes& cols,
                                                double track_class, const double* det_classes, std::size_t d,
                                                double* cost, RowTally& tally) {
    const RowBox4 row(box);
    const ColumnBoxes columns = cols;  // local copies: the stores below cannot change them
    const __m256d thresh = _mm256_set1_pd(terms.iou_thresh);
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d w_iou = _mm256_set1_pd(terms.weights.w_iou);
    const __m256d forbidden = _mm256_set1_pd(terms.limits.forbidden);
    const __m256d max_cost = _mm256_set1_pd(terms.limits.max_cost);
    const __m256d unknown = _mm256_set1_pd(-1.0);
    const __m256d own_class = _mm256_set1_pd(track_class);
    const bool class_test = terms.class_aware && track_class != -1.0;
    std::uint32_t* const open = tally.open;
    std::size_t open_count = tally.open_count;
    std::size_t admissible = 0;
    __m256d not_finite = _mm256_setzero_pd();
    // With a positive threshold, a pair whose boxes do not overlap along x is forbidden whatever
    // else holds: its overlap is a zero (below the threshold) or NaN. Most pairs of a frame are
    // such, and four of them at once take only the x test.
    const bool x_test = terms.iou_thresh > 0.0;
    const std::size_t forbidden_admissible = terms.limits.max_cost >= terms.limits.forbidden ? 4 : 0;
    const __m256d zero = _mm256_setzero_pd();
    std::size_t j = 0;
    for (; j + 4 <= d; j += 4) {
        if (x_test) {
            const __m256d ix1 = _mm256_max_pd(_mm256_loadu_pd(columns.x1 + j), row.x1);
            const __m256d ix2 = _mm256_min_pd(_mm256_loadu_pd(columns.x2 + j), row.x2);
            if (_mm256_movemask_pd(_mm256_cmp_pd(_mm256_sub_pd(ix2, ix1), zero, _CMP_GT_OQ)) == 0) {
                _mm256_storeu_pd(cost + j, forbidden);
                admissible += forbidden_admissible;
                continue;
            }
        }
        const __m256d iou = sparse_iou4(row, columns, j);
        // thresh > iou, or iou unordered with itself (NaN).
        __m256d forbid = _mm256_or_pd(_mm256_cmp_pd(thresh, iou, _CMP_GT_OQ), _mm256_cmp_pd(iou, iou, _CMP_UNORD_Q));
        if (class_test) {
            const __m256d det_class = _mm256_loadu_pd(det_classes + j);
            const __m256d mismatch = _mm256_and_pd(_mm256_cmp_pd(own_class, det_class, _CMP_NEQ_UQ),
                                                   _mm256_cmp_pd(det_class, unknown, _CMP_NEQ_UQ));
            forbid = _mm256_or_pd(forbid, mismatch);
        }
        const __m256d base = _mm256_mul_pd(_mm256_sub_pd(one, iou), w_iou);
        // A bitwise choice: the forbidden cost where forbid is set, the base cost elsewhere.
        const __m256d c = _mm256_or_pd(_mm256_and_pd(forbid, forbidden), _mm256_andnot_pd(forbid, base));
        _mm256_storeu_pd(cost + j, c);
        unsigned still_open = ~static_cast<unsigned>(_mm256_movemask_pd(forbid)) & 0xFu;
        while (still_open != 0) {
            open[open_count++] = static_cast<std::uint32_t>(j + static_cast<unsigned>(__builtin_ctz(still_open)));
            still_open &= still_open - 1;
        }
        admissible += static_cast<std::size_t>(
            __builtin_popcount(static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(max_cost, c, _CMP_GE_OQ)))));
        const __m256d difference = _mm256_sub_pd(c, c);
        not_finite = _mm256_or_pd(not_finite, _mm256_cmp_pd(difference, difference, _CMP_UNORD_Q));
    }
    tally.open_count = open_count;
    tally.admissible += admissible;
    // The forbidden cost itself must pass the finite test too.
    const double f = terms.limits.forbidden;
    tally.not_finite = tally.not_finite || _mm256_movemask_pd(not_finite) != 0 || !(f - f == 0.0);
    return j;
}
#endif

// Both sides of a pass, laid out once: boxes, classes, measurements, normalised features and
// each track's gating factorisation. Entries a pass does not use stay null.
struct PassSides {
    const double* det_boxes;       // D corner boxes
    const double* track_boxes;     // T corner boxes of the predicted states
    const double* det_classes;     // D class ids
    const double* track_classes;   // T class ids
    const double* measurements;    // D boxes in (cx, cy, aspect, height), with distances only
    const double* track_features;  // T x dim, normalised, with appearance only
    const double* det_features;    // D x dim, normalised, with appearance only
    // Each track's factorisation, made when a pair first needs it (with distances only).
    // factored: 0 not yet, 1 made, 2 its innovation covariance is not positive definite.
    GatingFactor* factors;
    unsigned char* factored;
};

// The cost matrix of a pass in the solver's orientation and what the solve needs of it.
struct PassCosts {
    bool tall;         // rows are detections (more tracks than detections)
    std::size_t rows;  // min(T, D)
    std::size_t cols;  // max(T, D)
    const double* cost;
    std::size_t admissible = 0;  // entries at or below the gate
    bool not_finite = false;     // some entry is an infinity or NaN
};

// The terms of the pass from the configuration, the weights and the inputs of both sides.
PassTerms pass_terms(const PassContext& context, const std::vector<std::size_t>& tracks,
                     const std::vector<const Detection*>& detections, double iou_thresh, bool gated) {
    const TrackerConfig& config = context.config;
    const std::size_t dim = context.feature_dim;
    PassTerms terms{};
    terms.use_giou = config.use_giou;
    terms.class_aware = config.class_aware;
    terms.gate = gated && config.use_mahalanobis_gating;
    terms.uncertainty = context.weights.w_unc > 0.0;
    terms.distances = terms.gate || terms.uncertainty;
    // One track without a feature of this frame's length, or one detection without a feature,
    // switches the appearance term off for the whole pass.
    bool appearance = context.weights.w_app > 0.0 && dim > 0;
    for (std::size_t i = 0; appearance && i < tracks.size(); ++i) {
        appearance = context.tracks[tracks[i]].feature.size() == dim;
    }
    for (std::size_t j = 0; appearance && j < detections.size(); ++j) appearance = detections[j]->feature != nullptr;
    terms.appearance = appearance;
    terms.iou_thresh = iou_thresh;
    terms.gate_thresh = context.gate_thresh;
    terms.uncertainty_den = kDistanceFloor > context.gate_thresh ? kDistanceFloor : context.gate_thresh;
    terms.weights = context.weights;
    terms.limits = cost_gate(context.weights, iou_thresh, terms.appearance, terms.uncertainty);
    return terms;
}

// Lays out both sides once per pass, into the pass's working arrays.
PassSides gather_sides(const PassContext& context, const PassTerms& terms, const std::vector<std::size_t>& tracks,
                       const std::vector<const Detection*>& detections, PassBuffers& s) {
    const std::size_t t = tracks.size();
    const std::size_t d = detections.size();
    const std::size_t dim = context.feature_dim;
    double* det_boxes = take(s.det_boxes, 4 * d);
    for (std::size_t j = 0; j < d; ++j) std::memcpy(det_boxes + 4 * j, detections[j]->box, 4 * sizeof(double));
    double* track_boxes = take(s.track_boxes, 4 * t);
    for (std::size_t i = 0; i < t; ++i)
        xyah_to_xyxy_rows(context.predicted_means + 8 * tracks[i], 1, track_boxes + 4 * i);
    double* det_classes = take(s.det_classes, d);
    for (std::size_t j = 0; j < d; ++j) det_classes[j] = detections[j]->class_id;
    double* track_classes = take(s.track_classes, t);
    for (std::size_t i = 0; i < t; ++i) track_classes[i] = context.tracks[tracks[i]].class_id;
    PassSides sides{det_boxes, track_boxes, det_classes, track_classes, nullptr, nullptr, nullptr, nullptr, nullptr};
    if (terms.distances) {
        double* measurements = take(s.measurements, 4 * d);
        xyxy_to_xyah_rows(det_boxes, d, measurements);
        sides.measurements = measurements;
        sides.factors = take(s.factors, t);
        sides.factored = take(s.factored, t);
        std::memset(sides.factored, 0, t);
    }
    if (terms.appearance) {
        // Normalised again as the appearance distance does, tracks first.
        double* track_features = take(s.track_features, t * dim);
        for (std::size_t i = 0; i < t; ++i) {
            normalise_rows(context.tracks[tracks[i]].feature.data(), 1, dim, track_features + i * dim);
        }
        double* det_features = take(s.det_features, d * dim);
        for (std::size_t j = 0; j < d; ++j) normalise_rows(detections[j]->feature, 1, dim, det_features + j * dim);
        sides.track_features = track_features;
        sides.det_features = det_features;
    }
    return sides;
}

// The second stage of row `i` (see pair_costs), for the pairs the first stage left open: the
// distance gate, then the appearance and uncertainty terms. Updates the row's tally.
void open_pair_costs(const PassContext& context, const PassTerms& terms, const PassSides& sides,
                     const std::vector<std::size_t>& tracks, bool tall, std::size_t i, double* out, RowTally& tally) {
    const std::size_t dim = context.feature_dim;
    const double max_cost = terms.limits.max_cost;
    for (std::size_t k = 0; k < tally.open_count; ++k) {
        const std::size_t col = tally.open[k];
        const std::size_t ti = tall ? col : i;  // the pair's track in the pass's list
        const std::size_t dj = tall ? i : col;  // and its detection
        const double before = out[col];
        double value = before;
        double d2 = 0.0;
        if (terms.distances) {
            if (sides.factored[ti] == 0) {
                const std::size_t track = tracks[ti];
                sides.factored[ti] =
                    factor_gating_state(context.predicted_means + 8 * track, context.predicted_covariances + 64 * track,
                                        context.kf.std_weight_position(), sides.factors[ti])
                        ? 1
                        : 2;
            }
            d2 = sides.factored[ti] == 1 ? gating_distance_one(sides.factors[ti], sides.measurements + 4 * dj)
                                         : kInfinity;
            if (d2 != d2) d2 = kInfinity;
        }
        if (terms.gate && d2 > terms.gate_thresh) {
            value = terms.limits.forbidden;
        } else {
            if (terms.appearance) {
                const double a = cosine_distance(sides.track_features + ti * dim, sides.det_features + dj * dim, dim);
                value = add_term(value, a, terms.weights.w_app);
            }
            if (terms.uncertainty) {
                value = add_term(value, uncertainty_of(d2, terms.uncertainty_den), terms.weights.w_unc);
            }
            // A cost that is not a number cannot be judged either.
            if (value != value) value = terms.limits.forbidden;
        }
        out[col] = value;
        tally.admissible = tally.admissible - (max_cost >= before ? 1 : 0) + (max_cost >= value ? 1 : 0);
        tally.not_finite = tally.not_finite || !(value - value == 0.0);
    }
}

// The cost of every pair in the solver's orientation, row by row: tracks against detections
// when there are no more tracks than detections, detections against tracks otherwise. The
// overlap of a pair is the same number whichever box is the row's (its expression is
// symmetric; only the sign of a zero or which NaN comes out may differ, and neither reaches
// the cost). Each row takes two stages: base_columns over every column, then open_pair_costs
// over the columns still open.
PassCosts pair_costs(const PassContext& context, const PassTerms& terms, const PassSides& sides,
                     const std::vector<std::size_t>& tracks, std::size_t t, std::size_t d, PassBuffers& s) {
    const bool tall = t > d;
    const std::size_t r = tall ? d : t;
    const std::size_t c = tall ? t : d;
    const ColumnBoxes columns = lay_out_columns(tall ? sides.track_boxes : sides.det_boxes, c, take(s.columns, 5 * c));
    const double* row_boxes = tall ? sides.det_boxes : sides.track_boxes;
    const double* row_classes = tall ? sides.det_classes : sides.track_classes;
    const double* column_classes = tall ? sides.track_classes : sides.det_classes;
    double* cost = take(s.cost, r * c);
    double* overlap = take(s.overlap_row, c);
    double* motion = terms.use_giou ? take(s.motion_row, c) : nullptr;
    std::uint32_t* open = take(s.open_row, c);
#if defined(KELMORA_X86_KERNELS)
    const bool fused = !terms.use_giou && cpu_features().avx;
#endif
    PassCosts costs{tall, r, c, cost};
    InterruptBudget budget;
    for (std::size_t i = 0; i < r; ++i) {
        budget.spend(c * (terms.appearance ? context.feature_dim + 8 : 8));
        const double* box = row_boxes + 4 * i;
        double* out = cost + i * c;
        RowTally tally{open};
        std::size_t j = 0;
#if defined(KELMORA_X86_KERNELS)
        if (fused) {
            const RowBox row(box);
            j = base_columns_avx(terms, row, columns, row_classes[i], column_classes, c, out, tally);
            for (std::size_t k = j; k < c; ++k) overlap[k] = iou1(row, columns, k);
        }
#endif
        if (j == 0) {
            iou_row(box, columns, c, overlap);
            if (motion != nullptr) giou_row(box, columns, c, motion);
        }
        base_columns(terms, j, c, overlap, motion, row_classes[i], column_classes, out, tally);
        if (terms.distances || terms.appearance) open_pair_costs(context, terms, sides, tracks, tall, i, out, tally);
        costs.admissible += tally.admissible;
        costs.not_finite = costs.not_finite || tally.not_finite;
    }
    return costs;
}

// Solves the assignment and keeps the pairs within the gate.
void solve_and_gate(const TrackerConfig& config, const PassTerms& terms, const PassCosts& costs, std::size_t t,
                    std::size_t d, PassBuffers& s, AssociationResult& result) {
    // The solvers' finite test, over every cost (an infinity or a NaN fails it).
    if (costs.not_finite) throw std::invalid_argument("cost matrix must be finite; gate before assignment");
    check_interrupt();

    // With no admissible pair the gate would drop whatever the solver returned.
    if (costs.admissible == 0) {
        all_unmatched(t, d, result);
        return;
    }
    const std::size_t r = costs.rows;
    const std::size_t c = costs.cols;
    std::int64_t* row_to_col = take(s.row_to_col, r);
    solve_rows(costs.cost, r, c, config.use_lapjv ? Solver::kJonkerVolgenant : Solver::kHungarian, row_to_col,
               s.solver);

    // The gate over the pairs in the solver's order: ascending track when there are no more
    // tracks than detections, ascending detection otherwise.
    const bool tall = costs.tall;
    const double* cost = costs.cost;
    const auto pair = [&](std::size_t k) {
        const auto partner = static_cast<std::size_t>(row_to_col[k]);
        return GatedPair{tall ? partner : k, tall ? k : partner, cost[k * c + partner]};
    };
    keep_within_gate(r, pair, t, d, terms.limits.max_cost, take(s.matched, t + d), result);
}

}  // namespace

void associate_pass(const PassContext& context, PassBuffers& s, const std::vector<std::size_t>& tracks,
                    const std::vector<const Detection*>& detections, double iou_thresh, bool gated,
                    AssociationResult& result) {
    const std::size_t t = tracks.size();
    const std::size_t d = detections.size();
    if (t == 0 || d == 0) {
        all_unmatched(t, d, result);
        return;
    }
    const PassTerms terms = pass_terms(context, tracks, detections, iou_thresh, gated);
    const PassSides sides = gather_sides(context, terms, tracks, detections, s);
    const PassCosts costs = pair_costs(context, terms, sides, tracks, t, d, s);
    solve_and_gate(context.config, terms, costs, t, d, s, result);
}

}  // namespace kelmora::detail
