// Operations that change tracks: birth, update with a detection, marking and removal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kelmora/kalman.hpp"
#include "kelmora/tracker.hpp"

namespace kelmora::detail {

// A new tentative track started from a detection; d is the frame's feature dimension.
Track spawn_track(const Detection& det, std::size_t d, std::int32_t id, std::int32_t frame_index,
                  const TrackerConfig& config, const KalmanBoxTracker& kf);

// Absorbs a matched detection: Kalman update, counters, history, appearance average.
void update_track(Track& track, const Detection& det, std::size_t d, const KalmanBoxTracker& kf);

// Marks a track that ended the frame unmatched: tentative ones, and confirmed ones past max_age.
void mark_missed(Track& track);

// Drops every deleted track; survivors keep their order.
void remove_deleted(std::vector<Track>& tracks);

// Divides by the L2 norm (a plain left-to-right sum of squares) when it exceeds 1e-12.
void normalise_feature(std::vector<double>& feature);

}  // namespace kelmora::detail
