// ASTTransformer: bottom-up rebuild, unchanged sub-trees returned as they are.
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

PyObject* same(PyObject*, PyObject* node) { return Py_NewRef(node); }

// Visits the children named by `fields` in order, then rebuilds.
template <Kind K>
PyObject* rebuild_fields(PyObject* self, PyObject* node, std::initializer_list<Field> fields) {
    std::vector<Ref> olds, news;
    for (Field f : fields) {
        olds.emplace_back(field(node, f));
        if (!olds.back()) return nullptr;
        news.emplace_back(call_visit(self, olds.back().get()));
        if (!news.back()) return nullptr;
    }
    PyObject* o[2];
    PyObject* n[2];
    for (size_t i = 0; i < olds.size(); ++i) {
        o[i] = olds[i].get();
        n[i] = news[i].get();
    }
    bool unchanged = true;
    for (size_t i = 0; i < olds.size(); ++i) unchanged = unchanged && o[i] == n[i];
    if (unchanged) return Py_NewRef(node);
    // The fields passed on are read only for a node that is rebuilt.
    Kept kept;
    PyObject* owner[3] = {};
    PyObject* result = nullptr;
    if (read_kept(K, node, kept, owner)) result = rebuild(K, node, kept, o, n, static_cast<Py_ssize_t>(olds.size()));
    for (PyObject* p : owner) Py_XDECREF(p);
    return result;
}

template <Kind K>
PyObject* rebuild_app(PyObject* self, PyObject* node) {
    Ref args(field(node, Field::Args));
    if (!args) return nullptr;
    Ref items(args_tuple(args.get()));
    if (!items) return nullptr;
    Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    std::vector<Ref> news;
    std::vector<PyObject*> o, v;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* arg = PyTuple_GET_ITEM(items.get(), i);
        news.emplace_back(call_visit(self, arg));
        if (!news.back()) return nullptr;
        o.push_back(arg);
        v.push_back(news.back().get());
    }
    bool unchanged = true;
    for (Py_ssize_t i = 0; i < n && unchanged; ++i) unchanged = o[i] == v[i];
    if (unchanged) return Py_NewRef(node);
    Kept kept;
    PyObject* owner[3] = {};
    PyObject* result = nullptr;
    if (read_kept(K, node, kept, owner)) result = rebuild(K, node, kept, o.data(), v.data(), n);
    for (PyObject* p : owner) Py_XDECREF(p);
    return result;
}

template <Kind K>
PyObject* rebuild_pair(PyObject* self, PyObject* node) {
    return rebuild_fields<K>(self, node, {Field::Left, Field::Right});
}
template <Kind K>
PyObject* rebuild_first_order(PyObject* self, PyObject* node) {
    return rebuild_fields<K>(self, node, {Field::Variable, Field::Body});
}
template <Kind K>
PyObject* rebuild_second_order(PyObject* self, PyObject* node) {
    return rebuild_fields<K>(self, node, {Field::Body});
}
PyObject* rebuild_not(PyObject* self, PyObject* node) { return rebuild_fields<Kind::Not>(self, node, {Field::Operand}); }

// A plain transformer returns every tree of node classes as it is; the walk
// only has to meet every node, to refuse the ones of other classes where
// name dispatch would. It goes last child first, as the measures do
// (measure.cpp): a bad node or an argument sequence that is no tuple makes
// it give up (`gave_up`, no error set) and walk again in the visitor's
// order, which names the first bad node.
template <bool Reverse>
PyObject* check_tree(PyObject* root, bool& gave_up) {
    std::vector<PyObject*> work;
    SpareLease<PyObject*> lease(work);
    work.push_back(root);
    std::vector<Ref> held;
    IdentityMap<bool> seen;
    unsigned steps = 0;
    // Children that are plain leaves pass as they are: they are never
    // stacked. `i` is the child's place in its parent `o`.
    PyObject* o;
    auto push = [&](Py_ssize_t i, PyObject* child) {
        if (!plain_child(o, i, child)) work.push_back(child);
    };
    // Pushes the two children of a node with two so that they are met in
    // the walk's order.
    auto push_pair = [&](PyObject* const* pair) {
        if constexpr (Reverse) {
            push(0, pair[0]);
            push(1, pair[1]);
        } else {
            push(1, pair[1]);
            push(0, pair[0]);
        }
    };
    while (!work.empty()) {
        o = work.back();
        work.pop_back();
        if (Reverse) prefetch_below(o);
        if (++steps % kSignalInterval == 0 && PyErr_CheckSignals() < 0) return nullptr;
        Kind k = exact_kind(o);
        if (k == Kind::None) {
            if (Reverse) return gave_up = true, nullptr;
            return unsupported(o);
        }
        if (k == Kind::Variable || k == Kind::Constant) continue;
        if (Py_REFCNT(o) > 1 && !seen.insert(o, true).second) continue;
        switch (k) {
            case Kind::FunctionApp:
            case Kind::PredicateApp: {
                PyObject* args = k == Kind::FunctionApp ? ast::as_function_app(o)->args : ast::as_predicate_app(o)->args;
                if (Reverse && !PyTuple_Check(args)) return gave_up = true, nullptr;
                PyObject* const* items;
                Py_ssize_t n;
                if (!argument_items(args, items, n, held)) return nullptr;
                if constexpr (Reverse) {
                    for (Py_ssize_t i = 0; i < n; ++i) push(i, items[i]);
                } else {
                    for (Py_ssize_t i = n - 1; i >= 0; --i) push(i, items[i]);
                }
                break;
            }
            case Kind::Equality: push_pair(&ast::as_equality(o)->left); break;  // left, right
            case Kind::Not: work.push_back(ast::as_unary(o)->operand); break;
            case Kind::Forall:
            case Kind::Exists: push_pair(&ast::as_quantifier(o)->variable); break;  // variable, body
            default:
                if (ast::is_binary(k)) {
                    push_pair(&ast::as_binary(o)->left);  // left, right
                } else {
                    work.push_back(ast::as_quantifier(o)->body);
                }
        }
    }
    return Py_NewRef(root);
}

}  // namespace

PyObject* walk_transformer(PyObject* node) {
    return py::guard<PyObject*>(nullptr, [&] {
        bool gave_up = false;
        PyObject* r = check_tree<true>(node, gave_up);
        return r || !gave_up ? r : check_tree<false>(node, gave_up);
    });
}

const Method kTransformerMethods[kNodeKinds] = {
    same,
    same,
    rebuild_app<Kind::FunctionApp>,
    rebuild_app<Kind::PredicateApp>,
    rebuild_pair<Kind::Equality>,
    rebuild_not,
    rebuild_pair<Kind::And>,
    rebuild_pair<Kind::Or>,
    rebuild_pair<Kind::Implies>,
    rebuild_pair<Kind::Iff>,
    rebuild_first_order<Kind::Forall>,
    rebuild_first_order<Kind::Exists>,
    rebuild_second_order<Kind::ForallPred>,
    rebuild_second_order<Kind::ExistsPred>,
    rebuild_second_order<Kind::ForallFunc>,
    rebuild_second_order<Kind::ExistsFunc>,
};

}  // namespace quorvel::visitors
