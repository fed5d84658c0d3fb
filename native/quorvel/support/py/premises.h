// The premises argument of the provers and of the formula tree: none, or a
// list or tuple of formulas, each normalised.
#pragma once

#include <Python.h>

namespace quorvel::py {

inline constexpr const char* kPremisesType = "premises must be a list or tuple of formulas, not ";

// A new tuple of normalize_formula of each premise, in order (the empty
// tuple for None); NULL with TypeError (kPremisesType and the class name)
// for anything but None, a list or a tuple.
PyObject* normalize_premises(PyObject* premises);

}  // namespace quorvel::py
