// quorvel.sol.substitutions_ext: registration only.
#include <nanobind/nanobind.h>

#include "quorvel/core/ast/api.h"
#include "quorvel/core/substitutions/api.h"
#include "quorvel/sol/substitutions_ext/pattern.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace quorvel::sol {

State& state() {
    static State s;
    return s;
}

}  // namespace quorvel::sol

namespace {

nb::object checked(PyObject* result) {
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

}  // namespace

NB_MODULE(substitutions_ext, m) {
    using namespace quorvel::sol;
    m.doc() = "Second-order substitution: higher-order pattern matching and predicate substitution.";
    nb::module_ ast_ext = nb::module_::import_("quorvel.sol.ast_ext");
    if (quorvel::ast::import_api() < 0 || quorvel::substitutions::import_api() < 0) throw nb::python_error();
    state().predicate_variable_type = ast_ext.attr("PredicateVariable").inc_ref().ptr();
    m.def("ho_pattern_unify",
          [](nb::handle p, nb::handle t, nb::handle bound) { return checked(ho_pattern_unify(p.ptr(), t.ptr(), bound.ptr())); },
          "pattern"_a.none(), "target"_a.none(), "bound_vars"_a.none() = nb::none(),
          nb::sig("def ho_pattern_unify(pattern: Formula, target: Formula, bound_vars: set[Variable] | None = None) "
                  "-> dict[PredicateVariable, tuple[tuple[Variable, ...], Formula]] | None"),
          R"doc(Matches a second-order pattern against a first-order formula.

An application of a predicate variable to distinct variables bound in the
pattern (by a quantifier above it or listed in `bound_vars`) matches any
formula in which no other such variable occurs; everything else must agree
node by node, quantifiers pairing their variables. Returns a dict from each
predicate variable to (parameters, template), or None when there is no match.)doc");
    m.def("substitute_predicate",
          [](nb::handle f, nb::handle mapping) { return checked(substitute_predicate(f.ptr(), mapping.ptr())); },
          "formula"_a.none(), "mapping"_a.none(),
          nb::sig("def substitute_predicate(formula: Formula, mapping: dict[PredicateVariable, object]) -> Formula"),
          R"doc(Replaces each application P(t1, ..., tk) of a mapped predicate variable by its
template with the parameters replaced by t1..tk. A value is a template alone
(no parameters) or (parameters, template, ...).)doc");
}
