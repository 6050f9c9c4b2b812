// Module entry and body: attributes and the registration order of every name.
#include <pybind11/pybind11.h>

#include "bindings.hpp"
#include "kelmora/interrupt.hpp"

namespace py = pybind11;

namespace {

// Asked by long native computations: runs pending signal handlers, and the exception one of
// them raises (KeyboardInterrupt for Ctrl-C) abandons the computation and reaches the caller.
// Every call holds the interpreter lock, as the handlers require.
void raise_pending_signal() {
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

}  // namespace

PYBIND11_MODULE(kelmora_cpp, m) {
    m.attr("__doc__") = "Optimized C++ ByteTrack - parity-gated against kelmora-mot (NumPy).";
    m.attr("__version__") = KELMORA_VERSION;
    kelmora::set_interrupt_check(&raise_pending_signal);

    // The calls below register the names in their public order.
    kelmora::bindings::bind_diagnostics(m);     // 1-3
    kelmora::bindings::bind_geometry(m);        // 4-13
    kelmora::bindings::bind_assignment(m);      // 14-16
    kelmora::bindings::bind_tracker_config(m);  // 17
    kelmora::bindings::bind_cost(m);            // 18-20
    kelmora::bindings::bind_byte_tracker(m);    // 21
    kelmora::bindings::bind_motion(m);          // 22-23
}
