// quorvel.core.parser: the formula printer to_string. The engine is
// support/py/printer, shared with every module that prints formulas.
#include <nanobind/nanobind.h>

#include "quorvel/core/ast/api.h"
#include "quorvel/support/py/args.h"
#include "quorvel/support/py/printer.h"

namespace nb = nanobind;

namespace {

constexpr const char* kUnsupportedNotation = "Unsupported notation: ";

const char* const kNames[] = {"formula", "notation"};
const quorvel::py::Signature kToString{"to_string", kNames, 2, 1, 0, false};

PyObject* to_string(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!quorvel::py::parse_vector(kToString, args, PyVectorcall_NARGS(nargs), kwnames, a)) return nullptr;
    quorvel::py::Notation notation = quorvel::py::Notation::Infix;
    if (a[1]) {
        // Only the two notations callers rely on are offered here; the
        // prefix form belongs to the export visitor.
        if (!quorvel::py::parse_notation(a[1], notation) || notation == quorvel::py::Notation::Prefix) {
            PyObject* shown = PyObject_Format(a[1], nullptr);
            if (!shown) return nullptr;
            PyErr_Format(PyExc_ValueError, "%s%U", kUnsupportedNotation, shown);
            Py_DECREF(shown);
            return nullptr;
        }
    }
    return quorvel::py::format_node(a[0], notation);
}

PyMethodDef kToStringDef = {
    "to_string", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(to_string)),
    METH_FASTCALL | METH_KEYWORDS,
    R"doc(to_string(formula, notation='infix')
--

The text of a term or formula, on one line.

Infix: atoms P(a, b) (a propositional atom as its bare name), variables v1,
"~A" (or "~(A)" around a binary connective), "(A & B)", "(A | B)",
"(A => B)", "(A <=> B)", "t = u", "forall v1 : S, A", "exists v1 : S, A".
LaTeX: the same shape with \neg, \land, \lor, \implies, \iff, \forall,
\exists and variables v_{1}. Falsum and verum are the atoms _bot and _top.

Args:
    formula: any term or formula of quorvel.core.ast (second-order
        quantifiers included).
    notation: "infix" or "latex".

Raises:
    ValueError: "Unsupported notation: " followed by any other notation.
    TypeError: "Unsupported AST node type: " followed by the class name of a
        value in the tree that is no node.)doc",
};

}  // namespace

NB_MODULE(parser, m) {
    m.doc() = "The formula printer.";
    if (quorvel::ast::import_api() < 0) throw nb::python_error();
    PyObject* f = PyCFunction_NewEx(&kToStringDef, nullptr, nb::str("quorvel.core.parser").ptr());
    if (!f) throw nb::python_error();
    m.attr("to_string") = nb::steal(f);
    nb::list all;
    all.append("to_string");
    m.attr("__all__") = all;
}
