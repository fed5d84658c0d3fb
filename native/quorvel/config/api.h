// The C++ interface of quorvel.config: a first-order prover reads its
// limits from a SolverConfig without attribute lookups.
#pragma once

#include <Python.h>

#include "quorvel/support/py/capsule.h"

namespace quorvel::config {

inline constexpr unsigned kApiVersion = 1;
inline constexpr const char* kCapsuleName = "quorvel.config._C_API";

struct Api {
    unsigned version;
    PyTypeObject* solver_config_type;
    // Reads the two limits of a SolverConfig (or of any object with the
    // attributes prover_max_steps and prover_timeout_sec, normalised as the
    // constructor normalises them). 0, or -1 with an exception set.
    int (*read_limits)(PyObject* config, long long* max_steps, double* timeout_sec);
};

using ApiTable = py::ImportedTable<Api>;
inline const Api& api() { return *ApiTable::slot(); }
// Imports quorvel.config (once) and keeps its table: 0, or -1 with an exception.
inline int import_api() { return ApiTable::import("quorvel.config", kCapsuleName, kApiVersion); }

}  // namespace quorvel::config
