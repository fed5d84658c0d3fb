#include "quorvel/core/visitors/function_binders.h"

#include <vector>

#include "quorvel/core/visitors/nodes.h"
#include "quorvel/support/flat_map.h"
#include "quorvel/support/py/ref.h"

namespace quorvel::visitors {

using py::Ref;

namespace {

constexpr unsigned kSignalInterval = 4096;

// Calls `use(symbol)` on the function symbol of every application reached
// from `root` through node fields; parts that are no nodes are skipped.
template <class Use>
bool each_function_symbol(PyObject* root, Use use) {
    std::vector<PyObject*> work{root};
    IdentityMap<bool> seen;
    std::vector<Ref> held;
    unsigned steps = 0;
    while (!work.empty()) {
        PyObject* o = work.back();
        work.pop_back();
        if (++steps % kSignalInterval == 0 && PyErr_CheckSignals() < 0) return false;
        Kind k = exact_kind(o);
        if (k == Kind::None || k == Kind::Variable || k == Kind::Constant) continue;
        if (Py_REFCNT(o) > 1 && !seen.insert(o, true).second) continue;
        PyObject* args = nullptr;
        if (k == Kind::FunctionApp) {
            if (!use(ast::as_function_app(o)->func)) return false;
            args = ast::as_function_app(o)->args;
        } else if (k == Kind::PredicateApp) {
            args = ast::as_predicate_app(o)->args;
        }
        if (args) {
            Ref items(args_tuple(args));
            if (!items) return false;
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) work.push_back(PyTuple_GET_ITEM(items.get(), i));
            held.push_back(std::move(items));
        } else if (k == Kind::Equality) {
            work.push_back(ast::as_equality(o)->left);
            work.push_back(ast::as_equality(o)->right);
        } else if (k == Kind::Not) {
            work.push_back(ast::as_unary(o)->operand);
        } else if (ast::is_binary(k)) {
            work.push_back(ast::as_binary(o)->left);
            work.push_back(ast::as_binary(o)->right);
        } else if (ast::is_quantifier(k)) {
            work.push_back(ast::as_quantifier(o)->body);
        }
    }
    return true;
}

bool is_function_variable(PyObject* o) {
    return reinterpret_cast<PyObject*>(Py_TYPE(o)) == state().function_variable;
}

// Raises the largest index of a function variable in `root` into `best`.
bool raise_index(PyObject* root, Ref& best) {
    return each_function_symbol(root, [&](PyObject* symbol) {
        if (!is_function_variable(symbol)) return true;
        Ref index(PyObject_GetAttr(symbol, state().s_index));
        if (!index) return false;
        if (!PyLong_Check(index.get())) return true;
        int gt = PyObject_RichCompareBool(index.get(), best.get(), Py_GT);
        if (gt < 0) return false;
        if (gt) best = index;
        return true;
    });
}

// `body` with the free applications of `from` rebuilt on `to`. A binder of
// `from` inside hides its body; parts that are no nodes stay as they are.
PyObject* rebind(PyObject* body, PyObject* from, PyObject* to) {
    struct Frame {
        PyObject* node;
        Kind kind;
        Ref kids;  // the children, as a tuple
        Py_ssize_t next = 0;
        size_t base;
    };
    std::vector<Frame> frames;
    std::vector<Ref> results;
    unsigned steps = 0;
    auto open = [&](PyObject* o) -> bool {
        if (++steps % kSignalInterval == 0 && PyErr_CheckSignals() < 0) return false;
        Kind k = exact_kind(o);
        Ref kids;
        switch (k) {
            case Kind::FunctionApp: kids = Ref(args_tuple(ast::as_function_app(o)->args)); break;
            case Kind::PredicateApp: kids = Ref(args_tuple(ast::as_predicate_app(o)->args)); break;
            case Kind::Equality:
                kids = Ref(PyTuple_Pack(2, ast::as_equality(o)->left, ast::as_equality(o)->right));
                break;
            case Kind::Not: kids = Ref(PyTuple_Pack(1, ast::as_unary(o)->operand)); break;
            case Kind::And:
            case Kind::Or:
            case Kind::Implies:
            case Kind::Iff: kids = Ref(PyTuple_Pack(2, ast::as_binary(o)->left, ast::as_binary(o)->right)); break;
            case Kind::ForallFunc:
            case Kind::ExistsFunc: {
                int hides = PyObject_RichCompareBool(ast::as_quantifier(o)->variable, from, Py_EQ);
                if (hides < 0) return false;
                if (hides) {
                    results.push_back(Ref::borrow(o));
                    return true;
                }
                kids = Ref(PyTuple_Pack(1, ast::as_quantifier(o)->body));
                break;
            }
            case Kind::Forall:
            case Kind::Exists:
            case Kind::ForallPred:
            case Kind::ExistsPred: kids = Ref(PyTuple_Pack(1, ast::as_quantifier(o)->body)); break;
            default: results.push_back(Ref::borrow(o)); return true;
        }
        if (!kids) return false;
        frames.push_back(Frame{o, k, std::move(kids), 0, results.size()});
        return true;
    };
    if (!open(body)) return nullptr;
    while (!frames.empty()) {
        Frame& f = frames.back();
        if (f.next < PyTuple_GET_SIZE(f.kids.get())) {
            PyObject* child = PyTuple_GET_ITEM(f.kids.get(), f.next++);
            if (!open(child)) return nullptr;
            continue;
        }
        PyObject* o = f.node;
        Kind k = f.kind;
        Py_ssize_t n = PyTuple_GET_SIZE(f.kids.get());
        std::vector<PyObject*> olds, news;
        bool changed = false;
        for (Py_ssize_t i = 0; i < n; ++i) {
            olds.push_back(PyTuple_GET_ITEM(f.kids.get(), i));
            news.push_back(results[f.base + i].get());
            changed = changed || olds.back() != news.back();
        }
        int renamed = 0;
        if (k == Kind::FunctionApp) {
            renamed = PyObject_RichCompareBool(ast::as_function_app(o)->func, from, Py_EQ);
            if (renamed < 0) return nullptr;
        }
        Ref out;
        const ast::Api& api = ast::api();
        if (!changed && !renamed) {
            out = Ref::borrow(o);
        } else if (k == Kind::FunctionApp || k == Kind::PredicateApp) {
            Ref args(PyTuple_New(n));
            if (!args) return nullptr;
            for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(args.get(), i, Py_NewRef(news[i]));
            if (k == Kind::FunctionApp) {
                auto* f_app = ast::as_function_app(o);
                out = Ref(api.new_function_app(node_type(k), renamed ? to : f_app->func, f_app->arity, args.get(),
                                               f_app->return_sort));
            } else {
                auto* p = ast::as_predicate_app(o);
                out = Ref(api.new_predicate_app(node_type(k), p->pred, p->arity, args.get()));
            }
        } else if (k == Kind::Equality) {
            out = Ref(api.new_equality(node_type(k), news[0], news[1]));
        } else if (k == Kind::Not) {
            out = Ref(api.new_unary(node_type(k), news[0]));
        } else if (ast::is_binary(k)) {
            out = Ref(api.new_binary(node_type(k), news[0], news[1]));
        } else {
            out = Ref(api.new_quantifier(node_type(k), ast::as_quantifier(o)->variable, news[0]));
        }
        if (!out) return nullptr;
        results.resize(frames.back().base);
        frames.pop_back();
        results.push_back(std::move(out));
    }
    return results.back().release();
}

}  // namespace

