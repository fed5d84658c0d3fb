// quorvel.constructive.matrix: registration only.
#include <nanobind/nanobind.h>

#include "quorvel/constructive/matrix/state.h"
#include "quorvel/constructive/prefix/api.h"
#include "quorvel/core/ast/api.h"

namespace nb = nanobind;

namespace quorvel::matrix {

State& state() {
    static State s;
    return s;
}

PyObject* connection_type_object();

namespace {

// The names the module takes from its siblings, as `from m import a, b`
// would bind them; a missing one makes the import fail.
void import_names(nb::module_& m, const char* module, std::initializer_list<const char*> names) {
    nb::module_ source = nb::module_::import_(module);
    for (const char* name : names) m.attr(name) = source.attr(name);
}

void init_state(nb::module_& m) {
    State& s = state();
    s.to_string = nb::object(m.attr("to_string")).inc_ref().ptr();
    s.empty_tuple = PyTuple_New(0);
    s.small_ints[0] = PyLong_FromLong(0);
    s.small_ints[1] = PyLong_FromLong(1);
    if (!s.empty_tuple || !s.small_ints[0] || !s.small_ints[1]) throw nb::python_error();
    for (auto [slot, text] : {std::pair{&s.s_root, "root"}, {&s.s_pos_type, "pos_type"},
                              {&s.s_children, "children"}, {&s.s_to_string, "to_string"}}) {
        *slot = PyUnicode_InternFromString(text);
        if (!*slot) throw nb::python_error();
    }
    for (int i = 0; i < State::kTreeAttributeCount; ++i)
        if (!(s.tree_attributes[i] = PyUnicode_InternFromString(State::kTreeAttributes[i]))) throw nb::python_error();
}

void init_position_type_enum(nb::module_& m) {
    // Each member is its own name as text (a StrEnum: equal to it).
    const char* const names[] = {"ALPHA", "BETA", "PHI", "PSI", "ATOM"};
    nb::list members;
    for (const char* name : names) members.append(nb::make_tuple(name, name));
    nb::object type = nb::module_::import_("enum").attr("StrEnum")(
        "PositionType", members, nb::arg("module") = "quorvel.constructive.matrix", nb::arg("qualname") = "PositionType");
    m.attr("PositionType") = type;
    State& s = state();
    s.position_type_enum = type.inc_ref().ptr();
    for (int i = 0; i < 5; ++i) s.members[i] = type.attr(names[i]).inc_ref().ptr();
}

void init_api(nb::module_& m) {
    Api& api = state().api;
    api.version = kApiVersion;
    api.new_tree = new_tree;
    api.view = tree_view;
    api.paths = view_paths;
    api.build_native = build_native;
    api.free_native = free_native;
    PyObject* capsule = PyCapsule_New(&api, kCapsuleName, nullptr);
    if (!capsule) throw nb::python_error();
    m.attr("_C_API") = nb::steal(capsule);
    api_slot() = &api;
}

}  // namespace
}  // namespace quorvel::matrix

NB_MODULE(matrix, m) {
    using namespace quorvel::matrix;
    m.doc() = "The polar formula tree of the prefixed matrix method: typed, prefixed positions and matrix paths.";
    import_names(m, "quorvel.core.ast", {"Formula", "PredicateApp", "Not", "And", "Or", "Implies"});
    import_names(m, "quorvel.core.parser", {"to_string"});
    import_names(m, "quorvel.constructive.common",
                 {"normalize_formula", "_is_atomic", "_is_falsum", "_is_verum", "FALSUM"});
    import_names(m, "quorvel.constructive.prefix", {"PrefixSymbol", "PrefixConstant", "PrefixVariable", "Prefix"});
    if (quorvel::ast::import_api() < 0 || quorvel::prefix::import_api() < 0) throw nb::python_error();
    init_state(m);
    init_position_type_enum(m);
    if (!create_position_types(m.ptr()) || !create_tree_type(m.ptr())) throw nb::python_error();
    nb::handle tree(reinterpret_cast<PyObject*>(state().api.tree_type));
    nb::dict annotations;
    for (auto [name, type] : {std::pair{"target", "Formula"}, {"premises", "Tuple[Formula, ...]"},
                              {"multiplicity", "int"}, {"root", "Position"}, {"positions", "List[Position]"},
                              {"leaves", "List[Position]"}, {"tree_order", "Dict[PrefixSymbol, Set[PrefixSymbol]]"},
                              {"_counter", "int"}, {"_const_counter", "int"}, {"_var_counter", "int"}})
        annotations[name] = type;
    tree.attr("__annotations__") = annotations;
    m.attr("Position") = nb::handle(reinterpret_cast<PyObject*>(state().api.position_type));
    m.attr("Connection") = nb::handle(connection_type_object());
    init_api(m);
    nb::list all;
    for (const char* name : {"PositionType", "Position", "FormulaTree", "Connection"}) all.append(name);
    m.attr("__all__") = all;
}
