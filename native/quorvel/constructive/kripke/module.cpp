// quorvel.constructive.kripke: registration only.
#include <nanobind/nanobind.h>

#include "quorvel/constructive/kripke/model.h"
#include "quorvel/core/ast/api.h"

namespace nb = nanobind;

namespace quorvel::kripke {
namespace {

void init_state() {
    State& s = state();
    nb::object frozen = nb::module_::import_("dataclasses").attr("FrozenInstanceError");
    s.frozen_error = frozen.inc_ref().ptr();  // held for the process lifetime
    for (auto [slot, text] : {std::pair{&s.s_worlds, "worlds"}, {&s.s_relations, "relations"},
                              {&s.s_valuations, "valuations"}, {&s.s_name, "name"}, {&s.s_add, "add"},
                              {&s.s_append, "append"}}) {
        *slot = PyUnicode_InternFromString(text);
        if (!*slot) throw nb::python_error();
    }
}

// The names the module takes from its siblings, as `from m import a, b`
// would bind them; a missing one makes the import fail.
void import_names(nb::module_& m, const char* module, std::initializer_list<const char*> names) {
    nb::module_ source = nb::module_::import_(module);
    for (const char* name : names) m.attr(name) = source.attr(name);
}

void init_api(nb::module_& m) {
    Api& api = state().api;
    api.version = kApiVersion;
    api.new_world = new_world;
    api.new_numbered_world = new_numbered_world;
    api.new_model = new_model;
    api.add_world = api_add_world;
    api.add_relation = api_add_relation;
    api.add_valuation = api_add_valuation;
    api.evaluate = api_evaluate;
    PyObject* capsule = PyCapsule_New(&api, kCapsuleName, nullptr);
    if (!capsule) throw nb::python_error();
    m.attr("_C_API") = nb::steal(capsule);
    api_slot() = &api;
}

}  // namespace
}  // namespace quorvel::kripke

NB_MODULE(kripke, m) {
    using namespace quorvel::kripke;
    m.doc() = "Finite Kripke models of intuitionistic propositional logic, with forcing.";
    if (quorvel::ast::import_api() < 0) throw nb::python_error();
    import_names(m, "quorvel.core.ast", {"And", "Formula", "Iff", "Implies", "Not", "Or", "PredicateApp"});
    import_names(m, "quorvel.core.parser", {"to_string"});
    import_names(m, "quorvel.constructive.common", {"FALSUM", "VERUM", "_is_atomic", "_is_falsum", "_is_verum"});
    init_state();
    if (!create_world_type(m.ptr()) || !create_model_type(m.ptr())) throw nb::python_error();
    init_api(m);
    nb::list all;
    all.append("World");
    all.append("KripkeModel");
    m.attr("__all__") = all;
}
