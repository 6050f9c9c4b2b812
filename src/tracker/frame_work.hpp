// Working memory of the frame update: everything one frame computes before the tracker changes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "assignment/assignment_internal.hpp"
#include "kelmora/assignment.hpp"
#include "kelmora/tracker.hpp"
#include "motion/gating_internal.hpp"

namespace kelmora::detail {

// A growable working array that remembers how much of it recent frames used, so that the
// memory one crowded frame made it take is given back once frames need far less.
template <typename T>
struct WorkBuffer {
    std::vector<T> items;
    std::size_t frame_peak = 0;  // largest request of the current frame
    int small_frames = 0;        // frames in a row that used less than a quarter of it
};

// Returns at least n entries of `buffer`, not cleared.
template <typename T>
T* take(WorkBuffer<T>& buffer, std::size_t n) {
    if (buffer.items.size() < n) buffer.items.resize(n);
    if (n > buffer.frame_peak) buffer.frame_peak = n;
    return buffer.items.data();
}

// Frees the buffer's memory.
template <typename T>
void release(WorkBuffer<T>& buffer) noexcept {
    std::vector<T>().swap(buffer.items);
    buffer.frame_peak = 0;
    buffer.small_frames = 0;
}

// The working arrays of the association passes, overwritten by every pass that reads them.
struct PassBuffers {
    WorkBuffer<double> det_boxes;        // D corner boxes
    WorkBuffer<double> track_boxes;      // T corner boxes of the predicted states
    WorkBuffer<double> track_classes;    // T class ids
    WorkBuffer<double> columns;          // the solver's columns laid out by coordinate, with areas
    WorkBuffer<double> det_classes;      // D class ids
    WorkBuffer<double> measurements;     // D boxes in (cx, cy, aspect, height)
    WorkBuffer<double> track_features;   // T normalised features
    WorkBuffer<double> det_features;     // D normalised features
    WorkBuffer<double> overlap_row;      // one row of IoU
    WorkBuffer<double> motion_row;       // one row of GIoU
    WorkBuffer<std::uint32_t> open_row;  // one row's columns not forbidden by overlap and class
    WorkBuffer<GatingFactor> factors;    // T factorisations of the innovation covariances
    WorkBuffer<unsigned char> factored;  // T flags: not yet, made, not positive definite
    WorkBuffer<double> cost;             // T x D, in the solver's orientation
    WorkBuffer<std::int64_t> row_to_col;
    WorkBuffer<unsigned char> matched;  // T + D flags
    SolverWorkspace solver;
    // Predictions of every track, by list index: 8 and 64 values per track.
    WorkBuffer<double> predicted_means, predicted_covariances;
    WorkBuffer<std::int64_t> update_of;  // per track: its planned update, or -1
};

// A matched track and the state the frame gives it, computed before anything changes.
struct TrackUpdate {
    std::size_t track;  // index into the track list
    const Detection* detection;
    std::array<double, 4> measurement;  // the detection in (cx, cy, aspect, height)
    std::array<double, 8> mean;
    std::array<double, 64> covariance;
    std::array<double, 4> box;          // corner box of the new mean
    bool finite;                        // mean, covariance and box are all finite
    bool confirmed;                     // the track is confirmed once the update is applied
    std::vector<double> fresh_feature;  // the detection's feature when it replaces the stored one
};

// Everything one frame update computes before it changes the tracker.
struct FrameWork {
    std::vector<Detection> detections;
    std::size_t feature_dim = 0;
    std::vector<const Detection*> detections_high, detections_low, detections_left;
    std::vector<std::size_t> tracks_confirmed, tracks_tentative, tracks_second;
    AssociationResult first, second, third;
    std::vector<TrackUpdate> updates;  // in the order the passes matched them
    std::vector<Track> born;           // new tracks, in detection order
    std::vector<TrackOutput> outputs;
    PassBuffers pass;
    const double* predicted_means = nullptr;        // in pass.predicted_means, this frame
    const double* predicted_covariances = nullptr;  // in pass.predicted_covariances, this frame
    bool prepared = false;                          // a planned frame waits to be applied
};

}  // namespace kelmora::detail
