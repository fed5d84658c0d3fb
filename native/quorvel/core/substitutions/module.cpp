// quorvel.core.substitutions: registration only.
#include <nanobind/nanobind.h>

#include "quorvel/core/ast/api.h"
#include "quorvel/core/substitutions/internal.h"
#include "quorvel/support/py/guard.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace quorvel::substitutions {

State& state() {
    static State s;
    return s;
}

namespace {

nb::object checked(PyObject* result) {
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

nb::object unify(nb::handle a, nb::handle b, bool terms) {
    PyObject* mgu = nullptr;
    PyObject* why = nullptr;
    int r = unify_explained(a.ptr(), b.ptr(), terms, &mgu, &why);
    if (r < 0) throw nb::python_error();
    if (r == 0) {
        PyErr_SetObject(state().api.unification_error, why);
        Py_XDECREF(why);
        throw nb::python_error();
    }
    return nb::steal(mgu);
}

}  // namespace
}  // namespace quorvel::substitutions

NB_MODULE(substitutions, m) {
    using namespace quorvel::substitutions;
    m.doc() = "Capture-avoiding substitution and most general unifiers of terms and formulas.";
    nb::module_::import_("quorvel.core.ast");
    if (quorvel::ast::import_api() < 0) throw nb::python_error();
    Api& api = state().api;
    api.unification_error = PyErr_NewExceptionWithDoc(
        "quorvel.core.substitutions.UnificationError",
        "Raised when two terms or formulas have no unifier (a symbol clash, a sort clash or a failed occurs check).",
        nullptr, nullptr);
    if (!api.unification_error) throw nb::python_error();
    m.attr("UnificationError") = nb::handle(api.unification_error);

    m.def("substitute_formula", [](nb::handle f, nb::handle mapping) { return checked(substitute_formula(f.ptr(), mapping.ptr())); },
          "formula"_a.none(), "mapping"_a.none(), nb::sig("def substitute_formula(formula: Formula, mapping: dict[Variable, Term]) -> Formula"),
          R"doc(Replaces every free occurrence of each variable of `mapping` by its term.

A quantifier hides the binding of its own variable, and is renamed to a
fresh variable when a substituted term would otherwise be captured. Parts
that nothing changes come back as the same objects; the mapping is left as
it is.)doc");
    m.def("substitute_term", [](nb::handle t, nb::handle mapping) { return checked(substitute_term(t.ptr(), mapping.ptr())); },
          "term"_a.none(), "mapping"_a.none(), nb::sig("def substitute_term(term: Term, mapping: dict[Variable, Term]) -> Term"),
          R"doc(Replaces each variable of `mapping` in `term` by its term.)doc");
    m.def("unify_formulas", [](nb::handle a, nb::handle b) { return unify(a, b, false); }, "left"_a.none(), "right"_a.none(),
          nb::sig("def unify_formulas(left: Formula, right: Formula) -> dict[Variable, Term]"),
          R"doc(A most general unifier of two formulas, as a new dict from Variable to term.

The unifier is idempotent: applying it once makes both sides equal, and
applying it again changes nothing. Atoms unify by symbol and arguments,
connectives part by part; quantified subformulas only when they are equal.

Raises:
    UnificationError: when the formulas have no unifier.)doc");
    m.def("unify_terms", [](nb::handle a, nb::handle b) { return unify(a, b, true); }, "left"_a.none(), "right"_a.none(),
          nb::sig("def unify_terms(left: Term, right: Term) -> dict[Variable, Term]"),
          R"doc(A most general unifier of two terms, as a new dict from Variable to term.

Idempotent, with occurs check; a variable is bound only to a term of its own
sort.

Raises:
    UnificationError: when the terms have no unifier.)doc");

    api.version = kApiVersion;
    api.substitute_term = substitute_term;
    api.substitute_formula = substitute_formula;
    api.substitute_term_pairs = substitute_term_pairs;
    api.substitute_formula_pairs = substitute_formula_pairs;
    api.unify_terms = unify_terms;
    api.unify_formulas = unify_formulas;
    api.max_variable_id = [](PyObject* node, long long* out) -> int {
        return quorvel::py::guard<int>(-1, [&] { return max_variable_id(node, *out) ? 0 : -1; });
    };
    m.attr("_C_API") = checked(PyCapsule_New(&api, kCapsuleName, nullptr));
}
