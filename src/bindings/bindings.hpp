// Registration functions of the binding layer, one group of rows per area.
#pragma once

#include <pybind11/pybind11.h>

namespace kelmora::bindings {

namespace py = pybind11;

// build_info, eigen_selftest, echo.
void bind_diagnostics(py::module_& m);
// The six conversions, box_area, iou_matrix, giou_matrix, clip_boxes.
void bind_geometry(py::module_& m);
// linear_assignment, associate, linear_assignment_lapjv.
void bind_assignment(py::module_& m);
// build_association_cost, appearance_distance, uncertainty_distance.
void bind_cost(py::module_& m);
// chi2_gating_threshold, then the class KalmanBoxTracker.
void bind_motion(py::module_& m);

// TrackerConfig (row 17).
void bind_tracker_config(py::module_& m);
// ByteTracker (row 21).
void bind_byte_tracker(py::module_& m);

}  // namespace kelmora::bindings
