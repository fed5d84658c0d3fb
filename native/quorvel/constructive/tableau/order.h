// The order in which the Python-level expansion visits the members of a
// set (a world's formulas, a world's successors, a clash intersection):
// fixed by the values, never by the string hash seed.
//
// Formulas of the proof being run come in the native search's order, their
// arena id (first appearance in the premises, then the target, then the
// implications of each equivalence); any other value comes after them, by
// its repr. Worlds come by (id, name), other values after them by repr.
#pragma once

#include <Python.h>

#include <string>
#include <unordered_map>
#include <vector>

namespace quorvel::tableau {

class Order {
public:
    Order() = default;
    ~Order();
    Order(const Order&) = delete;
    Order& operator=(const Order&) = delete;

    // Takes a dict from formula to its rank (an int); new reference kept.
    void set_ranks(PyObject* ranks);

    // Sort a list in place; false with an exception set.
    bool sort_formulas(PyObject* list);
    bool sort_worlds(PyObject* list);

private:
    struct Key {
        int group;
        long long number;
        std::string text;
    };
    bool repr_of(PyObject* o, std::string& out);
    bool formula_key(PyObject* o, Key& key);
    bool world_key(PyObject* o, Key& key);
    template <class KeyOf>
    bool sort(PyObject* list, KeyOf key_of);

    PyObject* ranks_ = nullptr;
    // repr texts already computed, by object (held by `held_`)
    std::unordered_map<PyObject*, std::string> reprs_;
    std::vector<PyObject*> held_;
};

}  // namespace quorvel::tableau
