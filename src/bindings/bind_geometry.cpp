// Python bindings of the box conversions, areas, clipping and overlap matrices.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "array_boundary.hpp"
#include "bindings.hpp"
#include "kelmora/geometry.hpp"

namespace kelmora::bindings {
namespace {

using RowKernel = void (*)(const double*, std::size_t, double*);

// Strict box check, one result of the input's form, kernel only when there are rows.
FloatArray convert_boxes(const FloatArray& boxes, RowKernel kernel, const char* name) {
    const BoxShape shape = check_boxes_strict(boxes, name);
    FloatArray out =
        shape.single ? make_float_array({4}) : make_float_array({static_cast<py::ssize_t>(shape.count), 4});
    if (shape.count > 0) kernel(boxes.data(), shape.count, out.mutable_data());
    return out;
}

FloatArray box_area(const FloatArray& boxes) {
    const BoxShape shape = check_boxes_strict(boxes, "box_area");
    FloatArray out = shape.single ? make_float_array({}) : make_float_array({static_cast<py::ssize_t>(shape.count)});
    if (shape.count > 0) box_area_rows(boxes.data(), shape.count, out.mutable_data());
    return out;
}

FloatArray clip_boxes(const FloatArray& boxes, double width, double height) {
    const BoxShape shape = check_boxes_strict(boxes, "clip_boxes");
    FloatArray out =
        shape.single ? make_float_array({4}) : make_float_array({static_cast<py::ssize_t>(shape.count), 4});
    if (shape.count > 0) clip_boxes_rows(boxes.data(), shape.count, width, height, out.mutable_data());
    return out;
}

using OverlapKernel = void (*)(const double*, std::size_t, const double*, std::size_t, double*);

// `a` is checked completely before `b`; the result is always (N, M).
FloatArray overlap_matrix(const FloatArray& a, const FloatArray& b, OverlapKernel kernel, const char* name) {
    const std::size_t n = check_boxes_flexible(a, name);
    const std::size_t m = check_boxes_flexible(b, name);
    FloatArray out = make_float_array({static_cast<py::ssize_t>(n), static_cast<py::ssize_t>(m)});
    if (n > 0 && m > 0) kernel(a.data(), n, b.data(), m, out.mutable_data());
    return out;
}

template <RowKernel kKernel>
void def_conversion(py::module_& m, const char* name) {
    m.def(
        name, [name](const FloatArray& boxes) { return convert_boxes(boxes, kKernel, name); }, py::arg("boxes"));
}

}  // namespace

void bind_geometry(py::module_& m) {
    def_conversion<&xyxy_to_xywh_rows>(m, "xyxy_to_xywh");
    def_conversion<&xywh_to_xyxy_rows>(m, "xywh_to_xyxy");
    def_conversion<&xyxy_to_cxcywh_rows>(m, "xyxy_to_cxcywh");
    def_conversion<&cxcywh_to_xyxy_rows>(m, "cxcywh_to_xyxy");
    def_conversion<&xyxy_to_xyah_rows>(m, "xyxy_to_xyah");
    def_conversion<&xyah_to_xyxy_rows>(m, "xyah_to_xyxy");
    m.def("box_area", &box_area, py::arg("boxes"));
    m.def(
        "iou_matrix",
        [](const FloatArray& a, const FloatArray& b) { return overlap_matrix(a, b, &iou_matrix_kernel, "iou_matrix"); },
        py::arg("a"), py::arg("b"));
    m.def(
        "giou_matrix",
        [](const FloatArray& a, const FloatArray& b) {
            return overlap_matrix(a, b, &giou_matrix_kernel, "giou_matrix");
        },
        py::arg("a"), py::arg("b"));
    m.def("clip_boxes", &clip_boxes, py::arg("boxes"), py::arg("width"), py::arg("height"));
}

}  // namespace kelmora::bindings
