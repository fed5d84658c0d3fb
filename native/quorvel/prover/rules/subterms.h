// Term positions of terms and atoms, and rewriting at one position
// (subterms.cpp). Positions are in pre-order: a term before the terms below
// it, arguments left to right. Walks use explicit stacks; results hold the
// nodes themselves, and a rebuilt node takes over its unchanged arguments.
#pragma once

#include <Python.h>

#include <vector>

namespace quorvel::rules {

// Appends the subterms of `term` in position order (borrowed: they are
// held by `term`). False with an exception set.
bool collect_subterms(PyObject* term, std::vector<PyObject*>& out);
// The same over the argument terms of an atom; nothing for other formulas.
bool collect_atom_subterms(PyObject* atom, std::vector<PyObject*>& out);

// New references, one per position whose subterm equals `target`, in
// position order. False with an exception set (then `out` holds what was
// made so far, owned by the caller).
bool replace_subterm(PyObject* term, PyObject* target, PyObject* replacement, std::vector<PyObject*>& out);
bool replace_atom_subterm(PyObject* atom, PyObject* target, PyObject* replacement, std::vector<PyObject*>& out);

// A position in an atom: the index of its argument term (0 and 1 for the
// sides of an equation), then argument indices down from that term.
using Position = std::vector<Py_ssize_t>;

// Appends the positions whose subterm equals `target`, in the order of the
// rewrites of replace_atom_subterm. False with an exception set.
bool find_atom_subterm(PyObject* atom, PyObject* target, std::vector<Position>& out);
// `atom` with the subterm at `at` replaced: new reference, or NULL with an
// exception set (AssertionError when `atom` has no such position).
PyObject* replace_atom_at(PyObject* atom, const Position& at, PyObject* replacement);

// Python lists of the above. New references or NULL.
PyObject* extract_subterms_list(PyObject* term);
PyObject* extract_atom_subterms_list(PyObject* atom);
PyObject* replace_subterm_list(PyObject* term, PyObject* target, PyObject* replacement);
PyObject* replace_atom_subterm_list(PyObject* atom, PyObject* target, PyObject* replacement);

}  // namespace quorvel::rules
