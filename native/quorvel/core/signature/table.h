// The Signature object and its operations (table.cpp), and its Python type
// (type.cpp).
#pragma once

#include <Python.h>

#include "quorvel/core/signature/api.h"

namespace quorvel::signature {

struct SignatureObject {
    PyObject_HEAD
    PyObject* tables[3];  // dicts, indexed by Table
};

struct State {
    Api api{};
    PyObject* ind = nullptr;  // the default sort
};
State& state();

int register_predicate(PyObject* sig, PyObject* name, PyObject* arity, PyObject* arg_sorts);
int register_function(PyObject* sig, PyObject* name, PyObject* arity, PyObject* arg_sorts, PyObject* return_sort);
int register_constant(PyObject* sig, PyObject* name, PyObject* sort);
PyObject* table(PyObject* sig, Table which);

// Creates the Signature type into state().api.type; false with an exception.
bool create_type();

}  // namespace quorvel::signature
