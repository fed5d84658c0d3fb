// Reading node fields the way a Python method reads them, and rebuilding a
// node from new children by the transformer's rules.
#pragma once

#include <Python.h>

#include "quorvel/core/visitors/state.h"

namespace quorvel::visitors {

enum class Field : uint8_t { Left, Right, Operand, Variable, Body, Args, Func, Pred, Arity, ReturnSort };

// node.<field> as a new reference, or NULL with the AttributeError of the
// lookup. A node of exactly a node class that has the field is read from its
// layout; anything else goes through attribute lookup.
PyObject* field(PyObject* node, Field f);

// The elements of an `args` value as a new tuple (the value itself when it
// is a tuple), or NULL.
PyObject* args_tuple(PyObject* args);

// Whether `o` is an instance of Term / Formula / Variable: 1, 0, or -1.
int is_term(PyObject* o);
int is_formula(PyObject* o);
int is_variable(PyObject* o);

// The check a rebuild makes of a new operand or body: true when `o` is a
// formula or assertions are disabled, else false with AssertionError.
bool expect_formula(PyObject* o);

// The other fields of a node that a rebuild passes on (borrowed).
struct Kept {
    PyObject* symbol = nullptr;       // func or pred
    PyObject* arity = nullptr;
    PyObject* return_sort = nullptr;  // FunctionApp
    PyObject* variable = nullptr;     // second-order quantifiers
};

// The transformer's rebuild of a node of kind `k` (the class that is built):
// `node` itself when every new child is the old one by identity, else the
// new node, after the kind checks (made while assertions are enabled).
// Children in field order: the arguments of an application; left, right;
// the operand; variable, body of Forall and Exists; the body of a
// second-order quantifier. New reference or NULL.
PyObject* rebuild(Kind k, PyObject* node, const Kept& kept, PyObject* const* old_children,
                  PyObject* const* new_children, Py_ssize_t n);

// Reads what `rebuild` passes on for kind `k` from `node`; false on error,
// with `owner` holding the new references.
bool read_kept(Kind k, PyObject* node, Kept& kept, PyObject** owner);

}  // namespace quorvel::visitors
