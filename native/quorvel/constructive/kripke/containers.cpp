// The container protocol the model's operations use, with fast paths for
// the exact built-in types and Python's own behaviour for anything else a
// caller may have stored.
#include "quorvel/constructive/kripke/model.h"

namespace quorvel::kripke {

int contains(PyObject* container, PyObject* item) {
    if (PyDict_CheckExact(container)) return PyDict_Contains(container, item);
    if (PyAnySet_CheckExact(container)) return PySet_Contains(container, item);
    return PySequence_Contains(container, item);
}

PyObject* get_item(PyObject* mapping, PyObject* key) {
    if (PyDict_CheckExact(mapping)) {
        PyObject* v = PyDict_GetItemWithError(mapping, key);
        if (v) return Py_NewRef(v);
        if (PyErr_Occurred()) return nullptr;
        return PyObject_GetItem(mapping, key);  // raises the KeyError as dict[key] does
    }
    return PyObject_GetItem(mapping, key);
}

int set_item(PyObject* mapping, PyObject* key, PyObject* value) {
    if (PyDict_CheckExact(mapping)) return PyDict_SetItem(mapping, key, value);
    return PyObject_SetItem(mapping, key, value);
}

int add_to(PyObject* set, PyObject* item) {
    if (PySet_CheckExact(set)) return PySet_Add(set, item);
    PyObject* r = PyObject_CallMethodOneArg(set, state().s_add, item);
    if (!r) return -1;
    Py_DECREF(r);
    return 0;
}

PyObject* snapshot(PyObject* iterable) { return PySequence_List(iterable); }

bool members_of(PyObject* container, std::vector<PyObject*>& out, Ref& keep) {
#ifndef Py_GIL_DISABLED
    if (PyAnySet_CheckExact(container)) {
        // Live entries have a key and a real hash; a deleted slot holds the
        // dummy key with hash -1.
        auto* so = reinterpret_cast<PySetObject*>(container);
        for (Py_ssize_t i = 0; i <= so->mask; ++i) {
            const setentry& e = so->table[i];
            if (e.key && e.hash != -1) out.push_back(e.key);
        }
        keep = Ref::borrow(container);
        return true;
    }
#endif
    keep = Ref(PySequence_List(container));
    if (!keep) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keep.get()); ++i) out.push_back(PyList_GET_ITEM(keep.get(), i));
    return true;
}

}  // namespace quorvel::kripke
