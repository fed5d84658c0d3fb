#include "quorvel/constructive/tableau/order.h"

#include <algorithm>
#include <numeric>

#include "quorvel/constructive/kripke/api.h"
#include "quorvel/constructive/tableau/pyops.h"

namespace quorvel::tableau {

Order::~Order() {
    Py_XDECREF(ranks_);
    for (PyObject* o : held_) Py_DECREF(o);
}

void Order::set_ranks(PyObject* ranks) { Py_XSETREF(ranks_, Py_NewRef(ranks)); }

bool Order::repr_of(PyObject* o, std::string& out) {
    auto it = reprs_.find(o);
    if (it != reprs_.end()) {
        out = it->second;
        return true;
    }
    Ref r(PyObject_Repr(o));
    if (!r) return false;
    std::string text;
    if (!append_utf8(text, r.get())) return false;
    // Room first, so that the reference taken below is always recorded.
    if (held_.size() == held_.capacity()) held_.reserve(2 * held_.size() + 16);
    reprs_.emplace(o, text);
    held_.push_back(Py_NewRef(o));
    out = std::move(text);
    return true;
}

bool Order::formula_key(PyObject* o, Key& key) {
    if (ranks_) {
        PyObject* rank = PyDict_GetItemWithError(ranks_, o);
        if (rank) {
            key = Key{0, PyLong_AsLongLong(rank), {}};
            return true;
        }
        if (PyErr_Occurred()) {
            // An unhashable member of a hand-made state: it has no rank.
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
            PyErr_Clear();
        }
    }
    key.group = 1;
    key.number = 0;
    return repr_of(o, key.text);
}

bool Order::world_key(PyObject* o, Key& key) {
    if (kripke::is_world(o)) {
        auto* w = kripke::as_world(o);
        int overflow = 0;
        long long id = PyLong_Check(w->id) ? PyLong_AsLongLongAndOverflow(w->id, &overflow) : 0;
        if (PyLong_Check(w->id) && !overflow && PyUnicode_Check(w->name)) {
            if (id == -1 && PyErr_Occurred()) return false;
            key.group = 0;
            key.number = id;
            key.text.clear();
            return append_utf8(key.text, w->name);
        }
    }
    key.group = 1;
    key.number = 0;
    return repr_of(o, key.text);
}

template <class KeyOf>
bool Order::sort(PyObject* list, KeyOf key_of) {
    Py_ssize_t n = PyList_GET_SIZE(list);
    if (n < 2) return true;
    std::vector<Key> keys(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!(this->*key_of)(PyList_GET_ITEM(list, i), keys[static_cast<size_t>(i)])) return false;
    std::vector<size_t> order(static_cast<size_t>(n));
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        const Key& x = keys[a];
        const Key& y = keys[b];
        if (x.group != y.group) return x.group < y.group;
        if (x.number != y.number) return x.number < y.number;
        return x.text < y.text;
    });
    std::vector<PyObject*> items(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) items[static_cast<size_t>(i)] = PyList_GET_ITEM(list, order[static_cast<size_t>(i)]);
    // The list keeps its references; only their places change.
    for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(list, i, items[static_cast<size_t>(i)]);
    return true;
}

bool Order::sort_formulas(PyObject* list) { return sort(list, &Order::formula_key); }
bool Order::sort_worlds(PyObject* list) { return sort(list, &Order::world_key); }

}  // namespace quorvel::tableau
