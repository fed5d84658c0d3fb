// Module state of quorvel.constructive.ljt and the entry points its files
// share: the record types (records.cpp), the proof tree (tree.cpp), the
// derivation builder (derivation.cpp) and the prover (prover.cpp).
#pragma once

#include <Python.h>

#include <string>

#include "quorvel/constructive/ljt/search.h"

namespace quorvel::ljt {

struct State {
    PyTypeObject* sequent_type = nullptr;
    PyTypeObject* node_type = nullptr;
    PyTypeObject* tree_type = nullptr;
    PyTypeObject* prover_type = nullptr;

    PyObject* falsum = nullptr;     // FALSUM of quorvel.constructive.common
    PyObject* to_string = nullptr;  // quorvel.core.parser.to_string
    PyObject* empty_tuple = nullptr;
    PyObject* rule_names[kRuleCount] = {};

    // Interned texts.
    PyObject* s_latex = nullptr;
    PyObject* s_infix = nullptr;
    PyObject* s_notation = nullptr;
    PyObject* s_antecedents = nullptr;
    PyObject* s_succedent = nullptr;
    PyObject* s_sequent = nullptr;
    PyObject* s_rule = nullptr;
    PyObject* s_premises = nullptr;
    PyObject* s_root = nullptr;
    PyObject* s_depth = nullptr;
    PyObject* s_size = nullptr;
    PyObject* s_is_valid = nullptr;
    PyObject* s_to_dict = nullptr;
    PyObject* s_to_string = nullptr;
    PyObject* s_to_ascii = nullptr;
    PyObject* s_search = nullptr;
    PyObject* s_prove = nullptr;
};
State& state();

// A list or tuple with the items of `o` (itself when it is one), as
// iteration sees them; NULL with the error of iterating it.
inline PyObject* as_sequence(PyObject* o) {
    if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) return Py_NewRef(o);
    return PySequence_List(o);
}

// Pauses the cyclic garbage collector while a large acyclic structure of
// new objects is built: each allocation would otherwise count towards
// collections that traverse everything built so far, again and again.
class GcPause {
public:
    GcPause() : was_enabled_(PyGC_Disable()) {}
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

private:
    int was_enabled_;
};

// records.cpp
bool create_record_types(PyObject* module);
inline bool is_sequent(PyObject* o) { return Py_TYPE(o) == state().sequent_type; }
inline bool is_node(PyObject* o) { return Py_TYPE(o) == state().node_type; }
// A new Sequent from any iterable of antecedents (a tuple is kept as is).
PyObject* new_sequent(PyObject* antecedents, PyObject* succedent);
PyObject* new_node(PyObject* sequent, PyObject* rule, PyObject* premises);
PyObject* sequent_antecedents(PyObject* exact_sequent);  // borrowed tuple
PyObject* sequent_succedent(PyObject* exact_sequent);    // borrowed
PyObject* node_sequent(PyObject* exact_node);            // borrowed
PyObject* node_rule(PyObject* exact_node);               // borrowed
PyObject* node_premises(PyObject* exact_node);           // borrowed
// The sequent text of an exact Sequent for `notation` (any object), as a
// new str; NULL with an exception set.
PyObject* sequent_text(PyObject* exact_sequent, PyObject* notation);
// The node dictionary of an exact LJTProofNode; NULL with an exception set.
PyObject* node_dict(PyObject* exact_node);
// Appends str(value) as UTF-8, lone surrogates (which the formula printer
// passes through from atom names) as the "surrogatepass" handler writes
// them: decode the text with py::decode_text. False with an exception set.
bool append_utf8(std::string& out, PyObject* value);

// tree.cpp
bool create_tree_type(PyObject* module);
PyObject* new_tree(PyObject* root);

// prover.cpp
bool create_prover(PyObject* module);
// The interrupt callback of the native walks (WorkPoll): true, with the
// exception set, when a signal handler raised.
bool poll_signals(void*);

// derivation.cpp
// Premise `k` of `rule` applied to antecedents `ants[0..n)` and `goal` with
// principal position `pos`: a new Sequent, or NULL with an exception set.
// `untrack`: the formulas reach nothing mutable (Lowering::acyclic), so the
// new objects are taken from the cyclic collector.
PyObject* premise_sequent(Rule rule, int k, PyObject* const* ants, Py_ssize_t n, PyObject* goal, Py_ssize_t pos,
                          bool untrack);
// Python objects for a derivation found natively; the root node holds `root`
// itself, whose antecedents are `ants` and whose succedent is `goal`.
PyObject* build_derivation(const std::vector<Step>& steps, PyObject* root, PyObject* const* ants, Py_ssize_t n,
                           PyObject* goal, bool untrack);

}  // namespace quorvel::ljt
