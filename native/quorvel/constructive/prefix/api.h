// The C++ interface of quorvel.constructive.prefix for the package's other
// modules (the formula tree builds its prefixes and symbols through it, the
// resolution prover runs unification and admissibility natively).
//
// The module exports one `Api` table in the capsule
// "quorvel.constructive.prefix._C_API". Call `import_api()` once in the
// module init; the fields of symbols, prefixes and substitutions can be read
// straight from the object layouts below after a type check.
#pragma once

#include <Python.h>

#include <memory>

#include "quorvel/constructive/prefix/engine.h"
#include "quorvel/support/py/capsule.h"

namespace quorvel::prefix {

inline constexpr unsigned kApiVersion = 1;
inline constexpr const char* kCapsuleName = "quorvel.constructive.prefix._C_API";

// PrefixSymbol and its kinds (and their Python subclasses). `name` is a
// strong reference, never NULL, never reassigned.
struct SymbolObject {
    PyObject_HEAD
    PyObject* name;
    Py_hash_t hash;  // -1 until first asked for
};

// Prefix: `symbols` is a tuple, never NULL, never reassigned.
struct PrefixObject {
    PyObject_HEAD
    PyObject* symbols;
    Py_hash_t hash;  // -1 until first asked for
};

// PrefixSubstitution: `mapping` may be reassigned (or deleted: NULL) by
// Python code; it is whatever object was given.
struct SubstitutionObject {
    PyObject_HEAD
    PyObject* mapping;
    PyObject* dict;
    PyObject* weakrefs;
};

struct Api {
    unsigned version;

    PyTypeObject* symbol_type;        // PrefixSymbol
    PyTypeObject* constant_type;      // PrefixConstant
    PyTypeObject* variable_type;      // PrefixVariable
    PyTypeObject* prefix_type;        // Prefix
    PyTypeObject* substitution_type;  // PrefixSubstitution

    // A symbol of `type` (one of the three above) named `name`; new reference or NULL.
    PyObject* (*new_symbol)(PyTypeObject* type, PyObject* name);
    // Prefix(symbols) of a tuple (borrowed); new reference or NULL.
    PyObject* (*new_prefix)(PyObject* symbols);
    // PrefixSubstitution(mapping) holding `mapping` (borrowed); new reference or NULL.
    PyObject* (*new_substitution)(PyObject* mapping);

    // The native engine (engine.h), for searches that keep their own
    // symbol numbering.
    std::unique_ptr<Unifier> (*make_unifier)(const SymbolKinds& kinds, Substitution& subst, Interrupt& interrupt);
    int (*admissible)(const Ordering& order, const Substitution& subst, Interrupt& interrupt);
};

inline const Api*& api_slot() {
    static const Api* table = nullptr;
    return table;
}
inline const Api& api() { return *api_slot(); }

// Imports the module (once) and keeps its table. 0, or -1 with an exception set.
inline int import_api() {
    if (api_slot()) return 0;
    const void* table = py::import_capsule("quorvel.constructive.prefix", kCapsuleName, kApiVersion);
    if (!table) return -1;
    api_slot() = static_cast<const Api*>(table);
    return 0;
}

inline SymbolObject* as_symbol(PyObject* o) { return reinterpret_cast<SymbolObject*>(o); }
inline PrefixObject* as_prefix(PyObject* o) { return reinterpret_cast<PrefixObject*>(o); }
inline SubstitutionObject* as_substitution(PyObject* o) { return reinterpret_cast<SubstitutionObject*>(o); }

}  // namespace quorvel::prefix
