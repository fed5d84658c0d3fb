// Signature: three tables of declared symbols, in the order of first
// declaration. Declaring a name again replaces its entry (the newest
// declaration wins, at the place of the first), whatever its arity.
#include "quorvel/core/signature/table.h"

#include "quorvel/support/py/args.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/ref.h"

namespace quorvel::signature {

using py::Ref;

namespace {

SignatureObject* as_signature(PyObject* o) { return reinterpret_cast<SignatureObject*>(o); }

bool check_name(PyObject* name) {
    if (PyUnicode_Check(name) && PyUnicode_GET_LENGTH(name) > 0) return true;
    if (PyUnicode_Check(name)) {
        PyErr_SetString(PyExc_ValueError, "symbol name cannot be empty");
    } else {
        PyErr_Format(PyExc_TypeError, "symbol name must be str, got %S", reinterpret_cast<PyObject*>(Py_TYPE(name)));
    }
    return false;
}

// The arity as a non-negative Python int (new reference), or NULL.
PyObject* checked_arity(PyObject* arity) {
    if (!PyLong_Check(arity) || PyBool_Check(arity)) {
        PyErr_Format(PyExc_TypeError, "arity must be int, got %S", reinterpret_cast<PyObject*>(Py_TYPE(arity)));
        return nullptr;
    }
    if (PyLong_AsLongLong(arity) < 0 || PyErr_Occurred()) {
        if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_ValueError, "arity must be a non-negative int, got %S", arity);
        }
        return nullptr;
    }
    return Py_NewRef(arity);
}

// The argument sorts as a tuple of `arity` sorts (new reference): None gives
// the default sort for every argument.
PyObject* checked_sorts(PyObject* arg_sorts, PyObject* arity) {
    Py_ssize_t n = PyLong_AsSsize_t(arity);
    if (n < 0) return nullptr;
    if (!arg_sorts || arg_sorts == Py_None) {
        Ref tuple(PyTuple_New(n));
        if (!tuple) return nullptr;
        for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(state().ind));
        return tuple.release();
    }
    Ref tuple(PySequence_Tuple(arg_sorts));
    if (!tuple) return nullptr;
    if (PyTuple_GET_SIZE(tuple.get()) != n) {
        PyErr_Format(PyExc_ValueError, "expected %zd argument sorts for arity %zd, got %zd", n, n,
                     PyTuple_GET_SIZE(tuple.get()));
        return nullptr;
    }
    return tuple.release();
}

// Enters name -> (arity, argument sorts[, return sort]) into a table.
int declare(PyObject* sig, Table table, PyObject* name, PyObject* arity, PyObject* arg_sorts, PyObject* return_sort) {
    return py::guard<int>(-1, [&]() -> int {
        if (!check_name(name)) return -1;
        Ref n(checked_arity(arity));
        if (!n) return -1;
        Ref sorts(checked_sorts(arg_sorts, n.get()));
        if (!sorts) return -1;
        Ref entry(return_sort ? PyTuple_Pack(3, n.get(), sorts.get(), return_sort) : PyTuple_Pack(2, n.get(), sorts.get()));
        if (!entry) return -1;
        return PyDict_SetItem(as_signature(sig)->tables[static_cast<int>(table)], name, entry.get());
    });
}

// A sort left out or given as None is Ind.
PyObject* sort_or_ind(PyObject* sort) { return sort && sort != Py_None ? sort : state().ind; }

}  // namespace

int register_predicate(PyObject* sig, PyObject* name, PyObject* arity, PyObject* arg_sorts) {
    return declare(sig, Table::Predicates, name, arity, arg_sorts, nullptr);
}

int register_function(PyObject* sig, PyObject* name, PyObject* arity, PyObject* arg_sorts, PyObject* return_sort) {
    return declare(sig, Table::Functions, name, arity, arg_sorts, sort_or_ind(return_sort));
}

int register_constant(PyObject* sig, PyObject* name, PyObject* sort) {
    if (!check_name(name)) return -1;
    return PyDict_SetItem(as_signature(sig)->tables[2], name, sort_or_ind(sort));
}

PyObject* table(PyObject* sig, Table which) { return as_signature(sig)->tables[static_cast<int>(which)]; }

}  // namespace quorvel::signature
