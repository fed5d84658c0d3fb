// Slots of a mutable dataclass: N object fields after the object head, then
// an instance __dict__ and a weak-reference list. __init__ takes the fields
// by position or name with per-field defaults (fresh containers for the
// "field(default_factory=...)" ones), equality compares same-class records
// field by field, the repr is the dataclass repr, and instances are
// unhashable. Fields are writable and deletable; a deleted field reads as
// the AttributeError Python raises.
#pragma once

#include <Python.h>

#include "quorvel/support/py/args.h"
#include "quorvel/support/py/compat.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/ref.h"
#include "quorvel/support/py/repr.h"

namespace quorvel::tableau {

enum class Default : uint8_t { Required, None, False, EmptyText, EmptyTuple, NewList, NewDict, NewSet };

struct RecordDesc {
    const char* const* names;
    const Default* defaults;
    int n;
    py::Signature init;
};

inline PyObject** record_fields(PyObject* o) {
    return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o) + sizeof(PyObject));
}
constexpr Py_ssize_t record_dict_offset(int n) { return static_cast<Py_ssize_t>(sizeof(PyObject) + n * sizeof(PyObject*)); }
constexpr Py_ssize_t record_weaklist_offset(int n) { return record_dict_offset(n) + static_cast<Py_ssize_t>(sizeof(PyObject*)); }
constexpr int record_basicsize(int n) { return static_cast<int>(record_weaklist_offset(n) + sizeof(PyObject*)); }

inline PyObject* make_default(Default d) {
    switch (d) {
        case Default::None: return Py_NewRef(Py_None);
        case Default::False: return Py_NewRef(Py_False);
        case Default::EmptyText: return PyUnicode_FromStringAndSize("", 0);
        case Default::EmptyTuple: return PyTuple_New(0);
        case Default::NewList: return PyList_New(0);
        case Default::NewDict: return PyDict_New();
        case Default::NewSet: return PySet_New(nullptr);
        case Default::Required: break;
    }
    return nullptr;
}

// self.<field i>, new reference; the AttributeError of a deleted field.
template <const RecordDesc& D>
PyObject* record_get(PyObject* self, int i) {
    PyObject* v = record_fields(self)[i];
    if (v) return Py_NewRef(v);
    return PyObject_GetAttrString(self, D.names[i]);
}

template <const RecordDesc& D>
int record_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guard<int>(-1, [&]() -> int {
        PyObject* given[8];
        if (!py::parse_tuple(D.init, args, kwargs, given)) return -1;
        PyObject* values[8];
        for (int i = 0; i < D.n; ++i) {
            values[i] = given[i] ? Py_NewRef(given[i]) : make_default(D.defaults[i]);
            if (!values[i]) {
                for (int k = 0; k < i; ++k) Py_DECREF(values[k]);
                return -1;
            }
        }
        PyObject** f = record_fields(self);
        for (int i = 0; i < D.n; ++i) Py_XSETREF(f[i], values[i]);
        return 0;
    });
}

template <const RecordDesc& D>
int record_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    PyObject** f = record_fields(self);
    for (int i = 0; i < D.n; ++i) Py_VISIT(f[i]);
    Py_VISIT(*reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + record_dict_offset(D.n)));
    return 0;
}

template <const RecordDesc& D>
int record_clear(PyObject* self) {
    PyObject** f = record_fields(self);
    for (int i = 0; i < D.n; ++i) Py_CLEAR(f[i]);
    Py_CLEAR(*reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + record_dict_offset(D.n)));
    return 0;
}

template <const RecordDesc& D>
void record_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    // Trees of nodes hang off these fields; the trashcan keeps freeing a
    // deep one from recursing on the C stack.
    Py_TRASHCAN_BEGIN(self, record_dealloc<D>)
    if (*reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + record_weaklist_offset(D.n)))
        PyObject_ClearWeakRefs(self);
    record_clear<D>(self);
    type->tp_free(self);
    Py_DECREF(type);
    Py_TRASHCAN_END
}

template <const RecordDesc& D>
PyObject* record_richcompare(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(a) != Py_TYPE(b)) Py_RETURN_NOTIMPLEMENTED;
    bool equal = true;
    if (a != b) {
        for (int i = 0; i < D.n && equal; ++i) {
            py::Ref x(record_get<D>(a, i));
            if (!x) return nullptr;
            py::Ref y(record_get<D>(b, i));
            if (!y) return nullptr;
            int r = PyObject_RichCompareBool(x.get(), y.get(), Py_EQ);
            if (r < 0) return nullptr;
            equal = r == 1;
        }
    }
    return PyBool_FromLong(equal == (op == Py_EQ));
}

template <const RecordDesc& D>
PyObject* record_repr(PyObject* self) {
    return py::guarded_repr(self, [&]() -> PyObject* {
        return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
            py::ReprWriter w(self);
            for (int i = 0; i < D.n; ++i) {
                py::Ref v(record_get<D>(self, i));
                if (!v || !w.field(D.names[i], v.get())) return nullptr;
            }
            return w.finish();
        });
    });
}

// Pickling and copying as a dataclass instance does: the state is a dict of
// the fields and the instance's other attributes, set back by name.
template <const RecordDesc& D>
PyObject* record_getstate(PyObject* self, PyObject*) {
    py::Ref state(PyDict_New());
    if (!state) return nullptr;
    PyObject** f = record_fields(self);
    for (int i = 0; i < D.n; ++i)
        if (f[i] && PyDict_SetItemString(state.get(), D.names[i], f[i]) < 0) return nullptr;
    PyObject* dict = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + record_dict_offset(D.n));
    if (dict && PyDict_Update(state.get(), dict) < 0) return nullptr;
    return state.release();
}

template <const RecordDesc& D>
PyObject* record_setstate(PyObject* self, PyObject* state) {
    if (!PyDict_Check(state)) {
        PyErr_SetString(PyExc_TypeError, "state must be a dict");
        return nullptr;
    }
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(state, &pos, &key, &value))
        if (PyObject_SetAttr(self, key, value) < 0) return nullptr;
    Py_RETURN_NONE;
}

#define QUORVEL_RECORD_PICKLING(desc)                                                      \
    {"__getstate__", record_getstate<desc>, METH_NOARGS, nullptr},                         \
        {"__setstate__", record_setstate<desc>, METH_O, nullptr}

// `__dict__` for a type that keeps an instance dictionary at tp_dictoffset.
inline PyGetSetDef kInstanceDict[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The member table of the N fields plus __dictoffset__ and
// __weaklistoffset__; `members` must have room for N + 3 entries.
void fill_record_members(const RecordDesc& d, PyMemberDef* members);

// Sets __match_args__ on a new record type; false with an exception set.
bool set_match_args(PyTypeObject* type, const RecordDesc& d);

}  // namespace quorvel::tableau
