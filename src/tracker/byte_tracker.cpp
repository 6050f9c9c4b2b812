// The tracker object, its association pass and the frame update.
#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "kelmora/geometry.hpp"
#include "kelmora/tracker.hpp"
#include "track_ops.hpp"

namespace kelmora {

namespace {

constexpr std::int64_t kLargestId = std::numeric_limits<std::int32_t>::max();
constexpr double kLargestCoordinate = 1e100;
// Heights below this make the squared position noise underflow: a singular state.
constexpr double kSmallestHeight = 1e-100;

// Converts a class id truncated toward zero; NaN and values whose truncation leaves the
// signed 32-bit range have no meaningful conversion and are refused.
std::int32_t class_id_from(double v) {
    if (!(v > -2147483649.0 && v < 2147483648.0)) {
        throw std::invalid_argument("update: class_ids must be finite and within the signed 32-bit range");
    }
    return static_cast<std::int32_t>(v);
}

// A working buffer of at least n entries; grows, never shrinks, and is not cleared.
template <typename T>
T* take(std::vector<T>& buffer, std::size_t n) {
    if (buffer.size() < n) buffer.resize(n);
    return buffer.data();
}

std::vector<std::int64_t> index_range(std::size_t n) {
    std::vector<std::int64_t> out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::int64_t>(i);
    return out;
}

}  // namespace

// One association pass: rows are tracks (indexes into the track list, with their
// predicted states), columns are detections.
struct ByteTracker::PassInput {
    const std::vector<std::size_t>& tracks;
    const std::vector<const Detection*>& detections;
    double iou_thresh;
    bool gated;
    std::size_t feature_dim;
    const double* predicted_means;        // 8 per track of the list, by list index
    const double* predicted_covariances;  // 64 per track of the list, by list index
};

ByteTracker::ByteTracker(const TrackerConfig& config)
    : config_(config), kf_(config.kf_noise_scale * 0.05, config.kf_noise_scale * 0.00625) {
    config_.validate();
    weights_.w_iou = config_.w_iou;
    weights_.w_app = config_.w_app;
    weights_.w_unc = config_.w_unc;
    weights_.w_ocm = config_.w_ocm;
    weights_.use_giou = config_.use_giou;
}

void ByteTracker::reset() {
    tracks_.clear();
    frame_index_ = -1;
    next_id_ = 1;
}

void ByteTracker::set_next_id(std::int64_t next_id) {
    if (next_id < 1 || next_id > kLargestId + 1) {
        throw std::invalid_argument("set_next_id: next_id must be in 1..2147483648");
    }
    next_id_ = next_id;
}

TrackStates ByteTracker::track_states() const {
    TrackStates out;
    const std::size_t t = tracks_.size();
    out.ids.reserve(t);
    out.states.reserve(t);
    out.hits.reserve(t);
    out.ages.reserve(t);
    out.time_since_update.reserve(t);
    for (const Track& track : tracks_) {
        out.ids.push_back(track.id);
        out.states.push_back(static_cast<std::int64_t>(track.state));
        out.hits.push_back(track.hits);
        out.ages.push_back(track.age);
        out.time_since_update.push_back(track.time_since_update);
    }
    return out;
}

AssociationResult ByteTracker::associate_pass(const PassInput& pass) const {
    const std::size_t t = pass.tracks.size();
    const std::size_t d = pass.detections.size();
    if (t == 0 || d == 0) {
        AssociationResult empty;
        empty.unmatched_rows = index_range(t);
        empty.unmatched_cols = index_range(d);
        return empty;
    }
    PassScratch& s = scratch_;

    double* track_boxes = take(s.track_boxes, 4 * t);
    for (std::size_t i = 0; i < t; ++i) {
        xyah_to_xyxy_rows(pass.predicted_means + 8 * pass.tracks[i], 1, track_boxes + 4 * i);
    }
    double* det_boxes = take(s.det_boxes, 4 * d);
    for (std::size_t j = 0; j < d; ++j) {
        const double* box = pass.detections[j]->box;
        std::copy(box, box + 4, det_boxes + 4 * j);
    }

    double* ious = take(s.ious, t * d);
    iou_matrix_kernel(track_boxes, t, det_boxes, d, ious);

    double* motion = nullptr;
    if (config_.use_giou) {
        motion = take(s.motion, t * d);
        giou_matrix_kernel(track_boxes, t, det_boxes, d, motion);
        for (std::size_t k = 0; k < t * d; ++k) motion[k] = 1.0 - motion[k];
    }

    unsigned char* class_mismatch = nullptr;
    if (config_.class_aware) {
        class_mismatch = take(s.class_mismatch, t * d);
        for (std::size_t i = 0; i < t; ++i) {
            const std::int32_t track_class = tracks_[pass.tracks[i]].class_id;
            for (std::size_t j = 0; j < d; ++j) {
                const std::int32_t det_class = pass.detections[j]->class_id;
                class_mismatch[i * d + j] = track_class != det_class && track_class != -1 && det_class != -1;
            }
        }
    }

    const bool gate = pass.gated && config_.use_mahalanobis_gating;
    const bool uncertainty_on = weights_.w_unc > 0.0;
    double* gating_d2 = nullptr;
    if (gate || uncertainty_on) {
        double* measurements = take(s.measurements, 4 * d);
        xyxy_to_xyah_rows(det_boxes, d, measurements);
        double* means = take(s.means, 8 * t);
        double* covariances = take(s.covariances, 64 * t);
        for (std::size_t i = 0; i < t; ++i) {
            const double* mean = pass.predicted_means + 8 * pass.tracks[i];
            const double* covariance = pass.predicted_covariances + 64 * pass.tracks[i];
            std::copy(mean, mean + 8, means + 8 * i);
            std::copy(covariance, covariance + 64, covariances + 64 * i);
        }
        gating_d2 = take(s.gating_d2, t * d);
        kf_.gating_distance(means, covariances, t, measurements, d, gating_d2);
    }

    double* uncertainty = nullptr;
    if (uncertainty_on) {
        uncertainty = take(s.uncertainty, t * d);
        uncertainty_distance(gating_d2, t * d, gate_thresh_, uncertainty);
    }

    double* appearance = nullptr;
    const std::size_t dim = pass.feature_dim;
    bool appearance_on = weights_.w_app > 0.0 && dim > 0;
    for (std::size_t i = 0; appearance_on && i < t; ++i) appearance_on = tracks_[pass.tracks[i]].feature.size() == dim;
    for (std::size_t j = 0; appearance_on && j < d; ++j) appearance_on = pass.detections[j]->feature != nullptr;
    if (appearance_on) {
        double* track_features = take(s.track_features, t * dim);
        double* det_features = take(s.det_features, d * dim);
        for (std::size_t i = 0; i < t; ++i) {
            const std::vector<double>& feature = tracks_[pass.tracks[i]].feature;
            std::copy(feature.begin(), feature.end(), track_features + i * dim);
        }
        for (std::size_t j = 0; j < d; ++j) {
            const double* feature = pass.detections[j]->feature;
            std::copy(feature, feature + dim, det_features + j * dim);
        }
        appearance = take(s.appearance, t * d);
        appearance_distance(track_features, t, det_features, d, dim, appearance);
    }

    const AssociationCost cost = build_association_cost(ious, t, d, weights_, pass.iou_thresh, motion, class_mismatch,
                                                        gating_d2, gate ? &gate_thresh_ : nullptr, appearance,
                                                        uncertainty);
    if (!config_.use_lapjv) return associate(cost.cost.data(), t, d, cost.max_cost);

    // The alternative solver, gated exactly as associate gates its pairs.
    std::vector<std::int64_t> rows;
    std::vector<std::int64_t> cols;
    linear_assignment_lapjv(cost.cost.data(), t, d, rows, cols);
    return gate_assignment(cost.cost.data(), t, d, cost.max_cost, rows, cols);
}

std::vector<TrackOutput> ByteTracker::update(const FrameArrays& frame) {
    // Input. Nothing in the tracker changes before every check has passed.
    const std::size_t n = frame.n;
    if (frame.score_count != n) throw std::invalid_argument("update: scores must have one entry per box");
    std::vector<std::int32_t> class_ids(n, -1);
    if (frame.class_ids != nullptr) {
        if (frame.class_id_count != n) throw std::invalid_argument("update: class_ids must have one entry per box");
        for (std::size_t i = 0; i < n; ++i) class_ids[i] = class_id_from(frame.class_ids[i]);
    }
    const bool has_features = frame.features != nullptr;
    if (has_features && frame.feature_rows != n) throw std::invalid_argument("update: features must be (N, d)");
    const std::size_t dim = has_features ? frame.feature_dim : 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double* box = frame.boxes + 4 * i;
        if (box[0] > box[2] || box[1] > box[3]) throw std::invalid_argument("degenerate box (x2<x1 or y2<y1)");
    }
    // A non-finite, overflowing, zero-height or vanishingly low box would give its track a
    // NaN, infinite or singular state that fails every later frame, so such boxes are
    // refused up front.
    // Below kLargestCoordinate every square and product of the filter stays finite.
    for (std::size_t i = 0; i < n; ++i) {
        const double* box = frame.boxes + 4 * i;
        for (int c = 0; c < 4; ++c) {
            if (!(std::fabs(box[c]) <= kLargestCoordinate)) {
                throw std::invalid_argument("update: box coordinates must be finite and at most 1e+100 in magnitude (row " +
                                            std::to_string(i) + ")");
            }
        }
        if (!(box[3] - box[1] >= kSmallestHeight)) {
            throw std::invalid_argument("update: boxes must have a positive height, y2 - y1 >= 1e-100 (row " +
                                        std::to_string(i) + ")");
        }
    }
    for (std::size_t k = 0; k < n * dim; ++k) {
        if (!std::isfinite(frame.features[k])) {
            throw std::invalid_argument("update: features must be finite (row " + std::to_string(k / dim) + ")");
        }
    }
    if (frame_index_ == std::numeric_limits<std::int32_t>::max()) {
        throw std::runtime_error("update: the frame counter is exhausted; call reset() to start again");
    }
    std::vector<Detection> detections(n);
    for (std::size_t i = 0; i < n; ++i) {
        detections[i] = Detection{frame.boxes + 4 * i, frame.scores[i], class_ids[i],
                                  has_features && dim > 0 ? frame.features + dim * i : nullptr};
    }

