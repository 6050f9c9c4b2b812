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

void unmatched_everything(std::size_t t, std::size_t d, AssociationResult& result) {
    result.unmatched_rows.resize(t);
    for (std::size_t i = 0; i < t; ++i) result.unmatched_rows[i] = static_cast<std::int64_t>(i);
    result.unmatched_cols.resize(d);
    for (std::size_t j = 0; j < d; ++j) result.unmatched_cols[j] = static_cast<std::int64_t>(j);
}

// The terms of the pass that do not depend on the pair.
struct PassTerms {
    bool use_giou;
    bool class_aware;
    bool gate;            // pairs beyond the Mahalanobis gate are forbidden
    bool distances;       // squared Mahalanobis distances are needed (gate or uncertainty)
    bool appearance;      // the appearance term counts
    bool uncertainty;     // the uncertainty term counts
    double iou_thresh;
    double gate_thresh;
    double uncertainty_den;  // the gate threshold floored as the uncertainty distance floors it
    CostWeights weights;
    CostGate limits;
};

// The base cost of one row and whether each pair is still open, from the overlap (or motion)
// row and the classes: a pair is forbidden below the overlap threshold, when its overlap or
// motion term is NaN, or when both classes are known and differ.
void base_row(const PassTerms& terms, const double* overlap, const double* motion, double track_class,
              const double* det_classes, std::size_t d, double* cost, unsigned char* open) {
    const double thresh = terms.iou_thresh;
    const double w_iou = terms.weights.w_iou;
    const double forbidden = terms.limits.forbidden;
    for (std::size_t j = 0; j < d; ++j) {
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
        cost[j] = forbid ? forbidden : c;
        open[j] = forbid ? 0 : 1;
    }
}

}  // namespace

