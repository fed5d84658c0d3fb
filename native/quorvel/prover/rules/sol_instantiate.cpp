// SOLInstantiateRule.match_and_instantiate. The second-order modules and
// to_cnf are imported on every call, so the rules module loads without them.
//
// Before the conclusion's body is matched against the goal's, the goal's
// bound variable is renamed to the conclusion's (capture-avoiding, when the
// sorts agree and the name is free to take): the template is abstracted over
// the conclusion's variable, so matching the goal under a variable of its own
// would give an instance that says nothing about the goal.
#include "quorvel/core/ast/api.h"
#include "quorvel/core/substitutions/api.h"
#include "quorvel/prover/rules/rule_record.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/ref.h"

namespace quorvel::rules {

using ast::Kind;
using py::Ref;

namespace {

// `from module import name`: a new reference, or NULL with ImportError.
PyObject* import_name(const char* module, const char* name) {
    Ref m(PyImport_ImportModule(module));
    if (!m) return nullptr;
    PyObject* value = PyObject_GetAttrString(m.get(), name);
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
    }
    return value;
}

struct Imports {
    Ref forall_pred, exists_pred, predicate_variable, ho_pattern_unify, substitute_predicate, instantiate_induction,
        to_cnf;
    bool load() {
        return (forall_pred = Ref(import_name("quorvel.sol.ast_ext", "ForallPred"))) &&
               (exists_pred = Ref(import_name("quorvel.sol.ast_ext", "ExistsPred"))) &&
               (predicate_variable = Ref(import_name("quorvel.sol.ast_ext", "PredicateVariable"))) &&
               (ho_pattern_unify = Ref(import_name("quorvel.sol.substitutions_ext", "ho_pattern_unify"))) &&
               (substitute_predicate = Ref(import_name("quorvel.sol.substitutions_ext", "substitute_predicate"))) &&
               (instantiate_induction = Ref(import_name("quorvel.sol.kb_ext", "instantiate_induction"))) &&
               (to_cnf = Ref(import_name("quorvel.prover.clausifier", "to_cnf")));
    }
};

// Appends the clauses of to_cnf(instance, signature=signature).
bool add_clauses(const Imports& im, PyObject* instance, PyObject* signature, PyObject* clauses) {
    Ref args(PyTuple_Pack(1, instance));
    Ref kwargs(Py_BuildValue("{sO}", "signature", signature));
    if (!args || !kwargs) return false;
    Ref found(PyObject_Call(im.to_cnf.get(), args.get(), kwargs.get()));
    if (!found) return false;
    Ref it(PyObject_GetIter(found.get()));
    if (!it) return false;
    while (PyObject* c = PyIter_Next(it.get())) {
        int r = PyList_Append(clauses, c);
        Py_DECREF(c);
        if (r < 0) return false;
    }
    return !PyErr_Occurred();
}

// The value stored for p_var in a true unifier; NULL with no exception when
// there is none.
PyObject* lookup(PyObject* subst, PyObject* p_var) {
    int truth = PyObject_IsTrue(subst);
    if (truth <= 0) return nullptr;
    int has = PySequence_Contains(subst, p_var);
    if (has <= 0) return nullptr;
    return PyObject_GetItem(subst, p_var);
}

// The goal's body with its variable renamed to `v` when that is sound.
PyObject* goal_body_over(PyObject* goal, PyObject* v) {
    PyObject* gv = ast::as_quantifier(goal)->variable;
    PyObject* body = ast::as_quantifier(goal)->body;
    if (ast::kind_of(gv) != Kind::Variable || ast::kind_of(v) != Kind::Variable) return Py_NewRef(body);
    int eq = PyObject_RichCompareBool(gv, v, Py_EQ);
    if (eq != 0) return eq < 0 ? nullptr : Py_NewRef(body);
    int sorts = PyObject_RichCompareBool(ast::as_variable(gv)->term.sort, ast::as_variable(v)->term.sort, Py_EQ);
    if (sorts <= 0) return sorts < 0 ? nullptr : Py_NewRef(body);
    Ref free(ast::api().free_variables(body));
    if (!free) return nullptr;
    int taken = PySet_Contains(free.get(), v);
    if (taken != 0) return taken < 0 ? nullptr : Py_NewRef(body);
    Ref mapping(PyDict_New());
    if (!mapping || PyDict_SetItem(mapping.get(), gv, v) < 0) return nullptr;
    return substitutions::api().substitute_formula(body, mapping.get());
}

PyObject* call(PyObject* f, PyObject* a, PyObject* b, PyObject* bound_vars = nullptr) {
    Ref args(PyTuple_Pack(2, a, b));
    if (!args) return nullptr;
    Ref kwargs(bound_vars ? Py_BuildValue("{sO}", "bound_vars", bound_vars) : nullptr);
    if (bound_vars && !kwargs) return nullptr;
    return PyObject_Call(f, args.get(), kwargs.get());
}

}  // namespace

