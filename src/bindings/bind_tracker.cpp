// Python bindings of TrackerConfig and ByteTracker.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "array_boundary.hpp"
#include "bindings.hpp"
#include "kelmora/tracker.hpp"

namespace kelmora::bindings {
namespace {

TrackerConfig make_config(double high_score_thresh, double low_score_thresh, double match_iou_thresh,
                          double recovery_iou_thresh, double new_track_thresh, std::int32_t n_init,
                          std::int32_t max_age, bool use_mahalanobis_gating, bool class_aware, double w_iou,
                          double w_app, double w_unc, bool use_giou, double appearance_ema_alpha,
                          double kf_noise_scale, double w_ocm, std::int32_t ocm_delta_t, bool use_oru, bool use_gmc,
                          bool use_lapjv) {
    TrackerConfig c;
    c.high_score_thresh = high_score_thresh;
    c.low_score_thresh = low_score_thresh;
    c.match_iou_thresh = match_iou_thresh;
    c.recovery_iou_thresh = recovery_iou_thresh;
    c.new_track_thresh = new_track_thresh;
    c.n_init = n_init;
    c.max_age = max_age;
    c.use_mahalanobis_gating = use_mahalanobis_gating;
    c.class_aware = class_aware;
    c.w_iou = w_iou;
    c.w_app = w_app;
    c.w_unc = w_unc;
    c.use_giou = use_giou;
    c.appearance_ema_alpha = appearance_ema_alpha;
    c.kf_noise_scale = kf_noise_scale;
    c.use_lapjv = use_lapjv;
    c.w_ocm = w_ocm;
    c.ocm_delta_t = ocm_delta_t;
    c.use_oru = use_oru;
    c.use_gmc = use_gmc;
    c.validate();
    return c;
}

// NumPy's own conversion, so that an object NumPy refuses raises NumPy's exception unchanged.
FloatArray to_float_array(const py::object& value) {
    static const char* const kNumpy = "numpy";
    py::object converted = py::module_::import(kNumpy).attr("asarray")(value, "float64", py::arg("order") = "C");
    return py::reinterpret_borrow<FloatArray>(converted);
}

using UpdateResult = std::tuple<Int64Array, FloatArray, FloatArray, Int64Array>;
using StatesResult = std::tuple<Int64Array, Int64Array, Int64Array, Int64Array, Int64Array>;

UpdateResult update(ByteTracker& tracker, const FloatArray& boxes, const FloatArray& scores, const py::object& class_ids,
                 const py::object& features) {
    if (boxes.ndim() != 2 || boxes.shape(1) != 4) throw std::invalid_argument("update: boxes must be (N, 4)");
    // The sizes are checked by the tracker's own rules, each right after the conversion it
    // depends on, so that errors come in the order the tracker checks them.
    FrameArrays frame;
    frame.n = static_cast<std::size_t>(boxes.shape(0));
    frame.boxes = boxes.data();
    frame.scores = scores.data();
    frame.score_count = element_count(scores);
    check_score_count(frame);
    FloatArray class_array;
    if (!class_ids.is_none()) {
        class_array = to_float_array(class_ids);
        frame.class_ids = class_array.data();
        frame.class_id_count = element_count(class_array);
        check_class_id_count(frame);
    }
    FloatArray feature_array;
    if (!features.is_none()) {
        feature_array = to_float_array(features);
        const bool matrix = feature_array.ndim() == 2;
        frame.features = feature_array.data();
        frame.features_given = true;
        frame.feature_rows = matrix ? static_cast<std::size_t>(feature_array.shape(0)) : frame.n + 1;
        frame.feature_dim = matrix ? static_cast<std::size_t>(feature_array.shape(1)) : 0;
        check_feature_shape(frame);
    }

    // The result arrays are allocated after the frame is planned and before it is applied, so
    // that a MemoryError there leaves the tracker unchanged too.
    const std::vector<TrackOutput>& rows = tracker.prepare_update(frame);
    const auto k = static_cast<py::ssize_t>(rows.size());
    Int64Array ids;
    FloatArray xyxy;
    FloatArray out_scores;
    Int64Array out_classes;
    try {
        ids = Int64Array(k);
        xyxy = make_float_array({k, 4});
        out_scores = make_float_array({k});
        out_classes = Int64Array(k);
    } catch (...) {
        tracker.discard_update();
        throw;
    }
    // Code run by the allocations (a finaliser, say) could have used this tracker meanwhile.
    if (!tracker.update_pending() || rows.size() != static_cast<std::size_t>(k)) {
        throw std::runtime_error("update: the tracker was used while this update was in progress");
    }
    std::int64_t* id_data = ids.mutable_data();
    double* box_data = xyxy.mutable_data();
    double* score_data = out_scores.mutable_data();
    std::int64_t* class_data = out_classes.mutable_data();
    for (std::size_t r = 0; r < rows.size(); ++r) {
        id_data[r] = rows[r].track_id;
        std::copy(rows[r].xyxy.begin(), rows[r].xyxy.end(), box_data + 4 * r);
        score_data[r] = rows[r].score;
        class_data[r] = rows[r].class_id;
    }
    tracker.commit_update();
    return {ids, xyxy, out_scores, out_classes};
}

}  // namespace

void bind_tracker_config(py::module_& m) {
    // The defaults are those of the native record, in the keyword order of the constructor.
    const TrackerConfig d;
    py::class_<TrackerConfig>(m, "TrackerConfig")
        .def(py::init(&make_config), py::arg("high_score_thresh") = d.high_score_thresh,
             py::arg("low_score_thresh") = d.low_score_thresh, py::arg("match_iou_thresh") = d.match_iou_thresh,
             py::arg("recovery_iou_thresh") = d.recovery_iou_thresh, py::arg("new_track_thresh") = d.new_track_thresh,
             py::arg("n_init") = d.n_init, py::arg("max_age") = d.max_age,
             py::arg("use_mahalanobis_gating") = d.use_mahalanobis_gating, py::arg("class_aware") = d.class_aware,
             py::arg("w_iou") = d.w_iou, py::arg("w_app") = d.w_app, py::arg("w_unc") = d.w_unc,
             py::arg("use_giou") = d.use_giou, py::arg("appearance_ema_alpha") = d.appearance_ema_alpha,
             py::arg("kf_noise_scale") = d.kf_noise_scale, py::arg("w_ocm") = d.w_ocm,
             py::arg("ocm_delta_t") = d.ocm_delta_t, py::arg("use_oru") = d.use_oru, py::arg("use_gmc") = d.use_gmc,
             py::arg("use_lapjv") = d.use_lapjv)
        .def_readonly("high_score_thresh", &TrackerConfig::high_score_thresh)
        .def_readonly("low_score_thresh", &TrackerConfig::low_score_thresh)
        .def_readonly("match_iou_thresh", &TrackerConfig::match_iou_thresh)
        .def_readonly("recovery_iou_thresh", &TrackerConfig::recovery_iou_thresh)
        .def_readonly("new_track_thresh", &TrackerConfig::new_track_thresh)
        .def_readonly("n_init", &TrackerConfig::n_init)
        .def_readonly("max_age", &TrackerConfig::max_age)
        .def_readonly("kf_noise_scale", &TrackerConfig::kf_noise_scale);
}

void bind_byte_tracker(py::module_& m) {
    py::class_<ByteTracker>(m, "ByteTracker")
        // Taken by pointer so that None reaches the body as a missing object, refused with a
        // RuntimeError with an empty message; any other wrong type stays a TypeError.
        .def(py::init([](const TrackerConfig* config) {
                 if (config == nullptr) throw std::runtime_error("");
                 return std::make_unique<ByteTracker>(*config);
             }),
             // Shown as "TrackerConfig()" in the signature instead of the object's address.
             py::arg_v("config", TrackerConfig(), "TrackerConfig()"))
        .def("reset", &ByteTracker::reset)
        .def_property_readonly("frame_index", &ByteTracker::frame_index)
        .def("update", &update, py::arg("boxes"), py::arg("scores"), py::arg("class_ids") = py::none(),
             py::arg("features") = py::none(), "Advance one frame. Returns (track_ids, xyxy, scores, class_ids).")
        .def(
            "track_states",
            [](const ByteTracker& tracker) {
                const TrackStates s = tracker.track_states();
                return StatesResult{make_int64_array(s.ids), make_int64_array(s.states), make_int64_array(s.hits),
                                    make_int64_array(s.ages), make_int64_array(s.time_since_update)};
            },
            "Return (ids, states, hits, ages, time_since_update) in track order.");
}

}  // namespace kelmora::bindings
