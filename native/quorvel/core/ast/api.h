// The C++ interface of quorvel.core.ast for the package's other modules.
//
// quorvel.core.ast exports one `Api` table in the capsule
// "quorvel.core.ast._C_API". A module calls `import_api()` once in its init
// and then reads nodes through node.h and builds them through the table,
// without any Python attribute lookup or call.
#pragma once

#include "quorvel/core/ast/node.h"
#include "quorvel/support/py/capsule.h"

namespace quorvel::ast {

inline constexpr unsigned kApiVersion = 1;
inline constexpr const char* kCapsuleName = "quorvel.core.ast._C_API";

struct Api {
    unsigned version;

    PyTypeObject* term_type;     // Term
    PyTypeObject* formula_type;  // Formula
    // The node class of each kind; second-order entries are filled in when
    // quorvel.sol.ast_ext is imported, and are NULL before.
    PyTypeObject* types[kKindCount];

    PyObject* variable_kinds[3];  // VariableKind.INDIVIDUAL, PREDICATE, FUNCTION
    PyObject* ind;                // the default sort
    PyObject* invalid_formula_error;

    // Constructors. Each returns a new reference, or NULL with an exception
    // set; each runs the construction checks and caches of its class. `type`
    // is the class to build: a node class of the right kind, or a Python
    // subclass of one (which is then called with the fields by keyword).
    PyObject* (*new_unary)(PyTypeObject* type, PyObject* operand);
    PyObject* (*new_binary)(PyTypeObject* type, PyObject* left, PyObject* right);
    PyObject* (*new_quantifier)(PyTypeObject* type, PyObject* variable, PyObject* body);
    PyObject* (*new_predicate_app)(PyTypeObject* type, PyObject* pred, PyObject* arity, PyObject* args);
    PyObject* (*new_equality)(PyTypeObject* type, PyObject* left, PyObject* right);
    PyObject* (*new_function_app)(PyTypeObject* type, PyObject* func, PyObject* arity, PyObject* args,
                                  PyObject* return_sort);
    PyObject* (*new_variable)(PyTypeObject* type, PyObject* id, PyObject* var_kind, PyObject* sort);
    PyObject* (*new_constant)(PyTypeObject* type, PyObject* name, PyObject* sort);

    // Makes a quantifier class deriving from Formula, named `name`, with
    // `__module__` = `module`, of second-order kind `kind`; it is recorded in
    // `types`. Returns a new reference or NULL.
    PyTypeObject* (*new_quantifier_type)(const char* name, const char* module, Kind kind);

    // free_variables(node): a new set, or NULL with InvalidFormulaError.
    PyObject* (*free_variables)(PyObject* node);
};

// The table of this shared library; set by import_api().
inline const Api*& api_slot() {
    static const Api* table = nullptr;
    return table;
}
inline const Api& api() { return *api_slot(); }

// Imports quorvel.core.ast (once) and keeps its table. Returns 0, or -1 with
// an exception set.
inline int import_api() {
    if (api_slot()) return 0;
    const void* table = py::import_capsule("quorvel.core.ast", kCapsuleName, kApiVersion);
    if (!table) return -1;
    api_slot() = static_cast<const Api*>(table);
    return 0;
}

// The kind of any object: Kind::None when it is no node.
inline Kind kind_of(PyObject* o) {
    const Api& a = api();
    PyTypeObject* t = Py_TYPE(o);
    if (t->tp_base == a.formula_type || t->tp_base == a.term_type || PyType_IsSubtype(t, a.formula_type) ||
        PyType_IsSubtype(t, a.term_type))
        return as_node(o)->kind;
    return Kind::None;
}

// The kind, provided `o` is an instance of exactly the node class of that
// kind (no Python subclass): the test for fast paths that may skip
// overridable Python behaviour.
inline Kind exact_kind_of(PyObject* o) {
    const Api& a = api();
    PyTypeObject* t = Py_TYPE(o);
    // Every node class is Term or Formula or derives from one of them
    // directly, so nothing else needs a subclass test.
    if (t->tp_base != a.formula_type && t->tp_base != a.term_type && t != a.formula_type && t != a.term_type)
        return Kind::None;
    Kind k = as_node(o)->kind;
    return static_cast<int>(k) < kKindCount && t == a.types[static_cast<int>(k)] ? k : Kind::None;
}

// The formula children of a connective or quantifier (a quantifier's body),
// borrowed, into `kids`; returns how many (0 for anything else).
inline int formula_children(PyObject* o, Kind k, PyObject** kids) {
    if (k == Kind::Not) {
        kids[0] = as_unary(o)->operand;
        return 1;
    }
    if (is_binary(k)) {
        kids[0] = as_binary(o)->left;
        kids[1] = as_binary(o)->right;
        return 2;
    }
    if (is_quantifier(k)) {
        kids[0] = as_quantifier(o)->body;
        return 1;
    }
    return 0;
}

inline bool is_formula(PyObject* o) { return PyObject_TypeCheck(o, api().formula_type); }
inline bool is_term(PyObject* o) { return PyObject_TypeCheck(o, api().term_type); }

}  // namespace quorvel::ast
