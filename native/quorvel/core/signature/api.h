// The C++ interface of quorvel.core.signature: registration and reading of
// symbols on a Signature without Python method calls.
#pragma once

#include <Python.h>

#include "quorvel/support/py/capsule.h"

namespace quorvel::signature {

inline constexpr unsigned kApiVersion = 1;
inline constexpr const char* kCapsuleName = "quorvel.core.signature._C_API";

enum class Table : int { Predicates = 0, Functions = 1, Constants = 2 };

struct Api {
    unsigned version;
    PyTypeObject* type;  // Signature

    // Each works on an instance of `type` (or a subclass), with the checks
    // of the Python methods; 0, or -1 with an exception set.
    int (*register_predicate)(PyObject* sig, PyObject* name, PyObject* arity, PyObject* arg_sorts);
    int (*register_function)(PyObject* sig, PyObject* name, PyObject* arity, PyObject* arg_sorts,
                             PyObject* return_sort);
    int (*register_constant)(PyObject* sig, PyObject* name, PyObject* sort);

    // The live table of one kind of symbol (borrowed; readers must not
    // change it): name -> (arity, arg_sorts) for predicates, name -> (arity,
    // arg_sorts, return_sort) for functions, name -> sort for constants.
    PyObject* (*table)(PyObject* sig, Table which);
};

using ApiTable = py::ImportedTable<Api>;
inline const Api& api() { return *ApiTable::slot(); }
// Imports quorvel.core.signature (once) and keeps its table: 0, or -1 with an exception.
inline int import_api() { return ApiTable::import("quorvel.core.signature", kCapsuleName, kApiVersion); }

}  // namespace quorvel::signature
