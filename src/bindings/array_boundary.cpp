// Shape checks and result-array makers shared by every binding.
#include "array_boundary.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace kelmora::bindings {
namespace {

[[noreturn]] void fail(const char* name, const char* suffix) {
    throw std::invalid_argument(std::string(name) + suffix);
}

}  // namespace

BoxShape check_boxes_strict(const FloatArray& boxes, const char* name) {
    if (boxes.ndim() == 1) {
        if (boxes.shape(0) != 4) fail(name, ": a 1-D box must have 4 values");
        return {1, true};
    }
    if (boxes.ndim() == 2) {
        if (boxes.shape(1) != 4) fail(name, ": a 2-D box array must be (N, 4)");
        return {static_cast<std::size_t>(boxes.shape(0)), false};
    }
    fail(name, ": expected shape (4,) or (N, 4)");
}

std::size_t check_boxes_flexible(const FloatArray& boxes, const char* name) {
    if (boxes.ndim() == 1) {
        if (boxes.shape(0) % 4 != 0) fail(name, ": 1-D input must be a multiple of 4");
        return static_cast<std::size_t>(boxes.shape(0) / 4);
    }
    if (boxes.ndim() == 2) {
        if (boxes.shape(1) != 4) fail(name, ": a 2-D box array must be (N, 4)");
        return static_cast<std::size_t>(boxes.shape(0));
    }
    fail(name, ": expected shape (4,) or (N, 4)");
}

CostShape check_cost(const FloatArray& cost, const char* name) {
    if (cost.ndim() != 2) fail(name, ": cost must be a 2-D (n, m) array");
    return {static_cast<std::size_t>(cost.shape(0)), static_cast<std::size_t>(cost.shape(1))};
}

std::size_t element_count(const py::array& array) { return static_cast<std::size_t>(array.size()); }

FloatArray make_float_array(const std::vector<py::ssize_t>& extents) { return FloatArray(extents); }

Int64Array make_int64_array(const std::vector<std::int64_t>& values) {
    Int64Array out(static_cast<py::ssize_t>(values.size()));
    std::copy(values.begin(), values.end(), out.mutable_data());
    return out;
}

}  // namespace kelmora::bindings