    // Prediction of every track, into working copies. The three passes work on disjoint
    // sets of tracks and read only predicted states, so computing every pass before
    // applying anything gives the same result as updating between the passes.
    const std::size_t t = tracks_.size();
    std::vector<double> predicted_means(8 * t);
    std::vector<double> predicted_covariances(64 * t);
    for (std::size_t i = 0; i < t; ++i) {
        kf_.predict(tracks_[i].mean.data(), tracks_[i].covariance.data(), 1, &predicted_means[8 * i],
                    &predicted_covariances[64 * i]);
    }

    std::vector<const Detection*> detections_high;
    std::vector<const Detection*> detections_low;
    for (const Detection& det : detections) {
        if (det.score >= config_.high_score_thresh) {
            detections_high.push_back(&det);
        } else if (det.score >= config_.low_score_thresh && det.score < config_.high_score_thresh) {
            detections_low.push_back(&det);
        }
    }
    std::vector<std::size_t> tracks_confirmed;
    std::vector<std::size_t> tracks_tentative;
    for (std::size_t i = 0; i < t; ++i) {
        if (tracks_[i].state == TrackState::Confirmed) tracks_confirmed.push_back(i);
        if (tracks_[i].state == TrackState::Tentative) tracks_tentative.push_back(i);
    }

