// quorvel.core.ast: registration only.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>

#include "quorvel/core/ast/internal.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace quorvel::ast {

namespace {

nb::object checked(PyObject* result) {
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

void init_variable_kind(nb::module_& m) {
    nb::object enum_type = nb::module_::import_("enum").attr("Enum");
    nb::list members;
    for (const char* name : {"INDIVIDUAL", "PREDICATE", "FUNCTION"}) members.append(nb::make_tuple(name, name));
    nb::object kind = enum_type("VariableKind", members, "module"_a = "quorvel.core.ast", "qualname"_a = "VariableKind");
    kind.attr("__doc__") = "How a variable is used.";
    m.attr("VariableKind") = kind;
    Api& api = state().api;
    int i = 0;
    for (const char* name : {"INDIVIDUAL", "PREDICATE", "FUNCTION"})
    {
        PyObject* member = kind.attr(name).inc_ref().ptr();  // held for the process lifetime
        api.variable_kinds[i] = member;
        state().variable_kind_hashes[i++] = nb::hash(nb::handle(member));
    }
}

// Gives each class an inspect.Signature as a dataclass __init__ shows it;
// text signatures cannot carry defaults such as VariableKind.INDIVIDUAL.
void set_signature(nb::handle type, Kind k) {
    nb::module_ inspect = nb::module_::import_("inspect");
    nb::object parameter = inspect.attr("Parameter");
    const quorvel::py::Signature& sig = constructor_signature(k);
    const Api& api = state().api;
    nb::list params;
    for (int i = 0; i < sig.positional + sig.keyword_only; ++i) {
        std::string name = sig.names[i];
        nb::object kind = i < sig.positional ? parameter.attr("POSITIONAL_OR_KEYWORD") : parameter.attr("KEYWORD_ONLY");
        nb::object p;
        if (i < sig.required) {
            p = parameter(name, kind);
        } else {
            nb::handle value = name == "kind" ? nb::handle(api.variable_kinds[0]) : nb::handle(api.ind);
            p = parameter(name, kind, "default"_a = value);
        }
        params.append(p);
    }
    nb::setattr(type, "__signature__", inspect.attr("Signature")(params));
}

PyTypeObject* new_quantifier_type_with_signature(const char* name, const char* module, Kind kind) {
    PyTypeObject* t = new_quantifier_type(name, module, kind);
    if (!t) return nullptr;
    try {
        set_signature(reinterpret_cast<PyObject*>(t), kind);
    } catch (nb::python_error& e) {
        e.restore();
        Py_DECREF(t);
        return nullptr;
    }
    return t;
}

PyObject* rebuild(PyObject*, PyObject* args) {
    PyObject *cls, *kwargs;
    if (!PyArg_ParseTuple(args, "OO!:_rebuild", &cls, &PyDict_Type, &kwargs)) return nullptr;
    PyObject* empty = PyTuple_New(0);
    if (!empty) return nullptr;
    PyObject* node = PyObject_Call(cls, empty, kwargs);
    Py_DECREF(empty);
    return node;
}

// The tree functions take any object, None included, and parse their one
// argument as a Python function does: a wrong keyword reads "got an
// unexpected keyword argument", not nanobind's list of overloads.
const char* const kNodeParam[] = {"node"};
const char* const kFormulaParam[] = {"formula"};
const quorvel::py::Signature kFreeVariables{"free_variables", kNodeParam, 1, 1, 0, false};
const quorvel::py::Signature kBoundVariables{"bound_variables", kNodeParam, 1, 1, 0, false};
const quorvel::py::Signature kFormulaDepth{"formula_depth", kFormulaParam, 1, 1, 0, false};
const quorvel::py::Signature kFormulaSize{"formula_size", kFormulaParam, 1, 1, 0, false};
const quorvel::py::Signature kCanonicalize{"canonicalize_bound_variables", kFormulaParam, 1, 1, 0, false};

template <PyObject* (*F)(PyObject*), const quorvel::py::Signature& S>
PyObject* tree_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* arg[1];
    if (!quorvel::py::parse_vector(S, args, PyVectorcall_NARGS(nargs), kwnames, arg)) return nullptr;
    return F(arg[0]);
}

template <PyObject* (*F)(PyObject*), const quorvel::py::Signature& S>
constexpr PyMethodDef tree_def(const char* doc) {
    return {S.function, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(tree_function<F, S>)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

PyMethodDef kTreeFunctions[] = {
    tree_def<free_variables, kFreeVariables>(R"doc(free_variables(node)
--

The variables that occur free in a term or formula, as a new set.

Raises:
    InvalidFormulaError: for a value that is no node ("Unsupported AST node type: ").)doc"),
    tree_def<bound_variables, kBoundVariables>(R"doc(bound_variables(node)
--

The variables that a Forall or Exists anywhere inside the node binds, as a new set.)doc"),
    tree_def<formula_depth, kFormulaDepth>(R"doc(formula_depth(formula)
--

The height of the formula tree; atoms are leaves and terms do not count.)doc"),
    tree_def<formula_size, kFormulaSize>(R"doc(formula_size(formula)
--

The number of formula and term nodes in the whole tree.)doc"),
    tree_def<canonicalize_bound_variables, kCanonicalize>(R"doc(canonicalize_bound_variables(formula)
--

Renames every first-order bound variable to 0, 1, 2, ... in the order its quantifier is
entered, skipping the identifiers of free variables. Idempotent; alpha-equivalent
formulas give equal results.)doc"),
};

void init_api(nb::module_& m) {
    Api& api = state().api;
    api.version = kApiVersion;
    api.new_unary = new_unary;
    api.new_binary = new_binary;
    api.new_quantifier = new_quantifier;
    api.new_predicate_app = new_predicate_app;
    api.new_equality = new_equality;
    api.new_function_app = new_function_app;
    api.new_variable = new_variable;
    api.new_constant = new_constant;
    api.new_quantifier_type = new_quantifier_type_with_signature;
    api.free_variables = free_variables;
    api.types[static_cast<int>(Kind::Term)] = api.term_type;
    api.types[static_cast<int>(Kind::Formula)] = api.formula_type;
    m.attr("_C_API") = checked(PyCapsule_New(&api, kCapsuleName, nullptr));
}

}  // namespace
}  // namespace quorvel::ast

NB_MODULE(ast, m) {
    using namespace quorvel::ast;
    m.doc() = "Terms and formulas of many-sorted first-order logic as immutable syntax trees.";
    State& s = state();
    api_slot() = &s.api;

    nb::module_ sorts = nb::module_::import_("quorvel.core.sorts");
    nb::module_ exceptions = nb::module_::import_("quorvel.core.exceptions");
    m.attr("Sort") = sorts.attr("Sort");
    s.api.ind = sorts.attr("Ind").inc_ref().ptr();
    s.api.invalid_formula_error = exceptions.attr("InvalidFormulaError").inc_ref().ptr();
    m.attr("Ind") = nb::handle(s.api.ind);
    m.attr("InvalidFormulaError") = nb::handle(s.api.invalid_formula_error);
    s.zero = PyLong_FromLong(0);
    s.empty_frozenset = PyFrozenSet_New(nullptr);

    init_variable_kind(m);
    if (!create_types(m.ptr())) throw nb::python_error();
    for (int k = 0; k <= static_cast<int>(Kind::Exists); ++k)
        set_signature(reinterpret_cast<PyObject*>(s.api.types[k]), static_cast<Kind>(k));
    set_signature(reinterpret_cast<PyObject*>(s.api.term_type), Kind::Term);
    set_signature(reinterpret_cast<PyObject*>(s.api.formula_type), Kind::Formula);

    for (PyMethodDef& def : kTreeFunctions) {
        PyObject* f = PyCFunction_NewEx(&def, nullptr, nb::str("quorvel.core.ast").ptr());
        if (!f) throw nb::python_error();
        m.attr(def.ml_name) = nb::steal(f);
    }

    // A plain builtin function, which pickle finds again by its name.
    static PyMethodDef rebuild_def = {"_rebuild", rebuild, METH_VARARGS, "Rebuilds a pickled node: cls(**kwargs)."};
    s.rebuild = PyCFunction_NewEx(&rebuild_def, nullptr, nb::str("quorvel.core.ast").ptr());
    if (!s.rebuild) throw nb::python_error();
    m.attr("_rebuild") = nb::handle(s.rebuild);

    init_api(m);
}
