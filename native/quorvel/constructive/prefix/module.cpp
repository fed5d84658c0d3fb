// quorvel.constructive.prefix: registration only.
#include <nanobind/nanobind.h>

#include "quorvel/constructive/prefix/state.h"

namespace nb = nanobind;

namespace quorvel::prefix {

State& state() {
    static State s;
    return s;
}

namespace {

void init_state() {
    State& s = state();
    s.empty_tuple = PyTuple_New(0);
    if (!s.empty_tuple) throw nb::python_error();
    for (auto [slot, text] : {std::pair{&s.s_eps, "eps"}, {&s.s_name, "name"}, {&s.s_symbols, "symbols"},
                              {&s.s_mapping, "mapping"}, {&s.s_tree_order, "tree_order"}, {&s.s_items, "items"}}) {
        *slot = PyUnicode_InternFromString(text);
        if (!*slot) throw nb::python_error();
    }
}

void init_api(nb::module_& m) {
    Api& api = state().api;
    api.version = kApiVersion;
    api.new_symbol = new_symbol;
    api.new_prefix = new_prefix;
    api.new_substitution = new_substitution;
    api.make_unifier = make_unifier;
    api.admissible = admissible;
    PyObject* capsule = PyCapsule_New(&api, kCapsuleName, nullptr);
    if (!capsule) throw nb::python_error();
    m.attr("_C_API") = nb::steal(capsule);
    api_slot() = &api;
}

}  // namespace
}  // namespace quorvel::prefix

NB_MODULE(prefix, m) {
    using namespace quorvel::prefix;
    m.doc() = "Prefix words over world symbols, prefix substitutions, prefix unification and admissibility.";
    init_state();
    if (!create_symbol_types(m.ptr()) || !create_substitution_type(m.ptr()) || !add_functions(m.ptr()))
        throw nb::python_error();
    init_api(m);
    nb::list all;
    for (const char* name : {"PrefixSymbol", "PrefixConstant", "PrefixVariable", "Prefix", "PrefixSubstitution",
                             "unify_prefixes", "is_admissible"})
        all.append(name);
    m.attr("__all__") = all;
}
