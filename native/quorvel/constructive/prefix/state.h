// Module state of quorvel.constructive.prefix: its types and constants,
// made once at import and held for the process lifetime.
#pragma once

#include <Python.h>

#include <string>

#include "quorvel/constructive/prefix/api.h"

namespace quorvel::prefix {

struct State {
    Api api{};
    PyObject* empty_tuple = nullptr;
    PyObject* s_eps = nullptr;
    PyObject* s_name = nullptr;
    PyObject* s_symbols = nullptr;
    PyObject* s_mapping = nullptr;
    PyObject* s_tree_order = nullptr;
    PyObject* s_items = nullptr;
};

State& state();

inline bool is_symbol(PyObject* o) { return PyObject_TypeCheck(o, state().api.symbol_type); }
inline bool is_variable(PyObject* o) { return PyObject_TypeCheck(o, state().api.variable_type); }
inline bool is_constant(PyObject* o) { return PyObject_TypeCheck(o, state().api.constant_type); }
inline bool is_prefix(PyObject* o) { return PyObject_TypeCheck(o, state().api.prefix_type); }
inline bool is_substitution(PyObject* o) { return PyObject_TypeCheck(o, state().api.substitution_type); }

// Type creation (symbols.cpp, substitution.cpp); false with an exception set.
bool create_symbol_types(PyObject* module);
bool create_substitution_type(PyObject* module);
// The module functions (functions.cpp).
bool add_functions(PyObject* module);

PyObject* new_symbol(PyTypeObject* type, PyObject* name);
PyObject* new_prefix(PyObject* symbols);
PyObject* new_substitution(PyObject* mapping);

// The `name` of a symbol, or of any object that has one (new reference).
PyObject* symbol_name(PyObject* symbol);
// The names of `symbols` (an iterable) joined by "." into `out`; false with
// an exception set, the message a str.join gives for a name that is no str.
bool append_joined_names(std::string& out, PyObject* symbols);

}  // namespace quorvel::prefix
