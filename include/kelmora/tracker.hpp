// The ByteTrack tracker: configuration, track records, association passes and the frame update.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "kelmora/assignment.hpp"
#include "kelmora/cost.hpp"
#include "kelmora/kalman.hpp"
#include "kelmora/tracker_fields.hpp"

namespace kelmora {

// Bounds of the boxes update accepts: every coordinate within +-kLargestCoordinate, every
// height at least kSmallestHeight, so heights range over [1e-100, 2e100]. Below
// kLargestCoordinate every square and product of the filter stays finite; heights below
// kSmallestHeight make the squared position noise underflow, a singular state. The messages
// that refuse a box print these constants.
constexpr double kLargestCoordinate = 1e100;
constexpr double kSmallestHeight = 1e-100;

// Bounds of the configuration, derived from the bounds of the boxes; TrackerConfig::validate
// prints them in its messages.
//
// Noise scale s: the filter's variances are (s * 0.05 * h)^2 and (s * 0.0625 * h)^2 times
// small factors. At |s| = 1e40 and h = 2e100 the largest is about 1.6e278, which leaves room
// for 2^31 frames of prediction without an update (a growth of 2^62) and for the eight-term
// sums of the covariance update. At |s| = 1e-40 and h = 1e-100 the smallest is 2.5e-283, a
// normal double far above the underflow that would make the innovation covariance singular.
constexpr double kSmallestNoiseScale = 1e-40;
constexpr double kLargestNoiseScale = 1e40;
// Cost weights and overlap thresholds: the gate (1 - threshold) * w_iou + 2 * w_app + w_unc
// must stay below 2^53, so that the forbidden cost, gate + 1, is a different number from the
// gate; within these bounds it stays below 1.1e12, and every cost and every potential of the
// solver stays finite. Overlaps lie in [-1, 1], so a threshold beyond 1e6 in magnitude would
// decide nothing that +-2 does not.
constexpr double kLargestCostWeight = 1e6;
constexpr double kLargestOverlapThreshold = 1e6;
// The moving average (1 - alpha) * detection + alpha * stored feature stays finite for every
// finite detection feature only while |1 - alpha| <= 1: alpha in [0, kLargestEmaAlpha].
constexpr double kLargestEmaAlpha = 2.0;

// Every tuning parameter of the tracker. The fields, their declaration order, types and
// defaults come from KELMORA_TRACKER_CONFIG_FIELDS (tracker_fields.hpp):
//   high_score_thresh       score >= this: high-score detection
//   low_score_thresh        score >= this and < high: low-score detection
//   match_iou_thresh        overlap threshold of the first and third passes
//   recovery_iou_thresh     overlap threshold of the second pass
//   new_track_thresh        a leftover high-score detection starts a track at >= this
//   n_init                  hits at which a tentative track is confirmed
//   max_age                 missed frames a confirmed track survives
//   use_mahalanobis_gating  the first and third passes forbid pairs beyond the chi-square gate
//   class_aware             pairs of two known, different classes are forbidden
//   w_iou, w_app, w_unc     weights of the overlap, appearance and uncertainty terms
//   use_giou                the overlap term is 1 - GIoU instead of 1 - IoU
//   appearance_ema_alpha    weight of the previous feature in the moving average
//   kf_noise_scale          scales both Kalman noise weights
//   use_lapjv               the passes solve with the Jonker-Volgenant solver
//   w_ocm, ocm_delta_t, use_oru, use_gmc
//                           carried only: validation refuses any value that would switch
//                           OC-SORT or global motion compensation on
class TrackerConfig {
public:
#define KELMORA_DECLARE_FIELD(type, name, value, access, keyword) type name = value;
    KELMORA_TRACKER_CONFIG_FIELDS(KELMORA_DECLARE_FIELD)
#undef KELMORA_DECLARE_FIELD

