// Tuples of interned field names (__match_args__, keyword names of a call).
#pragma once

#include <Python.h>

namespace quorvel::py {

// A new tuple of the interned strings names[0..n); NULL with a Python error.
PyObject* interned_tuple(const char* const* names, int n);

}  // namespace quorvel::py
