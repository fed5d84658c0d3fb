// The C++ interface of quorvel.prover.clausifier for the inference rules and
// the first-order prover: the layout of Literal and Clause, their native
// constructors, and the normal-form pipeline.
#pragma once

#include <Python.h>

#include "quorvel/support/py/capsule.h"

namespace quorvel::clausifier {

inline constexpr unsigned kApiVersion = 1;
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
    PyObject* (*new_literal)(PyObject* atom, bool positive);
    // `literals`: a frozenset of Literals (borrowed; the clause keeps it).
    PyObject* (*new_clause)(PyObject* literals);
    // Literal.substitute / Clause.substitute.
    PyObject* (*substitute_literal)(PyObject* literal, PyObject* mapping);
    PyObject* (*substitute_clause)(PyObject* clause, PyObject* mapping);
    // to_cnf(formula, signature): a new list of clauses; signature may be
    // Py_None.
    PyObject* (*to_cnf)(PyObject* formula, PyObject* signature);
};

inline const Api*& api_slot() {
    static const Api* table = nullptr;
    return table;
}
inline const Api& api() { return *api_slot(); }

inline int import_api() {
    if (api_slot()) return 0;
    const void* table = py::import_capsule("quorvel.prover.clausifier", kCapsuleName, kApiVersion);
    if (!table) return -1;
    api_slot() = static_cast<const Api*>(table);
    return 0;
}

}  // namespace quorvel::clausifier
