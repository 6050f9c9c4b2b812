// Python bindings of the chi-square gate table and of KalmanBoxTracker.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

#include "array_boundary.hpp"
#include "bindings.hpp"
#include "kelmora/kalman.hpp"

namespace kelmora::bindings {
namespace {

using StatePair = std::pair<FloatArray, FloatArray>;

py::ssize_t extent(std::size_t n) { return static_cast<py::ssize_t>(n); }

// Number of states of a mean argument: one for a 1-D array, else the first extent.
// A 0-d array has no first axis: pybind11 raises IndexError "invalid axis: 0 (ndim = 0)".
std::size_t state_count(const FloatArray& mean) {
    return mean.ndim() == 1 ? 1 : static_cast<std::size_t>(mean.shape(0));
}

// The native operations read 8 values per mean and 64 per covariance; refuse shorter
// buffers rather than read past them.
void require_state_values(const FloatArray& mean, const FloatArray& covariance, std::size_t n, const char* name) {
    const std::size_t have_mean = element_count(mean);
    const std::size_t have_cov = element_count(covariance);
    // Divided, not multiplied: n may come from a huge empty array.
    if (have_mean / 8 >= n && have_cov / 64 >= n) return;
    throw std::invalid_argument(std::string(name) + ": need 8 mean values and 64 covariance values per state for " +
                                std::to_string(n) + (n == 1 ? " state" : " states") + ", got " +
                                std::to_string(have_mean) + " and " + std::to_string(have_cov));
}

StatePair initiate(const KalmanBoxTracker& kf, const FloatArray& measurement) {
    if (element_count(measurement) != 4) throw std::invalid_argument("initiate: measurement must have 4 values");
    FloatArray mean = make_float_array({8});
    FloatArray covariance = make_float_array({8, 8});
    kf.initiate(measurement.data(), mean.mutable_data(), covariance.mutable_data());
    return {std::move(mean), std::move(covariance)};
}

StatePair predict(const KalmanBoxTracker& kf, const FloatArray& mean, const FloatArray& covariance) {
    if (mean.ndim() == 1) {
        if (element_count(mean) != 8 || element_count(covariance) != 64)
            throw std::invalid_argument("predict: expected (8,) mean and (8, 8) covariance");
        FloatArray new_mean = make_float_array({8});
        FloatArray new_covariance = make_float_array({8, 8});
        kf.predict(mean.data(), covariance.data(), 1, new_mean.mutable_data(), new_covariance.mutable_data());
        return {std::move(new_mean), std::move(new_covariance)};
    }
    const py::ssize_t n = mean.shape(0);
    const bool batch = mean.ndim() == 2 && mean.shape(1) == 8 && covariance.ndim() == 3 && covariance.shape(0) == n &&
                       covariance.shape(1) == 8 && covariance.shape(2) == 8;
    if (!batch) throw std::invalid_argument("predict: expected (N, 8) mean and (N, 8, 8) covariance");
    const std::size_t count = static_cast<std::size_t>(n);
    FloatArray new_mean = make_float_array({n, 8});
    FloatArray new_covariance = make_float_array({n, 8, 8});
    kf.predict(mean.data(), covariance.data(), count, new_mean.mutable_data(), new_covariance.mutable_data());
    return {std::move(new_mean), std::move(new_covariance)};
}

StatePair project(const KalmanBoxTracker& kf, const FloatArray& mean, const FloatArray& covariance) {
    const bool single = mean.ndim() == 1;
    const std::size_t n = state_count(mean);
    // Checked before the results are allocated: an empty mean of shape (2**40, 0) names
    // 2**40 states, and the results must not be sized for them.
    if (n > 0) require_state_values(mean, covariance, n, "project");
    FloatArray projected_mean = single ? make_float_array({4}) : make_float_array({extent(n), 4});
    FloatArray projected_cov = single ? make_float_array({4, 4}) : make_float_array({extent(n), 4, 4});
    if (n == 0) return {std::move(projected_mean), std::move(projected_cov)};
    kf.project(mean.data(), covariance.data(), n, projected_mean.mutable_data(), projected_cov.mutable_data());
    return {std::move(projected_mean), std::move(projected_cov)};
}

StatePair update(const KalmanBoxTracker& kf, const FloatArray& mean, const FloatArray& covariance,
                 const FloatArray& measurement) {
    if (element_count(mean) != 8 || element_count(covariance) != 64 || element_count(measurement) != 4)
        throw std::invalid_argument("update: expected (8,), (8, 8) and (4,)");
    FloatArray new_mean = make_float_array({8});
    FloatArray new_covariance = make_float_array({8, 8});
    kf.update(mean.data(), covariance.data(), measurement.data(), new_mean.mutable_data(),
              new_covariance.mutable_data());
    return {std::move(new_mean), std::move(new_covariance)};
}

// Whole rows of 4 values; trailing values that do not fill a row are ignored.
std::size_t measurement_count(const FloatArray& measurements) { return element_count(measurements) / 4; }

FloatArray gating_distance(const KalmanBoxTracker& kf, const FloatArray& mean, const FloatArray& covariance,
                           const FloatArray& measurements) {
    const std::size_t m = measurement_count(measurements);
    FloatArray out = make_float_array({extent(m)});
    if (m == 0) return out;
    require_state_values(mean, covariance, 1, "gating_distance");
    kf.gating_distance(mean.data(), covariance.data(), 1, measurements.data(), m, out.mutable_data());
    return out;
}

FloatArray gating_distance_batch(const KalmanBoxTracker& kf, const FloatArray& means, const FloatArray& covariances,
                                 const FloatArray& measurements) {
    const std::size_t n = state_count(means);
    const std::size_t m = measurement_count(measurements);
    // Checked before the result is allocated, as in project.
    if (n > 0 && m > 0) require_state_values(means, covariances, n, "gating_distance_batch");
    FloatArray out = make_float_array({extent(n), extent(m)});
    if (n == 0 || m == 0) return out;
    kf.gating_distance(means.data(), covariances.data(), n, measurements.data(), m, out.mutable_data());
    return out;
}

}  // namespace

void bind_motion(py::module_& m) {
    m.def("chi2_gating_threshold", &chi2_gating_threshold, py::arg("dof") = 4);

    py::class_<KalmanBoxTracker>(m, "KalmanBoxTracker")
        .def(py::init<double, double>(), py::arg("std_weight_position") = kDefaultStdWeightPosition,
             py::arg("std_weight_velocity") = kDefaultStdWeightVelocity)
        .def_property_readonly("std_weight_position", &KalmanBoxTracker::std_weight_position)
        .def_property_readonly("std_weight_velocity", &KalmanBoxTracker::std_weight_velocity)
        .def("initiate", &initiate, py::arg("measurement"))
        .def("predict", &predict, py::arg("mean"), py::arg("covariance"))
        .def("project", &project, py::arg("mean"), py::arg("covariance"))
        .def("update", &update, py::arg("mean"), py::arg("covariance"), py::arg("measurement"))
        .def("gating_distance", &gating_distance, py::arg("mean"), py::arg("covariance"), py::arg("measurements"))
        .def("gating_distance_batch", &gating_distance_batch, py::arg("means"), py::arg("covariances"),
             py::arg("measurements"));
}

}  // namespace kelmora::bindings
