// DepthVisitor and SizeVisitor.
//
// The walks go top-down with an explicit work stack. A node with more than
// one holder is measured once per call and remembered by identity:
// results depend on the sub-tree alone, and a DAG such as a hundred rounds
// of x = And(x, x) has far more occurrences than objects (sizes beyond 64
// bits come back as Python ints).
#include <algorithm>
#include <cstdint>
#include <vector>

#include "quorvel/core/visitors/nodes.h"
#include "quorvel/support/flat_map.h"
#include "quorvel/support/prefetch.h"
#include "quorvel/support/spare.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/ref.h"

namespace quorvel::visitors {

using py::Ref;

namespace {

constexpr unsigned kSignalInterval = 4096;

// ---------------------------------------------------------------------------
// Name dispatch: 1 + max / 1 + sum over the children's own visits.

PyObject* one() { return Py_NewRef(state().one); }

PyObject* one_plus(PyObject* owned) {
    if (!owned) return nullptr;
    PyObject* r = PyNumber_Add(state().one, owned);
    Py_DECREF(owned);
    return r;
}

// The largest of `items` as builtin max picks it (the first of equals).
PyObject* largest(PyObject* const* items, Py_ssize_t n) {
    PyObject* best = items[0];
    for (Py_ssize_t i = 1; i < n; ++i) {
        int gt = PyObject_RichCompareBool(items[i], best, Py_GT);
        if (gt < 0) return nullptr;
        if (gt) best = items[i];
    }
    return Py_NewRef(best);
}

PyObject* visit_field(PyObject* self, PyObject* node, Field f) {
    Ref child(field(node, f));
    return child ? call_visit(self, child.get()) : nullptr;
}

// The visits of every argument, in order, into `out` (new references).
bool visit_args(PyObject* self, PyObject* node, std::vector<Ref>& out, bool& empty) {
    Ref args(field(node, Field::Args));
    if (!args) return false;
    int truth = PyObject_IsTrue(args.get());
    if (truth < 0) return false;
    empty = !truth;
    Ref items(args_tuple(args.get()));
    if (!items) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        out.emplace_back(call_visit(self, PyTuple_GET_ITEM(items.get(), i)));
        if (!out.back()) return false;
    }
    return true;
}

PyObject* depth_leaf(PyObject*, PyObject*) { return one(); }

PyObject* depth_app(PyObject* self, PyObject* node) {
    Ref args(field(node, Field::Args));
    if (!args) return nullptr;
    int truth = PyObject_IsTrue(args.get());
    if (truth <= 0) return truth < 0 ? nullptr : one();
    std::vector<Ref> results;
    bool empty;
    if (!visit_args(self, node, results, empty)) return nullptr;
    if (results.empty()) return PyErr_Format(PyExc_ValueError, "max() arg is an empty sequence");
    std::vector<PyObject*> items;
    for (Ref& r : results) items.push_back(r.get());
    return one_plus(largest(items.data(), static_cast<Py_ssize_t>(items.size())));
}

PyObject* depth_pair(PyObject* self, PyObject* node) {
    Ref l(visit_field(self, node, Field::Left));
    if (!l) return nullptr;
    Ref r(visit_field(self, node, Field::Right));
    if (!r) return nullptr;
    PyObject* items[] = {l.get(), r.get()};
    return one_plus(largest(items, 2));
}

PyObject* depth_not(PyObject* self, PyObject* node) { return one_plus(visit_field(self, node, Field::Operand)); }
PyObject* depth_quantifier(PyObject* self, PyObject* node) { return one_plus(visit_field(self, node, Field::Body)); }

// 1 + a + b, evaluated left to right as Python does.
PyObject* sum_onto(PyObject* owned_total, PyObject* owned_term) {
    if (!owned_total || !owned_term) {
        Py_XDECREF(owned_total);
        Py_XDECREF(owned_term);
        return nullptr;
    }
    PyObject* r = PyNumber_Add(owned_total, owned_term);
    Py_DECREF(owned_total);
    Py_DECREF(owned_term);
    return r;
}

PyObject* size_app(PyObject* self, PyObject* node) {
    std::vector<Ref> results;
    bool empty;
    if (!visit_args(self, node, results, empty)) return nullptr;
    PyObject* total = PyLong_FromLong(0);
    for (Ref& r : results) total = sum_onto(total, r.release());
    return one_plus(total);
}

PyObject* size_pair(PyObject* self, PyObject* node, Field a, Field b) {
    PyObject* total = one_plus(visit_field(self, node, a));
    if (!total) return nullptr;
    return sum_onto(total, visit_field(self, node, b));
}

PyObject* size_binary(PyObject* self, PyObject* node) { return size_pair(self, node, Field::Left, Field::Right); }
PyObject* size_first_order(PyObject* self, PyObject* node) {
    return size_pair(self, node, Field::Variable, Field::Body);
}
PyObject* size_not(PyObject* self, PyObject* node) { return one_plus(visit_field(self, node, Field::Operand)); }
PyObject* size_second_order(PyObject* self, PyObject* node) { return one_plus(visit_field(self, node, Field::Body)); }

// ---------------------------------------------------------------------------
// Native walks

// A count beyond 128 bits restarts the walk with Python ints.
struct Small {
    unsigned __int128 v = 0;
    static bool add(Small& a, const Small& b) { return !__builtin_add_overflow(a.v, b.v, &a.v); }
    static Small of(Py_ssize_t n) { return Small{static_cast<unsigned __int128>(n)}; }
    PyObject* python() const {
        uint64_t hi = static_cast<uint64_t>(v >> 64), lo = static_cast<uint64_t>(v);
        if (!hi) return PyLong_FromUnsignedLongLong(lo);
        Ref h(PyLong_FromUnsignedLongLong(hi)), l(PyLong_FromUnsignedLongLong(lo)), s(PyLong_FromLong(64));
        if (!h || !l || !s) return nullptr;
        Ref shifted(PyNumber_Lshift(h.get(), s.get()));
        return shifted ? PyNumber_Or(shifted.get(), l.get()) : nullptr;
    }
};

struct Big {
    Ref v;
    static bool add(Big& a, const Big& b) {
        if (!b.v) return false;
        if (!a.v) {
            a.v = b.v;
            return true;
        }
        a.v = Ref(PyNumber_Add(a.v.get(), b.v.get()));
        return static_cast<bool>(a.v);
    }
    static Big of(Py_ssize_t n) { return Big{Ref(PyLong_FromSsize_t(n))}; }
    PyObject* python() const { return Py_NewRef(v.get()); }
};

enum class Measure { Depth, Size };

// The children a measure visits, as a run of adjacent fields of the node
// (or of its argument tuple); `holder` keeps a converted argument sequence,
// and without one an argument sequence that is no tuple is refused (false,
// no error set).
[[gnu::always_inline]] inline bool children(Measure m, PyObject* o, Kind k, PyObject* const*& kids, Py_ssize_t& n,
                                            Py_ssize_t& first, std::vector<Ref>* holder) {
    first = 0;
    switch (k) {
        case Kind::FunctionApp:
        case Kind::PredicateApp: {
            PyObject* args = k == Kind::FunctionApp ? ast::as_function_app(o)->args : ast::as_predicate_app(o)->args;
            if (!holder && !PyTuple_Check(args)) return false;
            return argument_items(args, kids, n, *holder);
        }
        case Kind::Equality:
            kids = &ast::as_equality(o)->left;  // left, right
            n = 2;
            return true;
        case Kind::Not:
            kids = &ast::as_unary(o)->operand;
            n = 1;
            return true;
        case Kind::Forall:
        case Kind::Exists:
            if (m == Measure::Size) {
                kids = &ast::as_quantifier(o)->variable;  // variable, body
                n = 2;
            } else {
                kids = &ast::as_quantifier(o)->body;
                n = 1;
                first = 1;
            }
            return true;
        default:
            if (ast::is_binary(k)) {
                kids = &ast::as_binary(o)->left;
                n = 2;
            } else {
                kids = &ast::as_quantifier(o)->body;
                n = 1;
                first = 1;
            }
            return true;
    }
}

// Both walks go top-down over an explicit work stack: a node costs a pop
// and a push of its children. A shared node pushes an end mark under its
// children; at the mark what its sub-tree came to (its height, or its size)
// is remembered, and a later occurrence adds that at once.
//
// A walk first goes last child first. Trees are built children before
// parents, first child first, so that order meets the nodes at falling
// addresses, a stream the memory system fetches ahead; in the order of a
// recursive visitor a walk over a tree larger than the cache waits on
// almost every node. The results do not depend on the order, but the first
// error does, and so does the order in which other code runs: a reversed walk
// that meets a node of no node class, or an argument sequence that is no
// tuple (whose conversion runs its own code), gives up without an error set,
// and the walk is made again in the visitor's order.
template <bool Reverse>
class Walk {
public:
    // Whether the reversed walk gave up; the walk is to be made in order.
    bool gave_up = false;

protected:
    // A node to visit, or (node NULL) the end of the innermost open shared
    // node; `level` is the depth of the node (1 for the root).
    struct Item {
        PyObject* node;
        uint64_t level;
    };

