// Module entry and body: attributes and the registration order of every name.
#include <pybind11/pybind11.h>

#include "bindings.hpp"

namespace py = pybind11;

PYBIND11_MODULE(kelmora_cpp, m) {
    m.attr("__doc__") = "Optimized C++ ByteTrack - parity-gated against kelmora-mot (NumPy).";
    m.attr("__version__") = KELMORA_VERSION;

    // The calls below register the names in their public order.
    kelmora::bindings::bind_diagnostics(m);     // 1-3
    kelmora::bindings::bind_geometry(m);        // 4-13
    kelmora::bindings::bind_assignment(m);      // 14-16
    kelmora::bindings::bind_tracker_config(m);  // 17
    kelmora::bindings::bind_cost(m);            // 18-20
    kelmora::bindings::bind_byte_tracker(m);    // 21
    kelmora::bindings::bind_motion(m);          // 22-23
}
