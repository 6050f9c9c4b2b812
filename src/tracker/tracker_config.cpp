// Validation of the tracker configuration.
#include <cmath>
#include <stdexcept>
#include <string>

#include "bound_text.hpp"
#include "kelmora/tracker.hpp"

namespace kelmora {
namespace {

using detail::bound_text;

// Refuses a value that is NaN, infinite or beyond `bound` in magnitude, with the message
// "<name> must be finite and at most <bound><tail>".
void require_within(double value, double bound, const char* name, const char* tail) {
    if (!(std::fabs(value) <= bound)) {
        throw std::invalid_argument(std::string(name) + " must be finite and at most " + bound_text(bound) + tail);
    }
}

}  // namespace

void TrackerConfig::validate() const {
    // Each comparison is false when a side is NaN, so NaN thresholds fail.
    if (!(low_score_thresh >= 0.0 && high_score_thresh >= low_score_thresh && 1.0 >= high_score_thresh)) {
        throw std::invalid_argument("require 0 <= low_score_thresh <= high_score_thresh <= 1");
    }
    if (n_init < 1) throw std::invalid_argument("n_init must be >= 1");
    if (max_age < 1) throw std::invalid_argument("max_age must be >= 1");
    // min(a, b) yields b when b < a, otherwise a; it drops a NaN in b, so NaN weights are
    // refused explicitly under the same rule: a NaN weight makes every cost NaN.
    const auto min_of = [](double a, double b) { return b < a ? b : a; };
    const double smallest = min_of(min_of(w_iou, w_app), min_of(w_unc, w_ocm));
    if (0.0 > smallest || std::isnan(w_iou) || std::isnan(w_app) || std::isnan(w_unc) || std::isnan(w_ocm)) {
        throw std::invalid_argument("cost weights must be non-negative");
    }
    if (ocm_delta_t < 1) throw std::invalid_argument("ocm_delta_t must be >= 1");
    if (use_gmc) {
        throw std::invalid_argument(
            "use_gmc is not ported in Phase 1 (global motion compensation stays in the NumPy reference); leave it "
            "False");
    }
    if (use_oru || w_ocm > 0.0) {
        throw std::invalid_argument(
            "OC-SORT (use_oru / w_ocm) is not ported in Phase 1; leave use_oru False and w_ocm 0.0");
    }

    // The rules below refuse settings that pass the rules above but make every frame fail or
    // silently switch a step off; tracker.hpp derives each bound beside its constant.

    // A zero or non-finite scale makes every Kalman update and gating step singular.
    if (!std::isfinite(kf_noise_scale) || kf_noise_scale == 0.0) {
        throw std::invalid_argument("kf_noise_scale must be finite and non-zero");
    }
    const double scale = std::fabs(kf_noise_scale);
    if (!(scale >= kSmallestNoiseScale && scale <= kLargestNoiseScale)) {
        throw std::invalid_argument("kf_noise_scale must be between " + bound_text(kSmallestNoiseScale) + " and " +
                                    bound_text(kLargestNoiseScale) + " in magnitude");
    }
    require_within(match_iou_thresh, kLargestOverlapThreshold, "match_iou_thresh", " in magnitude");
    require_within(recovery_iou_thresh, kLargestOverlapThreshold, "recovery_iou_thresh", " in magnitude");
    if (!std::isfinite(new_track_thresh)) throw std::invalid_argument("new_track_thresh must be finite");
    require_within(w_iou, kLargestCostWeight, "w_iou", "");
    require_within(w_app, kLargestCostWeight, "w_app", "");
    require_within(w_unc, kLargestCostWeight, "w_unc", "");
    if (!(appearance_ema_alpha >= 0.0 && appearance_ema_alpha <= kLargestEmaAlpha)) {
        throw std::invalid_argument("appearance_ema_alpha must be finite and between 0 and " +
                                    bound_text(kLargestEmaAlpha));
    }
}

}  // namespace kelmora
