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
        if (empty() || holds_none(t)) return Py_NewRef(t);
        Pairs p = pairs();
        return api().substitute_term_pairs(t, &p);
    }
    PyObject* atom(PyObject* a) const {
        if (empty() || holds_none(a)) return Py_NewRef(a);
        Pairs p = pairs();
        return api().substitute_formula_pairs(a, &p);
    }

    // Whether `a` is an exact atom or application none of whose free
    // variables is bound: the substitution gives such a node back as it is,
    // which its kept set tells without a walk. (Its variables were hashed
    // when the set was made, so the lookups raise nothing the walk would.)
    bool holds_none(PyObject* a) const {
        ast::Kind k = ast::exact_kind_of(a);
        PyObject* fv = k == ast::Kind::PredicateApp ? ast::as_predicate_app(a)->free_vars
                       : k == ast::Kind::Equality   ? ast::as_equality(a)->free_vars
                       : k == ast::Kind::FunctionApp ? ast::as_function_app(a)->free_vars
                                                     : nullptr;
        if (!fv || !PyFrozenSet_CheckExact(fv)) return false;
        for (PyObject* v : vars_) {
            int held = PySet_Contains(fv, v);
            if (held != 0) {
                if (held < 0) PyErr_Clear();  // the walk decides
                return false;
            }
        }
        return true;
    }

private:
    SmallVector<PyObject*, 8> vars_, terms_;  // borrowed from the dict
    SmallVector<Py_hash_t, 8> hashes_;
};

}  // namespace quorvel::substitutions
