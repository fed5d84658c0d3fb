// Higher-order pattern matching of a second-order pattern against a
// first-order formula.
//
// A pattern is a formula in which predicate variables may be applied to
// distinct variables that the pattern binds (by a quantifier above the
// application, or by being listed in `bound_vars`). Such an application
// P(x1, ..., xk) matches any formula t whose variables bound in the pattern
// are among x1..xk: P becomes the template t over the parameters (x1..xk),
// with the target's bound variables renamed to the pattern's. Everything else
// must agree node by node, quantifiers pairing their variables (of one sort).
// The walk keeps its own stack of node pairs.
#include <vector>

#include "quorvel/core/ast/api.h"
#include "quorvel/core/substitutions/api.h"
#include "quorvel/sol/substitutions_ext/pattern.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/ref.h"

namespace quorvel::sol {

using ast::Kind;
using py::Ref;

bool is_predicate_variable(PyObject* symbol) {
    return PyObject_TypeCheck(symbol, reinterpret_cast<PyTypeObject*>(state().predicate_variable_type));
}

namespace {

int same(PyObject* a, PyObject* b) { return a == b ? 1 : PyObject_RichCompareBool(a, b, Py_EQ); }

class Matcher {
public:
    explicit Matcher(PyObject* bound_vars) : bound_vars_(bound_vars) {}

    // 1 matched (result in `unifier_`), 0 no match, -1 error.
    int run(PyObject* pattern, PyObject* target) {
        unifier_ = Ref(PyDict_New());
        if (!unifier_) return -1;
        work_.push_back(Item{pattern, target, -1});
        while (!work_.empty()) {
            Item it = work_.back();
            work_.pop_back();
            int r = step(it);
            if (r <= 0) return r;
        }
        return 1;
    }

    PyObject* take() { return unifier_.release(); }

private:
    struct Item {
        PyObject* p;
        PyObject* t;
        int scope;  // innermost pairing of bound variables, or -1
    };
    struct Pairing {
        PyObject* pattern_var;
        PyObject* target_var;
        int parent;
    };

    // The pairing of pattern variable v in scope, or -1.
    int pairing_of_pattern(PyObject* v, int scope, int& error) {
        for (int s = scope; s >= 0; s = pairings_[s].parent) {
            int eq = same(pairings_[s].pattern_var, v);
            if (eq < 0) return error = -1;
            if (eq) return s;
        }
        return -1;
    }
    int pairing_of_target(PyObject* v, int scope, int& error) {
        for (int s = scope; s >= 0; s = pairings_[s].parent) {
            int eq = same(pairings_[s].target_var, v);
            if (eq < 0) return error = -1;
            if (eq) return s;
        }
        return -1;
    }

    // Terms agree, pattern-bound variables standing for their partners.
    int terms_agree(PyObject* p, PyObject* t, int scope) {
        std::vector<std::pair<PyObject*, PyObject*>> pairs{{p, t}};
        while (!pairs.empty()) {
            auto [x, y] = pairs.back();
            pairs.pop_back();
            Kind kx = ast::kind_of(x), ky = ast::kind_of(y);
            if (kx == Kind::Variable && ky == Kind::Variable) {
                int error = 0;
                int sx = pairing_of_pattern(x, scope, error);
                int sy = pairing_of_target(y, scope, error);
                if (error) return -1;
                if (sx != sy) return 0;
                if (sx >= 0) continue;
                int eq = same(x, y);
                if (eq <= 0) return eq;
                continue;
            }
            if (kx != ky) return 0;
            if (kx == Kind::FunctionApp) {
                ast::FunctionAppObject *f = ast::as_function_app(x), *g = ast::as_function_app(y);
                int eq = same(f->func, g->func);
                if (eq > 0) eq = same(f->arity, g->arity);
                if (eq > 0) eq = same(f->return_sort, g->return_sort);
                if (eq <= 0) return eq;
                if (!PyTuple_Check(f->args) || !PyTuple_Check(g->args) || PyTuple_GET_SIZE(f->args) != PyTuple_GET_SIZE(g->args))
                    return 0;
                for (Py_ssize_t i = PyTuple_GET_SIZE(f->args); i-- > 0;)
                    pairs.push_back({PyTuple_GET_ITEM(f->args, i), PyTuple_GET_ITEM(g->args, i)});
                continue;
            }
            int eq = same(x, y);
            if (eq <= 0) return eq;
        }
        return 1;
    }

    int args_agree(PyObject* xs, PyObject* ys, int scope) {
        if (!PyTuple_Check(xs) || !PyTuple_Check(ys) || PyTuple_GET_SIZE(xs) != PyTuple_GET_SIZE(ys)) return 0;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(xs); ++i) {
            int r = terms_agree(PyTuple_GET_ITEM(xs, i), PyTuple_GET_ITEM(ys, i), scope);
            if (r <= 0) return r;
        }
        return 1;
    }

