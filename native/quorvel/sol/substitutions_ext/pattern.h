// Higher-order pattern matching and predicate substitution (pattern.cpp,
// predicate.cpp).
#pragma once

#include <Python.h>

namespace quorvel::sol {

struct State {
    PyObject* predicate_variable_type = nullptr;  // quorvel.sol.ast_ext.PredicateVariable
};
State& state();

// ho_pattern_unify(pattern, target, bound_vars): a new dict from predicate
// variable to (parameters, template), or a new reference to None when the
// pattern does not match. NULL with an exception set.
PyObject* ho_pattern_unify(PyObject* pattern, PyObject* target, PyObject* bound_vars);

// substitute_predicate(formula, mapping): the formula with every application
// of a mapped predicate variable replaced by its template, the parameters
// replaced by the arguments. New reference or NULL.
PyObject* substitute_predicate(PyObject* formula, PyObject* mapping);

// True when `symbol` is a predicate variable.
bool is_predicate_variable(PyObject* symbol);

}  // namespace quorvel::sol