    // The kind of `o`, or Kind::None with the error set (or the walk given
    // up); polls for signals.
    Kind kind(PyObject* o) {
        if (++steps_ % kSignalInterval == 0 && PyErr_CheckSignals() < 0) return Kind::None;
        Kind k = exact_kind(o);
        if (k == Kind::None) {
            if (Reverse) {
                gave_up = true;
            } else {
                unsupported(o);
            }
        }
        return k;
    }

    // Pushes the children of compound node `o` that are to be visited, in
    // the walk's order, and returns how many others there were: variables
    // and constants of exactly their classes, which are leaves that cannot
    // fail, so they are counted here without a trip through the stack. -1 on
    // error or when the walk gives up.
    [[gnu::always_inline]] Py_ssize_t expand(Measure m, PyObject* o, Kind k, uint64_t level) {
        PyObject* const* kids;
        Py_ssize_t n, first;
        if (!children(m, o, k, kids, n, first, Reverse ? nullptr : &holder_)) {
            gave_up = Reverse;
            return -1;
        }
        Py_ssize_t leaves = 0;
        auto take = [&](Py_ssize_t i) {
            if (plain_child(o, first + i, kids[i])) {
                ++leaves;
            } else {
                work_.push_back(Item{kids[i], level});
            }
        };
        if constexpr (Reverse) {
            for (Py_ssize_t i = 0; i < n; ++i) take(i);
        } else {
            for (Py_ssize_t i = n; i-- > 0;) take(i);
        }
        return leaves;
    }

