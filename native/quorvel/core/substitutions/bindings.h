// Variables bound to terms, looked up by variable equality (sort, id and
// kind), as a dict keyed by Variable would match them.
#pragma once

#include <Python.h>

#include <cstddef>
#include <vector>

#include "quorvel/core/ast/api.h"
#include "quorvel/support/small_vector.h"

namespace quorvel::substitutions {

// 1 equal, 0 not, -1 error: Python equality of two Variables, read from the
// fields when both are of the exact class.
int variables_equal(PyObject* a, PyObject* b);

class Bindings {
public:
    struct Entry {
        Py_hash_t hash;
        PyObject* var;   // borrowed from whoever filled the table
        PyObject* term;  // borrowed
        bool active;     // false while a quantifier shadows the variable
    };

    // Adds var -> term (var must not be bound yet); false with an exception.
    bool add(PyObject* var, PyObject* term);
    void add(PyObject* var, PyObject* term, Py_hash_t hash) { entries_.push_back(Entry{hash, var, term, true}); }
    // The index of the active entry for `var`: -1 none, -2 error.
    Py_ssize_t find(PyObject* var) const;
    // As find, with the variable's hash already known.
    Py_ssize_t find(PyObject* var, Py_hash_t hash) const;

    // Fills the table from a dict (entries whose key is no Variable never
    // match anything and are skipped).
    bool fill_from_dict(PyObject* mapping);

    size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    Entry& operator[](size_t i) { return entries_[i]; }
    const Entry& operator[](size_t i) const { return entries_[i]; }
    void pop() { entries_.pop_back(); }

private:
    SmallVector<Entry, 8> entries_;  // a unifier or a renaming binds a few variables
};

// The largest variable id in a term or formula (terms included), or -1;
// false with an exception. Ids beyond a C long long count as an error.
bool max_variable_id(PyObject* node, long long& out);

}  // namespace quorvel::substitutions
