// ProofDAG and ProofStep (dag.cpp).
#pragma once

#include <Python.h>

#include <cstddef>

namespace quorvel::proof {

struct State {
    PyTypeObject* dag_type = nullptr;
    PyTypeObject* step_type = nullptr;
};
State& state();

// Creates both types into state(); false with an exception set.
bool create_types();

PyObject* new_dag();
Py_ssize_t add_step(PyObject* dag, PyObject* conclusion, PyObject* rule, const Py_ssize_t* premises, size_t count);

}  // namespace quorvel::proof
