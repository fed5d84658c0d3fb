#include "quorvel/core/substitutions/bindings.h"

#include <algorithm>

#include "quorvel/support/flat_map.h"

namespace quorvel::substitutions {

using ast::Kind;

namespace {

int fields_equal(PyObject* a, PyObject* b) {
    if (a == b) return 1;
    return PyObject_RichCompareBool(a, b, Py_EQ);
}

}  // namespace

int variables_equal(PyObject* a, PyObject* b) {
    if (a == b) return 1;
    if (ast::exact_kind_of(a) == Kind::Variable && ast::exact_kind_of(b) == Kind::Variable) {
        ast::VariableObject* x = ast::as_variable(a);
        ast::VariableObject* y = ast::as_variable(b);
        int r = fields_equal(x->id, y->id);
        if (r != 1) return r;
        r = fields_equal(x->var_kind, y->var_kind);
        if (r != 1) return r;
        return fields_equal(x->term.sort, y->term.sort);
    }
    return PyObject_RichCompareBool(a, b, Py_EQ);
}

bool Bindings::add(PyObject* var, PyObject* term) {
    Py_hash_t h = PyObject_Hash(var);
    if (h == -1) return false;
    entries_.push_back(Entry{h, var, term, true});
    return true;
}

Py_ssize_t Bindings::find(PyObject* var) const {
    if (entries_.empty()) return -1;
    Py_hash_t h = PyObject_Hash(var);
    if (h == -1) return -2;
    return find(var, h);
}

Py_ssize_t Bindings::find(PyObject* var, Py_hash_t hash) const {
    // Later entries win: a renaming made under a quantifier is pushed after
    // the bindings it hides.
    for (size_t i = entries_.size(); i-- > 0;) {
        const Entry& e = entries_[i];
        if (!e.active || e.hash != hash) continue;
        int r = variables_equal(var, e.var);
        if (r < 0) return -2;
        if (r) return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

bool Bindings::fill_from_dict(PyObject* mapping) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(mapping, &pos, &key, &value)) {
        if (ast::kind_of(key) != Kind::Variable) continue;
        if (!add(key, value)) return false;
    }
    return true;
}

bool max_variable_id(PyObject* node, long long& out) {
    out = -1;
    std::vector<PyObject*> stack{node};
    IdentityMap<bool> seen;  // shared nodes already walked
    while (!stack.empty()) {
        PyObject* o = stack.back();
        stack.pop_back();
        if (Py_REFCNT(o) > 1 && !seen.insert(o, true).second) continue;
        Kind k = ast::kind_of(o);
        switch (k) {
            case Kind::Variable: {
                int overflow = 0;
                long long id = PyLong_AsLongLongAndOverflow(ast::as_variable(o)->id, &overflow);
                if (id == -1 && PyErr_Occurred()) {
                    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
                    PyErr_Clear();
                    PyErr_Format(PyExc_TypeError, "variable id must be an int, got %S",
                                 reinterpret_cast<PyObject*>(Py_TYPE(ast::as_variable(o)->id)));
                    return false;
                }
                if (overflow) {
                    PyErr_SetString(PyExc_OverflowError, "variable id too large to rename apart");
                    return false;
                }
                out = std::max(out, id);
                break;
            }
            case Kind::FunctionApp:
            case Kind::PredicateApp: {
                PyObject* args = k == Kind::FunctionApp ? ast::as_function_app(o)->args : ast::as_predicate_app(o)->args;
                PyObject* fv = k == Kind::FunctionApp ? ast::as_function_app(o)->free_vars
                                                      : ast::as_predicate_app(o)->free_vars;
                if (fv && PyAnySet_Check(fv) && PySet_GET_SIZE(fv) == 0) break;
                PyObject* items = PySequence_Fast(args, "args must be a sequence");
                if (!items) return false;
                for (Py_ssize_t i = 0, n = PySequence_Fast_GET_SIZE(items); i < n; ++i)
                    stack.push_back(PySequence_Fast_GET_ITEM(items, i));  // kept alive by args
                Py_DECREF(items);
                break;
            }
            case Kind::Equality:
                stack.push_back(ast::as_equality(o)->left);
                stack.push_back(ast::as_equality(o)->right);
                break;
            default: {
                if (ast::is_first_order_quantifier(k)) stack.push_back(ast::as_quantifier(o)->variable);
                PyObject* kids[2];
                int n = ast::formula_children(o, k, kids);
                for (int i = 0; i < n; ++i) stack.push_back(kids[i]);
            }
        }
    }
    return true;
}

}  // namespace quorvel::substitutions
