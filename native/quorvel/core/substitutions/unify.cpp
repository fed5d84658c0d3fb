// Most general unifiers of terms and of formulas.
//
// Robinson's algorithm over an explicit stack of pairs, with the bindings
// kept triangular while solving (a bound variable is followed to its term)
// and an occurs check at every binding. The answer is then made idempotent:
// each variable's term is resolved once, dependencies first, so applying
// the unifier in one pass gives the unified terms.
//
// Terms unify only within a sort: a variable takes a term of its own sort,
// and applications need equal symbols, arities and return sorts. Formulas
// unify by shape (same connective, unified parts); a quantified subformula
// unifies only with an equal one.
#include <vector>

#include "quorvel/core/substitutions/internal.h"
#include "quorvel/support/flat_map.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/ref.h"
#include "quorvel/support/py/set_table.h"
#include "quorvel/support/small_vector.h"

namespace quorvel::substitutions {

using ast::Kind;
using py::Ref;

namespace {

PyObject* args_of(PyObject* o, Kind k) {
    return k == Kind::FunctionApp ? ast::as_function_app(o)->args : ast::as_predicate_app(o)->args;
}

PyObject* sort_of(PyObject* term) { return reinterpret_cast<ast::TermObject*>(term)->sort; }

int same(PyObject* a, PyObject* b) { return a == b ? 1 : PyObject_RichCompareBool(a, b, Py_EQ); }

class Unifier {
public:
    explicit Unifier(bool explain) : explain_(explain) {}
    ~Unifier() {
        Py_XDECREF(why_);
        for (PyObject* o : held_) Py_DECREF(o);
    }

    // 1 unified, 0 not unifiable, -1 error.
    int solve(PyObject* a, PyObject* b) {
        pairs_.push_back({a, b});
        while (!pairs_.empty()) {
            auto [s, t] = pairs_.back();
            pairs_.pop_back();
            if (++steps_ % 4096 == 0 && PyErr_CheckSignals() < 0) return -1;
            s = deref(s);
            t = deref(t);
            if (!s || !t) return -1;
            if (s == t) continue;
            int r = step(s, t);
            if (r <= 0) return r;
        }
        return 1;
    }

    // The idempotent unifier as a new dict.
    PyObject* mgu() {
        size_t n = bindings_.size();
        SmallVector<PyObject*, 8> resolved;  // borrowed from held_
        resolved.assign(n, nullptr);
        Bindings done;  // resolved entries, in the order they are finished
        // Post-order over the dependencies of each binding.
        struct Work {
            size_t i;
            bool leaving;
        };
        SmallVector<Work, 16> work;
        SmallVector<char, 8> state;  // 0 new, 1 open, 2 done
        state.assign(n, 0);
        for (size_t root = n; root-- > 0;) {
            if (state[root]) continue;
            work.push_back({root, false});
            while (!work.empty()) {
                auto [i, leaving] = work.back();
                work.pop_back();
                if (leaving) {
                    PyObject* r = apply(bindings_[i].term, done);
                    if (!r) return nullptr;
                    held_.push_back(r);
                    resolved[i] = r;
                    if (!done.add(bindings_[i].var, r)) return nullptr;
                    state[i] = 2;
                    continue;
                }
                if (state[i]) continue;
                state[i] = 1;
                work.push_back({i, true});
                // The bound variables the term holds go first; the order
                // among them leaves each resolved term the same.
                bool failed = false;
                auto depend = [&](PyObject* v) {
                    Py_ssize_t j = bindings_.find(v);
                    if (j == -2) return !(failed = true);
                    if (j >= 0 && state[static_cast<size_t>(j)] == 0) work.push_back({static_cast<size_t>(j), false});
                    return true;
                };
                PyObject* term = bindings_[i].term;
                ast::Kind tk = ast::exact_kind_of(term);
                if (tk == Kind::Variable) {
                    depend(term);
                } else if (tk == Kind::FunctionApp && PyFrozenSet_CheckExact(ast::as_function_app(term)->free_vars)) {
                    py::for_each_set_member(ast::as_function_app(term)->free_vars,
                                            [&](PyObject* v, Py_hash_t) { return depend(v); });
                } else if (tk != Kind::Constant) {
                    Ref vars(ast::api().free_variables(term));
                    if (!vars) return nullptr;
                    Ref it(PyObject_GetIter(vars.get()));
                    if (!it) return nullptr;
                    while (PyObject* v = PyIter_Next(it.get())) {
                        bool ok = depend(v);
                        Py_DECREF(v);
                        if (!ok) break;
                    }
                    if (PyErr_Occurred()) return nullptr;
                }
                if (failed) return nullptr;
            }
        }
        Ref dict(PyDict_New());
        if (!dict) return nullptr;
        for (size_t i = 0; i < n; ++i)
            if (PyDict_SetItem(dict.get(), bindings_[i].var, resolved[i]) < 0) return nullptr;
        return dict.release();
    }

