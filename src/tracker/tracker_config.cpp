// Validation of the tracker configuration.
#include <cmath>
#include <stdexcept>

#include "kelmora/tracker.hpp"

namespace kelmora {

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
    // A zero or non-finite scale makes every Kalman update and gating step singular.
    if (!std::isfinite(kf_noise_scale) || kf_noise_scale == 0.0) {
        throw std::invalid_argument("kf_noise_scale must be finite and non-zero");
    }
}

}  // namespace kelmora
