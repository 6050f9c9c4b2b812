// Build diagnostics: toolchain report with a contraction probe, Eigen self-test, array echo.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/typing.h>
#include <Eigen/Dense>

#include <cmath>
#include <string>

#include "array_boundary.hpp"
#include "bindings.hpp"

namespace kelmora::bindings {
namespace {

std::string compiler_version() {
#if defined(_MSC_VER) && !defined(__clang__)
    return "MSVC " + std::to_string(_MSC_VER);
#elif defined(__clang__)
    return "Clang " + std::to_string(__clang_major__) + "." + std::to_string(__clang_minor__) + "." +
           std::to_string(__clang_patchlevel__);
#elif defined(__GNUC__)
    return "GCC " + std::to_string(__GNUC__) + "." + std::to_string(__GNUC_MINOR__) + "." +
           std::to_string(__GNUC_PATCHLEVEL__);
#else
    return "unknown 0";
#endif
}

// True when a plain a * b + c keeps the product rounded on its own. Each triple has
// c close to -(a * b), so a fused multiply-add differs from it in the last bits.
bool contraction_off() {
    static const double triples[5][3] = {
        {0.1, 0.2, -0.02}, {0.3, 0.7, -0.21}, {1.7, 3.3, -5.61}, {2.9, 1.1, -3.19}, {7.1, 0.13, -0.923}};
    for (const auto& t : triples) {
        // Volatile reads keep the compiler from folding the expressions at compile time.
        volatile double va = t[0], vb = t[1], vc = t[2];
        const double a = va, b = vb, c = vc;
        const double plain = a * b + c;
        const double fused = std::fma(a, b, c);
        if (std::isnan(plain) || std::isnan(fused) || plain != fused) return true;
    }
    return false;
}

double eigen_residual() {
    Eigen::Matrix3d a = Eigen::Matrix3d::Zero();
    a.diagonal() << 2.0, 4.0, 8.0;
    const Eigen::Vector3d b(2.0, 4.0, 8.0);
    const Eigen::Vector3d x = Eigen::ColPivHouseholderQR<Eigen::Matrix3d>(a).solve(b);
    const double d0 = x[0] - 1.0, d1 = x[1] - 1.0, d2 = x[2] - 1.0;
    return std::sqrt((d0 * d0 + d1 * d1) + d2 * d2);
}

}  // namespace

void bind_diagnostics(py::module_& m) {
    m.def(
        "build_info",
        []() {
            // Typed so that the generated signature names the key and value types.
            py::typing::Dict<py::str, py::typing::Union<py::str, py::int_, py::bool_>> info;
            info["module_version"] = KELMORA_VERSION;
            info["compiler_version"] = compiler_version();
            info["eigen_version"] = std::to_string(EIGEN_WORLD_VERSION) + "." + std::to_string(EIGEN_MAJOR_VERSION) +
                                    "." + std::to_string(EIGEN_MINOR_VERSION);
            info["pybind11_version"] =
                std::to_string(PYBIND11_VERSION_MAJOR) + "." + std::to_string(PYBIND11_VERSION_MINOR);
            info["cxx_standard"] = static_cast<long>(__cplusplus);
            info["fp_contract_off"] = contraction_off();
            return info;
        },
        "Toolchain versions actually compiled in - not what pip reports.");
    m.def("eigen_selftest", &eigen_residual,
          "Residual of a 3x3 solve whose exact answer is 0. Non-zero means Eigen is broken.");
    m.def(
        "echo", [](FloatArray array) { return array; }, py::arg("array"),
        "Return a NumPy array unchanged - proves the array boundary works.");
}

}  // namespace kelmora::bindings
