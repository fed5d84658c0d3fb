// Renaming apart, binary resolution, factoring and paramodulation over the
// clausifier's Clause and Literal values (clause_rules.cpp). Unification and
// substitution go through the C++ entries of quorvel.core.substitutions and
// quorvel.prover.clausifier: no Python call per candidate pair.
#pragma once

#include <Python.h>

namespace quorvel::rules {

// New references (a tuple or a list), or NULL with an exception set.
PyObject* standardize_clause_variables(PyObject* c1, PyObject* c2);
PyObject* resolve_clauses(PyObject* c1, PyObject* c2);
PyObject* factor_clause(PyObject* c);
PyObject* paramodulate(PyObject* c1, PyObject* c2);

}  // namespace quorvel::rules
