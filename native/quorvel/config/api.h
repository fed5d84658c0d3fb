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

inline const Api*& api_slot() {
    static const Api* table = nullptr;
    return table;
}
inline const Api& api() { return *api_slot(); }

inline int import_api() {
    if (api_slot()) return 0;
    const void* table = py::import_capsule("quorvel.config", kCapsuleName, kApiVersion);
    if (!table) return -1;
    api_slot() = static_cast<const Api*>(table);
    return 0;
}

}  // namespace quorvel::config
