// Module state of quorvel.constructive.tableau: the types it makes, the
// objects it imports at init, and interned names. Filled once by module.cpp;
// every other file reads it.
#pragma once

#include <Python.h>

namespace quorvel::tableau {

struct Names {
    // fields and attributes
    PyObject *worlds, *relations, *t_formulas, *f_formulas, *applied_rules;
    PyObject *id, *signed_formula, *rule, *world, *children, *is_closed, *clash_details;
    PyObject *sign, *formula, *name, *value, *root, *tree, *countermodel, *target, *premises, *is_valid;
    PyObject *max_depth, *max_worlds, *node_counter;
    // methods called by name
    PyObject *expand_branch, *check_clash, *next_node_id, *extract_countermodel, *prove;
    PyObject *add_world, *add_relation, *add_t_formula, *add_f_formula, *copy;
    PyObject *add, *append, *get, *setdefault, *add_valuation;
    PyObject *to_string, *to_dict, *get_size, *get_depth, *notation, *prefix, *is_last, *state, *node, *depth;
    // texts
    PyObject *infix, *latex, *empty, *target_label;
    PyObject* stems[10];   // "T_And", ... in rule order
    PyObject* labels[15];  // by Label; F_Imp, F_Not, T_Imp_F, T_Imp_T are prefixes only
};

struct ModuleState {
    // Imported at init; identical to the owners' objects.
    PyObject* falsum;
    PyObject* verum;
    PyObject* world_type;
    PyObject* kripke_model_type;
    PyObject* printer;  // quorvel.core.parser.to_string

    // Made here.
    PyObject* sign;  // the Sign enum
    PyObject* sign_true;
    PyObject* sign_false;
    PyTypeObject* signed_formula_type;
    PyTypeObject* node_type;
    PyTypeObject* tree_type;
    PyTypeObject* result_type;
    PyTypeObject* branch_state_type;
    PyTypeObject* prover_type;

    Names s;
};

ModuleState& state();
inline const Names& names() { return state().s; }

// Type makers, in module order; each returns a new type or NULL.
PyTypeObject* make_signed_formula_type();
PyTypeObject* make_node_type();
PyTypeObject* make_tree_type();
PyTypeObject* make_result_type();
PyTypeObject* make_branch_state_type();
PyTypeObject* make_prover_type();
PyObject* make_prove_tableau();

}  // namespace quorvel::tableau
