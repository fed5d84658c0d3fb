// Small frozen records built from a description: N object fields given by
// position or keyword, dataclass equality (same class, fields pairwise),
// a hash over the fields computed once, the dataclass repr, and refusal of
// every assignment. The sort objects and second-order symbol variables are
// such records.
#pragma once

#include <Python.h>

namespace quorvel::py {

struct RecordObject {
    PyObject_HEAD
    Py_hash_t hash;
    PyObject* fields[1];  // really `nfields` entries
};

struct RecordSpec {
    const char* name;            // "quorvel.core.sorts.PrimitiveSort"
    const char* doc;
    const char* const* fields;   // field names, in declaration order
    int nfields;
    PyTypeObject* base;          // NULL for object, or another record type
    PyGetSetDef* extra_getset;   // NULL, or extra computed attributes
    // NULL for the record's own: a constructor with defaults or checks, and
    // the __init__ that fills a subclass's placeholder (see frozen_init.h).
    newfunc new_func = nullptr;
    initproc init_func = nullptr;
};

// A new heap type (new reference), or NULL with an exception set. The field
// names and member tables live as long as the process.
PyTypeObject* make_record_type(const RecordSpec& record);

// Builds an instance from field values (borrowed); new reference or NULL.
PyObject* new_record(PyTypeObject* type, PyObject* const* values);

// Sets the fields of a record made as a placeholder for a subclass's own
// __init__ (values borrowed) and recomputes its hash; 0, or -1 with an
// exception set.
int fill_record(PyObject* record, PyObject* const* values);

inline PyObject* record_field(PyObject* record, int i) {
    return reinterpret_cast<RecordObject*>(record)->fields[i];
}

// The FrozenInstanceError of dataclasses, raised as a frozen dataclass
// raises it: "cannot assign to field 'x'" / "cannot delete field 'x'".
int refuse_assignment(PyObject* self, PyObject* name, PyObject* value);

}  // namespace quorvel::py
