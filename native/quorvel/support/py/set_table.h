// Reading the members of an exact set or frozenset straight from its hash
// table, with their stored hashes: no iterator object, no hash calls. The
// order is the table's, which is the order iterating the set gives.
#pragma once

#include <Python.h>

namespace quorvel::py {

// Calls visit(key, hash) for each member of `set` (an exact set or
// frozenset, not changed while this runs); stops at the first visit that
// returns false and returns false then.
template <class Visit>
bool for_each_set_member(PyObject* set, Visit visit) {
    auto* s = reinterpret_cast<PySetObject*>(set);
    setentry* table = s->table;
    for (Py_ssize_t i = 0, last = s->mask; i <= last; ++i) {
        // A deleted slot keeps a dummy key with hash -1, which no live
        // member has.
        if (table[i].key && table[i].hash != -1)
            if (!visit(table[i].key, table[i].hash)) return false;
    }
    return true;
}

// The members of a frozenset, borrowed, in iteration order, appended to
// `out` (any container with push_back). Other collections are read
// through their iterator; the returned reference (NULL on error, else a
// new reference to an object that keeps the members alive) must be held
// while `out` is used.
template <class Out>
PyObject* collect_members(PyObject* collection, Out& out) {
    if (PyFrozenSet_CheckExact(collection)) {
        for_each_set_member(collection, [&](PyObject* key, Py_hash_t) {
            out.push_back(key);
            return true;
        });
        return Py_NewRef(collection);
    }
    PyObject* list = PySequence_List(collection);
    if (!list) return nullptr;
    for (Py_ssize_t i = 0, n = PyList_GET_SIZE(list); i < n; ++i) out.push_back(PyList_GET_ITEM(list, i));
    return list;
}

}  // namespace quorvel::py
