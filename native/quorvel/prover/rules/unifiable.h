// A cheap necessary condition for unification, tested before the unifier
// is asked (unifiable.cpp): most candidate pairs of a rule clash on a symbol
// near the top, and turning those away costs no unifier, no dict and no
// renamed clause.
#pragma once

#include <Python.h>

#include <utility>
#include <vector>

namespace quorvel::rules {

// Reused across tests so that a rule's loop allocates its stack once.
using PairStack = std::vector<std::pair<PyObject*, PyObject*>>;

// 0 when `a` and `b` (two terms, or two atoms) have no unifier whatever
// their variables stand for and however they are renamed; 1 when they may
// have one; -1 with an exception set.
int may_unify(PyObject* a, PyObject* b, PairStack& stack);

}  // namespace quorvel::rules
