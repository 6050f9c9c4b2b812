// How arrays and shapes cross the Python boundary: argument type, shape checks, result makers.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace kelmora::bindings {

namespace py = pybind11;

// Every array parameter: converted to a C-contiguous float64 array, read in place when
// the caller's array already is one.
using FloatArray = py::array_t<double, py::array::c_style | py::array::forcecast>;
using Int64Array = py::array_t<std::int64_t, py::array::c_style>;

struct BoxShape {
    std::size_t count;  // number of boxes N
    bool single;        // the input was one 1-D box of 4 values
};

// Accepts (4,) or (N, 4). Throws std::invalid_argument prefixed with `name`.
BoxShape check_boxes_strict(const FloatArray& boxes, const char* name);
// Accepts (N, 4) or a flat 1-D array of 4k values (k boxes). Returns N.
std::size_t check_boxes_flexible(const FloatArray& boxes, const char* name);

struct CostShape {
    std::size_t rows;
    std::size_t cols;
};
// Accepts exactly two dimensions.
CostShape check_cost(const FloatArray& cost, const char* name);

// Number of elements (the product of the extents; 1 for a 0-d array).
std::size_t element_count(const py::array& array);

// A new uninitialised C-contiguous float64 array; no extents gives a 0-d array.
FloatArray make_float_array(const std::vector<py::ssize_t>& extents);
// A new 1-D int64 array holding a copy of `values`.
Int64Array make_int64_array(const std::vector<std::int64_t>& values);

}  // namespace kelmora::bindings
