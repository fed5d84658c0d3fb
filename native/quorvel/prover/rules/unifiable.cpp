// Robinson's algorithm over node identities, made more permissive than the
// unifier's so that each "no" is one the unifier gives too:
//  - variables are told apart by object (and side), so two equal Variable
//    objects count as two variables: that drops constraints, never adds any;
//  - sorts are not compared;
//  - a pair it does not know how to compare (symbols that are no str,
//    which renaming may change, nodes of other kinds, argument lists that
//    are no tuple) is taken as unifiable and not walked.
// Applications, constants and equalities are compared as the unifier does.
// Renaming a clause apart changes its variables only, so the test answers
// alike for a clause and for its renamed copy.
#include "quorvel/prover/rules/unifiable.h"

#include "quorvel/core/ast/api.h"

namespace quorvel::rules {

using ast::Kind;

namespace {

constexpr size_t kLinearBindings = 8;  // looked up by a scan up to this many

// 1 equal, 0 not, -1 error.
int same(PyObject* a, PyObject* b) { return a == b ? 1 : PyObject_RichCompareBool(a, b, Py_EQ); }

// 0 when two symbols differ for sure, 1 when they may be equal, -1 error.
int same_symbol(PyObject* a, PyObject* b) {
    if (a == b || !PyUnicode_CheckExact(a) || !PyUnicode_CheckExact(b)) return 1;
    return PyUnicode_Compare(a, b) == 0 ? 1 : (PyErr_Occurred() ? -1 : 0);
}

bool known(Kind k) { return k == Kind::Constant || k == Kind::FunctionApp || k == Kind::PredicateApp || k == Kind::Equality; }

bool no_variables(PyObject* fv) { return PyAnySet_Check(fv) && PySet_GET_SIZE(fv) == 0; }

// True when `node` holds no variable for sure.
bool ground(PyObject* node) {
    switch (ast::kind_of(node)) {
        case Kind::Constant:
            return true;
        case Kind::FunctionApp:
            return no_variables(ast::as_function_app(node)->free_vars);
        case Kind::PredicateApp:
            return no_variables(ast::as_predicate_app(node)->free_vars);
        case Kind::Equality:
            return no_variables(ast::as_equality(node)->free_vars);
        default:
            return false;
    }
}

}  // namespace

UnifiabilityTest::Binding* UnifiabilityTest::bound(Key var) {
    if (index_) {
        const uint32_t* i = index_->find(var);
        return i ? &bindings_[*i] : nullptr;
    }
    for (Binding& b : bindings_)
        if (b.var == var) return &b;
    return nullptr;
}

void UnifiabilityTest::bind(Key var, const Term& term) {
    bindings_.push_back(Binding{var, term, 0});
    if (!index_ && bindings_.size() > kLinearBindings) {
        index_.emplace();
        for (size_t i = 0; i < bindings_.size(); ++i) index_->insert(bindings_[i].var, static_cast<uint32_t>(i));
    } else if (index_) {
        index_->insert(var, static_cast<uint32_t>(bindings_.size() - 1));
    }
}

UnifiabilityTest::Term UnifiabilityTest::deref(Term t) {
    while (ast::kind_of(t.node) == Kind::Variable) {
        Binding* b = bound(key(t));
        if (!b) break;
        t = b->term;
    }
    return t;
}

// 1 when `var` occurs in `term` once bindings are followed, 0 not, -1 error.
int UnifiabilityTest::occurs(Key var, const Term& term) {
    ++stamp_;
    walk_.clear();
    walk_.push_back(term);
    while (!walk_.empty()) {
        Term t = walk_.back();
        walk_.pop_back();
        if (!tick()) return -1;
        Kind k = ast::kind_of(t.node);
        if (k == Kind::Variable) {
            if (key(t) == var) return 1;
            Binding* b = bound(key(t));
            if (b && b->stamp != stamp_) {
                b->stamp = stamp_;
                walk_.push_back(b->term);
            }
        } else if (k == Kind::FunctionApp) {
            ast::FunctionAppObject* f = ast::as_function_app(t.node);
            if (no_variables(f->free_vars) || !PyTuple_Check(f->args)) continue;
            for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(f->args); i < n; ++i)
                walk_.push_back(Term{PyTuple_GET_ITEM(f->args, i), t.side});
        }
    }
    return 0;
}

// Compares two dereferenced nodes: 0 clash, 1 go on, -1 error.
int UnifiabilityTest::step(const Term& s, const Term& t) {
    Kind ks = ast::kind_of(s.node), kt = ast::kind_of(t.node);
    if (ks == Kind::Variable || kt == Kind::Variable) {
        const Term& var = ks == Kind::Variable ? s : t;
        const Term& other = ks == Kind::Variable ? t : s;
        if (kt == ks && key(s) == key(t)) return 1;
        int r = occurs(key(var), other);
        if (r != 0) return r < 0 ? -1 : 0;
        bind(key(var), other);
        return 1;
    }
    if (!known(ks) || !known(kt)) return 1;
    if (ks != kt) return 0;
    auto push_args = [&](PyObject* xs, PyObject* ys) {
        if (!PyTuple_Check(xs) || !PyTuple_Check(ys)) return 1;
        Py_ssize_t n = PyTuple_GET_SIZE(xs);
        if (n != PyTuple_GET_SIZE(ys)) return 0;
        for (Py_ssize_t i = n; i-- > 0;)
            pairs_.emplace_back(Term{PyTuple_GET_ITEM(xs, i), s.side}, Term{PyTuple_GET_ITEM(ys, i), t.side});
        return 1;
    };
    switch (ks) {
        case Kind::Constant:
            return same(s.node, t.node);
        case Kind::FunctionApp: {
            ast::FunctionAppObject* f = ast::as_function_app(s.node);
            ast::FunctionAppObject* g = ast::as_function_app(t.node);
            int r = same_symbol(f->func, g->func);
            if (r > 0) r = same(f->arity, g->arity);
            if (r > 0) r = same(f->return_sort, g->return_sort);
            return r > 0 ? push_args(f->args, g->args) : r;
        }
        case Kind::PredicateApp: {
            ast::PredicateAppObject* p = ast::as_predicate_app(s.node);
            ast::PredicateAppObject* q = ast::as_predicate_app(t.node);
            int r = same_symbol(p->pred, q->pred);
            if (r > 0) r = same(p->arity, q->arity);
            return r > 0 ? push_args(p->args, q->args) : r;
        }
        default:  // Equality
            pairs_.emplace_back(Term{ast::as_equality(s.node)->right, s.side}, Term{ast::as_equality(t.node)->right, t.side});
            pairs_.emplace_back(Term{ast::as_equality(s.node)->left, s.side}, Term{ast::as_equality(t.node)->left, t.side});
            return 1;
    }
}

int UnifiabilityTest::operator()(PyObject* a, unsigned side_a, PyObject* b, unsigned side_b) {
    bindings_.clear();
    index_.reset();
    pairs_.clear();
    pairs_.emplace_back(Term{a, side_a}, Term{b, side_b});
    while (!pairs_.empty()) {
        auto [s, t] = pairs_.back();
        pairs_.pop_back();
        if (!tick()) return -1;
        s = deref(s);
        t = deref(t);
        // One node against itself: no constraint unless it holds variables
        // of two sides.
        if (s.node == t.node && (s.side == t.side || ground(s.node))) continue;
        int r = step(s, t);
        if (r <= 0) return r;
    }
    return 1;
}

}  // namespace quorvel::rules
