// Naming subformulas before the clausal form (definitions.cpp): where
// distributing a disjunction over conjunctions would multiply clauses, the
// subformula is replaced by an atom of a fresh predicate over its free
// variables, and a one-way definition of that atom joins the input.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "quorvel/support/py/ref.h"

namespace quorvel::engine {

class Definitions {
public:
    Definitions();

    // Keeps the predicate names `formula` uses, so that no fresh name meets
    // one of them. Call for every input before the first rename(). False
    // with an exception set.
    bool reserve_names(PyObject* formula);

    // Appends to `out` the formula with its costly subformulas named, then
    // the definitions it needs. The formulas together are satisfiable
    // exactly when `formula` is: a model of `formula` reads each fresh atom
    // as the subformula it names. Names stay fresh across calls on one
    // object. False with an exception set (Ctrl-C included).
    bool rename(PyObject* formula, std::vector<py::Ref>& out);

private:
    PyObject* fresh_name();

    py::Ref used_;  // set of str: the inputs' predicate names
    uint64_t next_ = 0;
};

}  // namespace quorvel::engine