    const double* means = predicted_means.data();
    const double* covariances = predicted_covariances.data();
    const AssociationResult first = associate_pass(
        {tracks_confirmed, detections_high, config_.match_iou_thresh, true, dim, means, covariances});
    std::vector<std::size_t> tracks_second;
    for (const std::int64_t r : first.unmatched_rows) tracks_second.push_back(tracks_confirmed[r]);
    const AssociationResult second = associate_pass(
        {tracks_second, detections_low, config_.recovery_iou_thresh, false, dim, means, covariances});
    std::vector<const Detection*> detections_left;
    for (const std::int64_t c : first.unmatched_cols) detections_left.push_back(detections_high[c]);
    const AssociationResult third = associate_pass(
        {tracks_tentative, detections_left, config_.match_iou_thresh, true, dim, means, covariances});

    std::vector<const Detection*> births;
    for (const std::int64_t c : third.unmatched_cols) {
        if (detections_left[c]->score >= config_.new_track_thresh) births.push_back(detections_left[c]);
    }
    if (next_id_ + static_cast<std::int64_t>(births.size()) - 1 > kLargestId) {
        throw std::runtime_error(
            "update: track ids are exhausted (2147483647 tracks started since the last reset); call reset() to "
            "start again");
    }
    tracks_.reserve(t + births.size());

    // Apply: from here on nothing can fail except memory exhaustion.
    frame_index_ += 1;
    for (std::size_t i = 0; i < t; ++i) {
        Track& track = tracks_[i];
        std::copy(&predicted_means[8 * i], &predicted_means[8 * i] + 8, track.mean.begin());
        std::copy(&predicted_covariances[64 * i], &predicted_covariances[64 * i] + 64, track.covariance.begin());
        track.age += 1;
        track.time_since_update += 1;
    }
    for (std::size_t k = 0; k < first.match_rows.size(); ++k) {
        detail::update_track(tracks_[tracks_confirmed[first.match_rows[k]]], *detections_high[first.match_cols[k]],
                             dim, kf_);
    }
    for (std::size_t k = 0; k < second.match_rows.size(); ++k) {
        detail::update_track(tracks_[tracks_second[second.match_rows[k]]], *detections_low[second.match_cols[k]],
                             dim, kf_);
    }
    for (std::size_t k = 0; k < third.match_rows.size(); ++k) {
        detail::update_track(tracks_[tracks_tentative[third.match_rows[k]]], *detections_left[third.match_cols[k]],
                             dim, kf_);
    }
    for (const std::int64_t r : second.unmatched_rows) detail::mark_missed(tracks_[tracks_second[r]]);
    for (const std::int64_t r : third.unmatched_rows) detail::mark_missed(tracks_[tracks_tentative[r]]);
    for (const Detection* det : births) {
        tracks_.push_back(detail::spawn_track(*det, dim, static_cast<std::int32_t>(next_id_), frame_index_, config_, kf_));
        next_id_ += 1;
    }
    detail::remove_deleted(tracks_);

    std::vector<TrackOutput> out;
    for (const Track& track : tracks_) {
        if (track.state != TrackState::Confirmed || track.time_since_update != 0) continue;
        TrackOutput row{frame_index_, track.id, {}, track.score, track.class_id};
        xyah_to_xyxy_rows(track.mean.data(), 1, row.xyxy.data());
        out.push_back(row);
    }
    return out;
}

}  // namespace kelmora
