// Argument parsing for constructors and methods whose errors must read as a
// Python function's do ("And.__init__() missing 1 required positional
// argument: 'right'"), which nanobind's own messages do not.
#pragma once

#include <Python.h>

namespace quorvel::py {

struct Signature {
    const char* function;      // as Python names it in errors: "And.__init__"
    const char* const* names;  // every parameter, positional ones first
    int positional;            // parameters that may be given by position
    int required;              // leading positional parameters without default
    int keyword_only;          // parameters after the positional ones
    bool counts_self;          // count an implicit self in "takes N positional arguments"
};

// Fills out[i] with a borrowed reference for each parameter, or NULL where a
// parameter with a default was left out. False with TypeError set on a
// missing, surplus, duplicate or unknown argument.
bool parse_vector(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  PyObject** out);
bool parse_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

}  // namespace quorvel::py
