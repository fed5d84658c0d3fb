#include "quorvel/support/py/record.h"

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "quorvel/support/py/args.h"
#include "quorvel/support/py/compat.h"
#include "quorvel/support/py/frozen_init.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/hashing.h"
#include "quorvel/support/py/repr.h"

namespace quorvel::py {
namespace {

// Per-type description, kept for the process lifetime (types are made once
// per module import).
struct RecordInfo {
    std::string init_name;
    std::vector<const char*> names;
    Signature signature;
    std::vector<PyMemberDef> members;
};

RecordInfo* info_of(PyTypeObject* type) {
    // Walk to the record type that was made by make_record_type (Python
    // subclasses hold no info of their own).
    for (PyTypeObject* t = type; t; t = t->tp_base) {
        PyObject* cap = PyDict_GetItemString(t->tp_dict, "__quorvel_record__");
        if (cap) return static_cast<RecordInfo*>(PyCapsule_GetPointer(cap, nullptr));
    }
    return nullptr;
}

int nfields_of(PyObject* self) {
    RecordInfo* info = info_of(Py_TYPE(self));
    return info ? static_cast<int>(info->names.size()) : 0;
}

int record_init(PyObject* self, PyObject* args, PyObject* kwargs);

// A subclass with an __init__ of its own gets a record of None fields, which
// super().__init__(...) fills.
PyObject* record_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        RecordInfo* info = info_of(type);
        std::vector<PyObject*> values(info->names.size(), Py_None);
        if (!builds_in_init(type, record_init) && !parse_tuple(info->signature, args, kwargs, values.data()))
            return nullptr;
        return new_record(type, values.data());
    });
}

int record_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard<int>(-1, [&]() -> int {
        if (!builds_in_init(Py_TYPE(self), record_init)) return 0;  // record_new used these arguments
        RecordInfo* info = info_of(Py_TYPE(self));
        std::vector<PyObject*> values(info->names.size());
        if (!parse_tuple(info->signature, args, kwargs, values.data())) return -1;
        return fill_record(self, values.data());
    });
}

// Frozen dataclass assignment: refused for every name on the record class
// itself, for the field names only on a Python subclass.
int record_setattro(PyObject* self, PyObject* name, PyObject* value) {
    PyObject* own = PyDict_GetItemString(Py_TYPE(self)->tp_dict, "__quorvel_record__");
    if (!own && PyUnicode_Check(name)) {
        RecordInfo* info = info_of(Py_TYPE(self));
        bool field = false;
        for (const char* f : info->names) field = field || PyUnicode_CompareWithASCIIString(name, f) == 0;
        if (!field) return PyObject_GenericSetAttr(self, name, value);
    }
    return refuse_assignment(self, name, value);
}

void record_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    int n = nfields_of(self);
    auto* r = reinterpret_cast<RecordObject*>(self);
    for (int i = 0; i < n; ++i) Py_CLEAR(r->fields[i]);
    type->tp_free(self);
    Py_DECREF(type);
}

int record_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    int n = nfields_of(self);
    auto* r = reinterpret_cast<RecordObject*>(self);
    for (int i = 0; i < n; ++i) Py_VISIT(r->fields[i]);
    return 0;
}

Py_hash_t record_hash(PyObject* self) { return reinterpret_cast<RecordObject*>(self)->hash; }

PyObject* record_richcompare(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(a) != Py_TYPE(b)) Py_RETURN_NOTIMPLEMENTED;
    int n = nfields_of(a);
    bool equal = true;
    if (a != b) {
        auto* ra = reinterpret_cast<RecordObject*>(a);
        auto* rb = reinterpret_cast<RecordObject*>(b);
        for (int i = 0; i < n && equal; ++i) {
            int r = PyObject_RichCompareBool(ra->fields[i], rb->fields[i], Py_EQ);
            if (r < 0) return nullptr;
            equal = r == 1;
        }
    }
    return PyBool_FromLong(equal == (op == Py_EQ));
}

PyObject* record_repr(PyObject* self) {
    return guarded_repr(self, [&]() -> PyObject* {
        return guard<PyObject*>(nullptr, [&]() -> PyObject* {
            RecordInfo* info = info_of(Py_TYPE(self));
            ReprWriter w(self);
            auto* r = reinterpret_cast<RecordObject*>(self);
            for (size_t i = 0; i < info->names.size(); ++i)
                if (!w.field(info->names[i], r->fields[i])) return nullptr;
            return w.finish();
        });
    });
}

// Pickling and copying: the class called with the fields.
PyObject* record_reduce(PyObject* self, PyObject*) {
    int n = nfields_of(self);
    PyObject* args = PyTuple_New(n);
    if (!args) return nullptr;
    for (int i = 0; i < n; ++i) PyTuple_SET_ITEM(args, i, Py_NewRef(reinterpret_cast<RecordObject*>(self)->fields[i]));
    return Py_BuildValue("(ON)", reinterpret_cast<PyObject*>(Py_TYPE(self)), args);
}