    // Applies the validation rules in order.
    // Throws: std::invalid_argument with the first failing rule's message.
    void validate() const;
};

// Life-cycle state of a track, as reported by track_states.
enum class TrackState : std::int32_t { Tentative = 0, Confirmed = 1, Deleted = 2 };

// Number of most recent boxes a track keeps in its history.
constexpr std::size_t kTrackHistoryLength = 64;

// The tracker's record of one object.
struct Track {
    std::int32_t id = 0;
    std::array<double, 8> mean{};         // cx, cy, aspect, height and their velocities
    std::array<double, 64> covariance{};  // 8x8 row-major
    TrackState state = TrackState::Tentative;
    std::int32_t class_id = -1;  // -1: no class
    double score = 0.0;
    std::int32_t hits = 0;
    std::int32_t age = 0;
    std::int32_t time_since_update = 0;
    std::int32_t n_init = 3;
    std::int32_t max_age = 30;
    std::int32_t start_frame = 0;
    std::vector<std::array<double, 4>> history;  // corner boxes, the last kTrackHistoryLength only
    std::array<double, 4> last_measurement{};
    std::array<double, 8> last_mean{};
    std::array<double, 64> last_covariance{};
    std::vector<double> feature;  // L2-normalised moving average; empty until a feature arrives
    double ema_alpha = 0.9;
};

// One row of the current frame's input; references into the caller's arrays.
struct Detection {
    const double* box;  // x1, y1, x2, y2
    double score;
    std::int32_t class_id;
    const double* feature;  // d values, or null
};

// One reported track.
struct TrackOutput {
    std::int32_t frame_index;
    std::int32_t track_id;
    std::array<double, 4> xyxy;
    double score;
    std::int32_t class_id;
};

// Counters of every live track, in track order.
struct TrackStates {
    std::vector<std::int64_t> ids;
    std::vector<std::int64_t> states;
    std::vector<std::int64_t> hits;
    std::vector<std::int64_t> ages;
    std::vector<std::int64_t> time_since_update;
};

// Raw views of one frame's input arrays, all row-major doubles; absent inputs are null.
struct FrameArrays {
    const double* boxes = nullptr;  // n x 4
    std::size_t n = 0;
    const double* scores = nullptr;
    std::size_t score_count = 0;
    const double* class_ids = nullptr;  // truncated toward zero to signed 32-bit
    std::size_t class_id_count = 0;
    const double* features = nullptr;  // feature_rows x feature_dim
    bool features_given = false;       // features were given (set it for every feature array)
    std::size_t feature_rows = 0;      // must be n; give any other value for an array that is not 2-D
    std::size_t feature_dim = 0;
};

// The rules of ByteTracker::update on the sizes of a frame's arrays, which update applies in
// this order before it reads a value. A caller that converts the arrays one at a time (the
// Python binding) applies each right after the conversion it depends on, so that a failed
// conversion and a refused size are reported in update's order.
// Throws: std::invalid_argument "update: scores must have one entry per box".
void check_score_count(const FrameArrays& frame);
// Throws: std::invalid_argument "update: class_ids must have one entry per box" (when given).
void check_class_id_count(const FrameArrays& frame);
// Throws: std::invalid_argument "update: features must be (N, d)" (when given).
void check_feature_shape(const FrameArrays& frame);

namespace detail {
struct FrameWork;
}  // namespace detail

// Multi-object tracker: owns its configuration copy, Kalman filter and tracks.
class ByteTracker {
public:
    // Throws: std::invalid_argument when the configuration fails validation.
    explicit ByteTracker(const TrackerConfig& config);
    ~ByteTracker();
    ByteTracker(const ByteTracker&) = delete;
    ByteTracker& operator=(const ByteTracker&) = delete;

    // Advances one frame and returns the confirmed tracks matched in it, in track order.
    // All or nothing: when it throws, the tracker is exactly as before the call.
    // Throws: std::invalid_argument for bad input (messages begin "update: ", plus the
    // degenerate-box message); std::runtime_error when the frame or id counter is exhausted;
    // std::bad_alloc; whatever an installed interrupt check throws (interrupt.hpp).
    std::vector<TrackOutput> update(const FrameArrays& frame);

    // The same frame update in two steps, so that a caller can allocate its results in
    // between and still leave the tracker unchanged when that fails: prepare_update computes
    // the whole frame and allocates everything applying it needs, changing nothing the
    // tracker reports; commit_update applies it and cannot fail; discard_update drops it.
    // The reference returned stays valid until the next call of any of the three.
    // Throws: prepare_update as update.
    const std::vector<TrackOutput>& prepare_update(const FrameArrays& frame);
    void commit_update() noexcept;
    void discard_update() noexcept;
    // True between prepare_update and commit_update or discard_update.
    bool update_pending() const noexcept;

    // Removes every track, restarts the frame and id counters and frees the working memory.
    void reset();

    // -1 before the first update and after reset.
    std::int32_t frame_index() const { return frame_index_; }

    TrackStates track_states() const;

    // Sets the id of the next track to be born (restoring a checkpoint, testing id exhaustion).
    // Throws: std::invalid_argument outside 1 .. 2147483648.
    void set_next_id(std::int64_t next_id);

private:
    TrackerConfig config_;
    KalmanBoxTracker kf_;
    CostWeights weights_;
    std::vector<Track> tracks_;
    std::int64_t next_id_ = 1;  // wider than the ids so that exhaustion is detectable
    std::int32_t frame_index_ = -1;
    double gate_thresh_ = kGate4Dof;
    // Working memory of the frame update, kept between frames so that a steady stream
    // allocates nothing; trimmed when recent frames need far less (see byte_tracker.cpp).
    std::unique_ptr<detail::FrameWork> work_;
};

}  // namespace kelmora
