// Capture of function variables by ForallFunc and ExistsFunc.
//
// A replacement term that applies a function variable F, substituted below a
// quantifier binding F, would be captured by it. The substitution renames
// such a binder first: to a function variable of the same arity with the
// next index unused in the body and the replacements, named after the old
// one ("F_3"), and rebinds the body's free occurrences of F to it.
#pragma once

#include <Python.h>

namespace quorvel::visitors {

// Whether `binder` is a function variable applied in any of `values` (a
// sequence of replacement terms): 1, 0, or -1.
int applied_in(PyObject* binder, PyObject* values);

// The renamed binder, and `body` with its free applications of `binder`
// rebuilt on it; both new references (false with an exception set).
bool rename_binder(PyObject* binder, PyObject* body, PyObject* values, PyObject** fresh, PyObject** renamed);

}  // namespace quorvel::visitors
