// Declarations shared by the files of quorvel.core.ast; not for other modules
// (they use api.h).
#pragma once

#include "quorvel/core/ast/api.h"
#include "quorvel/support/py/args.h"

namespace quorvel::ast {

// Module state: filled once by the module init.
struct State {
    Api api{};                         // exported through the capsule
    PyObject* frozen_error = nullptr;  // dataclasses.FrozenInstanceError
    PyObject* zero = nullptr;          // the int 0
    PyObject* empty_frozenset = nullptr;
    Py_hash_t variable_kind_hashes[3] = {};
    Py_hash_t type_hashes[kKindCount] = {};  // hash of each node class, taken when it is made
    PyObject* rebuild = nullptr;       // _rebuild(cls, kwargs), for pickling
};
// One object of constant initialisation, read inline: the constructors
// read it several times per node.
inline State g_state;
inline State& state() { return g_state; }

inline PyTypeObject* type_of_kind(Kind k) { return state().api.types[static_cast<int>(k)]; }

// Type objects (types.cpp). Creates Term, Formula and the twelve node
// classes in `state().api`; returns false with an exception set.
bool create_types(PyObject* module);
PyTypeObject* new_quantifier_type(const char* name, const char* module, Kind kind);

// Construction with every check and cache (types.cpp); exact node classes
// are built directly, Python subclasses are called with keywords.
PyObject* new_unary(PyTypeObject* type, PyObject* operand);
PyObject* new_binary(PyTypeObject* type, PyObject* left, PyObject* right);
PyObject* new_quantifier(PyTypeObject* type, PyObject* variable, PyObject* body);
PyObject* new_predicate_app(PyTypeObject* type, PyObject* pred, PyObject* arity, PyObject* args);
PyObject* new_equality(PyTypeObject* type, PyObject* left, PyObject* right);
PyObject* new_function_app(PyTypeObject* type, PyObject* func, PyObject* arity, PyObject* args,
                           PyObject* return_sort);
PyObject* new_variable(PyTypeObject* type, PyObject* id, PyObject* var_kind, PyObject* sort);
PyObject* new_constant(PyTypeObject* type, PyObject* name, PyObject* sort);

// Structural equality of two nodes of one exact class (equality.cpp):
// 1 equal, 0 not, -1 error. Iterative.
int nodes_equal(PyObject* a, PyObject* b);

// Tree functions (walks.cpp, canonical.cpp). New references or NULL.
PyObject* free_variables(PyObject* node);
PyObject* bound_variables(PyObject* node);
PyObject* formula_size(PyObject* formula);
PyObject* formula_depth(PyObject* formula);
PyObject* canonicalize_bound_variables(PyObject* formula);

// The constructor parameters of a class (types.cpp).
const py::Signature& constructor_signature(Kind k);

// Public fields of a node after the header, in declaration order.
int field_count(Kind k);
inline PyObject** fields_of(PyObject* o) {
    return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o) + sizeof(NodeObject));
}

// Helpers for the tree functions: second-order quantifier by class name
// (1 yes, 0 no, -1 error), and the InvalidFormulaError of a message prefix
// followed by the class of `o`.
int is_second_order_by_name(PyObject* o);
PyObject* raise_with_class(const char* prefix, PyObject* o);

}  // namespace quorvel::ast
