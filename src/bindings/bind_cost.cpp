// Python bindings of the association-cost builder and the appearance and uncertainty distances.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "array_boundary.hpp"
#include "bindings.hpp"
#include "kelmora/cost.hpp"

namespace kelmora::bindings {
namespace {

// An optional matrix argument: None stays absent, anything else goes through NumPy's
// forced conversion, whose own error propagates when it fails.
std::optional<FloatArray> optional_array(const py::object& value) {
    if (value.is_none()) return std::nullopt;
    return FloatArray(value);
}

// The builder reads T * D values of each given matrix in storage order; a shorter buffer
// is refused rather than read past. Longer ones are read up to T * D.
void require_pair_values(const std::optional<FloatArray>& matrix, std::size_t pairs, const char* arg) {
    if (!matrix) return;
    const std::size_t have = element_count(*matrix);
    if (have >= pairs) return;
    throw std::invalid_argument(std::string("build_association_cost: ") + arg +
                                " must hold T*D = " + std::to_string(pairs) + " values, got " + std::to_string(have));
}

const double* data_or_null(const std::optional<FloatArray>& matrix) { return matrix ? matrix->data() : nullptr; }

// One flag per pair: set when the value is not 0.0 (NaN is set).
std::vector<unsigned char> mismatch_flags(const FloatArray& values, std::size_t pairs) {
    std::vector<unsigned char> flags(pairs);
    const double* v = values.data();
    for (std::size_t k = 0; k < pairs; ++k) flags[k] = v[k] != 0.0 ? 1 : 0;
    return flags;
}

std::pair<FloatArray, double> build_cost(const FloatArray& ious, double w_iou, double w_app, double w_unc,
                                         bool use_giou, double iou_thresh, const py::object& motion,
                                         const py::object& class_mismatch, const py::object& gating_d2,
                                         const py::object& gate_thresh, const py::object& appearance,
                                         const py::object& uncertainty) {
    if (ious.ndim() != 2) throw std::invalid_argument("ious must be (T, D)");
    const std::size_t t = static_cast<std::size_t>(ious.shape(0));
    const std::size_t d = static_cast<std::size_t>(ious.shape(1));
    const std::size_t pairs = t * d;

    const std::optional<FloatArray> motion_values = optional_array(motion);
    const std::optional<FloatArray> mismatch_values = optional_array(class_mismatch);
    const std::optional<FloatArray> d2_values = optional_array(gating_d2);
    const std::optional<FloatArray> appearance_values = optional_array(appearance);
    const std::optional<FloatArray> uncertainty_values = optional_array(uncertainty);
    std::optional<double> gate;
    if (!gate_thresh.is_none()) gate = gate_thresh.cast<double>();

    require_pair_values(motion_values, pairs, "motion");
    require_pair_values(mismatch_values, pairs, "class_mismatch");
    require_pair_values(d2_values, pairs, "gating_d2");
    require_pair_values(appearance_values, pairs, "appearance");
    require_pair_values(uncertainty_values, pairs, "uncertainty");

    std::vector<unsigned char> flags;
    if (mismatch_values) flags = mismatch_flags(*mismatch_values, pairs);

    CostWeights weights;
    weights.w_iou = w_iou;
    weights.w_app = w_app;
    weights.w_unc = w_unc;
    weights.w_ocm = 0.0;
    weights.use_giou = use_giou;
    FloatArray cost = make_float_array({static_cast<py::ssize_t>(t), static_cast<py::ssize_t>(d)});
    const double max_cost = kelmora::build_association_cost(
        ious.data(), t, d, weights, iou_thresh, data_or_null(motion_values), mismatch_values ? flags.data() : nullptr,
        data_or_null(d2_values), gate ? &*gate : nullptr, data_or_null(appearance_values),
        data_or_null(uncertainty_values), cost.mutable_data());
    return {std::move(cost), max_cost};
}

FloatArray appearance(const FloatArray& track_features, const FloatArray& det_features) {
    if (track_features.ndim() != 2 || det_features.ndim() != 2 || track_features.shape(1) != det_features.shape(1))
        throw std::invalid_argument("appearance_distance: expected (T, d) and (D, d)");
    const py::ssize_t t = track_features.shape(0);
    const py::ssize_t d = det_features.shape(0);
    FloatArray out = make_float_array({t, d});
    if (t == 0 || d == 0) return out;
    kelmora::appearance_distance(track_features.data(), static_cast<std::size_t>(t), det_features.data(),
                                 static_cast<std::size_t>(d), static_cast<std::size_t>(track_features.shape(1)),
                                 out.mutable_data());
    return out;
}

FloatArray uncertainty(const FloatArray& gating_d2, double gate_thresh) {
    const std::vector<py::ssize_t> extents(gating_d2.shape(), gating_d2.shape() + gating_d2.ndim());
    FloatArray out = make_float_array(extents);
    kelmora::uncertainty_distance(gating_d2.data(), element_count(gating_d2), gate_thresh, out.mutable_data());
    return out;
}

}  // namespace

void bind_cost(py::module_& m) {
    m.def("build_association_cost", &build_cost, py::arg("ious"), py::arg("w_iou") = 1.0, py::arg("w_app") = 0.0,
          py::arg("w_unc") = 0.0, py::arg("use_giou") = false, py::arg("iou_thresh") = 0.3,
          py::arg("motion") = py::none(), py::arg("class_mismatch") = py::none(), py::arg("gating_d2") = py::none(),
          py::arg("gate_thresh") = py::none(), py::arg("appearance") = py::none(), py::arg("uncertainty") = py::none());
    m.def("appearance_distance", &appearance, py::arg("track_features"), py::arg("det_features"));
    m.def("uncertainty_distance", &uncertainty, py::arg("gating_d2"), py::arg("gate_thresh"));
}

}  // namespace kelmora::bindings
