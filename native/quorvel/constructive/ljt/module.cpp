// quorvel.constructive.ljt: registration only.
#include <nanobind/nanobind.h>

#include "quorvel/constructive/ljt/state.h"
#include "quorvel/core/ast/api.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace quorvel::ljt {

State& state() {
    static State s;
    return s;
}

namespace {

// Held for the process lifetime.
PyObject* intern(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (!s) throw nb::python_error();
    return s;
}

void init_state() {
    State& s = state();
    s.empty_tuple = PyTuple_New(0);
    if (!s.empty_tuple) throw nb::python_error();
    const char* const rules[kRuleCount] = {"R_Top",  "L_Bot",     "Ax",        "R_Imp",    "R_And",
                                           "L_And",  "L_Or",      "L_Imp_Atom", "L_Imp_And", "L_Imp_Or",
                                           "R_Or1",  "R_Or2",     "L_Imp_Imp"};
    for (int i = 0; i < kRuleCount; ++i) s.rule_names[i] = intern(rules[i]);
    s.s_latex = intern("latex");
    s.s_infix = intern("infix");
    s.s_notation = intern("notation");
    s.s_antecedents = intern("antecedents");
    s.s_succedent = intern("succedent");
    s.s_sequent = intern("sequent");
    s.s_rule = intern("rule");
    s.s_premises = intern("premises");
    s.s_root = intern("root");
    s.s_depth = intern("depth");
    s.s_size = intern("size");
    s.s_is_valid = intern("is_valid");
    s.s_to_dict = intern("to_dict");
    s.s_to_string = intern("to_string");
    s.s_to_ascii = intern("to_ascii");
    s.s_search = intern("_search");
    s.s_prove = intern("prove");
}

const char* const kHelpers[] = {"FALSUM",     "VERUM",           "_is_falsum",     "_is_verum",
                                "_is_atomic", "normalize_formula", "_formula_weight"};

}  // namespace
}  // namespace quorvel::ljt

NB_MODULE(ljt, m) {
    using namespace quorvel::ljt;
    m.doc() = "Backward proof search in the sequent calculus LJT (G4ip) for intuitionistic propositional logic.";
    nb::module_::import_("dataclasses");
    nb::module_::import_("typing");
    nb::module_ ast = nb::module_::import_("quorvel.core.ast");
    for (const char* name : {"Formula", "And", "Or", "Implies"}) ast.attr(name);
    if (quorvel::ast::import_api() < 0) throw nb::python_error();
    State& s = state();
    s.to_string = nb::module_::import_("quorvel.core.parser").attr("to_string").inc_ref().ptr();
    nb::module_ common = nb::module_::import_("quorvel.constructive.common");
    nb::list all;
    for (const char* name : kHelpers) {
        m.attr(name) = common.attr(name);
        all.append(name);
    }
    s.falsum = common.attr("FALSUM").inc_ref().ptr();
    init_state();

    if (!create_record_types(m.ptr())) throw nb::python_error();
    // A text signature cannot spell the FALSUM default; inspect reads this.
    nb::object inspect = nb::module_::import_("inspect");
    nb::object parameter = inspect.attr("Parameter");
    nb::object by_either = parameter.attr("POSITIONAL_OR_KEYWORD");
    nb::handle sequent_type(reinterpret_cast<PyObject*>(s.sequent_type));
    sequent_type.attr("__signature__") = inspect.attr("Signature")(nb::make_tuple(
        parameter("antecedents", by_either, "default"_a = nb::tuple()),
        parameter("succedent", by_either, "default"_a = nb::handle(s.falsum))));
    m.attr("Sequent") = sequent_type;
    m.attr("LJTProofNode") = nb::handle(reinterpret_cast<PyObject*>(s.node_type));
    if (!create_tree_type(m.ptr())) throw nb::python_error();
    m.attr("LJTProofTree") = nb::handle(reinterpret_cast<PyObject*>(s.tree_type));
    if (!create_prover(m.ptr())) throw nb::python_error();
    for (const char* name : {"Sequent", "LJTProofNode", "LJTProofTree", "LJTProver", "prove_ljt"}) all.append(name);
    m.attr("__all__") = all;
}
