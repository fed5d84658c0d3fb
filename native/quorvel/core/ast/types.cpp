// The node classes: layout, construction checks, hash, repr and the refusal
// of assignment.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <utility>

#include "quorvel/core/ast/internal.h"
#include "quorvel/support/flat_map.h"
#include "quorvel/support/py/args.h"
#include "quorvel/support/py/compat.h"
#include "quorvel/support/py/frozen_init.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/hashing.h"
#include "quorvel/support/py/names.h"
#include "quorvel/support/py/record.h"
#include "quorvel/support/py/ref.h"
#include "quorvel/support/py/repr.h"
#include "quorvel/support/py/set_table.h"
#include "quorvel/support/py/small_int.h"

namespace quorvel::ast {
namespace {

using py::Signature;
using py::TupleHash;

// Everything the slots need to know about one class, by kind.
struct ClassInfo {
    const char* name;
    const char* doc;
    bool term;                        // derives from Term (else Formula)
    int nfields;                      // public fields, in declaration order
    const char* const* fields;
    bool free_vars;                   // keeps the hidden _free_vars after the fields
    Signature signature;              // constructor parameters
};

const char* const kVariableFields[] = {"sort", "id", "kind"};
const char* const kConstantFields[] = {"sort", "name"};
const char* const kFunctionAppFields[] = {"sort", "func", "arity", "args", "return_sort"};
const char* const kPredicateAppFields[] = {"pred", "arity", "args"};
const char* const kSidesFields[] = {"left", "right"};
const char* const kOperandFields[] = {"operand"};
const char* const kQuantifierFields[] = {"variable", "body"};
const char* const kTermFields[] = {"sort"};

const char* const kVariableParams[] = {"id", "kind", "sort"};
const char* const kConstantParams[] = {"name", "sort"};
const char* const kFunctionAppParams[] = {"func", "arity", "args", "return_sort", "sort"};

ClassInfo kInfo[kKindCount] = {
    {"Variable", "Variable(id, kind=VariableKind.INDIVIDUAL, *, sort=Ind)\n--\n\nAn individual variable v_id.", true,
     3, kVariableFields, false, {"Variable.__init__", kVariableParams, 2, 1, 1, true}},
    {"Constant", "Constant(name, *, sort=Ind)\n--\n\nA constant symbol.", true, 2, kConstantFields, false,
     {"Constant.__init__", kConstantParams, 1, 1, 1, true}},
    {"FunctionApp",
     "FunctionApp(func, arity, args, return_sort=Ind, *, sort=Ind)\n--\n\nThe application f(t_1, ..., t_k); its "
     "sort is its return_sort.",
     true, 5, kFunctionAppFields, true, {"FunctionApp.__init__", kFunctionAppParams, 4, 3, 1, true}},
    {"PredicateApp",
     "PredicateApp(pred, arity, args)\n--\n\nThe atom P(t_1, ..., t_k); a propositional atom when arity is 0.",
     false, 3, kPredicateAppFields, true, {"PredicateApp.__init__", kPredicateAppFields, 3, 3, 0, true}},
    {"Equality", "Equality(left, right)\n--\n\nThe equation left = right.", false, 2, kSidesFields, true,
     {"Equality.__init__", kSidesFields, 2, 2, 0, true}},
    {"Not", "Not(operand)\n--\n\nNegation.", false, 1, kOperandFields, false,
     {"Not.__init__", kOperandFields, 1, 1, 0, true}},
    {"And", "And(left, right)\n--\n\nConjunction.", false, 2, kSidesFields, false,
     {"And.__init__", kSidesFields, 2, 2, 0, true}},
    {"Or", "Or(left, right)\n--\n\nDisjunction.", false, 2, kSidesFields, false,
     {"Or.__init__", kSidesFields, 2, 2, 0, true}},
    {"Implies", "Implies(left, right)\n--\n\nImplication; left is the antecedent.", false, 2, kSidesFields, false,
     {"Implies.__init__", kSidesFields, 2, 2, 0, true}},
    {"Iff", "Iff(left, right)\n--\n\nEquivalence.", false, 2, kSidesFields, false,
     {"Iff.__init__", kSidesFields, 2, 2, 0, true}},
    {"Forall", "Forall(variable, body)\n--\n\nUniversal quantification of variable over body.", false, 2,
     kQuantifierFields, false, {"Forall.__init__", kQuantifierFields, 2, 2, 0, true}},
    {"Exists", "Exists(variable, body)\n--\n\nExistential quantification of variable over body.", false, 2,
     kQuantifierFields, false, {"Exists.__init__", kQuantifierFields, 2, 2, 0, true}},
    // Second-order quantifiers: classes are made by quorvel.sol.ast_ext.
    {"ForallPred", nullptr, false, 2, kQuantifierFields, false, {"ForallPred.__init__", kQuantifierFields, 2, 2, 0, true}},
    {"ExistsPred", nullptr, false, 2, kQuantifierFields, false, {"ExistsPred.__init__", kQuantifierFields, 2, 2, 0, true}},
    {"ForallFunc", nullptr, false, 2, kQuantifierFields, false, {"ForallFunc.__init__", kQuantifierFields, 2, 2, 0, true}},
    {"ExistsFunc", nullptr, false, 2, kQuantifierFields, false, {"ExistsFunc.__init__", kQuantifierFields, 2, 2, 0, true}},
    {"Term", "Term(*, sort=Ind)\n--\n\nThe abstract base of all terms.", true, 1, kTermFields, false,
     {"Term.__init__", kTermFields, 0, 0, 1, true}},
    {"Formula", "Formula()\n--\n\nThe abstract base of all formulas.", false, 0, nullptr, false,
     {"Formula.__init__", nullptr, 0, 0, 0, true}},
};

const ClassInfo& info(Kind k) { return kInfo[static_cast<int>(k)]; }

// The kind a class builds: its own, or that of the node class it derives from.
Kind kind_of_type(PyTypeObject* type) {
    const Api& a = state().api;
    for (PyTypeObject* t = type; t; t = t->tp_base)
        for (int k = 0; k < kKindCount; ++k)
            if (a.types[k] == t) return static_cast<Kind>(k);
    return Kind::None;
}

bool is_exact(PyTypeObject* type, Kind k) { return type == type_of_kind(k); }

PyObject* error(PyObject* message) {
    if (message) {
        PyErr_SetObject(state().api.invalid_formula_error, message);
        Py_DECREF(message);
    }
    return nullptr;
}

// -1 error, 1 when `value < 0`.
int is_negative(PyObject* value) {
    long long small;
    if (PyLong_CheckExact(value) && py::small_int(value, small)) return small < 0;
    if (PyLong_CheckExact(value)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
        return overflow ? overflow < 0 : v < 0;
    }
    return PyObject_RichCompareBool(value, state().zero, Py_LT);
}

// Checks 1a/1b/2/3 of applications. `noun` is "Function" or "Predicate",
// `variable_class` "FunctionVariable" or "PredicateVariable".
bool check_application(const char* noun, const char* variable_class, const char* class_name, PyObject* symbol,
                       PyObject* arity, PyObject* args) {
    if (PyUnicode_Check(symbol)) {
        if (PyUnicode_GET_LENGTH(symbol) == 0) {
            error(PyUnicode_FromFormat("%s name cannot be empty.", noun));
            return false;
        }
    } else if (!PyObject_HasAttrString(symbol, "index") || !PyObject_HasAttrString(symbol, "arity")) {
        error(PyUnicode_FromFormat("%s symbol must be str or %s, got %S.", noun, variable_class,
                                   reinterpret_cast<PyObject*>(Py_TYPE(symbol))));
        return false;
    }
    int negative = is_negative(arity);
    if (negative < 0) return false;
    if (negative) {
        error(PyUnicode_FromFormat("%s arity must be non-negative, got %S.", noun, arity));
        return false;
    }
    Py_ssize_t n = PyTuple_CheckExact(args) ? PyTuple_GET_SIZE(args) : PyObject_Length(args);
    if (n < 0) return false;
    long long small;
    if (PyLong_CheckExact(arity) && py::small_int(arity, small) && small == n) return true;
    if (PyLong_CheckExact(arity)) {
        int overflow = 0;
        long long expected = PyLong_AsLongLongAndOverflow(arity, &overflow);
        if (!overflow && expected == n) return true;
    }
    PyObject* count = PyLong_FromSsize_t(n);
    if (!count) return false;
    int differs = PyObject_RichCompareBool(count, arity, Py_NE);
    if (differs == 1) error(PyUnicode_FromFormat("%s '%S' expected arity %S, got %zd arguments.", class_name, symbol,
                                                 arity, n));
    Py_DECREF(count);
    return differs == 0;
}

// Adds the members of a frozenset (or any set) to the new frozenset `into`.
bool add_all(PyObject* into, PyObject* vars) {
    if (PyAnySet_CheckExact(vars))
        return py::for_each_set_member(vars, [&](PyObject* v, Py_hash_t) { return PySet_Add(into, v) == 0; });
    PyObject* it = PyObject_GetIter(vars);
    if (!it) return false;
    while (PyObject* v = PyIter_Next(it)) {
        int r = PySet_Add(into, v);
        Py_DECREF(v);
        if (r < 0) {
            Py_DECREF(it);
            return false;
        }
    }
    Py_DECREF(it);
    return !PyErr_Occurred();
}

// Adds the free variables of one argument term (or side) to the new
// frozenset `into`.
bool add_free_variables(PyObject* into, PyObject* term) {
    Kind k = exact_kind_of(term);
    if (k == Kind::Variable) return PySet_Add(into, term) == 0;
    if (k == Kind::Constant) return true;
    if (k == Kind::FunctionApp) return add_all(into, as_function_app(term)->free_vars);
    PyObject* found = free_variables(term);
    if (!found) return false;
    bool ok = add_all(into, found);
    Py_DECREF(found);
    return ok;
}

void node_dealloc(PyObject* self);

// An object that may hold a reference cycle back to a node: tracked by the
// collector. Trees whose leaves cannot are untracked, so that collections
// never walk them. Most fields are ints, strings and nodes of the exact
// classes, which answer without a call.
bool may_reach_cycle(PyObject* o) {
    PyTypeObject* t = Py_TYPE(o);
    if (!PyType_IS_GC(t)) return false;
    if (t->tp_dealloc == node_dealloc) return as_node(o)->tracked;
    return (!t->tp_is_gc || t->tp_is_gc(o)) && PyObject_GC_IsTracked(o);
}

// An argument tuple whose members can reach no cycle is untracked now
// rather than at some later collection (as CPython untracks such tuples
// lazily), so the nodes over it are not tracked either.
void untrack_if_acyclic(PyObject* tuple) {
    if (!PyObject_GC_IsTracked(tuple)) return;
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(tuple); i < n; ++i)
        if (may_reach_cycle(PyTuple_GET_ITEM(tuple, i))) return;
    PyObject_GC_UnTrack(tuple);
}

// The set among the argument terms' free variables that holds all of them,
// borrowed: the empty set when there are none, NULL when no argument's set
// holds the others (or an argument is no plain variable, constant or
// application). Sharing it spares a new set per application, which is most
// of the cost of building one. `failed` is set on error.
PyObject* covering_free_variables(PyObject* const* terms, Py_ssize_t n, bool& failed) {
    failed = false;
    PyObject* best = nullptr;  // the largest kept set of an application argument
    bool variables = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Kind k = exact_kind_of(terms[i]);
        if (k == Kind::Constant) continue;
        if (k == Kind::Variable) {
            variables = true;
            continue;
        }
        if (k != Kind::FunctionApp) return nullptr;
        PyObject* fv = as_function_app(terms[i])->free_vars;
        if (!best || PySet_GET_SIZE(fv) > PySet_GET_SIZE(best)) best = fv;
    }
    if (!best || PySet_GET_SIZE(best) == 0) return variables ? nullptr : state().empty_frozenset;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Kind k = exact_kind_of(terms[i]);
        int held = 1;
        if (k == Kind::Variable) {
            held = PySet_Contains(best, terms[i]);
        } else if (k == Kind::FunctionApp && as_function_app(terms[i])->free_vars != best) {
            PyObject* fv = as_function_app(terms[i])->free_vars;
            py::for_each_set_member(fv, [&](PyObject* v, Py_hash_t) {
                held = PySet_Contains(best, v);
                return held == 1;
            });
        }
        if (held < 0) {
            failed = true;
            return nullptr;
        }
        if (!held) return nullptr;
    }
    return best;
}

