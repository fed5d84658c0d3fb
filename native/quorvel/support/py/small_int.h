// Reading a small int in place, without a call into the interpreter: walks
// read an int (a variable's id) at every other node.
#pragma once

#include <Python.h>

namespace quorvel::py {

// The value of an exact int of at most one digit; false for any other int.
inline bool small_int(PyObject* o, long long& out) {
#if PY_VERSION_HEX >= 0x030C0000
    if (!PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) return false;
    out = static_cast<long long>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o)));
    return true;
#else
    Py_ssize_t size = Py_SIZE(o);
    if (size < -1 || size > 1) return false;
    out = size ? size * static_cast<long long>(reinterpret_cast<PyLongObject*>(o)->ob_digit[0]) : 0;
    return true;
#endif
}

// The value of an exact int that fits a long long; false (no exception set)
// for a larger one.
inline bool long_long_value(PyObject* o, long long& out) {
    if (small_int(o, out)) return true;
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(o, &overflow);
    return !overflow;
}

}  // namespace quorvel::py
