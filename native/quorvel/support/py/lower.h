// Lowering Python formulas into a FormulaArena, and lifting them back.
//
// A prover lowers its input once, searches on FormulaIds, and lifts only the
// formulas of the result it returns. Lowering walks with an explicit stack,
// so any depth works, and visits each Python object once (a DAG of shared
// subtrees costs its number of objects, not its unfolded size). Atoms
// (PredicateApp nodes other than falsum and verum) and opaque leaves (every
// other formula the connectives do not cover: equations, quantifiers,
// foreign objects) are numbered in order of first appearance and compared by
// Python equality, so equal atoms get one number.
//
// Connectives are lowered by kind: an instance of a Python subclass of `And`
// becomes an arena And like any other. The arena then equates it with the
// plain `And` of equal fields, which Python equality does not; a caller that
// must answer exactly as Python compares checks `saw_subclass()`.
#pragma once

#include <Python.h>

#include <vector>

#include "quorvel/support/flat_map.h"
#include "quorvel/support/formula_arena.h"

namespace quorvel::py {

class Lowering {
public:
    // Requires quorvel::ast::import_api() to have run in this module.
    explicit Lowering(FormulaArena& arena);
    ~Lowering();
    Lowering(const Lowering&) = delete;
    Lowering& operator=(const Lowering&) = delete;

    // Lowers `formula`; false with a Python exception set on failure (an
    // error from a user __eq__/__hash__, MemoryError).
    bool lower(PyObject* formula, FormulaId& out);

    // The Python object first lowered to `f` (borrowed), or NULL when `f` was
    // made natively and never seen as a Python object.
    PyObject* origin(FormulaId f) const { return f < origin_.size() ? origin_[f] : nullptr; }

    // A Python formula for `f`: its origin when it has one, otherwise built
    // from And/Or/Implies/Not/Iff nodes over the origins of its parts (and
    // remembered). New reference, or NULL with an exception set.
    PyObject* lift(FormulaId f);

    FormulaArena& arena() { return arena_; }
    uint32_t atom_count() const { return static_cast<uint32_t>(atoms_.objects.size()); }
    PyObject* atom_object(uint32_t number) const { return atoms_.objects[number]; }  // borrowed
    uint32_t opaque_count() const { return static_cast<uint32_t>(opaques_.objects.size()); }
    PyObject* opaque_object(uint32_t number) const { return opaques_.objects[number]; }  // borrowed

    // True once a Not/And/Or/Implies/Iff node of a Python subclass was lowered.
    bool saw_subclass() const { return saw_subclass_; }

    // True while every object lowered is a connective of its exact class or
    // an exact propositional atom (a str name, no arguments). Such objects
    // reach nothing mutable, so nothing built from them alone can ever be
    // part of a reference cycle.
    bool acyclic() const { return acyclic_; }

private:
    // A numbering of leaves by Python equality: a dict for hashable leaves,
    // a list searched with == for unhashable ones (never equal to a hashable
    // leaf).
    struct LeafTable {
        PyObject* dict = nullptr;
        std::vector<PyObject*> unhashable;  // borrowed from `objects`
        std::vector<uint32_t> unhashable_numbers;
        std::vector<PyObject*> objects;     // strong references, by number
    };

    bool leaf_number(PyObject* leaf, LeafTable& table, uint32_t& number);
    bool lower_leaf(PyObject* leaf, FormulaId& out);
    void remember(FormulaId f, PyObject* o);

    FormulaArena& arena_;
    LeafTable atoms_;
    LeafTable opaques_;
    std::vector<PyObject*> origin_;  // strong references, by FormulaId (or NULL)
    // Objects already lowered, by identity; each key is kept alive by `held_`.
    IdentityMap<FormulaId> seen_;  // by object address
    std::vector<PyObject*> held_;
    bool saw_subclass_ = false;
    bool acyclic_ = true;
};

}  // namespace quorvel::py