PyMethodDef record_methods[] = {
    {"__reduce__", record_reduce, METH_NOARGS, "Pickles the record by its fields."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int refuse_assignment(PyObject*, PyObject* name, PyObject* value) {
    static PyObject* frozen_error = nullptr;
    if (!frozen_error) {
        PyObject* dc = PyImport_ImportModule("dataclasses");
        if (!dc) return -1;
        frozen_error = PyObject_GetAttrString(dc, "FrozenInstanceError");
        Py_DECREF(dc);
        if (!frozen_error) return -1;
    }
    PyErr_Format(frozen_error, value ? "cannot assign to field %R" : "cannot delete field %R", name);
    return -1;
}

PyObject* new_record(PyTypeObject* type, PyObject* const* values) {
    RecordInfo* info = info_of(type);
    int n = static_cast<int>(info->names.size());
    TupleHash h;
    for (int i = 0; i < n; ++i)
        if (!h.add(values[i])) return nullptr;
    auto* r = reinterpret_cast<RecordObject*>(type->tp_alloc(type, 0));
    if (!r) return nullptr;
    bool acyclic = true;
    for (int i = 0; i < n; ++i) {
        r->fields[i] = Py_NewRef(values[i]);
        acyclic = acyclic && !(PyObject_IS_GC(values[i]) && PyObject_GC_IsTracked(values[i]));
    }
    r->hash = h.finish();
    // A record over values that reach no cycle (a sort named by a str) is
    // kept out of the collector, and so are the nodes that carry it.
    if (acyclic && Py_TYPE(r)->tp_dictoffset == 0) PyObject_GC_UnTrack(r);
    return reinterpret_cast<PyObject*>(r);
}

int fill_record(PyObject* record, PyObject* const* values) {
    int n = nfields_of(record);
    TupleHash h;
    for (int i = 0; i < n; ++i)
        if (!h.add(values[i])) return -1;
    auto* r = reinterpret_cast<RecordObject*>(record);
    for (int i = 0; i < n; ++i) Py_SETREF(r->fields[i], Py_NewRef(values[i]));
    r->hash = h.finish();
    return 0;
}

PyTypeObject* make_record_type(const RecordSpec& record) {
    return guard<PyTypeObject*>(nullptr, [&]() -> PyTypeObject* {
        auto* info = new RecordInfo;  // lives as long as the process
        const char* dot = std::strrchr(record.name, '.');
        std::string short_name = dot ? dot + 1 : record.name;
        info->init_name = short_name + ".__init__";
        info->names.assign(record.fields, record.fields + record.nfields);
        info->signature = Signature{info->init_name.c_str(), info->names.data(), record.nfields, record.nfields, 0, true};
        for (int i = 0; i < record.nfields; ++i)
            info->members.push_back(PyMemberDef{record.fields[i], Py_T_OBJECT_EX,
                                                static_cast<Py_ssize_t>(offsetof(RecordObject, fields) +
                                                                        i * sizeof(PyObject*)),
                                                Py_READONLY, nullptr});
        info->members.push_back(PyMemberDef{nullptr, 0, 0, 0, nullptr});

        std::vector<PyType_Slot> slots = {
            {Py_tp_new, reinterpret_cast<void*>(record.new_func ? record.new_func : record_new)},
            {Py_tp_init, reinterpret_cast<void*>(record.init_func ? record.init_func : record_init)},
            {Py_tp_dealloc, reinterpret_cast<void*>(record_dealloc)},
            {Py_tp_traverse, reinterpret_cast<void*>(record_traverse)},
            {Py_tp_hash, reinterpret_cast<void*>(record_hash)},
            {Py_tp_richcompare, reinterpret_cast<void*>(record_richcompare)},
            {Py_tp_repr, reinterpret_cast<void*>(record_repr)},
            {Py_tp_setattro, reinterpret_cast<void*>(record_setattro)},
            {Py_tp_members, info->members.data()},
            {Py_tp_methods, record_methods},
            {Py_tp_doc, const_cast<char*>(record.doc)},
        };
        if (record.extra_getset) slots.push_back({Py_tp_getset, record.extra_getset});
        slots.push_back({0, nullptr});
        PyType_Spec type_spec{record.name,
                              static_cast<int>(offsetof(RecordObject, fields) + record.nfields * sizeof(PyObject*)),
                              0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                              slots.data()};
        PyObject* bases = record.base ? PyTuple_Pack(1, record.base) : nullptr;
        PyObject* type = PyType_FromSpecWithBases(&type_spec, bases);
        Py_XDECREF(bases);
        if (!type) return nullptr;
        PyObject* cap = PyCapsule_New(info, nullptr, nullptr);
        if (!cap || PyDict_SetItemString(reinterpret_cast<PyTypeObject*>(type)->tp_dict, "__quorvel_record__", cap) < 0) {
            Py_XDECREF(cap);
            Py_DECREF(type);
            return nullptr;
        }
        Py_DECREF(cap);
        PyType_Modified(reinterpret_cast<PyTypeObject*>(type));
        return reinterpret_cast<PyTypeObject*>(type);
    });
}

}  // namespace quorvel::py
