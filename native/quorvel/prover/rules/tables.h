// get_resolution_rules, get_reconstruction_rules and apply_rule (tables.cpp).
#pragma once

#include <Python.h>

namespace quorvel::rules {

PyObject* get_resolution_rules();
PyObject* get_reconstruction_rules();
PyObject* apply_rule(PyObject* rule, PyObject* premises, PyObject* context);

}  // namespace quorvel::rules
