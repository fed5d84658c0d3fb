#include "quorvel/support/py/premises.h"

#include "quorvel/support/py/constructive.h"
#include "quorvel/support/py/ref.h"

namespace quorvel::py {

PyObject* normalize_premises(PyObject* premises) {
    if (premises == Py_None) return PyTuple_New(0);
    if (!PyList_Check(premises) && !PyTuple_Check(premises)) {
        PyErr_Format(PyExc_TypeError, "%s%s", kPremisesType, Py_TYPE(premises)->tp_name);
        return nullptr;
    }
    // Item by item: a normalisation that runs user code may change a list.
    Ref list(PyList_New(0));
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(premises); ++i) {
        Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(premises, i));
        Ref normal(normalize_formula(item.get()));
        if (!normal || PyList_Append(list.get(), normal.get()) < 0) return nullptr;
    }
    return PyList_AsTuple(list.get());
}

}  // namespace quorvel::py
