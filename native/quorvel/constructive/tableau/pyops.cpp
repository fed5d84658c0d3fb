#include "quorvel/constructive/tableau/pyops.h"

#include "quorvel/core/ast/api.h"
#include "quorvel/support/py/printer.h"

namespace quorvel::tableau {

bool set_add(PyObject* s, PyObject* item) {
    if (PySet_CheckExact(s)) return PySet_Add(s, item) == 0;
    return static_cast<bool>(call_method(s, names().add, item));
}

bool list_append(PyObject* l, PyObject* item) {
    if (PyList_CheckExact(l)) return PyList_Append(l, item) == 0;
    return static_cast<bool>(call_method(l, names().append, item));
}

Ref format(PyObject* value) {
    if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
    return Ref(PyObject_Format(value, nullptr));
}

bool append_utf8(std::string& out, PyObject* str) {
    if (PyUnicode_IS_ASCII(str)) {
        out.append(static_cast<const char*>(PyUnicode_DATA(str)), static_cast<size_t>(PyUnicode_GET_LENGTH(str)));
        return true;
    }
    Ref bytes(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    if (!bytes) return false;
    out.append(PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
    return true;
}

bool append_formatted(std::string& out, PyObject* value) {
    Ref text = format(value);
    return text && append_utf8(out, text.get());
}

Ref text_of(const std::string& utf8) {
    return Ref(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "surrogatepass"));
}

bool unpack_pair(PyObject* value, Ref& a, Ref& b) {
    if (PyTuple_CheckExact(value) && PyTuple_GET_SIZE(value) == 2) {
        a = Ref::borrow(PyTuple_GET_ITEM(value, 0));
        b = Ref::borrow(PyTuple_GET_ITEM(value, 1));
        return true;
    }
    Ref it(PyObject_GetIter(value));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value)->tp_name);
        }
        return false;
    }
    Ref items[3];
    int n = 0;
    for (; n < 3; ++n) {
        items[n] = Ref(PyIter_Next(it.get()));
        if (!items[n]) break;
    }
    if (PyErr_Occurred()) return false;
    if (n < 2) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", n);
        return false;
    }
    if (n > 2) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return false;
    }
    a = items[0];
    b = items[1];
    return true;
}

Ref printer_text(PyObject* formula) {
    if (ast::kind_of(formula) != ast::Kind::None) return Ref(py::format_node(formula, py::Notation::Infix));
    return Ref(PyObject_CallOneArg(state().printer, formula));
}

Ref printer_text(PyObject* formula, PyObject* notation) {
    py::Notation n;
    if (ast::kind_of(formula) != ast::Kind::None && PyUnicode_CheckExact(notation) && py::parse_notation(notation, n) &&
        n != py::Notation::Prefix)
        return Ref(py::format_node(formula, n));
    PyObject* argv[] = {formula, notation};
    Ref kwnames(PyTuple_Pack(1, names().notation));
    if (!kwnames) return Ref();
    return Ref(PyObject_Vectorcall(state().printer, argv, 1, kwnames.get()));
}

}  // namespace quorvel::tableau
