// The tracker object and its frame update.
//
// A frame is planned completely before anything changes: input checks, prediction of every
// track into working copies, the three passes, the Kalman updates of the matched tracks, the
// new tracks and the report. Only then is the plan applied, by a step that cannot fail. So a
// frame that raises (bad input, memory exhaustion, an interrupt) leaves the tracker as it was.
// The three passes work on disjoint sets of tracks and read only predicted states, so planning
// every pass before applying any gives the same result as updating between the passes.
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "association_pass.hpp"
#include "bound_text.hpp"
#include "frame_work.hpp"
#include "kelmora/tracker.hpp"
#include "track_ops.hpp"

namespace kelmora {

using detail::FrameWork;
using detail::PassBuffers;
using detail::take;

namespace {

using detail::bound_text;

constexpr std::int64_t kLargestId = std::numeric_limits<std::int32_t>::max();

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
    fn(p.det_boxes);
    fn(p.track_boxes);
    fn(p.track_classes);
    fn(p.factors);
    fn(p.factored);
    fn(p.columns);
    fn(p.det_classes);
    fn(p.measurements);
    fn(p.track_features);
    fn(p.det_features);
    fn(p.overlap_row);
    fn(p.motion_row);
    fn(p.open_row);
    fn(p.cost);
    fn(p.row_to_col);
    fn(p.matched);
    fn(p.predicted_means);
    fn(p.predicted_covariances);
    fn(p.update_of);
}

// Frees every working array of the frame update.
void release_work(FrameWork& w) noexcept {
    for_each_buffer(w.pass, [](auto& buffer) { detail::release(buffer); });
    detail::release(w.pass.solver);
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

// --- the steps of a frame update ---------------------------------------------------------

// Checks the frame and builds one detection per row. Nothing in the tracker changes before
// every check has passed.
// Throws: std::invalid_argument naming the failing rule; std::runtime_error when the frame
// counter is exhausted.
void check_frame(const FrameArrays& frame, std::int32_t frame_index, FrameWork& w) {
    const std::size_t n = frame.n;
    check_score_count(frame);
    check_class_id_count(frame);
    check_feature_shape(frame);
    const bool has_features = frame.features_given || frame.features != nullptr;
    const std::size_t dim = has_features ? frame.feature_dim : 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double* box = frame.boxes + 4 * i;
        if (box[0] > box[2] || box[1] > box[3]) throw std::invalid_argument("degenerate box (x2<x1 or y2<y1)");
    }
    // A non-finite, overflowing, zero-height or vanishingly low box would give its track a
    // NaN, infinite or singular state, so such boxes are refused up front (the bounds are
    // derived in tracker.hpp).
    for (std::size_t i = 0; i < n; ++i) {
        const double* box = frame.boxes + 4 * i;
        for (int k = 0; k < 4; ++k) {
            if (!(std::fabs(box[k]) <= kLargestCoordinate)) {
                throw std::invalid_argument("update: box coordinates must be finite and at most " +
                                            bound_text(kLargestCoordinate) + " in magnitude (row " + std::to_string(i) +
                                            ")");
            }
        }
        if (!(box[3] - box[1] >= kSmallestHeight)) {
            throw std::invalid_argument("update: boxes must have a positive height, y2 - y1 >= " +
                                        bound_text(kSmallestHeight) + " (row " + std::to_string(i) + ")");
        }
    }
    for (std::size_t k = 0; k < n * dim; ++k) {
        if (!std::isfinite(frame.features[k])) {
            throw std::invalid_argument("update: features must be finite (row " + std::to_string(k / dim) + ")");
        }
    }
    if (frame_index == std::numeric_limits<std::int32_t>::max()) {
        throw std::runtime_error("update: the frame counter is exhausted; call reset() to start again");
    }
    w.detections.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::int32_t class_id = frame.class_ids != nullptr ? class_id_from(frame.class_ids[i]) : -1;
        w.detections[i] = Detection{frame.boxes + 4 * i, frame.scores[i], class_id,
                                    has_features && dim > 0 ? frame.features + dim * i : nullptr};
    }
    w.feature_dim = dim;
}

