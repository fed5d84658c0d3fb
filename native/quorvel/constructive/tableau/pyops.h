// Python operations as the module's Python peer would spell them (attribute
// reads, method calls by name, `x in c`, `d.get(k, default)`, f-string
// formatting), with fast paths for the exact built-in containers. Every
// function returns NULL / false with an exception set on failure.
#pragma once

#include <Python.h>

#include <string>

#include "quorvel/constructive/tableau/state.h"
#include "quorvel/support/py/ref.h"

namespace quorvel::tableau {

using py::Ref;

inline Ref getattr(PyObject* o, PyObject* name) { return Ref(PyObject_GetAttr(o, name)); }

inline bool setattr(PyObject* o, PyObject* name, PyObject* value) { return PyObject_SetAttr(o, name, value) == 0; }

// o.name(*args)
template <class... A>
Ref call_method(PyObject* o, PyObject* name, A... args) {
    PyObject* argv[] = {o, args...};
    return Ref(PyObject_VectorcallMethod(name, argv, (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// item in container: 1, 0, or -1.
inline int contains(PyObject* container, PyObject* item) { return PySequence_Contains(container, item); }

// d.get(key, fallback) for a mapping; `fallback` is borrowed.
inline Ref mapping_get(PyObject* d, PyObject* key, PyObject* fallback) {
    if (PyDict_CheckExact(d)) {
        PyObject* v = PyDict_GetItemWithError(d, key);
        if (v) return Ref::borrow(v);
        if (PyErr_Occurred()) return Ref();
        return Ref::borrow(fallback);
    }
    PyObject* argv[] = {d, key, fallback};
    return Ref(PyObject_VectorcallMethod(names().get, argv, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// c.add(item) / l.append(item)
bool set_add(PyObject* s, PyObject* item);
bool list_append(PyObject* l, PyObject* item);

// A snapshot list of any iterable (new list).
inline Ref snapshot(PyObject* iterable) { return Ref(PySequence_List(iterable)); }

// Truth of a value as `if x:` decides it: 1, 0 or -1.
inline int truth(PyObject* o) { return PyObject_IsTrue(o); }

// Text of a value as an f-string replacement field writes it.
Ref format(PyObject* value);

// Appends a str (any code points, lone surrogates included) to UTF-8 text
// kept with "surrogatepass"; `text_of` returns it as str again.
bool append_utf8(std::string& out, PyObject* str);
bool append_formatted(std::string& out, PyObject* value);
Ref text_of(const std::string& utf8);

// (a, b) from a value unpacked as `a, b = value`.
bool unpack_pair(PyObject* value, Ref& a, Ref& b);

// The formula printer's text (default notation): new str or NULL.
Ref printer_text(PyObject* formula);
// The printer with `notation` passed on by name.
Ref printer_text(PyObject* formula, PyObject* notation);

}  // namespace quorvel::tableau