// Free-variable sets built lately, by the exact sequence of variable
// objects added to build them. Terms over the same few variables recur all
// through a substitution or a clause set, and a hit spares allocating,
// filling and later freeing a set. A set added to by the same objects in the
// same order has the same members and the same table, so it iterates alike.
// A sequence is kept only when every object in it is a member (no two
// distinct but equal variables): the set then holds them all, and no
// address in a kept sequence can be reused while it is kept. Only sets that
// can reach no cycle are kept, since the collector cannot see this table's
// references: a kept set never holds a cycle alive. Bounded: a slot's old
// set is released when a new one takes it.
class RecentSets {
public:
    static constexpr int kMaxAdds = 6;

    struct Adds {
        PyObject* items[kMaxAdds];
        int n = 0;
    };

    // The adds of the argument terms: false when a term is not a plain
    // variable, constant or application, or there are more than kMaxAdds.
    static bool read(PyObject* const* terms, Py_ssize_t n, Adds& out) {
        for (Py_ssize_t i = 0; i < n; ++i) {
            Kind k = exact_kind_of(terms[i]);
            if (k == Kind::Constant) continue;
            if (k == Kind::Variable) {
                if (out.n == kMaxAdds) return false;
                out.items[out.n++] = terms[i];
                continue;
            }
            if (k != Kind::FunctionApp) return false;
            PyObject* fv = as_function_app(terms[i])->free_vars;
            if (!PyFrozenSet_CheckExact(fv) || out.n + PySet_GET_SIZE(fv) > kMaxAdds) return false;
            py::for_each_set_member(fv, [&](PyObject* v, Py_hash_t) {
                out.items[out.n++] = v;
                return true;
            });
        }
        return true;
    }

