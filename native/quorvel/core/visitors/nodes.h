// Reading node fields the way a Python method reads them, and rebuilding a
// node from new children by the transformer's rules.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "quorvel/core/visitors/state.h"
#include "quorvel/support/flat_map.h"
#include "quorvel/support/py/ref.h"
#include "quorvel/support/py/small_int.h"

namespace quorvel::visitors {

enum class Field : uint8_t { Left, Right, Operand, Variable, Body, Args, Func, Pred, Arity, ReturnSort };

// node.<field> as a new reference, or NULL with the AttributeError of the
// lookup. A node of exactly a node class that has the field is read from its
// layout; anything else goes through attribute lookup.
PyObject* field(PyObject* node, Field f);

// A variable whose equality is decided by its id and kind alone: an
// instance of exactly Variable, of the default sort, with an int id below
// 2**60 and one of the three kinds. Two such variables are equal exactly
// when their keys are, so walks may compare and collect them natively.
inline constexpr uint64_t kNoVariableKey = ~uint64_t{0};
inline uint64_t variable_key(PyObject* o) {
    const ast::Api& a = ast::api();
    if (Py_TYPE(o) != a.types[static_cast<int>(Kind::Variable)]) return kNoVariableKey;
    const ast::VariableObject* v = ast::as_variable(o);
    if (v->term.sort != a.ind || !PyLong_CheckExact(v->id)) return kNoVariableKey;
    uint64_t kind;
    if (v->var_kind == a.variable_kinds[0]) {
        kind = 0;
    } else if (v->var_kind == a.variable_kinds[1]) {
        kind = 1;
    } else if (v->var_kind == a.variable_kinds[2]) {
        kind = 2;
    } else {
        return kNoVariableKey;
    }
    long long id;
    if (!py::long_long_value(v->id, id) || id < 0 || id >= (1LL << 60)) return kNoVariableKey;
    return static_cast<uint64_t>(id) << 2 | kind;
}

struct VariableKeyHash {
    size_t operator()(uint64_t k) const { return static_cast<size_t>(mix64(k)); }
};

// The elements of an `args` value as a new tuple (the value itself when it
// is a tuple), or NULL.
PyObject* args_tuple(PyObject* args);

// The elements of an `args` value in place, without touching the tuple's
// count (a walk that writes to every node it reads doubles its memory
// traffic): a tuple's own items, else those of a tuple made from the value
// and kept in `holder`. False on error.
inline bool argument_items(PyObject* args, PyObject* const*& items, Py_ssize_t& n, std::vector<py::Ref>& holder) {
    if (!PyTuple_Check(args)) {
        holder.emplace_back(args_tuple(args));
        if (!holder.back()) return false;
        args = holder.back().get();
    }
    n = PyTuple_GET_SIZE(args);
    items = n ? &PyTuple_GET_ITEM(args, 0) : nullptr;
    return true;
}

// A variable or constant of exactly its class: a leaf whose visit by a
// walk neither fails nor runs other code, so a walk may take it in place
// while it expands the parent.
inline bool plain_leaf(PyObject* o) {
    const ast::Api& a = ast::api();
    PyTypeObject* t = Py_TYPE(o);
    return t == a.types[static_cast<int>(Kind::Variable)] || t == a.types[static_cast<int>(Kind::Constant)];
}

// Whether child `i` of compound node `parent` (in the order of
// ast::NodeObject::leaf_children) is a plain leaf: from the node's own mark
// where it has one, which spares reading the child.
inline bool plain_child(PyObject* parent, Py_ssize_t i, PyObject* child) {
    if (ast::as_node(parent)->leaf_children >> i & 1) return true;
    return i >= ast::kLeafChildBits && plain_leaf(child);
}

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