    std::vector<Item> work_;
    SpareLease<Item> work_lease_{work_};
    std::vector<Ref> holder_;
    unsigned steps_ = 0;
};

// The depth: the deepest level of any node. A path in the tree passes
// distinct objects, so levels fit in 64 bits.
template <bool Reverse>
class DepthWalk : public Walk<Reverse> {
    using Base = Walk<Reverse>;
    using Base::expand;
    using Base::kind;
    using Base::work_;
    using typename Base::Item;

public:
    bool run(PyObject* root, uint64_t& out) {
        work_.push_back(Item{root, 1});
        while (!work_.empty()) {
            Item it = work_.back();
            work_.pop_back();
            PyObject* o = it.node;
            if (Reverse && o) prefetch_below(o);
            if (!o) {
                Open e = open_.back();
                open_.pop_back();
                memo_.insert(e.node, deepest_ - e.level + 1);
                deepest_ = std::max(deepest_, e.deepest_before);
                continue;
            }
            Kind k = kind(o);
            if (k == Kind::None) return false;
            if (k == Kind::Variable || k == Kind::Constant) {
                deepest_ = std::max(deepest_, it.level);
                continue;
            }
            if (Py_REFCNT(o) > 1) {
                if (const uint64_t* height = memo_.find(o)) {
                    deepest_ = std::max(deepest_, it.level + *height - 1);
                    continue;
                }
                open_.push_back(Open{o, it.level, deepest_});
                deepest_ = 0;
                work_.push_back(Item{nullptr, 0});
            }
            Py_ssize_t leaves = expand(Measure::Depth, o, k, it.level + 1);
            if (leaves < 0) return false;
            deepest_ = std::max(deepest_, it.level + (leaves > 0));
        }
        out = deepest_;
        return true;
    }

private:
    struct Open {
        PyObject* node;
        uint64_t level;
        uint64_t deepest_before;  // the deepest level outside the node
    };
    std::vector<Open> open_;
    IdentityMap<uint64_t> memo_;  // shared node -> its height
    uint64_t deepest_ = 0;        // of the innermost open shared node's sub-tree
};

// The size: one per node visited, a shared node's size added at once when
// met again; beyond 128 bits the walk restarts with Python ints.
template <class Num, bool Reverse>
class SizeWalk : public Walk<Reverse> {
    using Base = Walk<Reverse>;
    using Base::expand;
    using Base::kind;
    using Base::work_;
    using typename Base::Item;

public:
    // False with an exception set, or with `overflow` set.
    bool run(PyObject* root, Num& out) {
        work_.push_back(Item{root, 0});
        while (!work_.empty()) {
            Item it = work_.back();
            work_.pop_back();
            PyObject* o = it.node;
            if (Reverse && o) prefetch_below(o);
            if (!o) {
                if (!fold()) return overflow = true, false;
                Open e = std::move(open_.back());
                open_.pop_back();
                memo_.insert(e.node, count_);
                if (!Num::add(e.count_before, count_)) return overflow = true, false;
                count_ = std::move(e.count_before);
                continue;
            }
            Kind k = kind(o);
            if (k == Kind::None) return false;
            if (k != Kind::Variable && k != Kind::Constant && Py_REFCNT(o) > 1) {
                if (const Num* known = memo_.find(o)) {
                    if (!Num::add(count_, *known)) return overflow = true, false;
                    continue;
                }
                if (!fold()) return overflow = true, false;
                open_.push_back(Open{o, std::move(count_)});
                count_ = Num{};
                work_.push_back(Item{nullptr, 0});
            }
            ++met_;
            if (k == Kind::Variable || k == Kind::Constant) continue;
            Py_ssize_t leaves = expand(Measure::Size, o, k, 0);
            if (leaves < 0) return false;
            met_ += static_cast<uint64_t>(leaves);
        }
        if (!fold()) return overflow = true, false;
        out = std::move(count_);
        return true;
    }

