// Track birth, update, marking and removal.
#include "track_ops.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

#include "kelmora/geometry.hpp"
#include "motion/kalman_internal.hpp"

namespace kelmora::detail {
namespace {

void append_history(Track& track, const std::array<double, 4>& box) noexcept {
    // Nothing reads the history; keeping only the latest boxes bounds a long-lived track.
    // The capacity is reserved at birth, so neither step allocates.
    if (track.history.size() >= kTrackHistoryLength) track.history.erase(track.history.begin());
    track.history.push_back(box);
}

}  // namespace

void normalise_feature(double* feature, std::size_t d) noexcept {
    double s = 0.0;
    for (std::size_t i = 0; i < d; ++i) s = s + feature[i] * feature[i];
    const double n = std::sqrt(s);
    if (n > 1e-12) {
        for (std::size_t i = 0; i < d; ++i) feature[i] = feature[i] / n;
    }
}

Track spawn_track(const Detection& det, std::size_t d, std::int32_t id, std::int32_t frame_index,
                  const TrackerConfig& config, const KalmanBoxTracker& kf) {
    Track track;
    track.id = id;
    std::array<double, 4> z;
    xyxy_to_xyah_rows(det.box, 1, z.data());
    kf.initiate(z.data(), track.mean.data(), track.covariance.data());
    track.state = TrackState::Tentative;
    track.class_id = det.class_id;
    track.score = det.score;
    track.hits = 1;
    track.age = 1;
    track.time_since_update = 0;
    track.n_init = config.n_init;
    track.max_age = config.max_age;
    track.ema_alpha = config.appearance_ema_alpha;
    track.start_frame = frame_index;
    track.history.reserve(kTrackHistoryLength);
    std::array<double, 4> box;
    xyah_to_xyxy_rows(track.mean.data(), 1, box.data());
    append_history(track, box);
    track.last_measurement = z;
    track.last_mean = track.mean;
    track.last_covariance = track.covariance;
    if (det.feature != nullptr && d > 0) {
        track.feature.assign(det.feature, det.feature + d);
        normalise_feature(track.feature.data(), d);
    }
    return track;
}

void plan_track_update(const Track& track, const double* predicted_mean, const double* predicted_covariance,
                       const Detection& det, std::size_t d, const KalmanBoxTracker& kf, TrackUpdate& update) {
    xyxy_to_xyah_rows(det.box, 1, update.measurement.data());
    kf.update(predicted_mean, predicted_covariance, update.measurement.data(), update.mean.data(),
              update.covariance.data());
    xyah_to_xyxy_rows(update.mean.data(), 1, update.box.data());
    update.finite = all_finite(update.mean.data(), 8) && all_finite(update.covariance.data(), 64) &&
                    all_finite(update.box.data(), 4);
    update.confirmed = track.state == TrackState::Confirmed || track.hits + 1 >= track.n_init;
    update.fresh_feature.clear();
    // Empty, or left from frames of another feature length: the detection's feature replaces it.
    if (det.feature != nullptr && d > 0 && track.feature.size() != d) {
        update.fresh_feature.assign(det.feature, det.feature + d);
    }
}

void apply_track_update(Track& track, TrackUpdate& update, std::size_t d) noexcept {
    track.mean = update.mean;
    track.covariance = update.covariance;
    track.last_measurement = update.measurement;
    track.last_mean = update.mean;
    track.last_covariance = update.covariance;
    track.hits += 1;
    track.score = update.detection->score;
    track.class_id = update.detection->class_id;
    track.time_since_update = 0;
    append_history(track, update.box);
    const double* det_feature = update.detection->feature;
    if (det_feature != nullptr && d > 0) {
        if (!update.fresh_feature.empty()) {
            track.feature.swap(update.fresh_feature);
        } else {
            const double alpha = track.ema_alpha;
            for (std::size_t i = 0; i < d; ++i) {
                // Both products are rounded before the sum.
                const double fresh = (1.0 - alpha) * det_feature[i];
                const double kept = alpha * track.feature[i];
                track.feature[i] = fresh + kept;
            }
        }
        normalise_feature(track.feature.data(), d);
    }
    if (track.state == TrackState::Tentative && track.hits >= track.n_init) track.state = TrackState::Confirmed;
    if (!update.finite) track.state = TrackState::Deleted;
}

void mark_missed(Track& track) noexcept {
    if (track.state == TrackState::Tentative || track.time_since_update > track.max_age) {
        track.state = TrackState::Deleted;
    }
}

void remove_deleted(std::vector<Track>& tracks) noexcept {
    tracks.erase(
        std::remove_if(tracks.begin(), tracks.end(), [](const Track& t) { return t.state == TrackState::Deleted; }),
        tracks.end());
}

}  // namespace kelmora::detail