    PyObject* find(const Adds& adds) const {
        const Slot& s = slots_[slot_of(adds)];
        if (!s.set || s.n != adds.n) return nullptr;
        for (int i = 0; i < adds.n; ++i)
            if (s.items[i] != adds.items[i]) return nullptr;
        return s.set;
    }

    // Keeps `set`, built from `adds`, if every add is a member.
    void keep(const Adds& adds, PyObject* set) {
        int distinct = 0;
        for (int i = 0; i < adds.n; ++i) {
            bool first = true;
            for (int j = 0; j < i && first; ++j) first = adds.items[j] != adds.items[i];
            distinct += first;
        }
        if (distinct != PySet_GET_SIZE(set)) return;
        Slot& s = slots_[slot_of(adds)];
        PyObject* old = s.set;  // released last: freeing it may run arbitrary code
        s.set = Py_NewRef(set);
        s.n = adds.n;
        for (int i = 0; i < adds.n; ++i) s.items[i] = adds.items[i];
        Py_XDECREF(old);
    }

private:
    static constexpr size_t kSlots = 1024;
    struct Slot {
        PyObject* set = nullptr;
        int n = 0;
        PyObject* items[kMaxAdds];
    };

    static size_t slot_of(const Adds& adds) {
        uint64_t h = static_cast<uint64_t>(adds.n);
        for (int i = 0; i < adds.n; ++i) h = mix64(h ^ reinterpret_cast<uintptr_t>(adds.items[i]));
        return static_cast<size_t>(h) & (kSlots - 1);
    }

    Slot slots_[kSlots];
};

RecentSets& recent_sets() {
    static RecentSets* table = new RecentSets();  // lives as long as the process
    return *table;
}

// The free variables of argument terms as a frozenset.
PyObject* free_variables_of_terms(PyObject* const* terms, Py_ssize_t n) {
    bool failed;
    if (PyObject* shared = covering_free_variables(terms, n, failed)) return Py_NewRef(shared);
    if (failed) return nullptr;
    RecentSets::Adds adds;
    bool plain = RecentSets::read(terms, n, adds);
    if (plain)
        if (PyObject* known = recent_sets().find(adds)) return Py_NewRef(known);
    PyObject* set = PyFrozenSet_New(nullptr);  // filled while nobody else holds it
    if (!set) return nullptr;
    bool filled = true;
    if (plain) {
        // The same adds, in the same order, as add_free_variables makes.
        for (int i = 0; i < adds.n && filled; ++i) filled = PySet_Add(set, adds.items[i]) == 0;
    } else {
        for (Py_ssize_t i = 0; i < n && filled; ++i) filled = add_free_variables(set, terms[i]);
    }
    if (!filled) {
        Py_DECREF(set);
        return nullptr;
    }
    // The variables of terms that reach no cycle reach none either.
    bool acyclic = true;
    for (Py_ssize_t i = 0; i < n && acyclic; ++i) acyclic = !may_reach_cycle(terms[i]);
    if (acyclic) {
        PyObject_GC_UnTrack(set);
        if (plain) recent_sets().keep(adds, set);
    }
    return set;
}

PyObject* free_variables_of_args(PyObject* args) {
    if (PyTuple_CheckExact(args))
        return free_variables_of_terms(reinterpret_cast<PyTupleObject*>(args)->ob_item, PyTuple_GET_SIZE(args));
    PyObject* items = PySequence_Fast(args, "args must be iterable");
    if (!items) return nullptr;
    PyObject* r = free_variables_of_terms(PySequence_Fast_ITEMS(items), PySequence_Fast_GET_SIZE(items));
    Py_DECREF(items);
    return r;
}



