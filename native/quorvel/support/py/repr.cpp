#include "quorvel/support/py/repr.h"

namespace quorvel::py {

bool append_str(std::string& out, PyObject* text) {
    Py_ssize_t n;
    const char* s = PyUnicode_AsUTF8AndSize(text, &n);
    if (!s) return false;
    out.append(s, static_cast<size_t>(n));
    return true;
}

bool append_repr(std::string& out, PyObject* value) {
    PyObject* r = PyObject_Repr(value);
    if (!r) return false;
    bool ok = append_str(out, r);
    Py_DECREF(r);
    return ok;
}

bool append_text(std::string& out, PyObject* value) {
    if (PyUnicode_Check(value)) return append_str(out, value);
    PyObject* r = PyObject_Str(value);
    if (!r) return false;
    bool ok = append_str(out, r);
    Py_DECREF(r);
    return ok;
}

ReprWriter::ReprWriter(PyObject* self) {
    PyObject* name = PyType_GetQualName(Py_TYPE(self));
    if (!name) {
        ok_ = false;
        return;
    }
    ok_ = append_str(text_, name);
    Py_DECREF(name);
    text_ += '(';
}

bool ReprWriter::field(const char* name, PyObject* value) {
    if (!ok_) return false;
    if (!first_) text_ += ", ";
    first_ = false;
    text_ += name;
    text_ += '=';
    ok_ = append_repr(text_, value);
    return ok_;
}

PyObject* ReprWriter::finish() {
    if (!ok_) return nullptr;
    text_ += ')';
    return PyUnicode_FromStringAndSize(text_.data(), static_cast<Py_ssize_t>(text_.size()));
}

}  // namespace quorvel::py
