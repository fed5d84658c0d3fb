// The C++ interface of quorvel.prover.clausifier for the inference rules and
// the first-order prover: the layout of Literal and Clause, their native
// constructors, and the normal-form pipeline.
#pragma once

#include <Python.h>

#include <chrono>

#include "quorvel/support/py/capsule.h"

namespace quorvel::clausifier {

inline constexpr unsigned kApiVersion = 2;
inline constexpr const char* kCapsuleName = "quorvel.prover.clausifier._C_API";

// Fields are strong references, set once at construction.
struct LiteralObject {
    PyObject_HEAD
    Py_hash_t hash;       // _hash_cache
    PyObject* atom;
    PyObject* positive;   // as given (True unless said otherwise)
    PyObject* free_vars;  // _free_vars: frozenset of Variable
};

struct ClauseObject {
    PyObject_HEAD
    Py_hash_t hash;       // _hash_cache
    PyObject* literals;   // the collection given, kept as it is (a frozenset)
    PyObject* free_vars;  // _free_vars: frozenset of Variable
    bool tautology;       // _is_tautology
};

inline LiteralObject* as_literal(PyObject* o) { return reinterpret_cast<LiteralObject*>(o); }
inline ClauseObject* as_clause(PyObject* o) { return reinterpret_cast<ClauseObject*>(o); }

struct Api {
    unsigned version;
    PyTypeObject* literal_type;
    PyTypeObject* clause_type;

    // New references, or NULL with an exception set.
    // `positive` is kept as given (True or False in practice).
    PyObject* (*new_literal)(PyObject* atom, PyObject* positive);
    // `literals`: a frozenset of Literals (borrowed; the clause keeps it).
    PyObject* (*new_clause)(PyObject* literals);
    // Literal.substitute / Clause.substitute.
    PyObject* (*substitute_literal)(PyObject* literal, PyObject* mapping);
    PyObject* (*substitute_clause)(PyObject* clause, PyObject* mapping);
    // to_cnf(formula, signature): a new list of clauses; signature may be
    // Py_None.
    PyObject* (*to_cnf)(PyObject* formula, PyObject* signature);
    // The same, stopped with TimeoutError once `deadline` has passed.
    PyObject* (*to_cnf_until)(PyObject* formula, PyObject* signature, std::chrono::steady_clock::time_point deadline);
};

using ApiTable = py::ImportedTable<Api>;
inline const Api& api() { return *ApiTable::slot(); }
// Imports quorvel.prover.clausifier (once) and keeps its table: 0, or -1 with an exception.
inline int import_api() { return ApiTable::import("quorvel.prover.clausifier", kCapsuleName, kApiVersion); }

}  // namespace quorvel::clausifier