bool is_variable_kind(PyObject* o) {
    const Api& a = state().api;
    return o == a.variable_kinds[0] || o == a.variable_kinds[1] || o == a.variable_kinds[2];
}

// Allocates a node of `type` (an exact class or a subclass), sets its kind,
// takes new references to `fields` and clears the hidden cache slot. An exact
// class skips the zeroing and tracking of the generic allocator: the node is
// tracked later only if it may be part of a cycle.
PyObject* allocate(PyTypeObject* type, Kind k, PyObject* const* fields, int n) {
    PyObject* o;
    if (is_exact(type, k)) {
        o = PyObject_GC_New(PyObject, type);
    } else {
        o = type->tp_alloc(type, 0);
    }
    if (!o) return nullptr;
    as_node(o)->kind = k;
    as_node(o)->hash = -1;
    as_node(o)->tracked = !is_exact(type, k) && PyObject_GC_IsTracked(o);  // the generic allocator tracks
    as_node(o)->leaf_children = 0;
    as_node(o)->subtree = 0;
    PyObject** slot = fields_of(o);
    for (int i = 0; i < n; ++i) slot[i] = Py_NewRef(fields[i]);
    for (int i = n, total = field_count(k); i < total; ++i) slot[i] = nullptr;
    return o;
}

// Marks the children of compound node `o` that are variables or constants
// of exactly their classes (NodeObject::leaf_children).
void mark_leaf_children(PyObject* o, Kind k) {
    PyTypeObject* variable = type_of_kind(Kind::Variable);
    PyTypeObject* constant = type_of_kind(Kind::Constant);
    PyObject* const* children;
    Py_ssize_t n;
    if (k == Kind::FunctionApp || k == Kind::PredicateApp) {
        PyObject* args = k == Kind::FunctionApp ? as_function_app(o)->args : as_predicate_app(o)->args;
        if (!PyTuple_CheckExact(args)) return;
        children = &PyTuple_GET_ITEM(args, 0);
        n = std::min<Py_ssize_t>(PyTuple_GET_SIZE(args), kLeafChildBits);
    } else {
        children = fields_of(o);
        n = k == Kind::Not ? 1 : 2;  // left, right; operand; variable, body
    }
    uint16_t bits = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyTypeObject* t = Py_TYPE(children[i]);
        if (t == variable || t == constant) bits |= static_cast<uint16_t>(1u << i);
    }
    as_node(o)->leaf_children = bits;
}

// Whether objects of `t` are nodes that hash by the node hash (every node
// class does, a Python subclass unless it defines its own __hash__), so
// that their header may be read.
bool hashes_as_node(PyTypeObject* t) { return t->tp_hash == type_of_kind(Kind::Formula)->tp_hash; }

// The SubtreeMark bits that a child passes up: its own, when it is a node
// of exactly its class.
uint8_t marks_of(PyObject* child) {
    PyTypeObject* t = Py_TYPE(child);
    return hashes_as_node(t) && is_exact(t, as_node(child)->kind) ? as_node(child)->subtree : 0;
}

// The SubtreeMark bits of a new compound node, from its children's.
uint8_t subtree_marks(PyObject* o, Kind k) {
    if (!is_exact(Py_TYPE(o), k) || is_quantifier(k)) return 0;
    PyObject* const* children;
    Py_ssize_t n;
    if (k == Kind::FunctionApp || k == Kind::PredicateApp) {
        PyObject* args = k == Kind::FunctionApp ? as_function_app(o)->args : as_predicate_app(o)->args;
        if (!PyTuple_CheckExact(args)) return 0;
        children = &PyTuple_GET_ITEM(args, 0);
        n = PyTuple_GET_SIZE(args);
    } else {
        children = fields_of(o);
        n = k == Kind::Not ? 1 : 2;  // left, right; operand
    }
    uint8_t marks = kPlainQuantifierFree;
    for (Py_ssize_t i = 0; i < n && marks; ++i) marks &= marks_of(children[i]);
    return marks;
}

// Tracks a new exact node only when a field may lead back to it; trees whose
// leaves cannot are never walked by the collector. (Subclass instances carry
// a __dict__ and stay tracked.)
void track_if_cyclic(PyObject* o, Kind k) {
    if (!is_exact(Py_TYPE(o), k)) return;
    PyObject** slot = fields_of(o);
    for (int i = 0, n = info(k).nfields; i < n; ++i) {
        PyObject* f = slot[i];
        if (k == Kind::Variable && i == 2 && is_variable_kind(f)) continue;
        if (k == Kind::FunctionApp && i == 4) continue;  // return_sort: the sort field again
        if (may_reach_cycle(f)) {
            PyObject_GC_Track(o);
            as_node(o)->tracked = true;
            return;
        }
    }
}

// The hash of a field: a node's cached hash is read directly, and an
// exact tuple (application arguments) is hashed here as tuplehash would,
// from its members' cached hashes.
Py_hash_t field_hash(PyObject* f) {
    PyTypeObject* t = Py_TYPE(f);
    if (hashes_as_node(t)) {
        Py_hash_t h = as_node(f)->hash;
        if (h != -1) return h;
    } else if (t == &PyUnicode_Type) {
        Py_hash_t h = reinterpret_cast<PyASCIIObject*>(f)->hash;  // str keeps its hash once taken
        if (h != -1) return h;
    } else if (t == &PyLong_Type) {
        long long v;
        if (py::small_int(f, v)) return v == -1 ? -2 : static_cast<Py_hash_t>(v);  // as int's hash
    } else if (t == &PyTuple_Type) {
        TupleHash h;
        for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(f); i < n; ++i) {
            PyObject* item = PyTuple_GET_ITEM(f, i);
            Py_hash_t ih = Py_TYPE(item)->tp_hash == t->tp_hash ? PyObject_Hash(item) : field_hash(item);
            if (ih == -1) return -1;
            h.add_hash(ih);
        }
        return h.finish();
    }
    return PyObject_Hash(f);
}