    // P(x1..xk) against t.
    int bind(PyObject* app, PyObject* t, int scope) {
        PyObject* args = ast::as_predicate_app(app)->args;
        if (!PyTuple_Check(args)) return 0;
        Py_ssize_t k = PyTuple_GET_SIZE(args);
        // The arguments: distinct variables bound by the pattern.
        for (Py_ssize_t i = 0; i < k; ++i) {
            PyObject* x = PyTuple_GET_ITEM(args, i);
            if (ast::kind_of(x) != Kind::Variable) return 0;
            int error = 0;
            bool bound = pairing_of_pattern(x, scope, error) >= 0;
            if (error) return -1;
            if (!bound) {
                int in = bound_vars_ ? PySequence_Contains(bound_vars_, x) : 0;
                if (in < 0) return -1;
                bound = in;
            }
            if (!bound) return 0;
            for (Py_ssize_t j = 0; j < i; ++j) {
                int eq = same(PyTuple_GET_ITEM(args, j), x);
                if (eq) return eq < 0 ? -1 : 0;
            }
        }
        // The template: t with the target's bound variables renamed to
        // their pattern partners.
        Ref renaming(PyDict_New());
        if (!renaming) return -1;
        for (int s = scope; s >= 0; s = pairings_[s].parent) {
            int known = PyDict_Contains(renaming.get(), pairings_[s].target_var);
            if (known < 0) return -1;
            if (!known && PyDict_SetItem(renaming.get(), pairings_[s].target_var, pairings_[s].pattern_var) < 0)
                return -1;
        }
        Ref tmpl(PyDict_GET_SIZE(renaming.get()) ? substitutions::api().substitute_formula(t, renaming.get())
                                                  : Py_NewRef(t));
        if (!tmpl) return -1;
        // No variable bound in the pattern may escape but the parameters.
        Ref free(ast::api().free_variables(tmpl.get()));
        if (!free) return -1;
        for (int s = scope; s >= 0; s = pairings_[s].parent) {
            int in = PySet_Contains(free.get(), pairings_[s].pattern_var);
            if (in < 0) return -1;
            if (!in) continue;
            bool parameter = false;
            for (Py_ssize_t i = 0; i < k && !parameter; ++i) {
                int eq = same(PyTuple_GET_ITEM(args, i), pairings_[s].pattern_var);
                if (eq < 0) return -1;
                parameter = eq;
            }
            if (!parameter) return 0;
        }
        PyObject* symbol = ast::as_predicate_app(app)->pred;
        PyObject* known = PyDict_GetItemWithError(unifier_.get(), symbol);
        if (known) {
            // A second application of P must agree with the first binding.
            PyObject* params = PyTuple_GET_ITEM(known, 0);
            Ref mapping(PyDict_New());
            if (!mapping) return -1;
            for (Py_ssize_t i = 0; i < k; ++i)
                if (PyDict_SetItem(mapping.get(), PyTuple_GET_ITEM(params, i), PyTuple_GET_ITEM(args, i)) < 0) return -1;
            Ref instance(k ? substitutions::api().substitute_formula(PyTuple_GET_ITEM(known, 1), mapping.get())
                           : Py_NewRef(PyTuple_GET_ITEM(known, 1)));
            if (!instance) return -1;
            return same(instance.get(), tmpl.get());
        }
        if (PyErr_Occurred()) return -1;
        Ref entry(PyTuple_Pack(2, args, tmpl.get()));
        return entry && PyDict_SetItem(unifier_.get(), symbol, entry.get()) == 0 ? 1 : -1;
    }

    int step(const Item& it) {
        Kind kp = ast::kind_of(it.p), kt = ast::kind_of(it.t);
        if (kp == Kind::PredicateApp && is_predicate_variable(ast::as_predicate_app(it.p)->pred))
            return bind(it.p, it.t, it.scope);
        if (kp != kt) return 0;
        switch (kp) {
            case Kind::PredicateApp: {
                ast::PredicateAppObject *a = ast::as_predicate_app(it.p), *b = ast::as_predicate_app(it.t);
                int eq = same(a->pred, b->pred);
                if (eq > 0) eq = same(a->arity, b->arity);
                if (eq <= 0) return eq;
                return args_agree(a->args, b->args, it.scope);
            }
            case Kind::Equality: {
                int r = terms_agree(ast::as_equality(it.p)->left, ast::as_equality(it.t)->left, it.scope);
                if (r <= 0) return r;
                return terms_agree(ast::as_equality(it.p)->right, ast::as_equality(it.t)->right, it.scope);
            }
            case Kind::Forall:
            case Kind::Exists: {
                PyObject* pv = ast::as_quantifier(it.p)->variable;
                PyObject* tv = ast::as_quantifier(it.t)->variable;
                if (ast::kind_of(pv) != Kind::Variable || ast::kind_of(tv) != Kind::Variable) return same(it.p, it.t);
                int eq = same(ast::as_variable(pv)->term.sort, ast::as_variable(tv)->term.sort);
                if (eq <= 0) return eq;
                pairings_.push_back(Pairing{pv, tv, it.scope});
                work_.push_back(Item{ast::as_quantifier(it.p)->body, ast::as_quantifier(it.t)->body,
                                     static_cast<int>(pairings_.size() - 1)});
                return 1;
            }
            case Kind::Not:
            case Kind::And:
            case Kind::Or:
            case Kind::Implies:
            case Kind::Iff: {
                PyObject *xs[2], *ys[2];
                int n = ast::formula_children(it.p, kp, xs);
                ast::formula_children(it.t, kt, ys);
                for (int i = n; i-- > 0;) work_.push_back(Item{xs[i], ys[i], it.scope});
                return 1;
            }
            default:
                return same(it.p, it.t);
        }
    }

    PyObject* bound_vars_;
    Ref unifier_;
    std::vector<Item> work_;
    std::vector<Pairing> pairings_;
};

}  // namespace

PyObject* ho_pattern_unify(PyObject* pattern, PyObject* target, PyObject* bound_vars) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        Matcher m(bound_vars == Py_None ? nullptr : bound_vars);
        int r = m.run(pattern, target);
        if (r < 0) return nullptr;
        if (r == 0) Py_RETURN_NONE;
        return m.take();
    });
}

}  // namespace quorvel::sol