void associate_pass(const PassContext& context, PassBuffers& s, const std::vector<std::size_t>& tracks,
                    const std::vector<const Detection*>& detections, double iou_thresh, bool gated,
                    AssociationResult& result) {
    const std::size_t t = tracks.size();
    const std::size_t d = detections.size();
    result.match_rows.clear();
    result.match_cols.clear();
    result.unmatched_rows.clear();
    result.unmatched_cols.clear();
    if (t == 0 || d == 0) {
        unmatched_everything(t, d, result);
        return;
    }
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
    for (std::size_t i = 0; appearance && i < t; ++i) appearance = context.tracks[tracks[i]].feature.size() == dim;
    for (std::size_t j = 0; appearance && j < d; ++j) appearance = detections[j]->feature != nullptr;
    terms.appearance = appearance;
    terms.iou_thresh = iou_thresh;
    terms.gate_thresh = context.gate_thresh;
    terms.uncertainty_den = kDistanceFloor > context.gate_thresh ? kDistanceFloor : context.gate_thresh;
    terms.weights = context.weights;
    terms.limits = cost_gate(context.weights, iou_thresh, terms.appearance, terms.uncertainty);

    // The detections, once per pass.
    double* det_boxes = take(s.det_boxes, 4 * d);
    for (std::size_t j = 0; j < d; ++j) std::memcpy(det_boxes + 4 * j, detections[j]->box, 4 * sizeof(double));
    const ColumnBoxes columns = lay_out_columns(det_boxes, d, take(s.columns, 5 * d));
    double* det_classes = take(s.det_classes, d);
    for (std::size_t j = 0; j < d; ++j) det_classes[j] = detections[j]->class_id;
    double* measurements = nullptr;
    if (terms.distances) {
        measurements = take(s.measurements, 4 * d);
        xyxy_to_xyah_rows(det_boxes, d, measurements);
    }
    double* track_features = nullptr;
    double* det_features = nullptr;
    if (terms.appearance) {
        // Normalised again as the appearance distance does, tracks first.
        track_features = take(s.track_features, t * dim);
        for (std::size_t i = 0; i < t; ++i) {
            normalise_rows(context.tracks[tracks[i]].feature.data(), 1, dim, track_features + i * dim);
        }
        det_features = take(s.det_features, d * dim);
        for (std::size_t j = 0; j < d; ++j) normalise_rows(detections[j]->feature, 1, dim, det_features + j * dim);
    }

    // The cost, row by row of tracks, in the solver's orientation: as it is when there are no
    // more tracks than detections, transposed otherwise.
    const bool tall = t > d;
    double* cost = take(s.cost, t * d);
    double* overlap = take(s.overlap_row, d);
    double* motion = terms.use_giou ? take(s.motion_row, d) : nullptr;
    unsigned char* open = take(s.open_row, d);
    double* row_cost = tall ? take(s.cost_row, d) : nullptr;
    std::uint64_t exponents = 0;
    std::size_t admissible = 0;
    InterruptBudget budget;
    for (std::size_t i = 0; i < t; ++i) {
        budget.spend(d * (terms.appearance ? dim + 8 : 8));
        const std::size_t track = tracks[i];
        const double* mean = context.predicted_means + 8 * track;
        double box[4];
        xyah_to_xyxy_rows(mean, 1, box);
        iou_row(box, columns, d, overlap);
        if (motion != nullptr) giou_row(box, columns, d, motion);
        double* out = tall ? row_cost : cost + i * d;
        base_row(terms, overlap, motion, static_cast<double>(context.tracks[track].class_id), det_classes, d, out,
                 open);

        if (terms.distances || terms.appearance) {
            // 0: not yet factored, 1: factored, 2: not positive definite.
            int factored = 0;
            GatingFactor factor;
            for (std::size_t j = 0; j < d; ++j) {
                if (!open[j]) continue;
                double d2 = 0.0;
                if (terms.distances) {
                    if (factored == 0) {
                        factored = factor_gating_state(mean, context.predicted_covariances + 64 * track,
                                                       context.kf.std_weight_position(), factor)
                                       ? 1
                                       : 2;
                    }
                    d2 = factored == 1 ? gating_distance_one(factor, measurements + 4 * j) : kInfinity;
                    if (d2 != d2) d2 = kInfinity;
                    if (terms.gate && d2 > terms.gate_thresh) {
                        out[j] = terms.limits.forbidden;
                        continue;
                    }
                }
                double c = out[j];
                if (terms.appearance) {
                    const double a = cosine_distance(track_features + i * dim, det_features + j * dim, dim);
                    c = add_term(c, a, terms.weights.w_app);
                }
                if (terms.uncertainty) c = add_term(c, uncertainty_of(d2, terms.uncertainty_den), terms.weights.w_unc);
                out[j] = c;
            }
        }

        // A cost that is not a number cannot be judged either and is forbidden. Then the finite
        // test over the row (exponent bits all set: an infinity or a NaN) and the count of
        // pairs within the gate.
        const double max_cost = terms.limits.max_cost;
        for (std::size_t j = 0; j < d; ++j) {
            if (out[j] != out[j]) out[j] = terms.limits.forbidden;
            std::uint64_t bits;
            std::memcpy(&bits, out + j, sizeof bits);
            exponents |= (bits & 0x7FF0000000000000u) + 0x0010000000000000u;
            admissible += max_cost >= out[j] ? 1 : 0;
        }
        if (tall) {
            for (std::size_t j = 0; j < d; ++j) cost[j * t + i] = out[j];
        }
    }
    if (exponents >> 63) throw std::invalid_argument("cost matrix must be finite; gate before assignment");
    check_interrupt();

    // With no admissible pair the gate would drop whatever the solver returned.
    if (admissible == 0) {
        unmatched_everything(t, d, result);
        return;
    }
    const std::size_t r = tall ? d : t;
    const std::size_t c = tall ? t : d;
    std::int64_t* row_to_col = take(s.row_to_col, r);
    solve_rows(cost, r, c, config.use_lapjv ? Solver::kJonkerVolgenant : Solver::kHungarian, row_to_col, s.solver);

    // The gate, inclusive, over the pairs in the solver's order (ascending track when there are
    // no more tracks than detections, ascending detection otherwise). A dropped pair is not
    // solved again: its track and detection just stay unmatched.
    unsigned char* matched = take(s.matched, t + d);
    std::memset(matched, 0, t + d);
    result.match_rows.reserve(r);
    result.match_cols.reserve(r);
    for (std::size_t k = 0; k < r; ++k) {
        const auto partner = static_cast<std::size_t>(row_to_col[k]);
        const std::size_t row = tall ? partner : k;
        const std::size_t col = tall ? k : partner;
        if (terms.limits.max_cost >= cost[k * c + partner]) {
            result.match_rows.push_back(static_cast<std::int64_t>(row));
            result.match_cols.push_back(static_cast<std::int64_t>(col));
            matched[row] = 1;
            matched[t + col] = 1;
        }
    }
    for (std::size_t i = 0; i < t; ++i) {
        if (!matched[i]) result.unmatched_rows.push_back(static_cast<std::int64_t>(i));
    }
    for (std::size_t j = 0; j < d; ++j) {
        if (!matched[t + j]) result.unmatched_cols.push_back(static_cast<std::int64_t>(j));
    }
}

}  // namespace kelmora::detail
