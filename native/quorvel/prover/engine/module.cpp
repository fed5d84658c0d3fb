// quorvel.prover.engine: TheoremProver, a resolution prover for first-order
// clauses (the loop lives in saturation.cpp).
#include <nanobind/nanobind.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "quorvel/config/api.h"
#include "quorvel/core/ast/api.h"
#include "quorvel/core/substitutions/api.h"
#include "quorvel/prover/clausifier/api.h"
#include "quorvel/prover/engine/definitions.h"
#include "quorvel/prover/engine/saturation.h"
#include "quorvel/prover/proof/api.h"
#include "quorvel/prover/rules/api.h"
#include "quorvel/support/py/ref.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

using quorvel::py::Ref;
namespace engine = quorvel::engine;

PyObject* g_not_found = nullptr;

struct TheoremProver {
    nb::object signature;
    nb::object config;
};

nb::object checked(PyObject* result) {
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

// The clausal form of a formula, or nullptr when the deadline passed first.
nb::object clauses_until(nb::handle formula, nb::handle signature, const engine::Limits& limits) {
    PyObject* cnf = quorvel::clausifier::api().to_cnf_until(formula.ptr(), signature.ptr(), limits.deadline());
    if (!cnf && PyErr_ExceptionMatches(PyExc_TimeoutError)) {
        PyErr_Clear();
        return nb::object();
    }
    return checked(cnf);
}

// The clauses of `formula` with its costly subformulas named, appended to
// `into`: those of the renamed formula, then those of its definitions.
// False when the time-out passed first.
bool clausify_renamed(nb::handle formula, engine::Definitions& definitions, nb::handle signature,
                      const engine::Limits& limits, nb::list& into) {
    std::vector<Ref> pieces;
    if (!definitions.rename(formula.ptr(), pieces)) throw nb::python_error();
    for (const Ref& piece : pieces) {
        nb::object cnf = clauses_until(piece.get(), signature, limits);
        if (!cnf.is_valid()) return false;
        for (nb::handle c : cnf) into.append(c);
    }
    return true;
}

// The clauses of the premises, in order, and of the negated target; false
// when the time-out passed first. A definition's clauses count as input
// clauses of the formula it serves, so a premise's or the negated goal's
// input clauses may hold predicates of the engine's own naming.
bool clausify(nb::handle target, nb::handle premises, nb::handle signature, const engine::Limits& limits,
              nb::list& premise_clauses, nb::list& goal_clauses) {
    // Every input's names are reserved before the first is renamed, so the
    // premises are read once into a list (they may be an iterator).
    std::vector<nb::object> formulas;
    if (!premises.is_none())
        for (nb::handle f : premises) {
            if (!quorvel::ast::is_formula(f.ptr())) throw nb::type_error("premises must be formulas");
            formulas.push_back(nb::borrow(f));
        }
    engine::Definitions definitions;
    for (const nb::object& f : formulas)
        if (!definitions.reserve_names(f.ptr())) throw nb::python_error();
    if (!definitions.reserve_names(target.ptr())) throw nb::python_error();
    for (const nb::object& f : formulas)
        if (!clausify_renamed(f, definitions, signature, limits, premise_clauses)) return false;
    nb::object goal = checked(quorvel::ast::api().new_unary(
        quorvel::ast::api().types[static_cast<int>(quorvel::ast::Kind::Not)], target.ptr()));
    return clausify_renamed(goal, definitions, signature, limits, goal_clauses);
}

long long steps_of(nb::handle value) {
    if (PyBool_Check(value.ptr()) || !PyLong_Check(value.ptr())) throw nb::type_error("max_steps must be an integer");
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (n == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow > 0) return LLONG_MAX;
    return n < 1 ? 1 : n;
}

double timeout_of(nb::handle value) {
    double t = PyFloat_AsDouble(value.ptr());
    if (t == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return std::isnan(t) || t <= 0.1 ? 0.1 : t;
}

nb::object prove(TheoremProver& self, nb::handle target, nb::handle premises, nb::handle max_steps,
                 nb::handle timeout_sec) {
    if (!quorvel::ast::is_formula(target.ptr())) throw nb::type_error("target must be a formula");
    engine::Limits limits;
    if (!self.config.is_none() &&
        quorvel::config::api().read_limits(self.config.ptr(), &limits.max_steps, &limits.timeout_sec) < 0)
        throw nb::python_error();
    if (!max_steps.is_none()) limits.max_steps = steps_of(max_steps);
    if (!timeout_sec.is_none()) limits.timeout_sec = timeout_of(timeout_sec);
    nb::list premise_clauses, goal_clauses;
    engine::Outcome why = engine::Outcome::Timeout;
    if (clausify(target, premises, self.signature, limits, premise_clauses, goal_clauses)) {
        PyObject* dag = nullptr;
        int r = engine::saturate(premise_clauses.ptr(), goal_clauses.ptr(), limits, &dag, &why);
        if (r < 0) throw nb::python_error();
        if (r > 0) return nb::steal(dag);
    }
    std::string message = "No proof found: ";
    if (why == engine::Outcome::Saturated) {
        message += "the clause set is saturated";
    } else if (why == engine::Outcome::StepLimit) {
        message += "step limit of " + std::to_string(limits.max_steps) + " reached";
    } else {
        char text[64];
        std::snprintf(text, sizeof text, "time-out of %g seconds reached", limits.timeout_sec);
        message += text;
    }
    PyErr_SetString(g_not_found, message.c_str());
    throw nb::python_error();
}

}  // namespace

NB_MODULE(engine, m) {
    m.doc() = "A first-order prover: given-clause resolution with a set of support.";
    nb::module_::import_("quorvel.prover.clausifier");
    nb::module_::import_("quorvel.prover.rules");
    if (quorvel::ast::import_api() < 0 || quorvel::substitutions::import_api() < 0 ||
        quorvel::clausifier::import_api() < 0 || quorvel::rules::import_api() < 0 ||
        quorvel::proof::import_api() < 0 || quorvel::config::import_api() < 0)
        throw nb::python_error();
    g_not_found = PyErr_NewExceptionWithDoc(
        "quorvel.prover.engine.ProofNotFoundError",
        "Raised by TheoremProver.prove when no refutation is found within the limits, or none exists.", nullptr,
        nullptr);
    if (!g_not_found) throw nb::python_error();
    m.attr("ProofNotFoundError") = nb::handle(g_not_found);

    nb::class_<TheoremProver>(m, "TheoremProver",
                              "Proves a first-order target from premises by refuting the premises together with "
                              "the negated target: given-clause resolution and factoring with a set of support on "
                              "the negated target, tautology and subsumption deletion, a weight-and-age queue.")
        .def(
            "__init__",
            [](TheoremProver* self, nb::object signature, nb::object config) {
                new (self) TheoremProver{std::move(signature), std::move(config)};
            },
            "signature"_a = nb::none(), "config"_a = nb::none())
        .def_rw("signature", &TheoremProver::signature)
        .def_rw("config", &TheoremProver::config)
        .def("prove", &prove, "target"_a, "premises"_a = nb::none(), "max_steps"_a = nb::none(),
             "timeout_sec"_a = nb::none(),
             "Returns a ProofDAG whose steps derive the empty clause from the premises' clauses and the negated "
             "target's; raises ProofNotFoundError when the clause set saturates or a limit is reached. The limits "
             "given here override those of the config (defaults 1000 selected clauses and 10.0 seconds).");
}
