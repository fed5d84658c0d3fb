#include "quorvel/support/py/args.h"

#include <string>

namespace quorvel::py {
namespace {

int total(const Signature& sig) { return sig.positional + sig.keyword_only; }

void too_many_positional(const Signature& sig, Py_ssize_t given) {
    int extra = sig.counts_self ? 1 : 0;
    int lo = sig.required + extra, hi = sig.positional + extra;
    std::string takes = lo == hi ? std::to_string(hi) : "from " + std::to_string(lo) + " to " + std::to_string(hi);
    const char* noun = hi == 1 && lo == hi ? "argument" : "arguments";
    Py_ssize_t n = given + extra;
    PyErr_Format(PyExc_TypeError, "%s() takes %s positional %s but %zd %s given", sig.function, takes.c_str(), noun,
                 n, n == 1 ? "was" : "were");
}

void missing(const Signature& sig, PyObject** out) {
    std::string names;
    int count = 0;
    for (int i = 0; i < sig.required; ++i)
        if (!out[i]) ++count;
    int seen = 0;
    for (int i = 0; i < sig.required; ++i) {
        if (out[i]) continue;
        ++seen;
        if (seen > 1) names += count == 2 ? " and " : (seen == count ? ", and " : ", ");
        names += "'";
        names += sig.names[i];
        names += "'";
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %d required positional argument%s: %s", sig.function, count,
                 count == 1 ? "" : "s", names.c_str());
}

// Index of keyword `key` among the parameters, -1 when unknown, -2 on error.
int find(const Signature& sig, PyObject* key) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", sig.function);
        return -2;
    }
    for (int i = 0; i < total(sig); ++i)
        if (PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) return i;
    return -1;
}

bool take_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** out) {
    int i = find(sig, key);
    if (i == -2) return false;
    if (i == -1) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.function, key);
        return false;
    }
    if (out[i]) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.function, sig.names[i]);
        return false;
    }
    out[i] = value;
    return true;
}

bool start(const Signature& sig, Py_ssize_t nargs, PyObject* const* args, PyObject** out) {
    for (int i = 0; i < total(sig); ++i) out[i] = nullptr;
    if (nargs > sig.positional) {
        too_many_positional(sig, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    return true;
}

bool finish(const Signature& sig, PyObject** out) {
    for (int i = 0; i < sig.required; ++i)
        if (!out[i]) {
            missing(sig, out);
            return false;
        }
    return true;
}

}  // namespace

bool parse_vector(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  PyObject** out) {
    if (!start(sig, nargs, args, out)) return false;
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k)
            if (!take_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
    }
    return finish(sig, out);
}

bool parse_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    if (!start(sig, nargs, args ? reinterpret_cast<PyTupleObject*>(args)->ob_item : nullptr, out)) return false;
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value))
            if (!take_keyword(sig, key, value, out)) return false;
    }
    return finish(sig, out);
}

}  // namespace quorvel::py
