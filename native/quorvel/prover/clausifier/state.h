// Declarations shared by the files of quorvel.prover.clausifier.
#pragma once

#include <Python.h>

#include <vector>

#include "quorvel/core/ast/api.h"
#include "quorvel/prover/clausifier/api.h"

namespace quorvel::clausifier {

struct State {
    Api api{};
    PyObject* module_dict = nullptr;  // borrowed: the module lives as long as the process
    PyObject* s_register_constant = nullptr;
    PyObject* s_register_function = nullptr;
    PyObject* s_constant_counter = nullptr;  // "_skolem_constant_counter"
    PyObject* s_function_counter = nullptr;
    PyObject* count = nullptr;  // itertools.count
};
State& state();

// records.cpp
bool create_record_types(PyObject* module);
PyObject* new_literal(PyObject* atom, PyObject* positive);
PyObject* new_clause(PyObject* literals);
// The clause of distinct Literal objects (borrowed) that the caller knows
// to be no tautology.
PyObject* new_clause_known(const std::vector<PyObject*>& literals);
PyObject* substitute_literal(PyObject* literal, PyObject* mapping);
PyObject* substitute_clause(PyObject* clause, PyObject* mapping);

// rewrite.cpp: the rewriting steps. New references, or NULL.
PyObject* eliminate_implications(PyObject* formula);
PyObject* to_nnf(PyObject* formula);
PyObject* standardize_variables(PyObject* formula);
PyObject* skolemize(PyObject* formula, PyObject* signature);
PyObject* drop_universals(PyObject* formula);
PyObject* distribute_cnf(PyObject* formula);
PyObject* reset_skolem_counters();

// clauses.cpp
PyObject* formula_to_clauses(PyObject* formula);
// pipeline.cpp
PyObject* to_cnf(PyObject* formula, PyObject* signature);
PyObject* negate_and_clausify(PyObject* formula, PyObject* signature);

}  // namespace quorvel::clausifier
