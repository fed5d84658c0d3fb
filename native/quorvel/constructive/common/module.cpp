// quorvel.constructive.common: falsum, verum and the helpers the
// intuitionistic provers share. The work is done by support/py/constructive,
// which the provers also call natively.
#include <nanobind/nanobind.h>

#include "quorvel/constructive/common/weight.h"
#include "quorvel/core/ast/api.h"
#include "quorvel/support/py/constructive.h"

namespace nb = nanobind;

namespace {

PyObject* truth(int r) {
    if (r < 0) return nullptr;
    return Py_NewRef(r ? Py_True : Py_False);
}

PyObject* py_is_falsum(PyObject*, PyObject* formula) { return truth(quorvel::py::is_falsum(formula)); }
PyObject* py_is_verum(PyObject*, PyObject* formula) { return truth(quorvel::py::is_verum(formula)); }
PyObject* py_is_atomic(PyObject*, PyObject* formula) { return truth(quorvel::py::is_atomic(formula)); }
PyObject* py_normalize_formula(PyObject*, PyObject* formula) { return quorvel::py::normalize_formula(formula); }
PyObject* py_formula_weight(PyObject*, PyObject* formula) { return quorvel::common::formula_weight(formula); }

PyMethodDef kFunctions[] = {
    {"_is_falsum", py_is_falsum, METH_O,
     "_is_falsum(formula, /)\n--\n\nWhether `formula` equals FALSUM (the atom named \"_bot\")."},
    {"_is_verum", py_is_verum, METH_O,
     "_is_verum(formula, /)\n--\n\nWhether `formula` equals VERUM (the atom named \"_top\")."},
    {"_is_atomic", py_is_atomic, METH_O,
     "_is_atomic(formula, /)\n--\n\nWhether `formula` is a predicate application (FALSUM and VERUM included).\n"
     "Equations and quantified formulas are not atomic."},
    {"normalize_formula", py_normalize_formula, METH_O,
     R"doc(normalize_formula(formula, /)
--

An intuitionistically equivalent formula without Not or Iff.

Not A becomes A => FALSUM and A <=> B becomes (A => B) & (B => A), at any
depth (quantifier bodies included). A formula built only from atoms, And, Or
and Implies comes back as the same object, so the result of a call is
returned unchanged by the next. Rebuilt nodes are of the base node classes.

Args:
    formula: any formula; values that are no formula are returned unchanged.

Returns:
    The normalised formula.)doc"},
    {"_formula_weight", py_formula_weight, METH_O,
     "_formula_weight(formula, /)\n--\n\nThe number of formula nodes of `formula` counted as a tree (atoms and\n"
     "equations count 1; terms are not counted)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

NB_MODULE(common, m) {
    m.doc() = "Falsum, verum and the formula helpers shared by the intuitionistic provers.";
    if (quorvel::ast::import_api() < 0) throw nb::python_error();
    PyObject* falsum = quorvel::py::make_falsum();
    if (!falsum) throw nb::python_error();
    m.attr("FALSUM") = nb::steal(falsum);
    PyObject* verum = quorvel::py::make_verum();
    if (!verum) throw nb::python_error();
    m.attr("VERUM") = nb::steal(verum);
    nb::object name = nb::str("quorvel.constructive.common");
    for (PyMethodDef* def = kFunctions; def->ml_name; ++def) {
        PyObject* f = PyCFunction_NewEx(def, nullptr, name.ptr());
        if (!f) throw nb::python_error();
        m.attr(def->ml_name) = nb::steal(f);
    }
}
