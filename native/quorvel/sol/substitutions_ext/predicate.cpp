// Predicate substitution with beta-reduction: each application P(t1..tk) of
// a mapped predicate variable P becomes its template with the parameters
// replaced by t1..tk (capture-avoiding). A second-order quantifier over P
// hides P below it; a first-order quantifier over a variable that a template
// holds free is renamed to a fresh variable first, so the template's
// variable is not captured. The walk keeps its own stack; unchanged parts
// come back as the same objects.
#include <vector>

#include "quorvel/core/ast/api.h"
#include "quorvel/core/substitutions/api.h"
#include "quorvel/sol/substitutions_ext/pattern.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/ref.h"

namespace quorvel::sol {

using ast::Kind;
using py::Ref;

namespace {

// The instance of the value `value` (a template, or (parameters, template))
// at the arguments of `app`. New reference or NULL.
PyObject* instance(PyObject* app, PyObject* value) {
    PyObject* args = ast::as_predicate_app(app)->args;
    PyObject* params = nullptr;
    PyObject* tmpl = value;
    if (PyTuple_Check(value) && PyTuple_GET_SIZE(value) >= 2) {
        params = PyTuple_GET_ITEM(value, 0);
        tmpl = PyTuple_GET_ITEM(value, 1);
    }
    Ref param_items(params ? PySequence_Tuple(params) : PyTuple_New(0));
    Ref arg_items(PySequence_Tuple(args));
    if (!param_items || !arg_items) return nullptr;
    Py_ssize_t k = PyTuple_GET_SIZE(param_items.get());
    if (k != PyTuple_GET_SIZE(arg_items.get())) {
        PyErr_Format(PyExc_ValueError, "%R is applied to %zd arguments, its template takes %zd",
                     ast::as_predicate_app(app)->pred, PyTuple_GET_SIZE(arg_items.get()), k);
        return nullptr;
    }
    if (k == 0) return Py_NewRef(tmpl);
    Ref mapping(PyDict_New());
    if (!mapping) return nullptr;
    for (Py_ssize_t i = 0; i < k; ++i)
        if (PyDict_SetItem(mapping.get(), PyTuple_GET_ITEM(param_items.get(), i), PyTuple_GET_ITEM(arg_items.get(), i)) < 0)
            return nullptr;
    return substitutions::api().substitute_formula(tmpl, mapping.get());
}

}  // namespace

PyObject* substitute_predicate(PyObject* formula, PyObject* mapping) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!PyDict_Check(mapping)) {
            PyErr_Format(PyExc_TypeError, "mapping must be a dict, got %S", reinterpret_cast<PyObject*>(Py_TYPE(mapping)));
            return nullptr;
        }
        // The variables the templates hold free, besides their parameters.
        Ref template_free(PySet_New(nullptr));
        if (!template_free) return nullptr;
        long long top = -1;
        if (substitutions::api().max_variable_id(formula, &top) < 0) return nullptr;
        {
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            while (PyDict_Next(mapping, &pos, &key, &value)) {
                PyObject* tmpl = PyTuple_Check(value) && PyTuple_GET_SIZE(value) >= 2 ? PyTuple_GET_ITEM(value, 1) : value;
                Ref fv(ast::api().free_variables(tmpl));
                if (!fv) return nullptr;
                long long t = -1;
                if (substitutions::api().max_variable_id(tmpl, &t) < 0) return nullptr;
                if (t > top) top = t;
                if (PyTuple_Check(value) && PyTuple_GET_SIZE(value) >= 2) {
                    Ref params(PySequence_Tuple(PyTuple_GET_ITEM(value, 0)));
                    if (!params) return nullptr;
                    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(params.get()); ++i)
                        if (PySet_Discard(fv.get(), PyTuple_GET_ITEM(params.get(), i)) < 0) return nullptr;
                }
                Ref merged(PyNumber_InPlaceOr(template_free.get(), fv.get()));
                if (!merged) return nullptr;
            }
        }
        long long next_id = top + 1;
        struct Item {
            PyObject* node;
            bool exit;
            PyObject* variable;  // at the exit of a renamed quantifier: its new variable
        };
        std::vector<Item> work{{formula, false, nullptr}};
        std::vector<PyObject*> held;  // renamed bodies and variables
        struct Hold {
            std::vector<PyObject*>& v;
            ~Hold() {
                for (PyObject* o : v) Py_DECREF(o);
            }
        } hold{held};
        std::vector<PyObject*> results;  // new references
        struct Release {
            std::vector<PyObject*>& v;
            ~Release() {
                for (PyObject* o : v) Py_DECREF(o);
            }
        } release{results};
        const ast::Api& a = ast::api();
        uint64_t steps = 0;
        while (!work.empty()) {
            Item it = work.back();
            work.pop_back();
            if (++steps % 4096 == 0 && PyErr_CheckSignals() < 0) return nullptr;
            PyObject* o = it.node;
            Kind k = ast::kind_of(o);
            if (!it.exit) {
                if (k == Kind::PredicateApp) {
                    PyObject* value = PyDict_GetItemWithError(mapping, ast::as_predicate_app(o)->pred);
                    if (!value && PyErr_Occurred()) return nullptr;
                    PyObject* r = value ? instance(o, value) : Py_NewRef(o);
                    if (!r) return nullptr;
                    results.push_back(r);
                    continue;
                }
                if (ast::is_second_order_quantifier(k)) {
                    int hidden = PyDict_Contains(mapping, ast::as_quantifier(o)->variable);
                    if (hidden < 0) return nullptr;
                    if (hidden) {
                        results.push_back(Py_NewRef(o));
                        continue;
                    }
                }
                if (ast::is_first_order_quantifier(k)) {
                    PyObject* v = ast::as_quantifier(o)->variable;
                    int clash = PySet_Contains(template_free.get(), v);
                    if (clash < 0) return nullptr;
                    if (clash && ast::kind_of(v) == Kind::Variable) {
                        Ref id(PyLong_FromLongLong(next_id++));
                        if (!id) return nullptr;
                        PyObject* fresh = a.new_variable(a.types[static_cast<int>(Kind::Variable)], id.get(),
                                                         ast::as_variable(v)->var_kind, ast::as_variable(v)->term.sort);
                        if (!fresh) return nullptr;
                        held.push_back(fresh);
                        Ref rename(PyDict_New());
                        if (!rename || PyDict_SetItem(rename.get(), v, fresh) < 0) return nullptr;
                        PyObject* body = substitutions::api().substitute_formula(ast::as_quantifier(o)->body, rename.get());
                        if (!body) return nullptr;
                        held.push_back(body);
                        work.push_back({o, true, fresh});
                        work.push_back({body, false, nullptr});
                        continue;
                    }
                }
                PyObject* kids[2];
                int n = ast::formula_children(o, k, kids);
                if (n == 0) {
                    results.push_back(Py_NewRef(o));
                    continue;
                }
                work.push_back({o, true, nullptr});
                for (int i = n; i-- > 0;) work.push_back({kids[i], false, nullptr});
                continue;
            }
            if (it.variable) {  // a renamed quantifier: always rebuilt
                PyObject* built = a.new_quantifier(a.types[static_cast<int>(k)], it.variable, results.back());
                Py_DECREF(results.back());
                results.pop_back();
                if (!built) return nullptr;
                results.push_back(built);
                continue;
            }
            PyObject* kids[2];
            int n = ast::formula_children(o, k, kids);
            PyObject** r = results.data() + results.size() - n;
            bool changed = false;
            for (int i = 0; i < n; ++i) changed = changed || r[i] != kids[i];
            PyObject* built;
            if (!changed) {
                built = Py_NewRef(o);
            } else if (k == Kind::Not) {
                built = a.new_unary(a.types[static_cast<int>(k)], r[0]);
            } else if (ast::is_binary(k)) {
                built = a.new_binary(a.types[static_cast<int>(k)], r[0], r[1]);
            } else {
                built = a.new_quantifier(a.types[static_cast<int>(k)], ast::as_quantifier(o)->variable, r[0]);
            }
            for (int i = 0; i < n; ++i) {
                Py_DECREF(results.back());
                results.pop_back();
            }
            if (!built) return nullptr;
            results.push_back(built);
        }
        PyObject* out = results.back();
        results.pop_back();
        return out;
    });
}

}  // namespace quorvel::sol
