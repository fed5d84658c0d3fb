// InferenceRule and SOLInstantiateRule (rule_record.cpp).
#pragma once

#include <Python.h>

namespace quorvel::rules {

struct RuleObject {
    PyObject_HEAD
    PyObject* fields[4];  // name, description, rule_type, apply
};

struct State {
    PyTypeObject* rule_type = nullptr;  // InferenceRule
    PyTypeObject* sol_type = nullptr;   // SOLInstantiateRule
    PyObject* resolution = nullptr;     // "resolution"
    PyObject* reconstruction = nullptr; // "reconstruction"
    PyObject* resolve = nullptr;        // the module functions, for table 1
    PyObject* factor = nullptr;
    PyObject* paramodulate = nullptr;
};
State& state();

// Creates both classes into state(); false with an exception set.
bool create_rule_types(PyObject* module);

// A new InferenceRule of the four fields (borrowed). New reference or NULL.
PyObject* new_rule(PyObject* name, PyObject* description, PyObject* rule_type, PyObject* apply);

// SOLInstantiateRule.match_and_instantiate (sol_instantiate.cpp).
PyObject* match_and_instantiate(PyObject* axiom, PyObject* goal, PyObject* signature);

}  // namespace quorvel::rules
