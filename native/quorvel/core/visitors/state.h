// Declarations shared by the files of quorvel.core.visitors.
//
// The visitor classes are Python classes made with abc and typing at init;
// their methods are native. `visit` runs a native walk over the whole tree
// when nothing on the visitor's class or instance overrides what the walk
// stands in for (dispatch.cpp); otherwise it dispatches by method name, and
// the per-kind methods below (one per visitor and node kind) do one node's
// work, reaching the children through the visitor's own `visit`.
#pragma once

#include <Python.h>

#include "quorvel/core/ast/api.h"

namespace quorvel::visitors {

using ast::Kind;

inline constexpr int kNodeKinds = 16;  // Variable .. ExistsFunc, the dispatch order

enum class Visitor : int { Transformer, Depth, Size, FreeVariables, Substitution, Export };
inline constexpr int kVisitors = 6;

// The names a fast walk stands in for: "visit" and the sixteen methods.
inline constexpr int kWalkNames = kNodeKinds + 1;

struct State {
    PyObject* base = nullptr;                 // ASTVisitor
    PyObject* classes[kVisitors] = {};        // the six visitor classes
    PyObject* node_classes[kNodeKinds] = {};  // dispatch keys, in table order
    PyObject* names[kWalkNames] = {};         // "visit_variable" .. "visit_exists_func", then "visit"
    // What each name resolves to on each visitor class, recorded at init.
    PyObject* resolved[kVisitors][kWalkNames] = {};
    PyObject* overridable = nullptr;  // frozenset: the walk names and "_dispatch_table"
    PyObject* function_variable = nullptr;
    PyObject *s_visit, *s_dispatch_table, *s_notation, *s_mapping, *s_get, *s_update, *s_name, *s_sort, *s_kind,
        *s_index, *s_arity, *s_id;
    PyObject* one = nullptr;  // the int 1
    bool debug = true;        // __debug__: the rebuild assertions are made
    int dispatch_depth = 0;   // nesting of name dispatch, held to the recursion limit
};
State& state();

inline PyTypeObject* node_type(Kind k) { return ast::api().types[static_cast<int>(k)]; }

// The dispatch kind of `o`: its kind when its class is exactly one of the
// sixteen node classes, else Kind::None.
inline Kind exact_kind(PyObject* o) {
    Kind k = ast::exact_kind_of(o);
    return static_cast<int>(k) < kNodeKinds ? k : Kind::None;
}

// TypeError "Unsupported AST node type: " + the class's __name__; NULL.
PyObject* unsupported(PyObject* o);

// AssertionError without message; NULL.
PyObject* assertion_failed();

// ---------------------------------------------------------------------------
// Dispatch (dispatch.cpp)

// self.visit(child), looked up on the instance; new reference or NULL.
PyObject* call_visit(PyObject* self, PyObject* child);

// The visitor whose native walk may stand in for `self.visit`: its index,
// -1 when something overrides it, -2 with an exception set.
int walking_visitor(PyObject* self);

// Whether a new instance of visitor class `v` would walk natively: 1, 0, -1.
int class_walks(Visitor v);

// ASTVisitor.visit and ASTVisitor.__init_subclass__ (a class method).
PyObject* visit(PyObject* self, PyObject* node);
PyObject* init_subclass(PyObject* unused, PyObject* args, PyObject* kwargs);

// ---------------------------------------------------------------------------
// Per-kind methods: one node's work in name-dispatch mode.

using Method = PyObject* (*)(PyObject* self, PyObject* node);
extern const Method kTransformerMethods[kNodeKinds];
extern const Method kDepthMethods[kNodeKinds];
extern const Method kSizeMethods[kNodeKinds];
extern const Method kFreeVariableMethods[kNodeKinds];
extern const Method kExportMethods[kNodeKinds];
// Substitution overrides these of the transformer's.
PyObject* substitution_visit_variable(PyObject* self, PyObject* node);
PyObject* substitution_visit_quantifier(PyObject* self, PyObject* node, Kind k);
PyObject* substitution_visit_function_quantifier(PyObject* self, PyObject* node, Kind k);

// Constructors of the visitors that take arguments.
PyObject* export_init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* substitution_init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// ---------------------------------------------------------------------------
// Native walks over a whole tree, each with the results of name dispatch
// through the visitor's own methods. New reference or NULL.

PyObject* walk_transformer(PyObject* node);
PyObject* walk_depth(PyObject* node);
PyObject* walk_size(PyObject* node);
PyObject* walk_free_variables(PyObject* node);
// `declined` is set (and NULL returned, no exception) when the visitor's
// field holds something the walk does not model; `visit` then dispatches
// by name instead.
PyObject* walk_substitution(PyObject* self, PyObject* node, bool& declined);
PyObject* walk_export(PyObject* self, PyObject* node, bool& declined);

// The substitution of `mapping` (a dict) into `node` by a new plain
// transformer, natively when its class walks.
PyObject* substitute_with(PyObject* mapping, PyObject* node);
// The free variables of `node` by a new collector, natively when its class
// walks.
PyObject* collect_free_variables(PyObject* node);

}  // namespace quorvel::visitors
