// TableauNode equality: the dataclass comparison (fields in order, the
// first unequal one decides; children lists by length, then item by item),
// run with an explicit stack of node pairs. A pair of nodes found equal is
// remembered for the rest of the call, so trees whose child lists share
// subtrees compare in time linear in their distinct nodes. Each open pair
// counts as one level of Python recursion, so a cycle (or a tree deeper
// than the recursion limit) ends in RecursionError as the recursive
// comparison does.
#include <set>
#include <utility>
#include <vector>

#include "quorvel/constructive/tableau/records.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/interrupt.h"

namespace quorvel::tableau {
namespace {

class NodeEquality {
public:
    ~NodeEquality() {
        for (size_t i = 0; i < stack_.size(); ++i) Py_LeaveRecursiveCall();
    }

    // 1, 0 or -1 with an exception set.
    int run(PyObject* a, PyObject* b) {
        if (!open(a, b)) return -1;
        while (!stack_.empty()) {
            if (!poll_.charge()) return -1;
            int r = step();
            if (r <= 0) return r;
        }
        return 1;
    }

private:
    struct Pair {
        Ref a, b;
        int field = 0;
        Ref left, right;  // the children lists, while they are compared
        Py_ssize_t i = 0;
    };

    bool open(PyObject* a, PyObject* b) {
        if (Py_EnterRecursiveCall(" in comparison")) return false;
        stack_.push_back(Pair{Ref::borrow(a), Ref::borrow(b)});
        return true;
    }

    void close() {
        Pair& p = stack_.back();
        equal_.emplace(p.a.get(), p.b.get());
        keep_.push_back(std::move(p.a));
        keep_.push_back(std::move(p.b));
        stack_.pop_back();
        Py_LeaveRecursiveCall();
    }

    // One field of the innermost pair, or one item of its children: 1 to go
    // on, 0 when unequal, -1 on error.
    int step() {
        Pair& p = stack_.back();
        if (p.field == kNodeFields) {
            close();
            return 1;
        }
        if (p.left) return step_children(p);
        Ref x = node_get(p.a.get(), static_cast<NodeField>(p.field));
        if (!x) return -1;
        Ref y = node_get(p.b.get(), static_cast<NodeField>(p.field));
        if (!y) return -1;
        if (p.field == kChildren && x.get() != y.get() && PyList_CheckExact(x.get()) && PyList_CheckExact(y.get())) {
            if (PyList_GET_SIZE(x.get()) != PyList_GET_SIZE(y.get())) return 0;
            p.left = std::move(x);
            p.right = std::move(y);
            return 1;
        }
        ++p.field;
        return PyObject_RichCompareBool(x.get(), y.get(), Py_EQ);
    }

    // As list_richcompare: items while both lists have them (a user __eq__
    // may change either), then the lengths.
    int step_children(Pair& p) {
        PyObject* l = p.left.get();
        PyObject* r = p.right.get();
        if (p.i >= PyList_GET_SIZE(l) || p.i >= PyList_GET_SIZE(r)) {
            bool same = PyList_GET_SIZE(l) == PyList_GET_SIZE(r);
            p.left = Ref();
            p.right = Ref();
            ++p.field;
            return same;
        }
        Ref x = Ref::borrow(PyList_GET_ITEM(l, p.i));
        Ref y = Ref::borrow(PyList_GET_ITEM(r, p.i));
        ++p.i;
        if (x.get() == y.get() || equal_.count({x.get(), y.get()})) return 1;
        if (is_exact_node(x.get()) && is_exact_node(y.get())) return open(x.get(), y.get()) ? 1 : -1;
        return PyObject_RichCompareBool(x.get(), y.get(), Py_EQ);
    }

    std::vector<Pair> stack_;
    std::set<std::pair<PyObject*, PyObject*>> equal_;  // held by keep_
    std::vector<Ref> keep_;
    py::SignalPoll poll_;
};

}  // namespace

PyObject* node_richcompare(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(a) != Py_TYPE(b)) Py_RETURN_NOTIMPLEMENTED;
    int equal = a == b ? 1 : py::guard<int>(-1, [&] { return NodeEquality().run(a, b); });
    if (equal < 0) return nullptr;
    return PyBool_FromLong(equal == (op == Py_EQ));
}

}  // namespace quorvel::tableau
