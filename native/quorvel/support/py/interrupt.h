// The interrupt callback for native loops run from Python: a pending signal
// whose handler raised (KeyboardInterrupt for Ctrl-C) stops the loop, and
// the exception stays set for the caller to return.
#pragma once

#include <Python.h>

#include "quorvel/support/interrupt.h"

namespace quorvel::py {

inline bool signal_raised(void*) { return PyErr_CheckSignals() != 0; }

// A poll that checks for signals.
class SignalPoll : public InterruptPoll {
public:
    SignalPoll() : InterruptPoll(&signal_raised, nullptr) {}
};

// The same test behind the tick() view of the budget.
inline Interrupt signal_interrupt() { return Interrupt(signal_raised, nullptr); }

}  // namespace quorvel::py