// The hash of a node class, as hash(cls) gives it.
Py_hash_t type_hash(PyTypeObject* type, Kind k) {
    if (is_exact(type, k)) return state().type_hashes[static_cast<int>(k)];
    return PyObject_Hash(reinterpret_cast<PyObject*>(type));  // by address: cannot fail
}

// Finishes a compound node: the hash over (class, fields...), skipping the
// first `skip` fields (FunctionApp's sort).
PyObject* finish_compound(PyObject* o, Kind k, int skip) {
    TupleHash h;
    h.add_hash(type_hash(Py_TYPE(o), k));
    PyObject** slot = fields_of(o);
    for (int i = skip, n = info(k).nfields; i < n; ++i) {
        Py_hash_t fh = field_hash(slot[i]);
        if (fh == -1) {
            Py_DECREF(o);
            return nullptr;
        }
        h.add_hash(fh);
    }
    as_node(o)->hash = h.finish();
    track_if_cyclic(o, k);
    mark_leaf_children(o, k);
    as_node(o)->subtree = subtree_marks(o, k);
    return o;
}

// finish_compound for a connective or first-order quantifier of its exact
// class whose fields are nodes with kept hashes, in one pass over them (the
// common case, and the one rebuilding walks make): the hash, the tracking,
// the leaf marks and the sub-tree marks. False, with nothing changed, when
// a field is no such node.
bool finish_over_nodes(PyObject* o, Kind k) {
    PyTypeObject* variable = type_of_kind(Kind::Variable);
    PyTypeObject* constant = type_of_kind(Kind::Constant);
    PyObject** slot = fields_of(o);
    int n = info(k).nfields;
    TupleHash h;
    h.add_hash(state().type_hashes[static_cast<int>(k)]);
    bool cyclic = false;  // a tracked field may reach a cycle
    uint16_t leaves = 0;
    uint8_t marks = is_quantifier(k) ? 0 : kPlainQuantifierFree;
    for (int i = 0; i < n; ++i) {
        PyTypeObject* t = Py_TYPE(slot[i]);
        const NodeObject* field = as_node(slot[i]);
        if (!hashes_as_node(t) || field->hash == -1) return false;
        h.add_hash(field->hash);
        cyclic = cyclic || field->tracked;
        if (t == variable || t == constant) leaves |= static_cast<uint16_t>(1u << i);
        marks &= marks_of(slot[i]);
    }
    as_node(o)->hash = h.finish();
    if (cyclic) {
        PyObject_GC_Track(o);
        as_node(o)->tracked = true;
    }
    as_node(o)->leaf_children = leaves;
    as_node(o)->subtree = marks;
    return true;
}

// A leaf whose fields hash the same all its life keeps its hash from
// construction, so that sets, substitution tables and the nodes above it
// never hash its fields again: a variable over an int id, a VariableKind
// member and a sort of the default's exact class (whose hash is fixed when
// it is made), or a constant over a str name and such a sort. Others are
// hashed on each request.
void keep_leaf_hash(PyObject* o, Kind k) {
    const Api& a = state().api;
    PyObject* sort = reinterpret_cast<TermObject*>(o)->sort;
    if (!(sort == a.ind || Py_TYPE(sort) == Py_TYPE(a.ind))) return;
    Py_hash_t second, third = 0;
    if (k == Kind::Variable) {
        VariableObject* v = as_variable(o);
        int member = -1;
        for (int i = 0; i < 3; ++i)
            if (v->var_kind == a.variable_kinds[i]) member = i;
        if (!PyLong_CheckExact(v->id) || member < 0) return;
        second = PyObject_Hash(v->id);  // an int: cannot fail
        third = state().variable_kind_hashes[member];
    } else {
        PyObject* name = as_constant(o)->name;
        if (!PyUnicode_CheckExact(name)) return;
        second = PyObject_Hash(name);
        if (second == -1) {
            PyErr_Clear();  // raised again when the constant is hashed
            return;
        }
    }
    Py_hash_t sh = PyObject_Hash(sort);
    if (sh == -1) {
        PyErr_Clear();
        return;
    }
    TupleHash h;
    h.add_hash(sh);
    h.add_hash(second);
    if (k == Kind::Variable) h.add_hash(third);
    as_node(o)->hash = h.finish();
}

// A variable or constant of exactly its class whose hash is kept is a
// plain sub-tree.
void mark_leaf(PyObject* o, Kind k) {
    if (is_exact(Py_TYPE(o), k) && as_node(o)->hash != -1) as_node(o)->subtree = kPlainQuantifierFree;
}

// Calls a Python subclass with the fields by keyword.
PyObject* call_by_keyword(PyTypeObject* type, const char* const* names, PyObject* const* values, int n) {
    PyObject* kwnames = py::interned_tuple(names, n);
    if (!kwnames) return nullptr;
    PyObject* r = PyObject_Vectorcall(reinterpret_cast<PyObject*>(type), values, 0, kwnames);
    Py_DECREF(kwnames);
    return r;
}

// ---- construction of each class, after argument parsing ----

