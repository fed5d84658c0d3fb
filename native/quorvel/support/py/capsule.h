// Importing a module's C++ interface table from its capsule.
#pragma once

#include <Python.h>

namespace quorvel::py {

// Imports `module` (PyCapsule_Import walks attributes from the top package,
// so the module must be loaded and bound first) and returns the table in
// its capsule `capsule`, whose first field is an `unsigned` version that
// must equal `version`. NULL with an exception set on failure.
inline const void* import_capsule(const char* module, const char* capsule, unsigned version) {
    PyObject* m = PyImport_ImportModule(module);
    if (!m) return nullptr;
    Py_DECREF(m);
    void* p = PyCapsule_Import(capsule, 0);
    if (!p) return nullptr;
    if (*static_cast<const unsigned*>(p) != version) {
        PyErr_Format(PyExc_ImportError, "%s: incompatible C API version", module);
        return nullptr;
    }
    return p;
}

// The table of type `Api` that one shared library imported: `slot()` is
// NULL until `import(...)` succeeded (once; later calls return at once).
template <class Api>
struct ImportedTable {
    static const Api*& slot() {
        static const Api* table = nullptr;
        return table;
    }
    static int import(const char* module, const char* capsule, unsigned version) {
        if (slot()) return 0;
        const void* table = import_capsule(module, capsule, version);
        if (!table) return -1;
        slot() = static_cast<const Api*>(table);
        return 0;
    }
};

}  // namespace quorvel::py
