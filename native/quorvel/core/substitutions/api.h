// The C++ interface of quorvel.core.substitutions for the package's other
// modules (the clausifier, the inference rules, the first-order prover).
//
// A module calls `import_api()` once in its init and then substitutes and
// unifies through the table, with no Python call or attribute lookup.
#pragma once

#include <Python.h>

#include <cstddef>

#include "quorvel/support/py/capsule.h"

namespace quorvel::substitutions {

inline constexpr unsigned kApiVersion = 1;
inline constexpr const char* kCapsuleName = "quorvel.core.substitutions._C_API";

// A substitution handed over natively: vars[i] is replaced by terms[i]
// (borrowed references). When a variable occurs twice the later pair wins.
// `hashes`, when not NULL, holds hash(vars[i]), so that a caller applying
// one substitution to many atoms hashes its variables once.
struct Pairs {
    PyObject* const* vars;
    PyObject* const* terms;
    size_t n;
    const Py_hash_t* hashes;
};

struct Api {
    unsigned version;
    PyObject* unification_error;  // the UnificationError class

    // Capture-avoiding application of `mapping` (a dict from Variable to
    // term). New reference; a part that nothing changes comes back as the
    // same object. NULL with an exception set.
    PyObject* (*substitute_term)(PyObject* term, PyObject* mapping);
    PyObject* (*substitute_formula)(PyObject* formula, PyObject* mapping);
    PyObject* (*substitute_term_pairs)(PyObject* term, const Pairs* pairs);
    PyObject* (*substitute_formula_pairs)(PyObject* formula, const Pairs* pairs);

    // Most general unifiers, idempotent, with occurs check: 1 with a new
    // dict in *mgu; 0 when there is none (no exception set); -1 on error.
    int (*unify_terms)(PyObject* a, PyObject* b, PyObject** mgu);
    int (*unify_formulas)(PyObject* a, PyObject* b, PyObject** mgu);

    // The largest id of a variable anywhere in a term or formula (bound,
    // free, inside terms), -1 when there is none; for renaming apart. 0, or
    // -1 with an exception set (an id that is no int of 64 bits).
    int (*max_variable_id)(PyObject* node, long long* out);
};

using ApiTable = py::ImportedTable<Api>;
inline const Api& api() { return *ApiTable::slot(); }
// Imports quorvel.core.substitutions (once) and keeps its table: 0, or -1 with an exception.
inline int import_api() { return ApiTable::import("quorvel.core.substitutions", kCapsuleName, kApiVersion); }

}  // namespace quorvel::substitutions
