// _formula_weight: the number of formula nodes of a formula, counted as a
// tree (a subformula shared n times counts n times). Atoms, equations and
// values that are no formula count 1 each; terms inside atoms are not counted.
#pragma once

#include <Python.h>

namespace quorvel::common {

// A new int, or NULL with an exception set.
PyObject* formula_weight(PyObject* formula);

}  // namespace quorvel::common
