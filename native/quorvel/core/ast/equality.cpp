// Structural equality of nodes, walked with an explicit stack so that two
// million-deep trees compare without recursion.
#include <unordered_set>
#include <utility>
#include <vector>

#include "quorvel/core/ast/internal.h"

namespace quorvel::ast {
namespace {

struct PairHash {
    size_t operator()(const std::pair<PyObject*, PyObject*>& p) const {
        auto x = reinterpret_cast<uintptr_t>(p.first) * 0x9E3779B97F4A7C15ull;
        return static_cast<size_t>(x ^ reinterpret_cast<uintptr_t>(p.second));
    }
};

// Both are nodes of one class whose equality is ours (not overridden in a
// Python subclass), so their fields can be compared here.
bool compared_here(PyObject* x, PyObject* y) {
    PyTypeObject* t = Py_TYPE(x);
    return t == Py_TYPE(y) && kind_of(x) != Kind::None &&
           t->tp_richcompare == type_of_kind(Kind::Formula)->tp_richcompare;
}

}  // namespace

// Fields are compared in declaration order, depth first, stopping at the
// first unequal pair, as comparing the tuples of fields would. Every object
// on the stack is kept alive by the two trees, which nothing can change.
int nodes_equal(PyObject* a, PyObject* b) {
    std::vector<std::pair<PyObject*, PyObject*>> stack{{a, b}};
    std::unordered_set<std::pair<PyObject*, PyObject*>, PairHash> shared_done;
    bool root = true;
    while (!stack.empty()) {
        auto [x, y] = stack.back();
        stack.pop_back();
        if (x == y) continue;
        if (root || compared_here(x, y)) {
            root = false;
            // A shared pair met again needs no second look: the first visit
            // compares it (or has found the trees unequal).
            if (Py_REFCNT(x) > 1 && Py_REFCNT(y) > 1 && !shared_done.emplace(x, y).second) continue;
            PyObject** fx = fields_of(x);
            PyObject** fy = fields_of(y);
            int n = field_count(as_node(x)->kind);
            Kind k = as_node(x)->kind;
            if (k == Kind::FunctionApp || k == Kind::PredicateApp || k == Kind::Equality) --n;  // _free_vars
            for (int i = n - 1; i >= 0; --i) stack.emplace_back(fx[i], fy[i]);
            continue;
        }
        if (PyTuple_CheckExact(x) && PyTuple_CheckExact(y)) {
            Py_ssize_t n = PyTuple_GET_SIZE(x);
            if (n != PyTuple_GET_SIZE(y)) return 0;
            for (Py_ssize_t i = n - 1; i >= 0; --i) stack.emplace_back(PyTuple_GET_ITEM(x, i), PyTuple_GET_ITEM(y, i));
            continue;
        }
        int r = PyObject_RichCompareBool(x, y, Py_EQ);
        if (r <= 0) return r;
    }
    return 1;
}

}  // namespace quorvel::ast
