// quorvel.core.signature: registration only.
#include <nanobind/nanobind.h>

#include "quorvel/core/signature/table.h"

namespace nb = nanobind;

namespace quorvel::signature {

State& state() {
    static State s;
    return s;
}

}  // namespace quorvel::signature

NB_MODULE(signature, m) {
    using namespace quorvel::signature;
    m.doc() = "Symbol tables of first-order problems.";
    State& s = state();
    s.ind = nb::module_::import_("quorvel.core.sorts").attr("Ind").inc_ref().ptr();
    if (!create_type()) throw nb::python_error();
    m.attr("Signature") = nb::handle(reinterpret_cast<PyObject*>(s.api.type));
    s.api.version = kApiVersion;
    s.api.register_predicate = register_predicate;
    s.api.register_function = register_function;
    s.api.register_constant = register_constant;
    s.api.table = table;
    PyObject* capsule = PyCapsule_New(&s.api, kCapsuleName, nullptr);
    if (!capsule) throw nb::python_error();
    m.attr("_C_API") = nb::steal(capsule);
}
