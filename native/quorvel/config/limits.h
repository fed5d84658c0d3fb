// Normalising the prover limits: a step limit below 1 becomes 1, a time-out
// not above 0.1 seconds (or not a number) becomes 0.1. Nothing is rejected
// but values of the wrong type.
#pragma once

#include <Python.h>

namespace quorvel::config {

inline constexpr long long kDefaultMaxSteps = 1000;
inline constexpr double kDefaultTimeout = 10.0;
inline constexpr double kMinTimeout = 0.1;

// New references, or NULL with TypeError.
PyObject* normalised_steps(PyObject* value);
PyObject* normalised_timeout(PyObject* value);

}  // namespace quorvel::config
