// Skolem terms: fresh names from the process-wide counters, the terms, and
// their registration in a signature. Shared by skolemize and to_cnf.
#pragma once

#include <Python.h>

#include <string>
#include <unordered_set>
#include <vector>

namespace quorvel::clausifier {

class SkolemTerms {
public:
    // `root`: the formula being Skolemised, whose symbols the new names must
    // avoid; `signature`: Py_None or the object to register the symbols in.
    SkolemTerms(PyObject* root, PyObject* signature) : root_(root), signature_(signature) {}

    // The Skolem term for the existential variable `v` under the universal
    // variables `universals` (outermost first): a constant "sk_c<n>" when
    // there are none, else "sk_f<n>"(universals...). Registered when a
    // signature was given (an ordinary exception of the registration is
    // ignored). New reference or NULL.
    PyObject* make(PyObject* v, const std::vector<PyObject*>& universals);

private:
    PyObject* next_name(PyObject* counter_attr, const char* prefix);

    PyObject* root_;
    PyObject* signature_;
    std::unordered_set<std::string> symbols_;
    bool symbols_ready_ = false;
};

}  // namespace quorvel::clausifier
