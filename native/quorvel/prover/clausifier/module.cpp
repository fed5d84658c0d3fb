// quorvel.prover.clausifier: registration only.
#include <nanobind/nanobind.h>

#include <utility>

#include "quorvel/core/ast/api.h"
#include "quorvel/core/substitutions/api.h"
#include "quorvel/prover/clausifier/rewrite.h"
#include "quorvel/prover/clausifier/state.h"
#include "quorvel/support/py/guard.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace quorvel::clausifier {

State& state() {
    static State s;
    return s;
}

namespace {

nb::object checked(PyObject* result) {
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

PyObject* intern(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (!s) throw nb::python_error();
    return s;
}

}  // namespace
}  // namespace quorvel::clausifier

NB_MODULE(clausifier, m) {
    using namespace quorvel::clausifier;
    m.doc() = "Clausal normal form of first-order formulas: literals, clauses and the rewriting pipeline.";
    nb::module_::import_("quorvel.core.sorts");
    nb::module_::import_("quorvel.core.ast");
    if (quorvel::ast::import_api() < 0 || quorvel::substitutions::import_api() < 0) throw nb::python_error();
    State& s = state();
    nb::module_::import_("quorvel.core.signature").attr("Signature");  // registers Skolem symbols
    s.count = nb::module_::import_("itertools").attr("count").inc_ref().ptr();
    s.module_dict = PyModule_GetDict(m.ptr());
    s.s_register_constant = intern("register_constant");
    s.s_register_function = intern("register_function");
    s.s_constant_counter = intern("_skolem_constant_counter");
    s.s_function_counter = intern("_skolem_function_counter");

    if (!create_record_types(m.ptr())) throw nb::python_error();
    // A text signature cannot spell the frozenset() default; inspect reads this.
    nb::object inspect = nb::module_::import_("inspect");
    nb::object parameter = inspect.attr("Parameter");
    nb::object by_either = parameter.attr("POSITIONAL_OR_KEYWORD");
    m.attr("Literal").attr("__signature__") = inspect.attr("Signature")(
        nb::make_tuple(parameter("atom", by_either), parameter("positive", by_either, "default"_a = true)));
    m.attr("Clause").attr("__signature__") = inspect.attr("Signature")(
        nb::make_tuple(parameter("literals", by_either, "default"_a = nb::frozenset())));
    checked(reset_skolem_counters());

    m.def("eliminate_implications", [](nb::handle f) { return checked(eliminate_implications(f.ptr())); },
          "formula"_a.none(), nb::sig("def eliminate_implications(formula: Formula) -> Formula"),
          R"doc(Rewrites every Implies and Iff with Not, And and Or.

A -> B becomes ~A | B, and A <-> B becomes (~A | B) & (~B | A) with each side
converted once and placed twice. Atoms come back as the same objects; every
other node is new.

Raises:
    ValueError: "Unsupported formula node: " and the class of a node that is
        no formula of the nine supported classes.)doc");
    m.def("to_nnf", [](nb::handle f) { return checked(to_nnf(f.ptr())); }, "formula"_a.none(),
          nb::sig("def to_nnf(formula: Formula) -> Formula"),
          R"doc(Negation normal form: every negation pushed down to stand over an atom.

Implications and equivalences are eliminated on the way. A negated atom of the
input comes back as the same Not object.

Raises:
    ValueError: "Unsupported formula node: " or, under a negation,
        "Unsupported negated formula operand: ", and the node's class.)doc");
    m.def("standardize_variables", [](nb::handle f) { return checked(standardize_variables(f.ptr())); },
          "formula"_a.none(), nb::sig("def standardize_variables(formula: Formula) -> Formula"),
          R"doc(Gives every quantifier a fresh variable, numbered in preorder above the
largest variable id of the formula; free variables are left as they are.

Raises:
    InvalidFormulaError: for a value that is no node at all.
    ValueError: "Unsupported formula: " and the class of a term or other node
        in the place of a formula.)doc");
    m.def("skolemize", [](nb::handle f, nb::handle sig) { return checked(skolemize(f.ptr(), sig.ptr())); },
          "formula"_a.none(), "signature"_a.none() = nb::none(),
          nb::sig("def skolemize(formula: Formula, signature: Signature | None = None) -> Formula"),
          R"doc(Replaces each existential by a Skolem constant "sk_c<n>" or a Skolem function
"sk_f<n>" of the enclosing universal variables, numbered by the process-wide
counters (see reset_skolem_counters). A counter value whose name the formula
already uses as a symbol is skipped. With a signature, each new symbol is
registered in it; errors of the registration are ignored.

Raises:
    ValueError: "Unsupported formula in skolemization: " and the class of an
        Implies, Iff or other unsupported node.)doc");
    m.def("reset_skolem_counters", [] { return checked(reset_skolem_counters()); },
          nb::sig("def reset_skolem_counters() -> None"),
          R"doc(Restarts both Skolem counters at 0.)doc");
    m.def("drop_universals", [](nb::handle f) { return checked(drop_universals(f.ptr())); }, "formula"_a.none(),
          nb::sig("def drop_universals(formula: Formula) -> Formula"),
          R"doc(Removes every Forall, leaving its variable free; Exists nodes stay.

Raises:
    ValueError: "Unsupported formula: " and the class of an Implies, Iff or
        other unsupported node.)doc");
    m.def("distribute_cnf", [](nb::handle f) { return checked(distribute_cnf(f.ptr())); }, "formula"_a.none(),
          nb::sig("def distribute_cnf(formula: Formula) -> Formula"),
          R"doc(Distributes disjunction over conjunction: (A & B) | C becomes
(A | C) & (B | C), the left side split first. Atoms and negations come back as
the same objects; negations are not entered.

Raises:
    ValueError: "Unsupported formula in CNF distribution: " and the class of
        a quantifier, Implies, Iff or other unsupported node.)doc");
    m.def("formula_to_clauses", [](nb::handle f) { return checked(formula_to_clauses(f.ptr())); }, "formula"_a.none(),
          nb::sig("def formula_to_clauses(formula: Formula) -> list[Clause]"),
          R"doc(The clauses of a formula in conjunctive normal form, one per conjunct in order,
tautologies dropped.

Raises:
    ValueError: "Unexpected formula inside clause: " and the class of a node
        that is no literal inside a disjunction.
    AssertionError: for a negation over anything but an atom.)doc");
    m.def("to_cnf", [](nb::handle f, nb::handle sig) { return checked(to_cnf(f.ptr(), sig.ptr())); }, "formula"_a.none(),
          "signature"_a = nb::none(), nb::sig("def to_cnf(formula: Formula, signature: Signature | None = None) -> list[Clause]"),
          R"doc(The clausal normal form of any first-order formula.

Runs eliminate_implications, to_nnf, standardize_variables, skolemize (with
`signature`), drop_universals and distribution, and returns the non-tautological
clauses in order. The distribution is built natively; it answers Ctrl-C and
raises MemoryError when the clause set would not fit into memory.)doc");
    m.def("negate_and_clausify", [](nb::handle f, nb::handle sig) { return checked(negate_and_clausify(f.ptr(), sig.ptr())); },
          "formula"_a.none(), "signature"_a.none() = nb::none(),
          nb::sig("def negate_and_clausify(formula: Formula, signature: Signature | None = None) -> list[Clause]"),
          R"doc(to_cnf of Not(formula): the clauses of a refutation of `formula`.)doc");

    Api& api = s.api;
    api.version = kApiVersion;
    api.new_literal = new_literal;
    api.new_clause = new_clause;
    api.substitute_literal = substitute_literal;
    api.substitute_clause = substitute_clause;
    api.to_cnf = [](PyObject* f, PyObject* sig) -> PyObject* {
        return quorvel::py::guard<PyObject*>(nullptr, [&] { return to_cnf(f, sig); });
    };
    api.to_cnf_until = [](PyObject* f, PyObject* sig, std::chrono::steady_clock::time_point deadline) -> PyObject* {
        auto before = std::exchange(t_deadline, deadline);
        PyObject* cnf = quorvel::py::guard<PyObject*>(nullptr, [&] { return to_cnf(f, sig); });
        t_deadline = before;
        return cnf;
    };
    m.attr("_C_API") = checked(PyCapsule_New(&api, kCapsuleName, nullptr));
}
