// The C++ interface of quorvel.constructive.kripke for the package's other
// modules (the tableau builds its worlds and countermodels through it).
//
// The module exports one `Api` table in the capsule
// "quorvel.constructive.kripke._C_API". Call `import_api()` once in the
// module init (it imports quorvel.constructive.kripke), then build worlds and
// models through `api()`. A world's fields can be read straight from
// `WorldObject` after `is_world`.
#pragma once

#include <Python.h>

#include "quorvel/support/py/capsule.h"

namespace quorvel::kripke {

inline constexpr unsigned kApiVersion = 1;
inline constexpr const char* kCapsuleName = "quorvel.constructive.kripke._C_API";

// Layout of World (and of its Python subclasses, which add a __dict__ after
// it). Fields are strong references, never NULL, and never change.
struct WorldObject {
    PyObject_HEAD
    PyObject* id;
    PyObject* name;
    Py_hash_t hash;  // hash((id, name)) once computed, else -1
    PyObject* weakrefs;
};

struct Api {
    unsigned version;

    PyTypeObject* world_type;  // World
    PyTypeObject* model_type;  // KripkeModel

    // World(id, name) of the exact class; new reference or NULL.
    PyObject* (*new_world)(PyObject* id, PyObject* name);
    // World(number, "w" + str(number)), the tableau's naming; new reference or NULL.
    PyObject* (*new_numbered_world)(long number);

    // KripkeModel() with no arguments; new reference or NULL.
    PyObject* (*new_model)();

    // The model operations, with the results of the Python methods of the
    // same names (a subclass's overrides are honoured). 0, or -1 with an
    // exception set.
    int (*add_world)(PyObject* model, PyObject* world);
    int (*add_relation)(PyObject* model, PyObject* source, PyObject* target);
    int (*add_valuation)(PyObject* model, PyObject* world, PyObject* formula);
    // 1 true, 0 false, -1 error.
    int (*evaluate)(PyObject* model, PyObject* formula, PyObject* world);
};

inline const Api*& api_slot() {
    static const Api* table = nullptr;
    return table;
}
inline const Api& api() { return *api_slot(); }

// Imports the module (once) and keeps its table. 0, or -1 with an exception set.
inline int import_api() {
    if (api_slot()) return 0;
    const void* table = py::import_capsule("quorvel.constructive.kripke", kCapsuleName, kApiVersion);
    if (!table) return -1;
    api_slot() = static_cast<const Api*>(table);
    return 0;
}

inline bool is_world(PyObject* o) { return PyObject_TypeCheck(o, api().world_type); }
inline WorldObject* as_world(PyObject* o) { return reinterpret_cast<WorldObject*>(o); }

}  // namespace quorvel::kripke
