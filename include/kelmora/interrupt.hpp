// Polling for a request to abandon a long computation, such as Ctrl-C in Python.
#pragma once

#include <atomic>
#include <cstddef>

namespace kelmora {

// Asked at bounded intervals by the solvers, the gating, the distances and the frame update.
// Returns when the computation may go on; throws to abandon it. Whatever it throws reaches
// the caller of the computation unchanged.
using InterruptCheck = void (*)();

namespace detail {
inline std::atomic<InterruptCheck> installed_interrupt_check{nullptr};
}  // namespace detail

// Installs the process-wide check; null removes it. The Python module installs one that
// runs pending signal handlers and throws the exception they raise.
inline void set_interrupt_check(InterruptCheck check) noexcept {
    detail::installed_interrupt_check.store(check, std::memory_order_relaxed);
}

namespace detail {

// Units of work (about one element operation each) between two checks: around a
// millisecond, so that a request is answered quickly while the check costs nothing
// measurable.
constexpr std::size_t kInterruptInterval = std::size_t{1} << 20;

// Runs the installed check now.
inline void check_interrupt() {
    const InterruptCheck check = installed_interrupt_check.load(std::memory_order_relaxed);
    if (check != nullptr) check();
}

// Counts work and runs the check once per kInterruptInterval units.
struct InterruptBudget {
    std::size_t spent = 0;

    void spend(std::size_t units) {
        spent += units;
        if (spent >= kInterruptInterval) {
            spent = 0;
            check_interrupt();
        }
    }
};

}  // namespace detail
}  // namespace kelmora
