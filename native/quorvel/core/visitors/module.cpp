// quorvel.core.visitors: registration only.
#include <nanobind/nanobind.h>

#include "quorvel/core/visitors/classes.h"
#include "quorvel/core/visitors/state.h"

namespace nb = nanobind;

namespace quorvel::visitors {

State& state() {
    static State s;
    return s;
}

namespace {

// The names the module imports, as `from <module> import <names>` binds them.
void import_names(nb::module_& m, const char* module, std::initializer_list<const char*> names) {
    nb::module_ source = nb::module_::import_(module);
    for (const char* name : names) m.attr(name) = source.attr(name);
}

}  // namespace
}  // namespace quorvel::visitors

NB_MODULE(visitors, m) {
    using namespace quorvel::visitors;
    m.doc() = "AST Visitor pattern implementations for traversal, size computation, and serialization.";
    import_names(m, "abc", {"ABC", "abstractmethod"});
    import_names(m, "typing", {"Generic", "TypeVar", "Union", "Any", "Set", "Dict", "Optional", "Tuple", "List"});
    import_names(m, "quorvel.core.ast",
                 {"Term", "Variable", "Constant", "FunctionApp", "Formula", "PredicateApp", "Equality", "Not", "And",
                  "Or", "Implies", "Iff", "Forall", "Exists"});
    import_names(m, "quorvel.sol.ast_ext",
                 {"ForallPred", "ExistsPred", "ForallFunc", "ExistsFunc", "PredicateVariable", "FunctionVariable"});
    import_names(m, "quorvel.core.sorts", {"Sort", "PrimitiveSort", "ParameterizedSort", "FunctionSort", "Ind", "Nat", "Bool"});
    if (quorvel::ast::import_api() < 0) throw nb::python_error();
    State& s = state();
    s.function_variable = m.attr("FunctionVariable").inc_ref().ptr();
    init_state();
    m.attr("T") = m.attr("TypeVar")("T");
    create_classes(m);
}