PyObject* match_and_instantiate(PyObject* axiom, PyObject* goal, PyObject* signature) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        Imports im;
        if (!im.load()) return nullptr;
        Ref clauses(PyList_New(0));
        if (!clauses) return nullptr;
        bool goal_forall = ast::kind_of(goal) == Kind::Forall;
        int is_axiom = PyObject_IsInstance(axiom, im.forall_pred.get());
        if (is_axiom < 0) return nullptr;
        if (is_axiom) {
            Ref p_var(PyObject_GetAttrString(axiom, "variable"));
            Ref body(PyObject_GetAttrString(axiom, "body"));
            if (!p_var || !body) return nullptr;
            PyObject* conc = ast::kind_of(body.get()) == Kind::Implies ? ast::as_binary(body.get())->right : body.get();
            // Case 1: both universally quantified.
            if (ast::kind_of(conc) == Kind::Forall && goal_forall) {
                PyObject* cv = ast::as_quantifier(conc)->variable;
                Ref goal_body(goal_body_over(goal, cv));
                Ref bound(PySet_New(nullptr));
                if (!goal_body || !bound || PySet_Add(bound.get(), cv) < 0) return nullptr;
                Ref subst(call(im.ho_pattern_unify.get(), ast::as_quantifier(conc)->body, goal_body.get(), bound.get()));
                if (!subst) return nullptr;
                Ref value(lookup(subst.get(), p_var.get()));
                if (PyErr_Occurred()) return nullptr;
                if (value) {
                    PyObject* tmpl = PyTuple_Check(value.get()) ? PyTuple_GetItem(value.get(), 1) : value.get();
                    if (!tmpl) return nullptr;
                    Ref params(PyTuple_Pack(1, cv));
                    Ref pair(params ? PyTuple_Pack(2, params.get(), tmpl) : nullptr);
                    Ref mapping(pair ? PyDict_New() : nullptr);
                    if (!mapping || PyDict_SetItem(mapping.get(), p_var.get(), pair.get()) < 0) return nullptr;
                    Ref instance(call(im.substitute_predicate.get(), body.get(), mapping.get()));
                    if (!instance || !add_clauses(im, instance.get(), signature, clauses.get())) return nullptr;
                    return clauses.release();
                }
            }
            // Case 2: the whole conclusion against the whole goal.
            Ref subst(call(im.ho_pattern_unify.get(), conc, goal));
            if (!subst) return nullptr;
            Ref value(lookup(subst.get(), p_var.get()));
            if (PyErr_Occurred()) return nullptr;
            if (value) {
                Ref mapping(PyDict_New());
                if (!mapping || PyDict_SetItem(mapping.get(), p_var.get(), value.get()) < 0) return nullptr;
                Ref instance(call(im.substitute_predicate.get(), body.get(), mapping.get()));
                if (!instance || !add_clauses(im, instance.get(), signature, clauses.get())) return nullptr;
                return clauses.release();
            }
        }
        // Case 3: induction on the goal.
        if (goal_forall) {
            Ref instance(call(im.instantiate_induction.get(), ast::as_quantifier(goal)->body,
                              ast::as_quantifier(goal)->variable));
            if (!instance || !add_clauses(im, instance.get(), signature, clauses.get())) return nullptr;
        }
        return clauses.release();
    });
}

}  // namespace quorvel::rules
