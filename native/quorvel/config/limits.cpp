#include "quorvel/config/limits.h"

#include <cmath>

namespace quorvel::config {

PyObject* normalised_steps(PyObject* value) {
    if (!PyLong_Check(value) || PyBool_Check(value)) {
        PyErr_Format(PyExc_TypeError, "prover_max_steps must be int, got %S", reinterpret_cast<PyObject*>(Py_TYPE(value)));
        return nullptr;
    }
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    if (overflow > 0) return PyNumber_Index(value);
    if (overflow < 0 || n < 1) return PyLong_FromLong(1);
    return PyLong_FromLongLong(n);
}

PyObject* normalised_timeout(PyObject* value) {
    if (PyBool_Check(value) || !(PyFloat_Check(value) || PyLong_Check(value))) {
        PyErr_Format(PyExc_TypeError, "prover_timeout_sec must be a number, got %S",
                     reinterpret_cast<PyObject*>(Py_TYPE(value)));
        return nullptr;
    }
    double t = PyFloat_AsDouble(value);
    if (t == -1.0 && PyErr_Occurred()) return nullptr;
    if (std::isnan(t) || !(t > kMinTimeout)) t = kMinTimeout;
    return PyFloat_FromDouble(t);
}

}  // namespace quorvel::config