// Predicts every track one frame ahead, into working copies.
void predict_tracks(const std::vector<Track>& tracks, const KalmanBoxTracker& kf, FrameWork& w) {
    const std::size_t t = tracks.size();
    double* means = take(w.pass.predicted_means, 8 * t);
    double* covariances = take(w.pass.predicted_covariances, 64 * t);
    for (std::size_t i = 0; i < t; ++i) {
        kf.predict(tracks[i].mean.data(), tracks[i].covariance.data(), 1, means + 8 * i, covariances + 64 * i);
    }
    w.predicted_means = means;
    w.predicted_covariances = covariances;
}

// Detections by score (high: >= high_score_thresh; low: >= low_score_thresh and below high;
// the rest, NaN scores included, take no part), tracks by state, both in their order.
void split_frame(const TrackerConfig& config, const std::vector<Track>& tracks, FrameWork& w) {
    w.detections_high.clear();
    w.detections_low.clear();
    for (const Detection& det : w.detections) {
        if (det.score >= config.high_score_thresh) {
            w.detections_high.push_back(&det);
        } else if (det.score >= config.low_score_thresh && det.score < config.high_score_thresh) {
            w.detections_low.push_back(&det);
        }
    }
    w.tracks_confirmed.clear();
    w.tracks_tentative.clear();
    for (std::size_t i = 0; i < tracks.size(); ++i) {
        if (tracks[i].state == TrackState::Confirmed) w.tracks_confirmed.push_back(i);
        if (tracks[i].state == TrackState::Tentative) w.tracks_tentative.push_back(i);
    }
}

// The three passes: confirmed tracks against high-score detections (gated); the confirmed
// tracks left over against low-score detections (never gated); tentative tracks against the
// high-score detections left over (gated).
void run_passes(const detail::PassContext& context, FrameWork& w) {
    const TrackerConfig& config = context.config;
    detail::associate_pass(context, w.pass, w.tracks_confirmed, w.detections_high, config.match_iou_thresh, true,
                           w.first);
    w.tracks_second.clear();
    for (const std::int64_t r : w.first.unmatched_rows) w.tracks_second.push_back(w.tracks_confirmed[r]);
    detail::associate_pass(context, w.pass, w.tracks_second, w.detections_low, config.recovery_iou_thresh, false,
                           w.second);
    w.detections_left.clear();
    for (const std::int64_t c : w.first.unmatched_cols) w.detections_left.push_back(w.detections_high[c]);
    detail::associate_pass(context, w.pass, w.tracks_tentative, w.detections_left, config.match_iou_thresh, true,
                           w.third);
}

// The Kalman update of every matched track, in pass order.
void plan_updates(const std::vector<Track>& tracks, const KalmanBoxTracker& kf, FrameWork& w) {
    w.updates.resize(w.first.match_rows.size() + w.second.match_rows.size() + w.third.match_rows.size());
    std::size_t u = 0;
    const auto plan = [&](std::size_t track, const Detection* det) {
        detail::TrackUpdate& update = w.updates[u++];
        update.track = track;
        update.detection = det;
        detail::plan_track_update(tracks[track], w.predicted_means + 8 * track, w.predicted_covariances + 64 * track,
                                  *det, w.feature_dim, kf, update);
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
}

// The new tracks, built in full (history and feature included): the high-score detections no
// pass matched whose score reaches new_track_thresh, in ascending detection order.
// Throws: std::runtime_error when the ids would run out.
void plan_births(const TrackerConfig& config, const KalmanBoxTracker& kf, std::int64_t next_id,
                 std::int32_t frame_index, FrameWork& w) {
    std::size_t births = 0;
    for (const std::int64_t c : w.third.unmatched_cols) {
        if (w.detections_left[c]->score >= config.new_track_thresh) ++births;
    }
    if (next_id + static_cast<std::int64_t>(births) - 1 > kLargestId) {
        throw std::runtime_error(
            "update: track ids are exhausted (2147483647 tracks started since the last reset); call reset() to "
            "start again");
    }
    w.born.clear();
    w.born.reserve(births);
    std::int64_t id = next_id;
    for (const std::int64_t c : w.third.unmatched_cols) {
        const Detection* det = w.detections_left[c];
        if (!(det->score >= config.new_track_thresh)) continue;
        w.born.push_back(
            detail::spawn_track(*det, w.feature_dim, static_cast<std::int32_t>(id), frame_index, config, kf));
        id += 1;
    }
}

// The report: the confirmed tracks matched in this frame, in track order, with their new box.
// New tracks are never reported in their birth frame; a track whose new state is not finite
// is dropped instead.
void report(const std::vector<Track>& tracks, std::int32_t frame_index, FrameWork& w) {
    std::int64_t* update_of = take(w.pass.update_of, tracks.size());
    for (std::size_t i = 0; i < tracks.size(); ++i) update_of[i] = -1;
    for (std::size_t u = 0; u < w.updates.size(); ++u) update_of[w.updates[u].track] = static_cast<std::int64_t>(u);
    w.outputs.clear();
    w.outputs.reserve(w.updates.size());
    for (std::size_t i = 0; i < tracks.size(); ++i) {
        if (update_of[i] < 0) continue;
        const detail::TrackUpdate& update = w.updates[static_cast<std::size_t>(update_of[i])];
        if (!update.confirmed || !update.finite) continue;
        w.outputs.push_back(
            TrackOutput{frame_index, tracks[i].id, update.box, update.detection->score, update.detection->class_id});
    }
}

// Frees the working arrays that recent frames no longer need.
void trim_work(FrameWork& w) noexcept {
    const bool cost_held = !w.pass.cost.items.empty();
    for_each_buffer(w.pass, [](auto& buffer) { trim_buffer(buffer); });
    // The solver's blocks go with the cost matrix they solved.
    if (cost_held && w.pass.cost.items.empty()) detail::release(w.pass.solver);
}

}  // namespace

