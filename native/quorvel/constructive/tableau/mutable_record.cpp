#include "quorvel/constructive/tableau/mutable_record.h"

#include "quorvel/support/py/compat.h"
#include "quorvel/support/py/names.h"

namespace quorvel::tableau {

void fill_record_members(const RecordDesc& d, PyMemberDef* members) {
    for (int i = 0; i < d.n; ++i)
        members[i] = PyMemberDef{d.names[i], Py_T_OBJECT_EX,
                                 static_cast<Py_ssize_t>(sizeof(PyObject) + i * sizeof(PyObject*)), 0, nullptr};
    members[d.n] = PyMemberDef{"__dictoffset__", Py_T_PYSSIZET, record_dict_offset(d.n), Py_READONLY, nullptr};
    members[d.n + 1] =
        PyMemberDef{"__weaklistoffset__", Py_T_PYSSIZET, record_weaklist_offset(d.n), Py_READONLY, nullptr};
    members[d.n + 2] = PyMemberDef{nullptr, 0, 0, 0, nullptr};
}

bool set_match_args(PyTypeObject* type, const RecordDesc& d) {
    PyObject* names = py::interned_tuple(d.names, d.n);
    if (!names) return false;
    int rc = PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), "__match_args__", names);
    Py_DECREF(names);
    return rc == 0;
}

}  // namespace quorvel::tableau
