// Python bindings of the two assignment solvers and of gated association.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <tuple>
#include <vector>

#include "array_boundary.hpp"
#include "bindings.hpp"
#include "kelmora/assignment.hpp"

namespace kelmora::bindings {
namespace {

// An empty array of at least one dimension has nothing to assign, whatever its shape:
// (0,), (0, 4), (4, 0) and (2, 0, 3) all give two empty index arrays. A 0-d array
// holds one element and goes on to the shape check.
bool is_empty_input(const FloatArray& cost) { return cost.ndim() >= 1 && element_count(cost) == 0; }

// Typed tuples rather than py::tuple, so that the generated signatures name the element types.
using PairResult = std::tuple<Int64Array, Int64Array>;
using AssociateResult = std::tuple<Int64Array, Int64Array, Int64Array>;

PairResult empty_pairs() { return {make_int64_array({}), make_int64_array({})}; }

PairResult linear_assignment_py(const FloatArray& cost) {
    if (is_empty_input(cost)) return empty_pairs();
    const CostShape shape = check_cost(cost, "linear_assignment");
    const AssignmentResult result = linear_assignment(cost.data(), shape.rows, shape.cols);
    return {make_int64_array(result.rows), make_int64_array(result.cols)};
}

// (K, 2) int64 array whose row k is (rows[k], cols[k]).
Int64Array make_pair_array(const std::vector<std::int64_t>& rows, const std::vector<std::int64_t>& cols) {
    Int64Array out({static_cast<py::ssize_t>(rows.size()), py::ssize_t{2}});
    std::int64_t* dst = out.mutable_data();
    for (std::size_t k = 0; k < rows.size(); ++k) {
        dst[2 * k] = rows[k];
        dst[2 * k + 1] = cols[k];
    }
    return out;
}

// No empty shortcut here: every non-2-D input is refused, and (0, m) or (n, 0) reach the
// native call, which reports all rows and columns unmatched.
AssociateResult associate_py(const FloatArray& cost, double max_cost) {
    const CostShape shape = check_cost(cost, "associate");
    const AssociationResult result = associate(cost.data(), shape.rows, shape.cols, max_cost);
    return {make_pair_array(result.match_rows, result.match_cols), make_int64_array(result.unmatched_rows),
            make_int64_array(result.unmatched_cols)};
}

PairResult linear_assignment_lapjv_py(const FloatArray& cost) {
    if (is_empty_input(cost)) return empty_pairs();
    const CostShape shape = check_cost(cost, "linear_assignment_lapjv");
    std::vector<std::int64_t> rows;
    std::vector<std::int64_t> cols;
    linear_assignment_lapjv(cost.data(), shape.rows, shape.cols, rows, cols);
    return {make_int64_array(rows), make_int64_array(cols)};
}

}  // namespace

void bind_assignment(py::module_& m) {
    m.def("linear_assignment", &linear_assignment_py,
          "Solve the rectangular linear-sum-assignment problem (minimisation).", py::arg("cost"));
    m.def("associate", &associate_py,
          "Gated one-to-one association; returns (matches, unmatched_rows, unmatched_cols).", py::arg("cost"),
          py::arg("max_cost"));
    m.def("linear_assignment_lapjv", &linear_assignment_lapjv_py,
          "Jonker-Volgenant assignment. NOT parity-safe: optimal, but a different optimum on ties. "
          "Provided to price the trade, not to take it.",
          py::arg("cost"));
}

}  // namespace kelmora::bindings
