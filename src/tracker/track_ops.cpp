// Track birth, update, marking and removal.
#include "track_ops.hpp"

#include <algorithm>
#include <cmath>

#include "kelmora/geometry.hpp"

namespace kelmora::detail {
namespace {

void append_history(Track& track) {
    std::array<double, 4> box;
    xyah_to_xyxy_rows(track.mean.data(), 1, box.data());
    // Nothing reads the history; keeping only the latest boxes bounds a long-lived track.
    if (track.history.size() >= kTrackHistoryLength) track.history.erase(track.history.begin());
    track.history.push_back(box);
}

}  // namespace

void normalise_feature(std::vector<double>& feature) {
    double s = 0.0;
    for (const double x : feature) s = s + x * x;
    const double n = std::sqrt(s);
    if (n > 1e-12) {
        for (double& x : feature) x = x / n;
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
    append_history(track);
    track.last_measurement = z;
    track.last_mean = track.mean;
    track.last_covariance = track.covariance;
    if (det.feature != nullptr && d > 0) {
        track.feature.assign(det.feature, det.feature + d);
        normalise_feature(track.feature);
    }
    return track;
}

void update_track(Track& track, const Detection& det, std::size_t d, const KalmanBoxTracker& kf) {
    std::array<double, 4> z;
    xyxy_to_xyah_rows(det.box, 1, z.data());
    std::array<double, 8> mean;
    std::array<double, 64> covariance;
    kf.update(track.mean.data(), track.covariance.data(), z.data(), mean.data(), covariance.data());
    track.mean = mean;
    track.covariance = covariance;
    track.last_measurement = z;
    track.last_mean = mean;
    track.last_covariance = covariance;
    track.hits += 1;
    track.score = det.score;
    track.class_id = det.class_id;
    track.time_since_update = 0;
    append_history(track);
    if (det.feature != nullptr && d > 0) {
        if (track.feature.size() != d) {
            // Empty, or left from frames of another feature length: start again from this one.
            track.feature.assign(det.feature, det.feature + d);
        } else {
            const double alpha = track.ema_alpha;
            for (std::size_t i = 0; i < d; ++i) {
                // Both products are rounded before the sum.
                const double fresh = (1.0 - alpha) * det.feature[i];
                const double kept = alpha * track.feature[i];
                track.feature[i] = fresh + kept;
            }
        }
        normalise_feature(track.feature);
    }
    if (track.state == TrackState::Tentative && track.hits >= track.n_init) track.state = TrackState::Confirmed;
}

void mark_missed(Track& track) {
    if (track.state == TrackState::Tentative || track.time_since_update > track.max_age) {
        track.state = TrackState::Deleted;
    }
}

void remove_deleted(std::vector<Track>& tracks) {
    tracks.erase(std::remove_if(tracks.begin(), tracks.end(),
                                [](const Track& t) { return t.state == TrackState::Deleted; }),
                 tracks.end());
}

}  // namespace kelmora::detail
