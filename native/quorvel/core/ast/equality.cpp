// Structural equality of nodes, walked with an explicit stack so that two
// million-deep trees compare without recursion.
#include <utility>
#include <vector>

#include "quorvel/core/ast/internal.h"
#include "quorvel/support/flat_map.h"
#include "quorvel/support/small_vector.h"

namespace quorvel::ast {
namespace {

using Pair = std::pair<PyObject*, PyObject*>;

struct PairHash {
    size_t operator()(const Pair& p) const {
        return static_cast<size_t>(mix64(reinterpret_cast<uintptr_t>(p.first) * 31 + reinterpret_cast<uintptr_t>(p.second)));
    }
};

// Both are nodes of one class whose equality is ours (not overridden in a
// Python subclass): only node classes carry this comparison slot.
bool compared_here(PyObject* x, PyObject* y, richcmpfunc ours) {
    PyTypeObject* t = Py_TYPE(x);
    return t == Py_TYPE(y) && t->tp_richcompare == ours;
}

}  // namespace

// Fields are compared in declaration order, depth first, stopping at the
// first unequal pair, as comparing the tuples of fields would. Every object
// on the stack is kept alive by the two trees, which nothing can change.
int nodes_equal(PyObject* a, PyObject* b) {
    struct Sides {
        PyObject* x;
        PyObject* y;
    };
    SmallVector<Sides, 32> stack;  // atoms of clauses compare without an allocation
    stack.push_back({a, b});
    FlatMap<Pair, bool, PairHash> shared_done(Pair{nullptr, nullptr});
    richcmpfunc ours = type_of_kind(Kind::Formula)->tp_richcompare;
    bool root = true;
    while (!stack.empty()) {
        auto [x, y] = stack.back();
        stack.pop_back();
        if (x == y) continue;
        if (root || compared_here(x, y, ours)) {
            root = false;
            Kind k = as_node(x)->kind;
            int n = field_count(k);
            bool cached = k == Kind::FunctionApp || k == Kind::PredicateApp || k == Kind::Equality;
            if (cached) {
                --n;  // _free_vars is no public field
            } else if (Py_REFCNT(x) > 1 && Py_REFCNT(y) > 1 && !shared_done.insert(Pair{x, y}, true).second) {
                // A shared pair met again needs no second look: its first
                // visit compares it (or finds the trees unequal).
                continue;
            }
            PyObject** fx = fields_of(x);
            PyObject** fy = fields_of(y);
            for (int i = n - 1; i >= 0; --i) stack.push_back({fx[i], fy[i]});
            continue;
        }
        if (PyTuple_CheckExact(x) && PyTuple_CheckExact(y)) {
            Py_ssize_t n = PyTuple_GET_SIZE(x);
            if (n != PyTuple_GET_SIZE(y)) return 0;
            for (Py_ssize_t i = n - 1; i >= 0; --i) stack.push_back({PyTuple_GET_ITEM(x, i), PyTuple_GET_ITEM(y, i)});
            continue;
        }
        int r = PyObject_RichCompareBool(x, y, Py_EQ);
        if (r <= 0) return r;
    }
    return 1;
}

}  // namespace quorvel::ast
