// A substitution read once from a dict, its variables hashed once, for
// applying it to many atoms and terms (the literals of a clause, the sides
// of a rewrite). Applying it is what substitute_formula / substitute_term
// with the dict do, without reading and hashing the dict on every call.
#pragma once

#include <Python.h>

#include "quorvel/core/ast/api.h"
#include "quorvel/core/substitutions/api.h"
#include "quorvel/support/small_vector.h"

namespace quorvel::substitutions {

class HashedPairs {
public:
    // Reads `mapping` (a dict): entries whose key is no Variable never match
    // and are left out, as the dict walk of substitute_formula leaves them.
    // False with the exception of a key's __hash__.
    bool load(PyObject* mapping) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(mapping, &pos, &key, &value)) {
            if (ast::kind_of(key) != ast::Kind::Variable) continue;
            Py_hash_t h = PyObject_Hash(key);
            if (h == -1) return false;
            vars_.push_back(key);
            terms_.push_back(value);
            hashes_.push_back(h);
        }
        return true;
    }
    bool empty() const { return vars_.empty(); }
    Pairs pairs() const { return {vars_.data(), terms_.data(), vars_.size(), hashes_.data()}; }

    // The term or atom under the substitution. New reference or NULL.
    PyObject* term(PyObject* t) const {
        if (empty()) return Py_NewRef(t);
        Pairs p = pairs();
        return api().substitute_term_pairs(t, &p);
    }
    PyObject* atom(PyObject* a) const {
        if (empty()) return Py_NewRef(a);
        Pairs p = pairs();
        return api().substitute_formula_pairs(a, &p);
    }

private:
    SmallVector<PyObject*, 8> vars_, terms_;  // borrowed from the dict
    SmallVector<Py_hash_t, 8> hashes_;
};

}  // namespace quorvel::substitutions