PyObject* build(PyTypeObject* type, Kind k, PyObject** p) {
    const Api& a = state().api;
    switch (k) {
        case Kind::Variable: {
            PyObject* id = p[0];
            PyObject* var_kind = p[1] ? p[1] : a.variable_kinds[0];
            PyObject* sort = p[2] ? p[2] : a.ind;
            int negative = is_negative(id);
            if (negative < 0) return nullptr;
            if (negative) return error(PyUnicode_FromFormat("Variable ID must be non-negative, got %S.", id));
            PyObject* f[] = {sort, id, var_kind};
            PyObject* o = allocate(type, k, f, 3);
            if (o) {
                keep_leaf_hash(o, k);
                track_if_cyclic(o, k);
                mark_leaf(o, k);
            }
            return o;
        }
        case Kind::Constant: {
            PyObject* name = p[0];
            PyObject* sort = p[1] ? p[1] : a.ind;
            if (PyUnicode_Check(name) && PyUnicode_GET_LENGTH(name) == 0)
                return error(PyUnicode_FromString("Constant name cannot be empty."));
            PyObject* f[] = {sort, name};
            PyObject* o = allocate(type, k, f, 2);
            if (o) {
                keep_leaf_hash(o, k);
                track_if_cyclic(o, k);
                mark_leaf(o, k);
            }
            return o;
        }
        case Kind::FunctionApp: {
            PyObject *func = p[0], *arity = p[1], *args = p[2];
            PyObject* return_sort = p[3] ? p[3] : a.ind;
            if (!check_application("Function", "FunctionVariable", "FunctionApp", func, arity, args)) return nullptr;
            if (PyTuple_CheckExact(args)) untrack_if_acyclic(args);
            PyObject* f[] = {return_sort, func, arity, args, return_sort};
            PyObject* o = allocate(type, k, f, 5);
            if (!o || !(o = finish_compound(o, k, 1))) return nullptr;
            PyObject* fv = free_variables_of_args(args);
            if (!fv) {
                Py_DECREF(o);
                return nullptr;
            }
            as_function_app(o)->free_vars = fv;
            return o;
        }
        case Kind::PredicateApp: {
            if (!check_application("Predicate", "PredicateVariable", "PredicateApp", p[0], p[1], p[2]))
                return nullptr;
            if (PyTuple_CheckExact(p[2])) untrack_if_acyclic(p[2]);
            PyObject* o = allocate(type, k, p, 3);
            if (!o || !(o = finish_compound(o, k, 0))) return nullptr;
            PyObject* fv = free_variables_of_args(p[2]);
            if (!fv) {
                Py_DECREF(o);
                return nullptr;
            }
            as_predicate_app(o)->free_vars = fv;
            return o;
        }
        case Kind::Equality: {
            PyObject* o = allocate(type, k, p, 2);
            if (!o || !(o = finish_compound(o, k, 0))) return nullptr;
            PyObject* fv = free_variables_of_terms(p, 2);
            if (!fv) {
                Py_DECREF(o);
                return nullptr;
            }
            as_equality(o)->free_vars = fv;
            return o;
        }
        case Kind::Term: {
            PyObject* f[] = {p[0] ? p[0] : a.ind};
            return allocate(type, k, f, 1);
        }
        case Kind::Formula:
            return allocate(type, k, nullptr, 0);
        default: {  // connectives and quantifiers: no checks
            int n = info(k).nfields;
            PyObject* o = allocate(type, k, p, n);
            if (!o) return nullptr;
            if (is_exact(type, k) && finish_over_nodes(o, k)) return o;
            return finish_compound(o, k, 0);
        }
    }
}

int node_init(PyObject* self, PyObject* args, PyObject* kwargs);

// A class whose __init__ is ours is built here, from the call's arguments.
// A Python subclass with an __init__ of its own gets a placeholder instead,
// which super().__init__(...) fills, as a frozen dataclass's __init__ fills
// the instance: until then it reads as a bare Formula (no fields), so no
// reader of the layout ever meets a missing field.
PyObject* node_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        if (py::builds_in_init(type, node_init)) {
            PyObject* o = type->tp_alloc(type, 0);
            if (!o) return nullptr;
            as_node(o)->kind = Kind::Formula;
            as_node(o)->hash = -1;
            as_node(o)->tracked = PyObject_GC_IsTracked(o);
            as_node(o)->leaf_children = 0;
            as_node(o)->subtree = 0;
            return o;
        }
        Kind k = kind_of_type(type);
        PyObject* p[6];
        if (!py::parse_tuple(info(k).signature, args, kwargs, p)) return nullptr;
        return build(type, k, p);
    });
}

// The __init__ of every node class: nothing to do for an instance node_new
// built; for a placeholder (or a subclass instance initialised again, as a
// frozen dataclass allows), the node is built with all its checks and its
// fields, kind and hash are moved into `self`.
int node_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guard<int>(-1, [&]() -> int {
        PyTypeObject* type = Py_TYPE(self);
        if (!py::builds_in_init(type, node_init)) return 0;
        Kind k = kind_of_type(type);
        PyObject* p[6];
        if (!py::parse_tuple(info(k).signature, args, kwargs, p)) return -1;
        PyObject* built = build(type, k, p);
        if (!built) return -1;
        // Same class, same layout: swapping hands self's old fields to the
        // temporary, which releases them.
        PyObject** mine = fields_of(self);
        PyObject** theirs = fields_of(built);
        for (int i = 0, n = field_count(k); i < n; ++i) std::swap(mine[i], theirs[i]);
        std::swap(as_node(self)->kind, as_node(built)->kind);
        std::swap(as_node(self)->hash, as_node(built)->hash);
        std::swap(as_node(self)->leaf_children, as_node(built)->leaf_children);
        std::swap(as_node(self)->subtree, as_node(built)->subtree);
        // `tracked` stays: both are instances of one Python subclass, tracked alike.
        Py_DECREF(built);
        return 0;
    });
}

// Frozen dataclass assignment: refused for every name on a node class
// itself, for the field names only on a Python subclass (which may keep
// attributes of its own).
int node_setattro(PyObject* self, PyObject* name, PyObject* value) {
    PyTypeObject* type = Py_TYPE(self);
    Kind k = kind_of_type(type);
    if (is_exact(type, k) || !PyUnicode_Check(name)) return py::refuse_assignment(self, name, value);
    const ClassInfo& ci = info(k);
    for (int i = 0; i < ci.nfields; ++i)
        if (PyUnicode_CompareWithASCIIString(name, ci.fields[i]) == 0) return py::refuse_assignment(self, name, value);
    return PyObject_GenericSetAttr(self, name, value);
}