int applied_in(PyObject* binder, PyObject* values) {
    if (!is_function_variable(binder)) return 0;
    Ref items(PySequence_Tuple(values));
    if (!items) return -1;
    bool found = false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()) && !found; ++i) {
        bool ok = each_function_symbol(PyTuple_GET_ITEM(items.get(), i), [&](PyObject* symbol) {
            if (found) return true;
            int eq = PyObject_RichCompareBool(symbol, binder, Py_EQ);
            if (eq < 0) return false;
            found = eq;
            return true;
        });
        if (!ok) return -1;
    }
    return found;
}

bool rename_binder(PyObject* binder, PyObject* body, PyObject* values, PyObject** fresh, PyObject** renamed) {
    State& s = state();
    Ref best(PyObject_GetAttr(binder, s.s_index));
    if (!best) return false;
    if (!raise_index(body, best)) return false;
    Ref items(PySequence_Tuple(values));
    if (!items) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i)
        if (!raise_index(PyTuple_GET_ITEM(items.get(), i), best)) return false;
    Ref index(PyNumber_Add(best.get(), s.one));
    Ref name(PyObject_GetAttr(binder, s.s_name));
    Ref arity(PyObject_GetAttr(binder, s.s_arity));
    if (!index || !name || !arity) return false;
    Ref label(PyUnicode_FromFormat("%S_%S", name.get(), index.get()));
    if (!label) return false;
    Ref made(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(Py_TYPE(binder)), label.get(), index.get(),
                                          arity.get(), nullptr));
    if (!made) return false;
    Ref body2(rebind(body, binder, made.get()));
    if (!body2) return false;
    *fresh = made.release();
    *renamed = body2.release();
    return true;
}

}  // namespace quorvel::visitors
