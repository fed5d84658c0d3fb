// quorvel.core.exceptions: the errors the syntax tree raises.
#include <nanobind/nanobind.h>

namespace nb = nanobind;

NB_MODULE(exceptions, m) {
    m.doc() = "Exceptions of the quorvel core.";
    PyObject* error = PyErr_NewExceptionWithDoc("quorvel.core.exceptions.InvalidFormulaError",
                                                "A term or formula failed its construction checks.", nullptr, nullptr);
    if (!error) throw nb::python_error();
    m.attr("InvalidFormulaError") = nb::steal(error);
}