    PyObject* take_why() { return std::exchange(why_, nullptr); }

private:
    // Follows bound variables to their terms; NULL on error.
    PyObject* deref(PyObject* t) {
        while (ast::kind_of(t) == Kind::Variable) {
            Py_ssize_t i = bindings_.find(t);
            if (i == -2) return nullptr;
            if (i < 0) break;
            t = bindings_[static_cast<size_t>(i)].term;
        }
        return t;
    }

    int clash(const char* format, PyObject* s, PyObject* t) {
        if (explain_ && !why_) why_ = PyUnicode_FromFormat(format, s, t);
        return explain_ && !why_ ? -1 : 0;
    }

    int bind(PyObject* var, PyObject* term) {
        int r = same(sort_of(var), sort_of(term));
        if (r < 0) return -1;
        if (!r) return clash("Cannot unify %R with %R: their sorts differ", var, term);
        r = occurs(var, term);
        if (r < 0) return -1;
        if (r) return clash("Occurs check failed: %R occurs in %R", var, term);
        return bindings_.add(var, term) ? 1 : -1;
    }

    // 1 when `var` occurs in `term` once the bindings are followed.
    int occurs(PyObject* var, PyObject* term) {
        std::vector<PyObject*> stack{term};
        IdentityMap<bool> seen;
        while (!stack.empty()) {
            PyObject* o = stack.back();
            stack.pop_back();
            Kind k = ast::kind_of(o);
            if (k == Kind::Variable) {
                int eq = variables_equal(o, var);
                if (eq) return eq;
                Py_ssize_t i = bindings_.find(o);
                if (i == -2) return -1;
                if (i >= 0 && seen.insert(o, true).second) stack.push_back(bindings_[static_cast<size_t>(i)].term);
            } else if (k == Kind::FunctionApp) {
                PyObject* fv = ast::as_function_app(o)->free_vars;
                if (PyAnySet_Check(fv) && PySet_GET_SIZE(fv) == 0) continue;
                if (Py_REFCNT(o) > 1 && !seen.insert(o, true).second) continue;
                Ref items(PySequence_Fast(ast::as_function_app(o)->args, "args must be a sequence"));
                if (!items) return -1;
                for (Py_ssize_t i = 0, n = PySequence_Fast_GET_SIZE(items.get()); i < n; ++i)
                    stack.push_back(PySequence_Fast_GET_ITEM(items.get(), i));
            }
        }
        return 0;
    }

    // Pushes the argument pairs of two applications of equal symbols.
    int push_args(PyObject* s, PyObject* t, Kind k) {
        Ref xs(PySequence_Fast(args_of(s, k), "args must be a sequence"));
        Ref ys(PySequence_Fast(args_of(t, k), "args must be a sequence"));
        if (!xs || !ys) return -1;
        Py_ssize_t n = PySequence_Fast_GET_SIZE(xs.get());
        if (n != PySequence_Fast_GET_SIZE(ys.get())) return clash("Cannot unify %R with %R", s, t);
        for (Py_ssize_t i = n; i-- > 0;)
            pairs_.push_back({PySequence_Fast_GET_ITEM(xs.get(), i), PySequence_Fast_GET_ITEM(ys.get(), i)});
        if (xs.get() != args_of(s, k)) held_.push_back(xs.release());
        if (ys.get() != args_of(t, k)) held_.push_back(ys.release());
        return 1;
    }

