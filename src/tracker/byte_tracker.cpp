// The tracker object, its association pass and the frame update.
//
// A frame is planned completely before anything changes: input checks, prediction of every
// track into working copies, the three passes, the Kalman updates of the matched tracks, the
// new tracks and the report. Only then is the plan applied, by a step that cannot fail. So a
// frame that raises (bad input, memory exhaustion, an interrupt) leaves the tracker as it was.
// The three passes work on disjoint sets of tracks and read only predicted states, so planning
// every pass before applying any gives the same result as updating between the passes.
#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "frame_work.hpp"
#include "kelmora/geometry.hpp"
#include "kelmora/interrupt.hpp"
#include "kelmora/tracker.hpp"
#include "motion/gating_internal.hpp"
#include "track_ops.hpp"

namespace kelmora {

using detail::FrameWork;
using detail::PassBuffers;
using detail::take;

namespace {

constexpr std::int64_t kLargestId = std::numeric_limits<std::int32_t>::max();
constexpr double kLargestCoordinate = 1e100;
// Heights below this make the squared position noise underflow: a singular state.
constexpr double kSmallestHeight = 1e-100;
constexpr double kInfinity = std::numeric_limits<double>::infinity();

// Working memory: a working array holding more than kTrimFloorBytes is freed once
// kTrimAfterFrames frames in a row each used less than a quarter of it; it grows again to
// what a later frame needs. A steady stream keeps its arrays and allocates nothing.
constexpr int kTrimAfterFrames = 16;
constexpr std::size_t kTrimFloorBytes = std::size_t{64} << 10;

// Converts a class id truncated toward zero; NaN and values whose truncation leaves the
// signed 32-bit range have no meaningful conversion and are refused.
std::int32_t class_id_from(double v) {
    if (!(v > -2147483649.0 && v < 2147483648.0)) {
        throw std::invalid_argument("update: class_ids must be finite and within the signed 32-bit range");
    }
    return static_cast<std::int32_t>(v);
}

void fill_index_range(std::vector<std::int64_t>& out, std::size_t n) {
    out.resize(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::int64_t>(i);
}

template <typename T>
void trim_buffer(detail::WorkBuffer<T>& buffer) noexcept {
    const std::size_t held = buffer.items.size();
    const bool small = held * sizeof(T) > kTrimFloorBytes && buffer.frame_peak < held / 4;
    buffer.small_frames = small ? buffer.small_frames + 1 : 0;
    buffer.frame_peak = 0;
    if (buffer.small_frames >= kTrimAfterFrames) detail::release(buffer);
}

template <typename T>
void free_vector(std::vector<T>& v) noexcept {
    std::vector<T>().swap(v);
}

// Applies `fn` to every working array of the passes.
template <typename Fn>
void for_each_buffer(PassBuffers& p, Fn fn) {
    fn(p.track_boxes);
    fn(p.det_boxes);
    fn(p.ious);
    fn(p.motion);
    fn(p.measurements);
    fn(p.gating_d2);
    fn(p.uncertainty);
    fn(p.track_features);
    fn(p.det_features);
    fn(p.appearance);
    fn(p.cost);
    fn(p.class_mismatch);
    fn(p.predicted_means);
    fn(p.predicted_covariances);
}

// Frees every working array of the frame update.
void release_work(FrameWork& w) noexcept {
    for_each_buffer(w.pass, [](auto& buffer) { detail::release(buffer); });
    free_vector(w.detections);
    free_vector(w.detections_high);
    free_vector(w.detections_low);
    free_vector(w.detections_left);
    free_vector(w.tracks_confirmed);
    free_vector(w.tracks_tentative);
    free_vector(w.tracks_second);
    w.first = AssociationResult{};
    w.second = AssociationResult{};
    w.third = AssociationResult{};
    free_vector(w.updates);
    free_vector(w.born);
    free_vector(w.outputs);
    w.predicted_means = nullptr;
    w.predicted_covariances = nullptr;
    w.prepared = false;
}

// What an association pass reads of the tracker.
struct PassContext {
    const TrackerConfig& config;
    const KalmanBoxTracker& kf;
    const CostWeights& weights;
    double gate_thresh;
    const std::vector<Track>& tracks;
    const FrameWork& work;  // predicted states and the frame's feature dimension
};

// One association pass: rows are tracks (indexes into the track list), columns detections.
// Pairs whose evidence is not a number cannot be judged and are forbidden: an overlap or
// motion term of a track whose predicted state overflowed, and a distance from a track whose
// innovation covariance is no longer positive definite (counted as infinitely far). Finite
// evidence is used exactly as given.
void associate_pass(const PassContext& c, PassBuffers& s, const std::vector<std::size_t>& tracks,
                    const std::vector<const Detection*>& detections, double iou_thresh, bool gated,
                    AssociationResult& result) {
    const std::size_t t = tracks.size();
    const std::size_t d = detections.size();
    result = AssociationResult{};
    if (t == 0 || d == 0) {
        fill_index_range(result.unmatched_rows, t);
        fill_index_range(result.unmatched_cols, d);
        return;
    }
    const TrackerConfig& config = c.config;
    const double* predicted_means = c.work.predicted_means;
    const double* predicted_covariances = c.work.predicted_covariances;

    double* track_boxes = take(s.track_boxes, 4 * t);
    for (std::size_t i = 0; i < t; ++i) {
        xyah_to_xyxy_rows(predicted_means + 8 * tracks[i], 1, track_boxes + 4 * i);
    }
    double* det_boxes = take(s.det_boxes, 4 * d);
    for (std::size_t j = 0; j < d; ++j) {
        const double* box = detections[j]->box;
        std::copy(box, box + 4, det_boxes + 4 * j);
    }

    double* ious = take(s.ious, t * d);
    iou_matrix_kernel(track_boxes, t, det_boxes, d, ious);

    double* motion = nullptr;
    if (config.use_giou) {
        motion = take(s.motion, t * d);
        giou_matrix_kernel(track_boxes, t, det_boxes, d, motion);
        for (std::size_t k = 0; k < t * d; ++k) motion[k] = 1.0 - motion[k];
    }
    detail::check_interrupt();

    unsigned char* class_mismatch = nullptr;
    if (config.class_aware) {
        class_mismatch = take(s.class_mismatch, t * d);
        for (std::size_t i = 0; i < t; ++i) {
            const std::int32_t track_class = c.tracks[tracks[i]].class_id;
            for (std::size_t j = 0; j < d; ++j) {
                const std::int32_t det_class = detections[j]->class_id;
                class_mismatch[i * d + j] = track_class != det_class && track_class != -1 && det_class != -1;
            }
        }
    }

    const bool gate = gated && config.use_mahalanobis_gating;
    const bool uncertainty_on = c.weights.w_unc > 0.0;
    double* gating_d2 = nullptr;
    if (gate || uncertainty_on) {
        double* measurements = take(s.measurements, 4 * d);
        xyxy_to_xyah_rows(det_boxes, d, measurements);
        gating_d2 = take(s.gating_d2, t * d);
        const detail::GatingKernel kernel = detail::fastest_gating_kernel();
        detail::InterruptBudget budget;
        for (std::size_t i = 0; i < t; ++i) {
            budget.spend(d + 64);
            double* row = gating_d2 + i * d;
            detail::GatingFactor factor;
            if (!detail::factor_gating_state(predicted_means + 8 * tracks[i], predicted_covariances + 64 * tracks[i],
                                             c.kf.std_weight_position(), factor)) {
                std::fill(row, row + d, kInfinity);
                continue;
            }
            detail::gating_row(factor, measurements, d, row, kernel);
            for (std::size_t j = 0; j < d; ++j) {
                if (std::isnan(row[j])) row[j] = kInfinity;
            }
        }
    }

    double* uncertainty = nullptr;
    if (uncertainty_on) {
        uncertainty = take(s.uncertainty, t * d);
        uncertainty_distance(gating_d2, t * d, c.gate_thresh, uncertainty);
    }

    double* appearance = nullptr;
    const std::size_t dim = c.work.feature_dim;
    bool appearance_on = c.weights.w_app > 0.0 && dim > 0;
    for (std::size_t i = 0; appearance_on && i < t; ++i) appearance_on = c.tracks[tracks[i]].feature.size() == dim;
    for (std::size_t j = 0; appearance_on && j < d; ++j) appearance_on = detections[j]->feature != nullptr;
    if (appearance_on) {
        double* track_features = take(s.track_features, t * dim);
        double* det_features = take(s.det_features, d * dim);
        for (std::size_t i = 0; i < t; ++i) {
            const std::vector<double>& feature = c.tracks[tracks[i]].feature;
            std::copy(feature.begin(), feature.end(), track_features + i * dim);
        }
        for (std::size_t j = 0; j < d; ++j) {
            const double* feature = detections[j]->feature;
            std::copy(feature, feature + dim, det_features + j * dim);
        }
        appearance = take(s.appearance, t * d);
        appearance_distance(track_features, t, det_features, d, dim, appearance);
    }

    const AssociationCost built = build_association_cost(ious, t, d, c.weights, iou_thresh, motion, class_mismatch,
                                                         gating_d2, gate ? &c.gate_thresh : nullptr, appearance,
                                                         uncertainty);
    double* cost = take(s.cost, t * d);
    std::copy(built.cost.begin(), built.cost.end(), cost);
    const double forbidden = built.max_cost + 1.0;
    std::size_t admissible = 0;
    for (std::size_t k = 0; k < t * d; ++k) {
        if (std::isnan(cost[k])) cost[k] = forbidden;
        if (built.max_cost >= cost[k]) ++admissible;
    }
    detail::check_interrupt();

    // With no admissible pair the gate would drop whatever the solver returned.
    if (admissible == 0) {
        fill_index_range(result.unmatched_rows, t);
        fill_index_range(result.unmatched_cols, d);
        return;
    }
    if (!config.use_lapjv) {
        result = associate(cost, t, d, built.max_cost);
        return;
    }
    // The alternative solver, gated exactly as associate gates its pairs.
    std::vector<std::int64_t> rows;
    std::vector<std::int64_t> cols;
    linear_assignment_lapjv(cost, t, d, rows, cols);
    result = gate_assignment(cost, t, d, built.max_cost, rows, cols);
}

}  // namespace

ByteTracker::ByteTracker(const TrackerConfig& config)
    : config_(config),
      kf_(config.kf_noise_scale * 0.05, config.kf_noise_scale * 0.00625),
      work_(std::make_unique<FrameWork>()) {
    config_.validate();
    weights_.w_iou = config_.w_iou;
    weights_.w_app = config_.w_app;
    weights_.w_unc = config_.w_unc;
    weights_.w_ocm = config_.w_ocm;
    weights_.use_giou = config_.use_giou;
}

ByteTracker::~ByteTracker() = default;

void ByteTracker::reset() {
    free_vector(tracks_);
    frame_index_ = -1;
    next_id_ = 1;
    release_work(*work_);
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

std::vector<TrackOutput> ByteTracker::update(const FrameArrays& frame) {
    std::vector<TrackOutput> out = prepare_update(frame);
    commit_update();
    return out;
}

const std::vector<TrackOutput>& ByteTracker::prepare_update(const FrameArrays& frame) {
    FrameWork& w = *work_;
    w.prepared = false;
    try {
        // Input. Nothing in the tracker changes before every check has passed.
        const std::size_t n = frame.n;
        if (frame.score_count != n) throw std::invalid_argument("update: scores must have one entry per box");
        if (frame.class_ids != nullptr && frame.class_id_count != n) {
            throw std::invalid_argument("update: class_ids must have one entry per box");
        }
        const bool has_features = frame.features != nullptr;
        if (has_features && frame.feature_rows != n) throw std::invalid_argument("update: features must be (N, d)");
        const std::size_t dim = has_features ? frame.feature_dim : 0;
        for (std::size_t i = 0; i < n; ++i) {
            const double* box = frame.boxes + 4 * i;
            if (box[0] > box[2] || box[1] > box[3]) throw std::invalid_argument("degenerate box (x2<x1 or y2<y1)");
        }
        // A non-finite, overflowing, zero-height or vanishingly low box would give its track a
        // NaN, infinite or singular state, so such boxes are refused up front.
        // Below kLargestCoordinate every square and product of the filter stays finite.
        for (std::size_t i = 0; i < n; ++i) {
            const double* box = frame.boxes + 4 * i;
            for (int k = 0; k < 4; ++k) {
                if (!(std::fabs(box[k]) <= kLargestCoordinate)) {
                    throw std::invalid_argument(
                        "update: box coordinates must be finite and at most 1e+100 in magnitude (row " +
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
        w.detections.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            const std::int32_t class_id = frame.class_ids != nullptr ? class_id_from(frame.class_ids[i]) : -1;
            w.detections[i] = Detection{frame.boxes + 4 * i, frame.scores[i], class_id,
                                        has_features && dim > 0 ? frame.features + dim * i : nullptr};
        }
        w.feature_dim = dim;

        // Prediction of every track, into working copies.
        const std::size_t t = tracks_.size();
        double* predicted_means = take(w.pass.predicted_means, 8 * t);
        double* predicted_covariances = take(w.pass.predicted_covariances, 64 * t);
        for (std::size_t i = 0; i < t; ++i) {
            kf_.predict(tracks_[i].mean.data(), tracks_[i].covariance.data(), 1, predicted_means + 8 * i,
                        predicted_covariances + 64 * i);
        }
        w.predicted_means = predicted_means;
        w.predicted_covariances = predicted_covariances;

        w.detections_high.clear();
        w.detections_low.clear();
        for (const Detection& det : w.detections) {
            if (det.score >= config_.high_score_thresh) {
                w.detections_high.push_back(&det);
            } else if (det.score >= config_.low_score_thresh && det.score < config_.high_score_thresh) {
                w.detections_low.push_back(&det);
            }
        }
        w.tracks_confirmed.clear();
        w.tracks_tentative.clear();
        for (std::size_t i = 0; i < t; ++i) {
            if (tracks_[i].state == TrackState::Confirmed) w.tracks_confirmed.push_back(i);
            if (tracks_[i].state == TrackState::Tentative) w.tracks_tentative.push_back(i);
        }

        const PassContext context{config_, kf_, weights_, gate_thresh_, tracks_, w};
        associate_pass(context, w.pass, w.tracks_confirmed, w.detections_high, config_.match_iou_thresh, true,
                       w.first);
        w.tracks_second.clear();
        for (const std::int64_t r : w.first.unmatched_rows) w.tracks_second.push_back(w.tracks_confirmed[r]);
        associate_pass(context, w.pass, w.tracks_second, w.detections_low, config_.recovery_iou_thresh, false,
                       w.second);
        w.detections_left.clear();
        for (const std::int64_t c : w.first.unmatched_cols) w.detections_left.push_back(w.detections_high[c]);
        associate_pass(context, w.pass, w.tracks_tentative, w.detections_left, config_.match_iou_thresh, true,
                       w.third);

        // The Kalman updates of the matched tracks, in pass order.
        const std::size_t matched = w.first.match_rows.size() + w.second.match_rows.size() +
                                    w.third.match_rows.size();
        w.updates.resize(matched);
        std::size_t u = 0;
        const auto plan = [&](std::size_t track, const Detection* det) {
            detail::TrackUpdate& update = w.updates[u++];
            update.track = track;
            update.detection = det;
            detail::plan_track_update(tracks_[track], w.predicted_means + 8 * track,
                                      w.predicted_covariances + 64 * track, *det, dim, kf_, update);
        };
        for (std::size_t k = 0; k < w.first.match_rows.size(); ++k) {
            plan(w.tracks_confirmed[w.first.match_rows[k]], w.detections_high[w.first.match_cols[k]]);
        }
        for (std::size_t k = 0; k < w.second.match_rows.size(); ++k) {
            plan(w.tracks_second[w.second.match_rows[k]], w.detections_low[w.second.match_cols[k]]);
        }
        for (std::size_t k = 0; k < w.third.match_rows.size(); ++k) {
            plan(w.tracks_tentative[w.third.match_rows[k]], w.detections_left[w.third.match_cols[k]]);
        }

        // New tracks, built in full (history and feature included) before anything changes.
        std::size_t births = 0;
        for (const std::int64_t c : w.third.unmatched_cols) {
            if (w.detections_left[c]->score >= config_.new_track_thresh) ++births;
        }
        if (next_id_ + static_cast<std::int64_t>(births) - 1 > kLargestId) {
            throw std::runtime_error(
                "update: track ids are exhausted (2147483647 tracks started since the last reset); call reset() "
                "to start again");
        }
        w.born.clear();
        w.born.reserve(births);
        std::int64_t id = next_id_;
        for (const std::int64_t c : w.third.unmatched_cols) {
            const Detection* det = w.detections_left[c];
            if (det->score < config_.new_track_thresh || std::isnan(det->score)) continue;
            w.born.push_back(detail::spawn_track(*det, dim, static_cast<std::int32_t>(id), frame_index_ + 1, config_,
                                                 kf_));
            id += 1;
        }
        tracks_.reserve(t + births);

        // The report: confirmed tracks matched in this frame, in track order. New tracks are
        // never reported in their birth frame.
        w.outputs.clear();
        w.outputs.reserve(matched);
        std::vector<detail::TrackUpdate*> order;
        for (detail::TrackUpdate& update : w.updates) {
            if (update.confirmed && update.finite) order.push_back(&update);
        }
        std::sort(order.begin(), order.end(),
                  [](const detail::TrackUpdate* a, const detail::TrackUpdate* b) { return a->track < b->track; });
        for (const detail::TrackUpdate* update : order) {
            const Track& track = tracks_[update->track];
            w.outputs.push_back(TrackOutput{frame_index_ + 1, track.id, update->box, update->detection->score,
                                            update->detection->class_id});
        }
        w.prepared = true;
        return w.outputs;
    } catch (...) {
        release_work(w);
        throw;
    }
}

void ByteTracker::commit_update() noexcept {
    FrameWork& w = *work_;
    if (!w.prepared) return;
    w.prepared = false;
    frame_index_ += 1;
    const std::size_t t = tracks_.size();
    for (std::size_t i = 0; i < t; ++i) {
        Track& track = tracks_[i];
        std::copy(w.predicted_means + 8 * i, w.predicted_means + 8 * i + 8, track.mean.begin());
        std::copy(w.predicted_covariances + 64 * i, w.predicted_covariances + 64 * i + 64, track.covariance.begin());
        track.age += 1;
        track.time_since_update += 1;
    }
    for (detail::TrackUpdate& update : w.updates) {
        detail::apply_track_update(tracks_[update.track], update, w.feature_dim);
    }
    for (const std::int64_t r : w.second.unmatched_rows) detail::mark_missed(tracks_[w.tracks_second[r]]);
    for (const std::int64_t r : w.third.unmatched_rows) detail::mark_missed(tracks_[w.tracks_tentative[r]]);
    for (Track& track : w.born) tracks_.push_back(std::move(track));  // capacity reserved when planned
    next_id_ += static_cast<std::int64_t>(w.born.size());
    w.born.clear();
    detail::remove_deleted(tracks_);

    for_each_buffer(w.pass, [](auto& buffer) { trim_buffer(buffer); });
}

void ByteTracker::discard_update() noexcept { release_work(*work_); }

bool ByteTracker::update_pending() const noexcept { return work_->prepared; }

}  // namespace kelmora
