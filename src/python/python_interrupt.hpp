#ifndef PAIRMEND_PYTHON_INTERRUPT_HPP
#define PAIRMEND_PYTHON_INTERRUPT_HPP

// Ctrl-C for the calls that run the engine or a model with Python's lock released. The engine asks
// `python_should_stop` between its phases, on the calling thread; it takes the lock back and lets
// Python run its signal handlers. A handler's exception (KeyboardInterrupt for Ctrl-C) stays
// pending, the run ends with mnncorrect::Interrupted, and `run_without_lock` raises that
// exception once the lock is held again, so the caller sees KeyboardInterrupt and nothing else.

#include "mnncorrect/Interrupted.hpp"

#include <pybind11/pybind11.h>

namespace pairmend_python {

/// The stop check for the engine and the model library: true when a signal handler raised.
inline bool python_should_stop() {
    const pybind11::gil_scoped_acquire held;
    return PyErr_CheckSignals() != 0;
}

/**
 * Runs `run` with Python's lock released, and turns its end on an interrupt into the Python
 * exception the signal handler raised (the lock is held again by then).
 */
template <typename Run>
auto run_without_lock(Run run) -> decltype(run()) {
    try {
        const pybind11::gil_scoped_release unlocked;
        return run();
    } catch (const mnncorrect::Interrupted&) {
        throw pybind11::error_already_set();
    }
}

} // namespace pairmend_python

#endif
