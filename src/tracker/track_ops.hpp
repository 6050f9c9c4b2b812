// Operations that change tracks: birth, update with a detection, marking and removal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "frame_work.hpp"
#include "kelmora/kalman.hpp"
#include "kelmora/tracker.hpp"

namespace kelmora::detail {

// A new tentative track started from a detection; d is the frame's feature dimension.
Track spawn_track(const Detection& det, std::size_t d, std::int32_t id, std::int32_t frame_index,
                  const TrackerConfig& config, const KalmanBoxTracker& kf);

// Computes what absorbing a matched detection does to a track whose predicted state is
// (predicted_mean, predicted_covariance), and allocates the feature it will hold if the
// stored one cannot be averaged in place. Changes nothing.
void plan_track_update(const Track& track, const double* predicted_mean, const double* predicted_covariance,
                       const Detection& det, std::size_t d, const KalmanBoxTracker& kf, TrackUpdate& update);

// Applies a planned update: state, counters, history, appearance average, confirmation. A track
// whose new state or box is not finite is marked deleted instead: no later frame could use it.
void apply_track_update(Track& track, TrackUpdate& update, std::size_t d) noexcept;

// Marks a track that ended the frame unmatched: tentative ones, and confirmed ones past max_age.
void mark_missed(Track& track) noexcept;

// Drops every deleted track; survivors keep their order.
void remove_deleted(std::vector<Track>& tracks) noexcept;

// Divides by the L2 norm (a plain left-to-right sum of squares) when it exceeds 1e-12.
void normalise_feature(double* feature, std::size_t d) noexcept;

}  // namespace kelmora::detail
