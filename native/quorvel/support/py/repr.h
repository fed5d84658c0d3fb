// The dataclass-style representation "Name(field=value, ...)", shared by the
// records of every module.
#pragma once

#include <Python.h>

#include <string>

namespace quorvel::py {

// Appends the UTF-8 text of a str to `out`; false with an exception set.
bool append_str(std::string& out, PyObject* text);
// Appends repr(value); false with an exception set.
bool append_repr(std::string& out, PyObject* value);

class ReprWriter {
public:
    // Starts "Qualname(" for the class of `self`.
    explicit ReprWriter(PyObject* self);
    // Adds "name=repr(value)", separated by ", ".
    bool field(const char* name, PyObject* value);
    // New str, or NULL with an exception set.
    PyObject* finish();

private:
    std::string text_;
    bool first_ = true;
    bool ok_ = true;
};

// Runs `body` (returning a new reference or NULL) between Py_ReprEnter and
// Py_ReprLeave, so a record that contains itself prints "..." as a dataclass
// does.
template <class Body>
PyObject* guarded_repr(PyObject* self, Body body) {
    int entered = Py_ReprEnter(self);
    if (entered != 0) return entered > 0 ? PyUnicode_FromString("...") : nullptr;
    PyObject* result = body();
    Py_ReprLeave(self);
    return result;
}

// str(value) as UTF-8; false with an exception set.
bool append_text(std::string& out, PyObject* value);

}  // namespace quorvel::py
