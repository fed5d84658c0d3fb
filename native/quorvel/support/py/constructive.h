// Native forms of the constructive helpers (quorvel.constructive.common), for
// the modules that test falsum and verum and normalise formulas without a
// Python round trip. Require quorvel::ast::import_api() in the calling module.
#pragma once

#include <Python.h>

namespace quorvel::py {

// Falsum and verum are the atoms without arguments named "_bot" and "_top".
// Each test answers exactly as `formula == FALSUM` (or VERUM) would; it
// returns 1 or 0, or -1 with an exception set (from a user __eq__).
int is_falsum(PyObject* formula);
int is_verum(PyObject* formula);
// True for every predicate application (Python subclasses included), falsum
// and verum included; false for equations, quantified formulas and the rest.
bool is_atomic(PyObject* formula);

// New references to new atoms equal to FALSUM and VERUM, or NULL with an
// exception set.
PyObject* make_falsum();
PyObject* make_verum();

// normalize_formula: Not A becomes A -> FALSUM and A <-> B becomes
// (A -> B) & (B -> A), at any depth (quantifier bodies included); a subtree
// without Not or Iff comes back as the same object, so a formula built only
// from atoms, And, Or and Implies is returned unchanged and the function is
// idempotent. Rebuilt nodes are of the base node classes; equations, atoms
// and values that are no formula stay as they are. Iterative, memoised by
// identity within a call (shared subtrees are rewritten once).
// New reference, or NULL with an exception set.
PyObject* normalize_formula(PyObject* formula);

}  // namespace quorvel::py