    int step(PyObject* s, PyObject* t) {
        Kind ks = ast::kind_of(s), kt = ast::kind_of(t);
        if (ks == Kind::Variable && kt == Kind::Variable) {
            int eq = variables_equal(s, t);
            if (eq) return eq;
            return bind(s, t);
        }
        if (ks == Kind::Variable) return bind(s, t);
        if (kt == Kind::Variable) return bind(t, s);
        if (ks != kt) return clash("Cannot unify %R with %R", s, t);
        switch (ks) {
            case Kind::FunctionApp:
            case Kind::PredicateApp: {
                PyObject* sym_s = ks == Kind::FunctionApp ? ast::as_function_app(s)->func : ast::as_predicate_app(s)->pred;
                PyObject* sym_t = ks == Kind::FunctionApp ? ast::as_function_app(t)->func : ast::as_predicate_app(t)->pred;
                PyObject* ar_s = ks == Kind::FunctionApp ? ast::as_function_app(s)->arity : ast::as_predicate_app(s)->arity;
                PyObject* ar_t = ks == Kind::FunctionApp ? ast::as_function_app(t)->arity : ast::as_predicate_app(t)->arity;
                int r = same(sym_s, sym_t);
                if (r > 0) r = same(ar_s, ar_t);
                if (r > 0 && ks == Kind::FunctionApp)
                    r = same(ast::as_function_app(s)->return_sort, ast::as_function_app(t)->return_sort);
                if (r < 0) return -1;
                if (!r) return clash("Cannot unify %R with %R", s, t);
                return push_args(s, t, ks);
            }
            case Kind::Equality:
                pairs_.push_back({ast::as_equality(s)->right, ast::as_equality(t)->right});
                pairs_.push_back({ast::as_equality(s)->left, ast::as_equality(t)->left});
                return 1;
            case Kind::Not:
            case Kind::And:
            case Kind::Or:
            case Kind::Implies:
            case Kind::Iff: {
                PyObject *xs[2], *ys[2];
                int n = ast::formula_children(s, ks, xs);
                ast::formula_children(t, kt, ys);
                for (int i = n; i-- > 0;) pairs_.push_back({xs[i], ys[i]});
                return 1;
            }
            default: {  // constants, quantified formulas, anything else: equal or not
                int r = same(s, t);
                if (r < 0) return -1;
                return r ? 1 : clash("Cannot unify %R with %R", s, t);
            }
        }
    }

    bool explain_;
    PyObject* why_ = nullptr;
    Bindings bindings_;
    struct Pair {
        PyObject* s;
        PyObject* t;
    };
    SmallVector<Pair, 16> pairs_;
    SmallVector<PyObject*, 8> held_;
    uint64_t steps_ = 0;
};

}  // namespace

int unify_explained(PyObject* a, PyObject* b, bool terms, PyObject** mgu, PyObject** why) {
    return py::guard<int>(-1, [&]() -> int {
        bool ok = terms ? ast::is_term(a) && ast::is_term(b) : ast::is_formula(a) && ast::is_formula(b);
        if (!ok) {
            PyErr_Format(PyExc_TypeError, "%s expects two %s, got %S and %S", terms ? "unify_terms" : "unify_formulas",
                         terms ? "terms" : "formulas", reinterpret_cast<PyObject*>(Py_TYPE(a)),
                         reinterpret_cast<PyObject*>(Py_TYPE(b)));
            return -1;
        }
        Unifier u(why != nullptr);
        int r = u.solve(a, b);
        if (r < 0) return -1;
        if (r == 0) {
            if (why) *why = u.take_why();
            return 0;
        }
        *mgu = u.mgu();
        return *mgu ? 1 : -1;
    });
}

int unify_terms(PyObject* a, PyObject* b, PyObject** mgu) { return unify_explained(a, b, true, mgu, nullptr); }
int unify_formulas(PyObject* a, PyObject* b, PyObject** mgu) { return unify_explained(a, b, false, mgu, nullptr); }

}  // namespace quorvel::substitutions
