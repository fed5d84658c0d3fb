// quorvel.constructive.tableau: registration only. The module imports its
// neighbours' names (so they are the very objects), then defines Sign,
// SignedFormula, TableauNode, TableauProofTree, TableauProofResult,
// _BranchState, TableauProver and prove_tableau, in this order.
#include <nanobind/nanobind.h>

#include "quorvel/constructive/kripke/api.h"
#include "quorvel/constructive/tableau/state.h"
#include "quorvel/core/ast/api.h"

namespace nb = nanobind;

namespace quorvel::tableau {

ModuleState& state() {
    static ModuleState s{};
    return s;
}

namespace {

PyObject* intern(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (!s) throw nb::python_error();
    return s;
}

void init_names(Names& s) {
    s.worlds = intern("worlds");
    s.relations = intern("relations");
    s.t_formulas = intern("t_formulas");
    s.f_formulas = intern("f_formulas");
    s.applied_rules = intern("applied_rules");
    s.id = intern("id");
    s.signed_formula = intern("signed_formula");
    s.rule = intern("rule");
    s.world = intern("world");
    s.children = intern("children");
    s.is_closed = intern("is_closed");
    s.clash_details = intern("clash_details");
    s.sign = intern("sign");
    s.formula = intern("formula");
    s.name = intern("name");
    s.value = intern("value");
    s.root = intern("root");
    s.tree = intern("tree");
    s.countermodel = intern("countermodel");
    s.target = intern("target");
    s.premises = intern("premises");
    s.is_valid = intern("is_valid");
    s.max_depth = intern("max_depth");
    s.max_worlds = intern("max_worlds");
    s.node_counter = intern("_node_counter");
    s.expand_branch = intern("_expand_branch");
    s.check_clash = intern("_check_clash");
    s.next_node_id = intern("_next_node_id");
    s.extract_countermodel = intern("_extract_countermodel");
    s.prove = intern("prove");
    s.add_world = intern("add_world");
    s.add_relation = intern("add_relation");
    s.add_t_formula = intern("add_t_formula");
    s.add_f_formula = intern("add_f_formula");
    s.copy = intern("copy");
    s.add = intern("add");
    s.append = intern("append");
    s.get = intern("get");
    s.setdefault = intern("setdefault");
    s.add_valuation = intern("add_valuation");
    s.to_string = intern("to_string");
    s.to_dict = intern("to_dict");
    s.get_size = intern("get_size");
    s.get_depth = intern("get_depth");
    s.notation = intern("notation");
    s.prefix = intern("prefix");
    s.is_last = intern("is_last");
    s.state = intern("state");
    s.node = intern("node");
    s.depth = intern("depth");
    s.infix = intern("infix");
    s.latex = intern("latex");
    s.empty = intern("");
    s.target_label = intern("Target");
    const char* stems[] = {"T_And", "F_Or", "T_Not", "F_Imp", "F_Not", "F_And", "T_Or", "T_Imp", "T_Iff", "F_Iff"};
    for (int i = 0; i < 10; ++i) s.stems[i] = intern(stems[i]);
    const char* labels[] = {"Target", "T_And",  "F_Or",   "T_Not",   "F_Imp",   "F_Not",   "F_And_L", "F_And_R",
                            "T_Or_L", "T_Or_R", "T_Imp_F", "T_Imp_T", "T_Iff",   "F_Iff_L", "F_Iff_R"};
    for (int i = 0; i < 15; ++i) s.labels[i] = intern(labels[i]);
}

// `from <module> import <name>`: the object, also bound in this module.
PyObject* import_name(nb::module_& m, const char* module, const char* name) {
    nb::object value = nb::module_::import_(module).attr(name);
    m.attr(name) = value;
    return value.inc_ref().ptr();
}

// `name` is a literal: it becomes the type's tp_name, which error messages
// print, and which a Python class holds as its bare name.
void add_type(nb::module_& m, const char* name, PyTypeObject* type) {
    if (!type) throw nb::python_error();
    type->tp_name = name;
    m.attr(name) = nb::borrow(reinterpret_cast<PyObject*>(type));
}

}  // namespace
}  // namespace quorvel::tableau

NB_MODULE(tableau, m) {
    using namespace quorvel::tableau;
    m.doc() = "Labelled tableau prover for intuitionistic propositional logic, with Kripke countermodels.";
    ModuleState& s = state();
    init_names(s.s);

    for (const char* name : {"Formula", "PredicateApp", "Not", "And", "Or", "Implies", "Iff"})
        import_name(m, "quorvel.core.ast", name);
    if (quorvel::ast::import_api() < 0) throw nb::python_error();
    s.printer = import_name(m, "quorvel.core.parser", "to_string");
    s.falsum = import_name(m, "quorvel.constructive.common", "FALSUM");
    s.verum = import_name(m, "quorvel.constructive.common", "VERUM");
    for (const char* name : {"_is_falsum", "_is_verum", "_is_atomic"})
        import_name(m, "quorvel.constructive.common", name);
    s.world_type = import_name(m, "quorvel.constructive.kripke", "World");
    s.kripke_model_type = import_name(m, "quorvel.constructive.kripke", "KripkeModel");
    if (quorvel::kripke::import_api() < 0) throw nb::python_error();

    // Sign: each member is its one-letter text (a StrEnum: equal to it,
    // hashed like it, printed as it).
    nb::object enum_module = nb::module_::import_("enum");
    nb::list members;
    members.append(nb::make_tuple("TRUE", "T"));
    members.append(nb::make_tuple("FALSE", "F"));
    nb::object sign = enum_module.attr("StrEnum")("Sign", members, nb::arg("module") = "quorvel.constructive.tableau",
                                                  nb::arg("qualname") = "Sign");
    m.attr("Sign") = sign;
    s.sign = sign.inc_ref().ptr();
    s.sign_true = sign.attr("TRUE").inc_ref().ptr();
    s.sign_false = sign.attr("FALSE").inc_ref().ptr();

    s.signed_formula_type = make_signed_formula_type();
    add_type(m, "SignedFormula", s.signed_formula_type);
    s.node_type = make_node_type();
    add_type(m, "TableauNode", s.node_type);
    s.tree_type = make_tree_type();
    add_type(m, "TableauProofTree", s.tree_type);
    s.result_type = make_result_type();
    add_type(m, "TableauProofResult", s.result_type);
    s.branch_state_type = make_branch_state_type();
    add_type(m, "_BranchState", s.branch_state_type);
    s.prover_type = make_prover_type();
    add_type(m, "TableauProver", s.prover_type);
    PyObject* prove_tableau = make_prove_tableau();
    if (!prove_tableau) throw nb::python_error();
    m.attr("prove_tableau") = nb::steal(prove_tableau);

    nb::list all;
    for (const char* name : {"FALSUM", "VERUM", "Sign", "World", "SignedFormula", "KripkeModel", "TableauNode",
                             "TableauProofTree", "TableauProofResult", "TableauProver", "prove_tableau"})
        all.append(name);
    m.attr("__all__") = all;
}
