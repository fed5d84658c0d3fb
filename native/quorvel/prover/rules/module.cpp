// quorvel.prover.rules: registration only.
#include <nanobind/nanobind.h>

#include "quorvel/core/ast/api.h"
#include "quorvel/core/substitutions/api.h"
#include "quorvel/prover/clausifier/api.h"
#include "quorvel/prover/rules/api.h"
#include "quorvel/prover/rules/clause_rules.h"
#include "quorvel/prover/rules/rule_record.h"
#include "quorvel/prover/rules/subterms.h"
#include "quorvel/prover/rules/tables.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

nb::object checked(PyObject* result) {
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

}  // namespace

NB_MODULE(rules, m) {
    using namespace quorvel::rules;
    m.doc() = "Inference rules of the first-order resolution prover and the rule tables.";
    nb::module_::import_("dataclasses");
    nb::module_::import_("typing");
    nb::module_ ast = nb::module_::import_("quorvel.core.ast");
    for (const char* name : {"Term", "Variable", "FunctionApp", "Formula", "PredicateApp", "Equality", "Not", "And", "Or",
                             "Implies", "Iff", "Forall", "Exists", "free_variables"})
        ast.attr(name);
    nb::module_ subs = nb::module_::import_("quorvel.core.substitutions");
    for (const char* name : {"unify_formulas", "unify_terms", "UnificationError", "substitute_formula", "substitute_term"})
        subs.attr(name);
    nb::module_ cnf = nb::module_::import_("quorvel.prover.clausifier");
    cnf.attr("Clause");
    cnf.attr("Literal");
    if (quorvel::ast::import_api() < 0 || quorvel::substitutions::import_api() < 0 ||
        quorvel::clausifier::import_api() < 0)
        throw nb::python_error();
    State& s = state();
    s.resolution = PyUnicode_InternFromString("resolution");
    s.reconstruction = PyUnicode_InternFromString("reconstruction");
    if (!s.resolution || !s.reconstruction || !create_rule_types(m.ptr())) throw nb::python_error();

    m.def("standardize_clause_variables", [](nb::handle a, nb::handle b) { return checked(standardize_clause_variables(a.ptr(), b.ptr())); },
          "c1"_a.none(), "c2"_a.none(),
          nb::sig("def standardize_clause_variables(c1: Clause, c2: Clause) -> tuple[Clause, Clause, dict[Variable, Variable]]"),
          R"doc(Renames the free variables of c2 apart from those of c1 (all shifted by one
offset above every free variable id of both); c1 and, when either clause has no
free variable, c2 come back themselves. Returns (c1, c2 renamed, renaming).)doc");
    m.def("resolve_clauses", [](nb::handle a, nb::handle b) { return checked(resolve_clauses(a.ptr(), b.ptr())); },
          "c1"_a.none(), "c2"_a.none(),
          nb::sig("def resolve_clauses(c1: Clause, c2: Clause) -> list[tuple[Clause, dict[Variable, Term], tuple[Literal, Literal]]]"),
          R"doc(Every binary resolvent of c1 and c2 (renamed apart), each distinct clause once,
as (resolvent, unifier, (literal of c1, literal of renamed c2)).)doc");
    m.def("factor_clause", [](nb::handle c) { return checked(factor_clause(c.ptr())); }, "c"_a.none(),
          nb::sig("def factor_clause(c: Clause) -> list[tuple[Clause, dict[Variable, Term]]]"),
          R"doc(Every factor of c that has fewer literals than c, each once, with its unifier.)doc");
    m.def("extract_subterms", [](nb::handle t) { return checked(extract_subterms_list(t.ptr())); }, "term"_a.none(),
          nb::sig("def extract_subterms(term: Term) -> list[Term]"),
          R"doc(The term and every term below it, in pre-order, repeats included.)doc");
    m.def("extract_atom_subterms", [](nb::handle a) { return checked(extract_atom_subterms_list(a.ptr())); },
          "atom"_a.none(), nb::sig("def extract_atom_subterms(atom: Formula) -> list[Term]"),
          R"doc(Every position of the argument terms of an atom, in pre-order; [] for other formulas.)doc");
    m.def("replace_subterm",
          [](nb::handle t, nb::handle target, nb::handle r) { return checked(replace_subterm_list(t.ptr(), target.ptr(), r.ptr())); },
          "term"_a.none(), "target"_a.none(), "replacement"_a.none(),
          nb::sig("def replace_subterm(term: Term, target: Term, replacement: Term) -> list[Term]"),
          R"doc(One rewrite of `term` for each position whose subterm equals `target`, in pre-order.)doc");
    m.def("replace_atom_subterm",
          [](nb::handle a, nb::handle target, nb::handle r) { return checked(replace_atom_subterm_list(a.ptr(), target.ptr(), r.ptr())); },
          "atom"_a.none(), "target"_a.none(), "replacement"_a.none(),
          nb::sig("def replace_atom_subterm(atom: Formula, target: Term, replacement: Term) -> list[Formula]"),
          R"doc(One rewritten atom for each position of its argument terms whose subterm equals `target`.)doc");
    m.def("paramodulate", [](nb::handle a, nb::handle b) { return checked(paramodulate(a.ptr(), b.ptr())); },
          "c1"_a.none(), "c2"_a.none(), nb::sig("def paramodulate(c1: Clause, c2: Clause) -> list[tuple[Clause, dict[Variable, Term]]]"),
          R"doc(Every paramodulant of c1 and c2: each positive equation of one clause, in both
orientations, rewrites each non-variable subterm of a literal of the other
(renamed apart) that unifies with its side; each distinct clause once.)doc");
    s.resolve = m.attr("resolve_clauses").ptr();
    s.factor = m.attr("factor_clause").ptr();
    s.paramodulate = m.attr("paramodulate").ptr();
    m.def("get_resolution_rules", [] { return checked(get_resolution_rules()); },
          nb::sig("def get_resolution_rules() -> list[InferenceRule]"),
          R"doc(A new list of the rules BinaryResolution, Factoring and Paramodulation.)doc");
    m.def("get_reconstruction_rules", [] { return checked(get_reconstruction_rules()); },
          nb::sig("def get_reconstruction_rules() -> list[InferenceRule]"),
          R"doc(A new list of the twelve proof-reconstruction rules, each with a new operation
that derives nothing.)doc");
    m.def("apply_rule", [](nb::handle rule, nb::handle premises, nb::handle context) { return checked(apply_rule(rule.ptr(), premises.ptr(), context.ptr())); },
          "rule"_a.none(), "premises"_a.none(), "context"_a.none() = nb::none(),
          nb::sig("def apply_rule(rule: InferenceRule, premises: list, context: dict | None = None) -> list"),
          R"doc(rule.apply(*premises, **context): what the rule's operation returns.)doc");

    static Api api{kApiVersion, standardize_clause_variables, resolve_clauses, factor_clause, paramodulate};
    m.attr("_C_API") = checked(PyCapsule_New(&api, kCapsuleName, nullptr));
}