void check_score_count(const FrameArrays& frame) {
    if (frame.score_count != frame.n) throw std::invalid_argument("update: scores must have one entry per box");
}

void check_class_id_count(const FrameArrays& frame) {
    if (frame.class_ids != nullptr && frame.class_id_count != frame.n) {
        throw std::invalid_argument("update: class_ids must have one entry per box");
    }
}

void check_feature_shape(const FrameArrays& frame) {
    if ((frame.features_given || frame.features != nullptr) && frame.feature_rows != frame.n) {
        throw std::invalid_argument("update: features must be (N, d)");
    }
}

ByteTracker::ByteTracker(const TrackerConfig& config)
    : config_(config),
      kf_(config.kf_noise_scale * kDefaultStdWeightPosition, config.kf_noise_scale * kDefaultStdWeightVelocity),
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
        check_frame(frame, frame_index_, w);
        predict_tracks(tracks_, kf_, w);
        split_frame(config_, tracks_, w);
        const detail::PassContext context{
            config_, weights_, kf_, gate_thresh_, tracks_, w.predicted_means, w.predicted_covariances, w.feature_dim};
        run_passes(context, w);
        plan_updates(tracks_, kf_, w);
        plan_births(config_, kf_, next_id_, frame_index_ + 1, w);
        tracks_.reserve(tracks_.size() + w.born.size());
        report(tracks_, frame_index_ + 1, w);
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
    // Every track takes its predicted state and ages; the matched ones absorb their detection.
    const std::size_t t = tracks_.size();
    for (std::size_t i = 0; i < t; ++i) {
        Track& track = tracks_[i];
        std::memcpy(track.mean.data(), w.predicted_means + 8 * i, 8 * sizeof(double));
        std::memcpy(track.covariance.data(), w.predicted_covariances + 64 * i, 64 * sizeof(double));
        track.age += 1;
        track.time_since_update += 1;
    }
    for (detail::TrackUpdate& update : w.updates) {
        detail::apply_track_update(tracks_[update.track], update, w.feature_dim);
    }
    // Confirmed tracks that neither the first nor the second pass matched, then tentative ones
    // that the third did not.
    for (const std::int64_t r : w.second.unmatched_rows) detail::mark_missed(tracks_[w.tracks_second[r]]);
    for (const std::int64_t r : w.third.unmatched_rows) detail::mark_missed(tracks_[w.tracks_tentative[r]]);
    for (Track& track : w.born) tracks_.push_back(std::move(track));  // capacity reserved when planned
    next_id_ += static_cast<std::int64_t>(w.born.size());
    w.born.clear();
    detail::remove_deleted(tracks_);
    trim_work(w);
}

void ByteTracker::discard_update() noexcept { release_work(*work_); }

bool ByteTracker::update_pending() const noexcept { return work_->prepared; }

}  // namespace kelmora
