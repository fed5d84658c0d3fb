// The interrupt test of a native search run from Python: Ctrl-C (or any
// signal handler that raises) stops it with the handler's exception set.
#pragma once

#include <Python.h>

#include "quorvel/support/interrupt.h"

namespace quorvel::py {

inline bool signal_raised(void*) { return PyErr_CheckSignals() != 0; }

inline Interrupt signal_interrupt() { return Interrupt(signal_raised, nullptr); }

}  // namespace quorvel::py