// Calling an exact node class skips tuple and dict packing.
PyObject* node_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        auto* type = reinterpret_cast<PyTypeObject*>(callable);
        Kind k = kind_of_type(type);
        PyObject* p[6];
        if (!py::parse_vector(info(k).signature, args, PyVectorcall_NARGS(nargsf), kwnames, p)) return nullptr;
        return build(type, k, p);
    });
}

void node_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, node_dealloc)
    Kind k = as_node(self)->kind;
    PyObject** slot = fields_of(self);
    int n = field_count(k);
    // Each release writes to its field's object, which may be far away:
    // fetch them all at once instead of one after the other.
    for (int i = 0; i < n; ++i) __builtin_prefetch(slot[i], 1);
    for (int i = 0; i < n; ++i) Py_CLEAR(slot[i]);
    type->tp_free(self);
    Py_DECREF(type);
    Py_TRASHCAN_END
}

int node_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    PyObject** slot = fields_of(self);
    for (int i = 0, n = field_count(as_node(self)->kind); i < n; ++i) Py_VISIT(slot[i]);
    return 0;
}

Py_hash_t node_hash(PyObject* self) {
    NodeObject* n = as_node(self);
    if (n->hash != -1) return n->hash;
    // Terms without a cache (and the abstract bases) hash their fields on
    // each request, as hash((sort, id, kind)) would.
    TupleHash h;
    PyObject** slot = fields_of(self);
    const Api& a = state().api;
    for (int i = 0, c = info(n->kind).nfields; i < c; ++i) {
        PyObject* f = slot[i];
        // A VariableKind member hashes as its name (Enum.__hash__), a Python
        // call each time; the three values are taken once at import.
        int member = f == a.variable_kinds[0] ? 0 : f == a.variable_kinds[1] ? 1 : f == a.variable_kinds[2] ? 2 : -1;
        Py_hash_t fh = member >= 0 ? state().variable_kind_hashes[member] : field_hash(f);
        if (fh == -1) return -1;
        h.add_hash(fh);
    }
    return h.finish();
}

PyObject* node_richcompare(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(a) != Py_TYPE(b)) Py_RETURN_NOTIMPLEMENTED;
    int equal = py::guard<int>(-1, [&] { return nodes_equal(a, b); });
    if (equal < 0) return nullptr;
    return PyBool_FromLong(equal == (op == Py_EQ));
}

PyObject* node_repr(PyObject* self) {
    return py::guarded_repr(self, [&]() -> PyObject* {
        return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
            const ClassInfo& ci = info(as_node(self)->kind);
            py::ReprWriter w(self);
            PyObject** slot = fields_of(self);
            for (int i = 0; i < ci.nfields; ++i)
                if (!w.field(ci.fields[i], slot[i])) return nullptr;
            return w.finish();
        });
    });
}

// Pickling and copying: rebuild through the constructor, by keyword, so the
// copy is checked and cached like any node.
PyObject* node_reduce(PyObject* self, PyObject*) {
    const ClassInfo& ci = info(as_node(self)->kind);
    const Signature& sig = ci.signature;
    py::Ref kwargs(PyDict_New());
    if (!kwargs) return nullptr;
    PyObject** slot = fields_of(self);
    for (int i = 0; i < sig.positional + sig.keyword_only; ++i)
        for (int f = 0; f < ci.nfields; ++f)
            if (std::strcmp(sig.names[i], ci.fields[f]) == 0 &&
                PyDict_SetItemString(kwargs.get(), sig.names[i], slot[f]) < 0)
                return nullptr;
    return Py_BuildValue("O(OO)", state().rebuild, reinterpret_cast<PyObject*>(Py_TYPE(self)), kwargs.get());
}

