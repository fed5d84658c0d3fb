// The C++ interface of quorvel.prover.proof: a prover records its
// derivation steps natively.
#pragma once

#include <Python.h>

#include <cstddef>

#include "quorvel/support/py/capsule.h"

namespace quorvel::proof {

inline constexpr unsigned kApiVersion = 1;
inline constexpr const char* kCapsuleName = "quorvel.prover.proof._C_API";

struct Api {
    unsigned version;
    PyTypeObject* dag_type;   // ProofDAG
    PyTypeObject* step_type;  // ProofStep
    // A new, empty ProofDAG (new reference) or NULL.
    PyObject* (*new_dag)();
    // Appends a step whose premises are the given earlier step indices;
    // returns its index, or -1 with an exception set.
    Py_ssize_t (*add_step)(PyObject* dag, PyObject* conclusion, PyObject* rule, const Py_ssize_t* premises,
                           size_t count);
};

inline const Api*& api_slot() {
    static const Api* table = nullptr;
    return table;
}
inline const Api& api() { return *api_slot(); }

inline int import_api() {
    if (api_slot()) return 0;
    const void* table = py::import_capsule("quorvel.prover.proof", kCapsuleName, kApiVersion);
    if (!table) return -1;
    api_slot() = static_cast<const Api*>(table);
    return 0;
}

}  // namespace quorvel::proof
