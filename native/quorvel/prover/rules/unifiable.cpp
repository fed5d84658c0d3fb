// Variables match anything here and bindings are not followed, so every
// clash found is one the unifier meets too: it pushes the same argument
// pairs for the same applications and compares their symbols alike. The
// test only looks at non-variable nodes, which renaming a clause apart
// leaves as they are, so it may run on a clause before it is renamed.
// Symbols that are no str (symbol variables) and nodes of other kinds are
// never called a clash: renaming may change them.
#include "quorvel/prover/rules/unifiable.h"

#include "quorvel/core/ast/api.h"

namespace quorvel::rules {

using ast::Kind;

namespace {

// 1 equal, 0 not, -1 error.
int same(PyObject* a, PyObject* b) { return a == b ? 1 : PyObject_RichCompareBool(a, b, Py_EQ); }

// 0 when two symbols differ for sure, 1 when they may be equal, -1 error.
int same_symbol(PyObject* a, PyObject* b) {
    if (a == b || !PyUnicode_CheckExact(a) || !PyUnicode_CheckExact(b)) return 1;
    return PyUnicode_Compare(a, b) == 0 ? 1 : (PyErr_Occurred() ? -1 : 0);
}

// Pushes the argument pairs of two applications of one symbol; 0 when the
// argument counts differ, 1 when pushed, -1 error.
int push_args(PyObject* xs, PyObject* ys, PairStack& stack) {
    if (!PyTuple_Check(xs) || !PyTuple_Check(ys)) return 1;  // not walked: no clash claimed
    Py_ssize_t n = PyTuple_GET_SIZE(xs);
    if (n != PyTuple_GET_SIZE(ys)) return 0;
    for (Py_ssize_t i = n; i-- > 0;) stack.emplace_back(PyTuple_GET_ITEM(xs, i), PyTuple_GET_ITEM(ys, i));
    return 1;
}

int step(PyObject* s, PyObject* t, PairStack& stack) {
    Kind ks = ast::kind_of(s), kt = ast::kind_of(t);
    if (ks == Kind::Variable || kt == Kind::Variable) return 1;
    auto known = [](Kind k) {
        return k == Kind::Constant || k == Kind::FunctionApp || k == Kind::PredicateApp || k == Kind::Equality;
    };
    if (!known(ks) || !known(kt)) return 1;
    if (ks != kt) return 0;
    switch (ks) {
        case Kind::Constant:
            return same(s, t);
        case Kind::FunctionApp: {
            ast::FunctionAppObject* f = ast::as_function_app(s);
            ast::FunctionAppObject* g = ast::as_function_app(t);
            int r = same_symbol(f->func, g->func);
            if (r > 0) r = same(f->arity, g->arity);
            if (r > 0) r = same(f->return_sort, g->return_sort);
            return r > 0 ? push_args(f->args, g->args, stack) : r;
        }
        case Kind::PredicateApp: {
            ast::PredicateAppObject* p = ast::as_predicate_app(s);
            ast::PredicateAppObject* q = ast::as_predicate_app(t);
            int r = same_symbol(p->pred, q->pred);
            if (r > 0) r = same(p->arity, q->arity);
            return r > 0 ? push_args(p->args, q->args, stack) : r;
        }
        default:  // Equality
            stack.emplace_back(ast::as_equality(s)->right, ast::as_equality(t)->right);
            stack.emplace_back(ast::as_equality(s)->left, ast::as_equality(t)->left);
            return 1;
    }
}

}  // namespace

int may_unify(PyObject* a, PyObject* b, PairStack& stack) {
    stack.clear();
    stack.emplace_back(a, b);
    for (unsigned steps = 1; !stack.empty(); ++steps) {
        auto [s, t] = stack.back();
        stack.pop_back();
        if (steps % 4096 == 0 && PyErr_CheckSignals() < 0) {
            stack.clear();
            return -1;
        }
        if (s == t) continue;
        int r = step(s, t, stack);
        if (r <= 0) {
            stack.clear();
            return r;
        }
    }
    return 1;
}

}  // namespace quorvel::rules
