// quorvel.sol.ast_ext: second-order quantifiers and symbol variables.
//
// The quantifiers are formula nodes with the quantifier layout of
// quorvel.core.ast (fields `variable` and `body`), made by that module so that
// they share its construction, equality, hash and repr.
#include <nanobind/nanobind.h>

#include "quorvel/core/ast/api.h"
#include "quorvel/support/py/record.h"

namespace nb = nanobind;
namespace ast = quorvel::ast;

namespace {

const char* const kSymbolFields[] = {"name", "index", "arity"};

// A symbol variable prints as its name.
PyObject* symbol_str(PyObject* self) {
    return PyObject_Str(quorvel::py::record_field(self, 0));
}

nb::object symbol_type(const char* name, const char* doc) {
    PyTypeObject* t = quorvel::py::make_record_type({name, doc, kSymbolFields, 3, nullptr, nullptr});
    if (!t) throw nb::python_error();
    t->tp_str = symbol_str;
    return nb::steal(reinterpret_cast<PyObject*>(t));
}

nb::object quantifier_type(const char* name, ast::Kind kind) {
    PyTypeObject* t = ast::api().new_quantifier_type(name, "quorvel.sol.ast_ext", kind);
    if (!t) throw nb::python_error();
    return nb::steal(reinterpret_cast<PyObject*>(t));
}

}  // namespace

NB_MODULE(ast_ext, m) {
    m.doc() = "Second-order syntax: quantifiers over predicates and functions, and their variables.";
    if (ast::import_api() < 0) throw nb::python_error();
    m.attr("FunctionVariable") = symbol_type("quorvel.sol.ast_ext.FunctionVariable",
                                             "FunctionVariable(name, index, arity)\n--\n\nA function variable.");
    m.attr("PredicateVariable") = symbol_type("quorvel.sol.ast_ext.PredicateVariable",
                                              "PredicateVariable(name, index, arity)\n--\n\nA predicate variable.");
    m.attr("ForallPred") = quantifier_type("ForallPred", ast::Kind::ForallPred);
    m.attr("ExistsPred") = quantifier_type("ExistsPred", ast::Kind::ExistsPred);
    m.attr("ForallFunc") = quantifier_type("ForallFunc", ast::Kind::ForallFunc);
    m.attr("ExistsFunc") = quantifier_type("ExistsFunc", ast::Kind::ExistsFunc);
}
