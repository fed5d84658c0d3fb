// quorvel.core.sorts: the sort objects that terms carry.
#include <nanobind/nanobind.h>

#include <string>

#include "quorvel/support/py/record.h"
#include "quorvel/support/py/repr.h"

namespace nb = nanobind;
using quorvel::py::RecordSpec;
using quorvel::py::record_field;

namespace {

const char* const kNoFields[] = {nullptr};
const char* const kPrimitiveFields[] = {"name"};
const char* const kParameterizedFields[] = {"name", "params"};
const char* const kFunctionFields[] = {"domain", "codomain"};

// A function sort is named after its parts: "Ind * Ind -> Bool".
PyObject* function_sort_name(PyObject* self, void*) {
    std::string text;
    PyObject* domain = record_field(self, 0);
    PyObject* items = PySequence_Fast(domain, "FunctionSort domain must be a sequence of sorts");
    if (!items) return nullptr;
    Py_ssize_t n = PySequence_Fast_GET_SIZE(items);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (i) text += " * ";
        PyObject* name = PyObject_GetAttrString(PySequence_Fast_GET_ITEM(items, i), "name");
        bool ok = name && quorvel::py::append_text(text, name);
        Py_XDECREF(name);
        if (!ok) {
            Py_DECREF(items);
            return nullptr;
        }
    }
    Py_DECREF(items);
    text += " -> ";
    PyObject* name = PyObject_GetAttrString(record_field(self, 1), "name");
    bool ok = name && quorvel::py::append_text(text, name);
    Py_XDECREF(name);
    if (!ok) return nullptr;
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyGetSetDef function_sort_getset[] = {
    {"name", function_sort_name, nullptr, "The sort's name, made from its domain and codomain.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

nb::object make_type(const RecordSpec& type_spec) {
    PyTypeObject* type = quorvel::py::make_record_type(type_spec);
    if (!type) throw nb::python_error();
    return nb::steal(reinterpret_cast<PyObject*>(type));
}

nb::object make_primitive(nb::handle type, const char* name) {
    nb::str text(name);
    PyObject* value = text.ptr();
    PyObject* sort = quorvel::py::new_record(reinterpret_cast<PyTypeObject*>(type.ptr()), &value);
    if (!sort) throw nb::python_error();
    return nb::steal(sort);
}

}  // namespace

NB_MODULE(sorts, m) {
    m.doc() = "Sorts of many-sorted first-order logic.";
    nb::object sort = make_type({"quorvel.core.sorts.Sort", "The base of all sort objects.", kNoFields, 0, nullptr,
                                 nullptr});
    auto* base = reinterpret_cast<PyTypeObject*>(sort.ptr());
    nb::object primitive = make_type({"quorvel.core.sorts.PrimitiveSort", "A sort given by its name alone.",
                                      kPrimitiveFields, 1, base, nullptr});
    nb::object parameterized = make_type({"quorvel.core.sorts.ParameterizedSort",
                                          "A sort constructor applied to parameter sorts.", kParameterizedFields, 2,
                                          base, nullptr});
    nb::object function = make_type({"quorvel.core.sorts.FunctionSort", "The sort of functions from domain to codomain.",
                                     kFunctionFields, 2, base, function_sort_getset});
    m.attr("Sort") = sort;
    m.attr("PrimitiveSort") = primitive;
    m.attr("ParameterizedSort") = parameterized;
    m.attr("FunctionSort") = function;
    m.attr("Ind") = make_primitive(primitive, "Ind");
    m.attr("Nat") = make_primitive(primitive, "Nat");
    m.attr("Bool") = make_primitive(primitive, "Bool");
}
