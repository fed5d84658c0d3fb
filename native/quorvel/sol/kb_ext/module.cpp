// quorvel.sol.kb_ext: the induction template.
//
// instantiate_induction(body, variable) is the first-order instance of the
// induction schema for the natural-number signature, typed at the sort of
// `variable`: with zero the constant "zero" and succ the function "succ" of
// that sort,
//     (body[zero] & forall v (body[v] -> body[succ(v)])) -> forall v body[v].
#include <nanobind/nanobind.h>

#include "quorvel/core/ast/api.h"
#include "quorvel/core/substitutions/api.h"
#include "quorvel/support/py/ref.h"

namespace nb = nanobind;
using namespace nb::literals;
namespace ast = quorvel::ast;
using quorvel::py::Ref;

namespace {

PyObject* substituted(PyObject* body, PyObject* v, PyObject* term) {
    Ref mapping(PyDict_New());
    if (!mapping || PyDict_SetItem(mapping.get(), v, term) < 0) return nullptr;
    return quorvel::substitutions::api().substitute_formula(body, mapping.get());
}

PyObject* instantiate_induction(PyObject* body, PyObject* v) {
    if (ast::kind_of(v) != ast::Kind::Variable) {
        PyErr_Format(PyExc_TypeError, "induction needs a Variable, got %S", reinterpret_cast<PyObject*>(Py_TYPE(v)));
        return nullptr;
    }
    const ast::Api& a = ast::api();
    auto type = [&](ast::Kind k) { return a.types[static_cast<int>(k)]; };
    PyObject* sort = ast::as_variable(v)->term.sort;
    Ref zero_name(PyUnicode_FromString("zero")), succ_name(PyUnicode_FromString("succ")), one(PyLong_FromLong(1));
    if (!zero_name || !succ_name || !one) return nullptr;
    Ref zero(a.new_constant(type(ast::Kind::Constant), zero_name.get(), sort));
    Ref args(PyTuple_Pack(1, v));
    if (!zero || !args) return nullptr;
    Ref succ(a.new_function_app(type(ast::Kind::FunctionApp), succ_name.get(), one.get(), args.get(), sort));
    if (!succ) return nullptr;
    Ref base(substituted(body, v, zero.get()));
    Ref next(substituted(body, v, succ.get()));
    if (!base || !next) return nullptr;
    Ref step_body(a.new_binary(type(ast::Kind::Implies), body, next.get()));
    if (!step_body) return nullptr;
    Ref step(a.new_quantifier(type(ast::Kind::Forall), v, step_body.get()));
    Ref conclusion(a.new_quantifier(type(ast::Kind::Forall), v, body));
    if (!step || !conclusion) return nullptr;
    Ref premise(a.new_binary(type(ast::Kind::And), base.get(), step.get()));
    if (!premise) return nullptr;
    return a.new_binary(type(ast::Kind::Implies), premise.get(), conclusion.get());
}

}  // namespace

NB_MODULE(kb_ext, m) {
    m.doc() = "Second-order knowledge: the induction template.";
    nb::module_::import_("quorvel.core.ast");
    if (ast::import_api() < 0 || quorvel::substitutions::import_api() < 0) throw nb::python_error();
    m.def("instantiate_induction",
          [](nb::handle body, nb::handle v) {
              PyObject* r = instantiate_induction(body.ptr(), v.ptr());
              if (!r) throw nb::python_error();
              return nb::steal(r);
          },
          "body"_a.none(), "variable"_a.none(), nb::sig("def instantiate_induction(body: Formula, variable: Variable) -> Formula"),
          R"doc(The induction instance for `body` over `variable`:
(body[zero] & forall v (body[v] -> body[succ(v)])) -> forall v body[v], with
zero and succ of the variable's sort.)doc");
}
