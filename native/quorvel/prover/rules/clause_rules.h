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
// Only on literal i of c1 where eligible1[i] and j of c2 where eligible2[j]
// (indices in the iteration order of each clause's set; NULL: every literal).
PyObject* resolve_clauses_on(PyObject* c1, PyObject* c2, const unsigned char* eligible1, const unsigned char* eligible2);
PyObject* factor_clause(PyObject* c);
PyObject* paramodulate(PyObject* c1, PyObject* c2);

}  // namespace quorvel::rules
