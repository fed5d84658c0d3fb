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

using ApiTable = py::ImportedTable<Api>;
inline const Api& api() { return *ApiTable::slot(); }
// Imports quorvel.prover.proof (once) and keeps its table: 0, or -1 with an exception.
inline int import_api() { return ApiTable::import("quorvel.prover.proof", kCapsuleName, kApiVersion); }

}  // namespace quorvel::proof