PyMethodDef kMethods[] = {
    {"__reduce__", node_reduce, METH_NOARGS, "Pickles the node by its constructor arguments."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* get_hash_cache(PyObject* self, void*) { return PyLong_FromSsize_t(as_node(self)->hash); }

PyObject* get_free_vars(PyObject* self, void*) {
    PyObject* fv = fields_of(self)[info(as_node(self)->kind).nfields];
    return Py_NewRef(fv ? fv : Py_None);
}

PyGetSetDef kCompoundGetset[] = {
    {"_hash_cache", get_hash_cache, nullptr, "The hash computed at construction.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyGetSetDef kCachedGetset[] = {
    {"_hash_cache", get_hash_cache, nullptr, "The hash computed at construction.", nullptr},
    {"_free_vars", get_free_vars, nullptr, "The free variables, computed at construction.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

bool is_compound(Kind k) { return k != Kind::Variable && k != Kind::Constant && k != Kind::Term && k != Kind::Formula; }

// CPython 3.11 keeps the type name pointer it is given as the type's tp_name.
const char* persistent_copy(const std::string& text) {
    char* stored = new char[text.size() + 1];  // lives as long as the process
    std::memcpy(stored, text.c_str(), text.size() + 1);
    return stored;
}

PyTypeObject* make_type(Kind k, const std::string& name, PyTypeObject* base) {
    const char* qualified_name = persistent_copy(name);
    const ClassInfo& ci = info(k);
    auto* members = new PyMemberDef[ci.nfields + 1];  // lives as long as the process
    size_t offset = sizeof(NodeObject);
    for (int i = 0; i < ci.nfields; ++i) {
        members[i] = PyMemberDef{ci.fields[i], Py_T_OBJECT_EX, static_cast<Py_ssize_t>(offset + i * sizeof(PyObject*)),
                                 Py_READONLY, nullptr};
    }
    members[ci.nfields] = PyMemberDef{nullptr, 0, 0, 0, nullptr};
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(node_new)},
        {Py_tp_init, reinterpret_cast<void*>(node_init)},
        {Py_tp_dealloc, reinterpret_cast<void*>(node_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(node_traverse)},
        {Py_tp_hash, reinterpret_cast<void*>(node_hash)},
        {Py_tp_richcompare, reinterpret_cast<void*>(node_richcompare)},
        {Py_tp_repr, reinterpret_cast<void*>(node_repr)},
        {Py_tp_setattro, reinterpret_cast<void*>(node_setattro)},
        {Py_tp_members, members},
        {Py_tp_methods, kMethods},
        {Py_tp_doc, const_cast<char*>(ci.doc ? ci.doc : "A second-order quantifier.")},
        {is_compound(k) ? Py_tp_getset : 0, ci.free_vars ? kCachedGetset : kCompoundGetset},
        {0, nullptr},
    };
    int size = static_cast<int>(sizeof(NodeObject) + (field_count(k)) * sizeof(PyObject*));
    PyType_Spec type_spec{qualified_name, size, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
    PyObject* bases = base ? PyTuple_Pack(1, base) : nullptr;
    PyObject* type = PyType_FromSpecWithBases(&type_spec, bases);
    Py_XDECREF(bases);
    if (!type) return nullptr;
    auto* t = reinterpret_cast<PyTypeObject*>(type);
    t->tp_vectorcall = node_vectorcall;

    // __match_args__: the positional constructor parameters, as a dataclass.
    const Signature& sig = ci.signature;
    PyObject* match_args = PyTuple_New(sig.positional);
    if (!match_args) return nullptr;
    for (int i = 0; i < sig.positional; ++i) PyTuple_SET_ITEM(match_args, i, PyUnicode_FromString(sig.names[i]));
    int rc = PyDict_SetItemString(t->tp_dict, "__match_args__", match_args);
    Py_DECREF(match_args);
    if (rc < 0) {
        Py_DECREF(type);
        return nullptr;
    }
    PyType_Modified(t);
    state().api.types[static_cast<int>(k)] = t;
    state().type_hashes[static_cast<int>(k)] = PyObject_Hash(type);
    return t;
}

}  // namespace

int field_count(Kind k) { return info(k).nfields + (info(k).free_vars ? 1 : 0); }

const py::Signature& constructor_signature(Kind k) { return info(k).signature; }

bool create_types(PyObject* module) {
    PyTypeObject* term = make_type(Kind::Term, "quorvel.core.ast.Term", nullptr);
    if (!term || PyModule_AddObjectRef(module, "Term", reinterpret_cast<PyObject*>(term)) < 0) return false;
    PyTypeObject* formula = make_type(Kind::Formula, "quorvel.core.ast.Formula", nullptr);
    if (!formula || PyModule_AddObjectRef(module, "Formula", reinterpret_cast<PyObject*>(formula)) < 0) return false;
    state().api.term_type = term;
    state().api.formula_type = formula;
    for (int k = 0; k <= static_cast<int>(Kind::Exists); ++k) {
        Kind kind = static_cast<Kind>(k);
        PyTypeObject* t = make_type(kind, std::string("quorvel.core.ast.") + info(kind).name,
                                    info(kind).term ? term : formula);
        if (!t || PyModule_AddObjectRef(module, info(kind).name, reinterpret_cast<PyObject*>(t)) < 0) return false;
    }
    return true;
}

PyTypeObject* new_quantifier_type(const char* name, const char* module, Kind kind) {
    return py::guard<PyTypeObject*>(nullptr, [&]() -> PyTypeObject* {
        if (!is_second_order_quantifier(kind)) {
            PyErr_SetString(PyExc_ValueError, "not a second-order quantifier kind");
            return nullptr;
        }
        PyTypeObject* t = make_type(kind, std::string(module) + "." + name, state().api.formula_type);
        Py_XINCREF(t);  // one reference for the table, one for the caller
        return t;
    });
}

// ---- the constructors of the C++ interface ----

namespace {

// The kind of `type`, looked up first among the exact classes from `first`
// to `last`, the ones a constructor expects.
Kind kind_among(PyTypeObject* type, Kind first, Kind last) {
    for (int k = static_cast<int>(first); k <= static_cast<int>(last); ++k)
        if (type_of_kind(static_cast<Kind>(k)) == type) return static_cast<Kind>(k);
    return kind_of_type(type);
}

template <size_t N>
PyObject* construct(PyTypeObject* type, Kind k, PyObject* (&values)[N]) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        if (is_exact(type, k)) return build(type, k, values);
        return call_by_keyword(type, info(k).signature.names, values, static_cast<int>(N));
    });
}

}  // namespace

PyObject* new_unary(PyTypeObject* type, PyObject* operand) {
    PyObject* v[] = {operand};
    return construct(type, Kind::Not, v);
}
PyObject* new_binary(PyTypeObject* type, PyObject* left, PyObject* right) {
    Kind k = kind_among(type, Kind::And, Kind::Iff);
    PyObject* v[] = {left, right};
    return construct(type, k, v);
}
PyObject* new_quantifier(PyTypeObject* type, PyObject* variable, PyObject* body) {
    Kind k = kind_among(type, Kind::Forall, Kind::ExistsFunc);
    PyObject* v[] = {variable, body};
    return construct(type, k, v);
}
PyObject* new_predicate_app(PyTypeObject* type, PyObject* pred, PyObject* arity, PyObject* args) {
    PyObject* v[] = {pred, arity, args};
    return construct(type, Kind::PredicateApp, v);
}
PyObject* new_equality(PyTypeObject* type, PyObject* left, PyObject* right) {
    PyObject* v[] = {left, right};
    return construct(type, Kind::Equality, v);
}
PyObject* new_function_app(PyTypeObject* type, PyObject* func, PyObject* arity, PyObject* args,
                           PyObject* return_sort) {
    PyObject* v[] = {func, arity, args, return_sort};
    return construct(type, Kind::FunctionApp, v);
}
PyObject* new_variable(PyTypeObject* type, PyObject* id, PyObject* var_kind, PyObject* sort) {
    PyObject* v[] = {id, var_kind, sort};
    return construct(type, Kind::Variable, v);
}
PyObject* new_constant(PyTypeObject* type, PyObject* name, PyObject* sort) {
    PyObject* v[] = {name, sort};
    return construct(type, Kind::Constant, v);
}

}  // namespace quorvel::ast
