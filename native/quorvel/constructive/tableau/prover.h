// TableauProver at the Python boundary, and the two ways a proof runs:
// natively (prove.cpp, on search.h) when the prover's overridable methods
// are its own, and through the methods by name (step.cpp, clash.cpp) when a
// subclass or an instance replaces one of them, or when the expansion step
// is called from Python.
#pragma once

#include <Python.h>

#include "quorvel/constructive/tableau/order.h"
#include "quorvel/constructive/tableau/pyops.h"

namespace quorvel::tableau {

struct ProverObject {
    PyObject_HEAD
    PyObject* dict;  // max_depth, max_worlds, _node_counter and any other attribute
    PyObject* weakrefs;
    Order* order;  // the set order of the proof `prove` is running, else NULL
};

// The methods that the Parts' algorithms call through `self`.
enum class Method { ExpandBranch, CheckClash, NextNodeId, ExtractCountermodel, Count };

// 1 when self.<m> is TableauProver's own method, 0 when something else
// answers to the name, -1 on error.
int is_own(PyObject* self, Method m);

// The order for a Python-level step on `self`: that of the running proof,
// or `fallback` (values by repr) outside one.
inline Order& order_of(PyObject* self, Order& fallback) {
    Order* o = reinterpret_cast<ProverObject*>(self)->order;
    return o ? *o : fallback;
}

// The native bodies of the overridable methods (new references or NULL).
PyObject* next_node_id(PyObject* self);
PyObject* check_clash(PyObject* self, PyObject* state);
PyObject* extract_countermodel(PyObject* self, PyObject* state);
// The expansion step of Python objects: returns (closed, open state).
PyObject* expand_branch(PyObject* self, PyObject* state, PyObject* node, PyObject* depth);

// self.<m>(...) through the object, natively when it is the own method.
Ref call_next_node_id(PyObject* self);
Ref call_check_clash(PyObject* self, PyObject* state);
Ref call_extract_countermodel(PyObject* self, PyObject* state);

// prove(target, premises) with the premise tuple already made.
PyObject* prove(PyObject* self, PyObject* target, PyObject* premises);

}  // namespace quorvel::tableau
