// quorvel.constructive.resolution: registration only, one init_* per concept.
#include <nanobind/nanobind.h>

#include "quorvel/constructive/matrix/api.h"
#include "quorvel/constructive/prefix/api.h"
#include "quorvel/constructive/resolution/state.h"
#include "quorvel/core/ast/api.h"

namespace nb = nanobind;

namespace quorvel::resolution {

State& state() {
    static State s;
    return s;
}

namespace {

// The names the module takes from its siblings, as `from m import a, b`
// would bind them; a missing one makes the import fail.
void import_names(nb::module_& m, const char* module, std::initializer_list<const char*> names) {
    nb::module_ source = nb::module_::import_(module);
    for (const char* name : names) m.attr(name) = source.attr(name);
}

PyObject* held(nb::handle h) { return h.inc_ref().ptr(); }

void init_state(nb::module_& m) {
    State& s = state();
    s.to_string = held(m.attr("to_string"));
    s.unify_prefixes = held(m.attr("unify_prefixes"));
    s.is_admissible = held(m.attr("is_admissible"));
    s.substitution_type = held(m.attr("PrefixSubstitution"));
    s.empty_tuple = PyTuple_New(0);
    s.empty_frozenset = PyFrozenSet_New(nullptr);
    if (!s.empty_tuple || !s.empty_frozenset) throw nb::python_error();
    for (auto [slot, text] :
         {std::pair{&s.s_prefix, "prefix"}, {&s.s_polarity, "polarity"}, {&s.s_atom, "atom"},
          {&s.s_literals, "literals"}, {&s.s_apply, "apply"}, {&s.s_variables, "variables"},
          {&s.s_constants, "constants"}, {&s.s_to_string, "to_string"}, {&s.s_to_dict, "to_dict"},
          {&s.s_mapping, "mapping"}, {&s.s_tree_order, "tree_order"}, {&s.s_leaves, "leaves"},
          {&s.s_formula, "formula"}, {&s.s_search_refutation, "_search_refutation"}, {&s.s_prove, "prove"},
          {&s.s_max_multiplicity, "max_multiplicity"}, {&s.s_max_steps, "max_steps"}}) {
        *slot = PyUnicode_InternFromString(text);
        if (!*slot) throw nb::python_error();
    }
}

}  // namespace
}  // namespace quorvel::resolution

NB_MODULE(resolution, m) {
    using namespace quorvel::resolution;
    m.doc() = "Constructive resolution for intuitionistic propositional logic: prefixed resolution over matrix paths.";
    import_names(m, "quorvel.core.ast", {"Formula", "PredicateApp", "Not", "And", "Or", "Implies", "Iff"});
    import_names(m, "quorvel.core.parser", {"to_string"});
    import_names(m, "quorvel.constructive.common",
                 {"FALSUM", "VERUM", "_is_atomic", "_is_falsum", "_is_verum", "normalize_formula"});
    import_names(m, "quorvel.constructive.prefix",
                 {"PrefixSymbol", "PrefixConstant", "PrefixVariable", "Prefix", "PrefixSubstitution",
                  "unify_prefixes", "is_admissible"});
    import_names(m, "quorvel.constructive.matrix", {"FormulaTree"});
    if (quorvel::ast::import_api() < 0 || quorvel::prefix::import_api() < 0 || quorvel::matrix::import_api() < 0)
        throw nb::python_error();
    init_state(m);
    if (!init_prefixed_records(m.ptr()) || !init_clausify(m.ptr()) || !init_inference(m.ptr()) ||
        !init_prefixed_prover(m.ptr()) || !init_translation(m.ptr()) || !init_front_end(m.ptr()))
        throw nb::python_error();
}
