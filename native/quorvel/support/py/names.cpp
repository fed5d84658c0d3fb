#include "quorvel/support/py/names.h"

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

}  // namespace quorvel::py