    bool overflow = false;

private:
    struct Open {
        PyObject* node;
        Num count_before;  // the count outside the node
    };
    std::vector<Open> open_;
    // Adds the nodes met since the last fold to count_.
    bool fold() {
        bool ok = !met_ || Num::add(count_, Num::of(static_cast<Py_ssize_t>(met_)));
        met_ = 0;
        return ok;
    }

    IdentityMap<Num> memo_;  // shared node -> its size
    Num count_{};            // of the innermost open shared node's sub-tree, less met_
    uint64_t met_ = 0;       // nodes met since the last fold: no more than there are objects
};

// The measure by a walk in the order `Reverse` gives; NULL with `gave_up`
// set when a reversed walk gave up.
template <bool Reverse>
PyObject* measure_in_order(Measure m, PyObject* node, bool& gave_up) {
    if (m == Measure::Depth) {
        uint64_t depth;
        DepthWalk<Reverse> walk;
        if (walk.run(node, depth)) return PyLong_FromUnsignedLongLong(depth);
        gave_up = walk.gave_up;
        return nullptr;
    }
    Small small;
    SizeWalk<Small, Reverse> walk;
    if (walk.run(node, small)) return small.python();
    gave_up = walk.gave_up;
    if (gave_up || !walk.overflow) return nullptr;
    Big big;
    SizeWalk<Big, Reverse> again;
    if (again.run(node, big)) return big.python();
    gave_up = again.gave_up;
    return nullptr;
}

PyObject* measure(Measure m, PyObject* node) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        bool gave_up = false;
        PyObject* r = measure_in_order<true>(m, node, gave_up);
        return r || !gave_up ? r : measure_in_order<false>(m, node, gave_up);
    });
}

}  // namespace

PyObject* walk_depth(PyObject* node) { return measure(Measure::Depth, node); }
PyObject* walk_size(PyObject* node) { return measure(Measure::Size, node); }

const Method kDepthMethods[kNodeKinds] = {
    depth_leaf,  depth_leaf,  depth_app,   depth_app,        depth_pair,       depth_not,
    depth_pair,  depth_pair,  depth_pair,  depth_pair,       depth_quantifier, depth_quantifier,
    depth_quantifier, depth_quantifier, depth_quantifier, depth_quantifier,
};

const Method kSizeMethods[kNodeKinds] = {
    depth_leaf,        depth_leaf,        size_app,          size_app,         size_binary,      size_not,
    size_binary,       size_binary,       size_binary,       size_binary,      size_first_order, size_first_order,
    size_second_order, size_second_order, size_second_order, size_second_order,
};

}  // namespace quorvel::visitors
