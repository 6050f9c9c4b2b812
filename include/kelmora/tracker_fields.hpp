// The fields of TrackerConfig in one table, from which the record and its Python class are generated.
#pragma once

#include <cstdint>

namespace kelmora {

// Whether the Python class shows a field as a read-only property.
enum class FieldAccess { kHidden, kReadOnly };

// Where a field's keyword sits in the Python constructor: at the field's place in the record,
// or behind every other keyword.
enum class KeywordPlace { kInOrder, kLast };

}  // namespace kelmora

// One row per field of TrackerConfig, in the record's declaration order:
//   X(type, name, default, access, keyword)
// with `access` a FieldAccess and `keyword` a KeywordPlace enumerator. The Python keyword order
// is the declaration order with the kLast fields moved to the end: use_lapjv sits between
// kf_noise_scale and w_ocm in the record and is the constructor's twentieth keyword.
// What each field means is documented at TrackerConfig (tracker.hpp).
// clang-format off
#define KELMORA_TRACKER_CONFIG_FIELDS(X)                                  \
    X(double,       high_score_thresh,      0.5,   kReadOnly, kInOrder)   \
    X(double,       low_score_thresh,       0.1,   kReadOnly, kInOrder)   \
    X(double,       match_iou_thresh,       0.3,   kReadOnly, kInOrder)   \
    X(double,       recovery_iou_thresh,    0.5,   kReadOnly, kInOrder)   \
    X(double,       new_track_thresh,       0.6,   kReadOnly, kInOrder)   \
    X(std::int32_t, n_init,                 3,     kReadOnly, kInOrder)   \
    X(std::int32_t, max_age,                30,    kReadOnly, kInOrder)   \
    X(bool,         use_mahalanobis_gating, true,  kHidden,   kInOrder)   \
    X(bool,         class_aware,            true,  kHidden,   kInOrder)   \
    X(double,       w_iou,                  1.0,   kHidden,   kInOrder)   \
    X(double,       w_app,                  0.0,   kHidden,   kInOrder)   \
    X(double,       w_unc,                  0.0,   kHidden,   kInOrder)   \
    X(bool,         use_giou,               false, kHidden,   kInOrder)   \
    X(double,       appearance_ema_alpha,   0.9,   kHidden,   kInOrder)   \
    X(double,       kf_noise_scale,         1.0,   kReadOnly, kInOrder)   \
    X(bool,         use_lapjv,              false, kHidden,   kLast)      \
    X(double,       w_ocm,                  0.0,   kHidden,   kInOrder)   \
    X(std::int32_t, ocm_delta_t,            3,     kHidden,   kInOrder)   \
    X(bool,         use_oru,                false, kHidden,   kInOrder)   \
    X(bool,         use_gmc,                false, kHidden,   kInOrder)
// clang-format on
