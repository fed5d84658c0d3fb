// The tableau's records at the Python boundary: SignedFormula (frozen),
// TableauNode, _BranchState and TableauProofResult (mutable dataclass-like
// records with live fields), and the accessors the other files use.
#pragma once

#include <Python.h>

#include "quorvel/constructive/tableau/pyops.h"

namespace quorvel::tableau {

struct SignedFormulaObject {
    PyObject_HEAD
    PyObject* sign;
    PyObject* formula;
    PyObject* world;
    Py_hash_t hash;  // -1 until first asked for
};

enum NodeField { kId, kSignedFormula, kRule, kWorld, kChildren, kIsClosed, kClashDetails, kNodeFields };

// A mutable record: fields may be reassigned (or deleted, then NULL) by
// callers, so native readers go through node_get unless they test first.
struct NodeObject {
    PyObject_HEAD
    PyObject* fields[kNodeFields];
    PyObject* dict;
    PyObject* weakrefs;
};

enum BranchField { kWorlds, kRelations, kTrue, kFalse, kApplied, kBranchFields };

struct BranchStateObject {
    PyObject_HEAD
    PyObject* fields[kBranchFields];
    PyObject* dict;
    PyObject* weakrefs;
};

inline bool is_exact_node(PyObject* o) { return Py_TYPE(o) == state().node_type; }
inline bool is_exact_signed_formula(PyObject* o) { return Py_TYPE(o) == state().signed_formula_type; }
inline bool is_exact_branch_state(PyObject* o) { return Py_TYPE(o) == state().branch_state_type; }
inline NodeObject* as_node(PyObject* o) { return reinterpret_cast<NodeObject*>(o); }
// Whether node.<method>(...) may run natively: a plain TableauNode whose
// method is not shadowed by an instance attribute.
inline bool own_node_method(PyObject* node, PyObject* method) {
    if (!is_exact_node(node)) return false;
    PyObject* dict = reinterpret_cast<NodeObject*>(node)->dict;
    return !dict || !PyDict_Contains(dict, method);
}
inline SignedFormulaObject* as_signed(PyObject* o) { return reinterpret_cast<SignedFormulaObject*>(o); }
inline BranchStateObject* as_branch(PyObject* o) { return reinterpret_cast<BranchStateObject*>(o); }

// node.<field>, read as Python reads it.
Ref node_get(PyObject* node, NodeField f);
// node.<field> = value
bool node_set(PyObject* node, NodeField f, PyObject* value);

// TableauNode(id=..., signed_formula=..., rule=..., world=...) with the
// other fields at their defaults; new reference or NULL.
PyObject* new_node(PyObject* id, PyObject* signed_formula, PyObject* rule, PyObject* world);
// SignedFormula(sign, formula, world); new reference or NULL.
PyObject* new_signed_formula(PyObject* sign, PyObject* formula, PyObject* world);
// sf.to_string() or sf.to_string(notation=...) (NULL notation: the default),
// natively for an exact SignedFormula.
Ref signed_formula_text(PyObject* sf, PyObject* notation);

// state.<field>, read as Python reads it.
Ref branch_get(PyObject* state, BranchField f);
// _BranchState() with five new empty containers; new reference or NULL.
PyObject* new_branch_state();

// The branch state's operations, through the method of the object's class
// (natively for an exact _BranchState). False / NULL with an exception set.
Ref branch_copy(PyObject* state);
bool branch_add_world(PyObject* state, PyObject* world);
bool branch_add_relation(PyObject* state, PyObject* source, PyObject* target);
bool branch_add_true(PyObject* state, PyObject* world, PyObject* formula);
bool branch_add_false(PyObject* state, PyObject* world, PyObject* formula);

// TableauProofResult(is_valid=..., tree=..., countermodel=..., target=...,
// premises=...); new reference or NULL.
PyObject* new_result(PyObject* is_valid, PyObject* tree, PyObject* countermodel, PyObject* target,
                     PyObject* premises);

// render.cpp: the node renderings (also used by the tree).
PyObject* node_to_string(PyObject* node, PyObject* prefix, PyObject* is_last);
PyObject* node_to_dict(PyObject* node);
PyObject* tree_latex(PyObject* root);
// Depth and size of the tree under `root`, as Python ints; NULL on error.
PyObject* subtree_depth(PyObject* root);
PyObject* subtree_size(PyObject* root);

// tree.cpp
PyObject* new_tree(PyObject* root);

// node_equality.cpp: TableauNode's tp_richcompare.
PyObject* node_richcompare(PyObject* a, PyObject* b, int op);

}  // namespace quorvel::tableau
