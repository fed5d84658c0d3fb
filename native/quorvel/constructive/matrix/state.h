// Module state of quorvel.constructive.matrix, made once at import and held
// for the process lifetime.
#pragma once

#include <Python.h>

#include <string>

#include "quorvel/constructive/matrix/api.h"

namespace quorvel::matrix {

struct State {
    Api api{};
    PyObject* position_type_enum = nullptr;  // PositionType
    PyObject* members[5] = {};               // by PosType
    PyObject* to_string = nullptr;           // quorvel.core.parser.to_string
    PyObject* empty_tuple = nullptr;
    PyObject* small_ints[2] = {};            // 0 and 1
    PyObject* s_root = nullptr;
    PyObject* s_pos_type = nullptr;
    PyObject* s_children = nullptr;
    PyObject* s_to_string = nullptr;
    // A built tree's attributes, in the order they are set.
    static constexpr const char* kTreeAttributes[] = {"target",      "premises", "multiplicity", "positions",
                                                      "leaves",      "tree_order", "_counter", "_const_counter",
                                                      "_var_counter", "root"};
    static constexpr int kTreeAttributeCount = 10;
    PyObject* tree_attributes[kTreeAttributeCount] = {};
};

State& state();

inline bool is_position(PyObject* o) { return PyObject_TypeCheck(o, state().api.position_type); }

// Layout of Position: its eight fields, then the instance dict and weak
// references. The parent is held through a weak reference when it takes
// one (`parent_is_weak`), so the link keeps nothing alive.
enum Field { kId, kFormula, kPolarity, kPosType, kPrefix, kParent, kChildren, kSymbol, kFieldCount };

struct PositionObject {
    PyObject_HEAD
    PyObject* fields[kFieldCount];
    PyObject* dict;
    PyObject* weakrefs;
    bool parent_is_weak;
};

inline PositionObject* as_position(PyObject* o) { return reinterpret_cast<PositionObject*>(o); }

// A new Position of the exact class from eight field values (borrowed);
// the parent is linked weakly. New reference or NULL.
PyObject* new_position(PyObject* const* fields);
// Links a position to its parent (weakly when it can), as assigning
// `parent` does; false with an exception set.
bool set_position_parent(PyObject* position, PyObject* parent);
// The parent, resolved (new reference; None once a weakly held parent is gone).
PyObject* position_parent(PyObject* position);
// The position text "formula^polarity:prefix"; false with an exception set.
bool append_position_text(std::string& out, PyObject* position);
// The PosType of a position-type value (a member, or a str equal to one);
// -1 with ValueError for anything else.
int pos_type_of(PyObject* value);

bool create_position_types(PyObject* module);  // Position, Connection
bool create_tree_type(PyObject* module);       // FormulaTree

PyObject* new_tree(PyObject* target, PyObject* premises, PyObject* multiplicity);
const TreeView* tree_view(PyObject* tree);
bool view_paths(const TreeView& view, Interrupt& interrupt, PathSet& out);
NativeBuild* build_native(PyObject* target, PyObject* premises, size_t multiplicity);
void free_native(NativeBuild* build);

}  // namespace quorvel::matrix
