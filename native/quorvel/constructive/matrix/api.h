// The C++ interface of quorvel.constructive.matrix for the package's other
// modules: the resolution prover builds formula trees and reads their native
// form (positions, symbols, tree ordering) and their matrix paths as vectors
// of position indices.
//
// The module exports one `Api` table in the capsule
// "quorvel.constructive.matrix._C_API"; call `import_api()` once in the
// module init.
#pragma once

#include <Python.h>

#include <cstddef>
#include <vector>

#include "quorvel/constructive/matrix/tree.h"
#include "quorvel/support/py/capsule.h"

namespace quorvel::matrix {

inline constexpr unsigned kApiVersion = 2;
inline constexpr const char* kCapsuleName = "quorvel.constructive.matrix._C_API";

// What a FormulaTree built by this module knows natively. Every object is a
// strong reference held by the view, which lives as long as its tree.
struct TreeView {
    NativeTree tree;
    std::vector<PyObject*> positions;  // Position objects, by index (id - 1)
    std::vector<PyObject*> symbols;    // PrefixConstant / PrefixVariable objects, by Sym
    std::vector<PyObject*> prefixes;   // the Prefix ending in each symbol, by Sym
    std::vector<PyObject*> formulas;   // by formula number (NativePosition::formula)
    uint32_t falsum = kNone;           // the formula numbers of falsum and verum,
    uint32_t verum = kNone;            // when a leaf holds them

    std::vector<Sym> word(uint32_t position) const {
        std::vector<Sym> w;
        tree.prefix_word(tree.positions[position].last_symbol, w);
        return w;
    }
};

// A tree built natively only, for a caller that needs none of the
// FormulaTree's Python objects: its view without Position objects
// (`view.positions` is empty), the formula of each position, and the goal
// and premises those formulas are borrowed from.
struct NativeBuild {
    TreeView view;
    std::vector<PyObject*> position_formulas;  // borrowed from `target` and `premises`
    PyObject* target = nullptr;                // strong references
    PyObject* premises = nullptr;
};

struct Api {
    unsigned version;

    PyTypeObject* tree_type;      // FormulaTree
    PyTypeObject* position_type;  // Position

    // FormulaTree(target=..., premises=..., multiplicity=...) of this class;
    // `premises` may be NULL. New reference, or NULL with an exception set.
    PyObject* (*new_tree)(PyObject* target, PyObject* premises, PyObject* multiplicity);
    // The native view of a tree this module built (borrowed from the tree),
    // or NULL with TypeError for anything else.
    const TreeView* (*view)(PyObject* tree);
    // The matrix paths of a view's tree, as position indices; false when
    // interrupted (the signal's exception is set), std::bad_alloc past the
    // memory budget.
    bool (*paths)(const TreeView& view, Interrupt& interrupt, PathSet& out);
    // The native tree new_tree would build of a normalised goal and
    // premises (a tuple of normalised formulas), its symbols and prefixes
    // made, and nothing else; NULL with an exception set. Freed with
    // free_native.
    NativeBuild* (*build_native)(PyObject* target, PyObject* premises, size_t multiplicity);
    void (*free_native)(NativeBuild* build);
};

inline const Api*& api_slot() {
    static const Api* table = nullptr;
    return table;
}
inline const Api& api() { return *api_slot(); }

inline int import_api() {
    if (api_slot()) return 0;
    const void* table = py::import_capsule("quorvel.constructive.matrix", kCapsuleName, kApiVersion);
    if (!table) return -1;
    api_slot() = static_cast<const Api*>(table);
    return 0;
}

}  // namespace quorvel::matrix
