#include "quorvel/support/py/names.h"

#include <charconv>
#include <cstring>

namespace quorvel::py {

PyObject* interned_tuple(const char* const* names, int n) {
    PyObject* tuple = PyTuple_New(n);
    if (!tuple) return nullptr;
    for (int i = 0; i < n; ++i) {
        PyObject* s = PyUnicode_InternFromString(names[i]);
        if (!s) {
            Py_DECREF(tuple);
            return nullptr;
        }
        PyTuple_SET_ITEM(tuple, i, s);
    }
    return tuple;
}

PyObject* NumberedNames::get(size_t n) {
    if (n < kCached && cache_[n]) return Py_NewRef(cache_[n]);
    char text[64];
    size_t length = std::strlen(prefix_);
    if (length > sizeof text - 24) length = sizeof text - 24;
    std::memcpy(text, prefix_, length);
    char* end = std::to_chars(text + length, text + sizeof text, n).ptr;
    PyObject* name = PyUnicode_FromStringAndSize(text, end - text);
    if (name && n < kCached) cache_[n] = Py_NewRef(name);
    return name;
}

}  // namespace quorvel::py
