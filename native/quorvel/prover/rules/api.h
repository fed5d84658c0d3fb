// The C++ interface of quorvel.prover.rules for the first-order prover: the
// clause-level rules, called natively from a given-clause loop.
#pragma once

#include <Python.h>

#include "quorvel/support/py/capsule.h"

namespace quorvel::rules {

inline constexpr unsigned kApiVersion = 1;
inline constexpr const char* kCapsuleName = "quorvel.prover.rules._C_API";

struct Api {
    unsigned version;
    // As the Python functions of the same names: new references (a tuple
    // or a list), or NULL with an exception set.
    PyObject* (*standardize_clause_variables)(PyObject* c1, PyObject* c2);
    PyObject* (*resolve_clauses)(PyObject* c1, PyObject* c2);
    PyObject* (*factor_clause)(PyObject* c);
    PyObject* (*paramodulate)(PyObject* c1, PyObject* c2);
};

using ApiTable = py::ImportedTable<Api>;
inline const Api& api() { return *ApiTable::slot(); }
// Imports quorvel.prover.rules (once) and keeps its table: 0, or -1 with an exception.
inline int import_api() { return ApiTable::import("quorvel.prover.rules", kCapsuleName, kApiVersion); }

}  // namespace quorvel::rules
