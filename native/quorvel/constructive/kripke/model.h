// Declarations shared by the files of quorvel.constructive.kripke; other
// modules use api.h.
//
// A KripkeModel keeps `worlds`, `relations` and `valuations` as ordinary
// attributes in its instance __dict__, exactly as a Python class would, and
// every operation reads them afresh: a caller may replace or change them
// between calls. Nothing is cached between calls.
#pragma once

#include <Python.h>

#include <vector>

#include "quorvel/constructive/kripke/api.h"
#include "quorvel/support/py/ref.h"

namespace quorvel::kripke {

using py::Ref;

struct ModelObject {
    PyObject_HEAD
    PyObject* dict;
    PyObject* weakrefs;
};

// The methods that other methods call through `self`, so that a subclass's
// override (or an instance attribute) is honoured as in Python.
enum class Method { AddWorld, ComputeClosure, EnforceMonotonicity, AccessibleWorlds, Evaluate, ToString, Count };

struct State {
    Api api{};
    PyObject* frozen_error = nullptr;  // dataclasses.FrozenInstanceError
    // Interned attribute names.
    PyObject* s_worlds = nullptr;
    PyObject* s_relations = nullptr;
    PyObject* s_valuations = nullptr;
    PyObject* s_name = nullptr;
    PyObject* s_add = nullptr;
    PyObject* s_append = nullptr;
    PyObject* method_names[static_cast<int>(Method::Count)] = {};
    // The method descriptors of KripkeModel itself, to recognise overrides.
    PyObject* own_methods[static_cast<int>(Method::Count)] = {};
};
State& state();

// Types (world.cpp, model.cpp). False with an exception set.
bool create_world_type(PyObject* module);
bool create_model_type(PyObject* module);
PyObject* new_world(PyObject* id, PyObject* name);
PyObject* new_numbered_world(long number);
PyObject* new_model();
// The C API's entries (api.h): type-checked, C++ exceptions mapped to Python errors.
int api_add_world(PyObject* model, PyObject* world);
int api_add_relation(PyObject* model, PyObject* source, PyObject* target);
int api_add_valuation(PyObject* model, PyObject* world, PyObject* formula);
int api_evaluate(PyObject* model, PyObject* formula, PyObject* world);

// 1 when self.<m> is KripkeModel's own method, 0 when overridden, -1 error.
int is_own(PyObject* self, Method m);
// self.<attr>: new reference or NULL (AttributeError as Python raises it).
inline PyObject* get(PyObject* self, PyObject* attr) { return PyObject_GetAttr(self, attr); }

// Container protocol with fast paths for the exact built-in types.
int contains(PyObject* container, PyObject* item);             // `item in container`
PyObject* get_item(PyObject* mapping, PyObject* key);           // mapping[key], new reference
int set_item(PyObject* mapping, PyObject* key, PyObject* value);
int add_to(PyObject* set, PyObject* item);                      // set.add(item)
PyObject* snapshot(PyObject* iterable);                         // list(iterable), new reference

// Appends the members of `container` to `out` as borrowed references, kept
// alive by `keep` (the container itself when it is an exact set or frozen
// set, whose table is read directly, else a list copy) for as long as no
// user code runs. False with an exception set.
bool members_of(PyObject* container, std::vector<PyObject*>& out, Ref& keep);

// The operations (model.cpp, closure.cpp, forcing.cpp, render.cpp), as
// methods would run them: 0 / -1, booleans 1 / 0 / -1, objects new / NULL.
int add_world(PyObject* self, PyObject* world);
int add_relation(PyObject* self, PyObject* source, PyObject* target);
int compute_transitive_closure(PyObject* self);
int enforce_monotonicity(PyObject* self);
int close_and_enforce(PyObject* self);  // both, in that order, sharing one read
int add_valuation(PyObject* self, PyObject* world, PyObject* formula);
int is_accessible(PyObject* self, PyObject* source, PyObject* target);
PyObject* accessible_worlds(PyObject* self, PyObject* world);
int evaluate(PyObject* self, PyObject* formula, PyObject* world);
// evaluate's set-at-a-time fast path (forcing_sets.cpp): 0/1, -1, or
// kNotApplicable when the call must run pointwise (nothing done, no error).
inline constexpr int kNotApplicable = 2;
int evaluate_by_sets(PyObject* self, PyObject* formula, PyObject* world);
PyObject* to_dict(PyObject* self);
PyObject* to_string(PyObject* self);

// Through `self`: the native operation unless it is overridden.
int call_add_world(PyObject* self, PyObject* world);
PyObject* call_accessible_worlds(PyObject* self, PyObject* world);
int call_evaluate(PyObject* self, PyObject* formula, PyObject* world);

}  // namespace quorvel::kripke
