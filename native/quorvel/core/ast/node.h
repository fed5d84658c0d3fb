// Memory layout of syntax-tree nodes, shared by every module that reads them.
//
// Nodes are plain CPython objects with fixed fields. Other modules read the
// fields straight from these structs after one kind test (see api.h), with no
// attribute lookups. Every field is a strong reference and is never NULL in a
// complete node; nodes never change after construction.
#pragma once

#include <Python.h>

#include <cstdint>

namespace quorvel::ast {

// What a node is. Stored in every node at construction, so an instance of a
// Python subclass of `And` reads as `And` (class tests are kind-of tests).
enum class Kind : uint8_t {
    Variable,
    Constant,
    FunctionApp,
    PredicateApp,
    Equality,
    Not,
    And,
    Or,
    Implies,
    Iff,
    Forall,
    Exists,
    // The second-order quantifiers of quorvel.sol.ast_ext share the
    // quantifier layout.
    ForallPred,
    ExistsPred,
    ForallFunc,
    ExistsFunc,
    // Direct instances of the abstract bases (or of Python subclasses of
    // them that are no node class).
    Term,
    Formula,
    // Not a node at all.
    None,
};

inline constexpr int kKindCount = static_cast<int>(Kind::None);

constexpr bool is_binary(Kind k) { return k >= Kind::And && k <= Kind::Iff; }
constexpr bool is_first_order_quantifier(Kind k) { return k == Kind::Forall || k == Kind::Exists; }
constexpr bool is_second_order_quantifier(Kind k) { return k >= Kind::ForallPred && k <= Kind::ExistsFunc; }
constexpr bool is_quantifier(Kind k) { return k >= Kind::Forall && k <= Kind::ExistsFunc; }
constexpr bool is_term_kind(Kind k) { return k <= Kind::FunctionApp || k == Kind::Term; }

// The children a node marks in `leaf_children`: its argument tuple's first
// ones, or its node fields in order (left, right; operand; variable, body).
inline constexpr int kLeafChildBits = 16;

// What a node's whole sub-tree is (NodeObject::subtree), set at
// construction from the children's marks. A clear bit tells nothing.
enum SubtreeMark : uint8_t {
    // Every node of the sub-tree is an instance of exactly its node class,
    // every application holds its arguments in a tuple, every variable and
    // constant keeps its hash from construction, and no first-order
    // quantifier occurs: a substitution with no entries gives the sub-tree
    // back as it is, running no Python code on the way.
    kPlainQuantifierFree = 1,
};

struct NodeObject {
    PyObject_HEAD
    Py_hash_t hash;  // cached at construction for compound nodes and plain leaves; -1 otherwise
    Kind kind;
    bool tracked;    // known to the cyclic collector (set with the tracking, never cleared while alive)
    // Bit i: child i is a variable or constant of exactly its class, so a
    // walk knows it for a leaf without reading it. A clear bit tells
    // nothing (it is clear for the arguments of a sequence that is no
    // exact tuple, and in a node not yet built).
    uint16_t leaf_children;
    uint8_t subtree;  // SubtreeMark bits
};

struct TermObject {
    NodeObject head;
    PyObject* sort;
};

struct VariableObject {
    TermObject term;
    PyObject* id;        // a Python int, 0 or more
    PyObject* var_kind;  // a VariableKind member (stored unexamined)
};

struct ConstantObject {
    TermObject term;
    PyObject* name;
};

struct FunctionAppObject {
    TermObject term;  // term.sort is always return_sort
    PyObject* func;   // non-empty str, or a symbol variable
    PyObject* arity;
    PyObject* args;   // sized, hashable; a tuple in practice
    PyObject* return_sort;
    PyObject* free_vars;  // frozenset of Variable
};

struct PredicateAppObject {
    NodeObject head;
    PyObject* pred;
    PyObject* arity;
    PyObject* args;
    PyObject* free_vars;
};

struct EqualityObject {
    NodeObject head;
    PyObject* left;
    PyObject* right;
    PyObject* free_vars;
};

struct UnaryObject {
    NodeObject head;
    PyObject* operand;
};

// And, Or, Implies, Iff.
struct BinaryObject {
    NodeObject head;
    PyObject* left;
    PyObject* right;
};

// Forall, Exists and the four second-order quantifiers.
struct QuantifierObject {
    NodeObject head;
    PyObject* variable;
    PyObject* body;
};

// Unchecked views; call only after the kind test.
inline NodeObject* as_node(PyObject* o) { return reinterpret_cast<NodeObject*>(o); }
inline VariableObject* as_variable(PyObject* o) { return reinterpret_cast<VariableObject*>(o); }
inline ConstantObject* as_constant(PyObject* o) { return reinterpret_cast<ConstantObject*>(o); }
inline FunctionAppObject* as_function_app(PyObject* o) { return reinterpret_cast<FunctionAppObject*>(o); }
inline PredicateAppObject* as_predicate_app(PyObject* o) { return reinterpret_cast<PredicateAppObject*>(o); }
inline EqualityObject* as_equality(PyObject* o) { return reinterpret_cast<EqualityObject*>(o); }
inline UnaryObject* as_unary(PyObject* o) { return reinterpret_cast<UnaryObject*>(o); }
inline BinaryObject* as_binary(PyObject* o) { return reinterpret_cast<BinaryObject*>(o); }
inline QuantifierObject* as_quantifier(PyObject* o) { return reinterpret_cast<QuantifierObject*>(o); }

}  // namespace quorvel::ast
