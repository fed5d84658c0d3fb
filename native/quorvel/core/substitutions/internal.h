// Declarations shared by the files of quorvel.core.substitutions.
#pragma once

#include <Python.h>

#include "quorvel/core/substitutions/api.h"
#include "quorvel/core/substitutions/bindings.h"

namespace quorvel::substitutions {

struct State {
    Api api{};
};
State& state();

// Applies `bindings` (substitute.cpp). New reference or NULL.
PyObject* apply(PyObject* node, Bindings& bindings);

PyObject* substitute_term(PyObject* term, PyObject* mapping);
PyObject* substitute_formula(PyObject* formula, PyObject* mapping);
PyObject* substitute_term_pairs(PyObject* term, const Pairs* pairs);
PyObject* substitute_formula_pairs(PyObject* formula, const Pairs* pairs);

// Unification (unify.cpp). `why`, when not NULL, receives a new str that
// says why there is no unifier.
int unify_terms(PyObject* a, PyObject* b, PyObject** mgu);
int unify_formulas(PyObject* a, PyObject* b, PyObject** mgu);
int unify_explained(PyObject* a, PyObject* b, bool terms, PyObject** mgu, PyObject** why);

}  // namespace quorvel::substitutions
