// Literal and Clause: frozen records with dataclass equality, a hash kept
// from construction, the free variables (and for a clause the tautology
// flag) computed once, substitution, and the one-line texts.
#include <algorithm>
#include <string>
#include <vector>

#include "quorvel/core/substitutions/api.h"
#include "quorvel/core/substitutions/hashed_pairs.h"
#include "quorvel/prover/clausifier/state.h"
#include "quorvel/support/py/args.h"
#include "quorvel/support/py/compat.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/hashing.h"
#include "quorvel/support/py/names.h"
#include "quorvel/support/py/record.h"
#include "quorvel/support/py/ref.h"
#include "quorvel/support/py/repr.h"
#include "quorvel/support/py/set_table.h"
#include "quorvel/support/small_vector.h"

namespace quorvel::clausifier {

using ast::Kind;
using py::Ref;

namespace {

const char* const kLiteralFields[] = {"atom", "positive"};
const char* const kClauseFields[] = {"literals"};
const char* const kSubstParam[] = {"subst"};
const py::Signature kLiteralInit{"Literal.__init__", kLiteralFields, 2, 1, 0, true};
const py::Signature kClauseInit{"Clause.__init__", kClauseFields, 1, 0, 0, true};
const py::Signature kLiteralSubstitute{"Literal.substitute", kSubstParam, 1, 1, 0, true};
const py::Signature kClauseSubstitute{"Clause.substitute", kSubstParam, 1, 1, 0, true};

PyObject* g_empty_frozenset = nullptr;
Py_hash_t g_literal_type_hash = -1;  // hash(Literal), hash(Clause): by address, fixed
Py_hash_t g_clause_type_hash = -1;

bool is_literal(PyObject* o) { return PyObject_TypeCheck(o, state().api.literal_type); }

// An object that can never be part of a reference cycle.
bool acyclic(PyObject* o) { return !PyObject_IS_GC(o) || !PyObject_GC_IsTracked(o); }

// ---- Literal ----

// The free variables of an atom as a frozenset: the atom's own kept set
// when it has one, else free_variables(atom).
PyObject* atom_free_variables(PyObject* atom) {
    Kind k = ast::exact_kind_of(atom);
    if (k == Kind::PredicateApp) return Py_NewRef(ast::as_predicate_app(atom)->free_vars);
    if (k == Kind::Equality) return Py_NewRef(ast::as_equality(atom)->free_vars);
    Ref found(ast::api().free_variables(atom));
    if (!found) return nullptr;
    return PyFrozenSet_New(found.get());
}

// hash(o), read from the node's kept hash or the bool's value without a
// call when it can be.
Py_hash_t hash_of(PyObject* o) {
    if (o == Py_True) return 1;
    if (o == Py_False) return 0;
    Kind k = ast::exact_kind_of(o);
    if (k == Kind::PredicateApp || k == Kind::Equality) return ast::as_node(o)->hash;
    return PyObject_Hash(o);
}

// The truth of a sign: True and False without a call.
int truth_of(PyObject* positive) {
    if (positive == Py_True) return 1;
    if (positive == Py_False) return 0;
    return PyObject_IsTrue(positive);
}

PyObject* make_literal(PyTypeObject* type, PyObject* atom, PyObject* positive) {
    bool exact = type == state().api.literal_type;
    py::TupleHash h;
    h.add_hash(exact ? g_literal_type_hash : PyObject_Hash(reinterpret_cast<PyObject*>(type)));
    Py_hash_t ah = hash_of(atom);
    if (ah == -1) return nullptr;
    h.add_hash(ah);
    Py_hash_t ph = hash_of(positive);
    if (ph == -1) return nullptr;
    h.add_hash(ph);
    Ref fv(atom_free_variables(atom));
    if (!fv) return nullptr;
    PyObject* self = exact ? reinterpret_cast<PyObject*>(PyObject_GC_New(LiteralObject, type)) : type->tp_alloc(type, 0);
    if (!self) return nullptr;
    LiteralObject* l = as_literal(self);
    l->hash = h.finish();
    l->atom = Py_NewRef(atom);
    l->positive = Py_NewRef(positive);
    l->free_vars = fv.release();
    if (exact && !(acyclic(atom) && acyclic(positive))) PyObject_GC_Track(self);
    return self;
}

PyObject* literal_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* p[2];
        if (!py::parse_tuple(kLiteralInit, args, kwargs, p)) return nullptr;
        return make_literal(type, p[0], p[1] ? p[1] : Py_True);
    });
}

PyObject* literal_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* p[2];
        if (!py::parse_vector(kLiteralInit, args, PyVectorcall_NARGS(nargsf), kwnames, p)) return nullptr;
        return make_literal(reinterpret_cast<PyTypeObject*>(callable), p[0], p[1] ? p[1] : Py_True);
    });
}

int literal_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    LiteralObject* l = as_literal(self);
    Py_VISIT(l->atom);
    Py_VISIT(l->positive);
    Py_VISIT(l->free_vars);
    return 0;
}

void literal_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    LiteralObject* l = as_literal(self);
    Py_CLEAR(l->atom);
    Py_CLEAR(l->positive);
    Py_CLEAR(l->free_vars);
    type->tp_free(self);
    Py_DECREF(type);
}

Py_hash_t literal_hash(PyObject* self) { return as_literal(self)->hash; }

int same(PyObject* a, PyObject* b) { return a == b ? 1 : PyObject_RichCompareBool(a, b, Py_EQ); }

PyObject* literal_richcompare(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(a) != Py_TYPE(b)) Py_RETURN_NOTIMPLEMENTED;
    LiteralObject *x = as_literal(a), *y = as_literal(b);
    int eq = 1;
    if (a != b) {
        // Equal literals hash alike: a differing kept hash settles it.
        eq = x->hash == y->hash ? same(x->atom, y->atom) : 0;
        if (eq > 0) eq = same(x->positive, y->positive);
        if (eq < 0) return nullptr;
    }
    return PyBool_FromLong(eq == (op == Py_EQ));
}

// The text of a literal, appended to `out`.
bool literal_text(PyObject* self, std::string& out) {
    LiteralObject* l = as_literal(self);
    int positive = PyObject_IsTrue(l->positive);
    if (positive < 0) return false;
    if (ast::kind_of(l->atom) == Kind::Equality) {
        if (!py::append_repr(out, ast::as_equality(l->atom)->left)) return false;
        out += positive ? " = " : " \xe2\x89\xa0 ";  // ≠
        return py::append_repr(out, ast::as_equality(l->atom)->right);
    }
    if (!positive) out += "\xc2\xac";  // ¬
    return py::append_repr(out, l->atom);
}

PyObject* text_object(const std::string& s) {
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
}

PyObject* literal_str(PyObject* self) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        std::string s;
        if (!literal_text(self, s)) return nullptr;
        return text_object(s);
    });
}

PyObject* literal_to_string(PyObject* self, PyObject*) { return literal_str(self); }

PyObject* literal_repr(PyObject* self) {
    return py::guarded_repr(self, [&]() -> PyObject* {
        return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
            py::ReprWriter w(self);
            if (!w.field("atom", as_literal(self)->atom) || !w.field("positive", as_literal(self)->positive))
                return nullptr;
            return w.finish();
        });
    });
}

PyObject* literal_negate(PyObject* self, PyObject*) {
    int positive = PyObject_IsTrue(as_literal(self)->positive);
    if (positive < 0) return nullptr;
    return make_literal(state().api.literal_type, as_literal(self)->atom, positive ? Py_False : Py_True);
}

PyObject* new_set_of(PyObject* frozen) { return PySet_New(frozen); }

PyObject* literal_free_variables(PyObject* self, PyObject*) { return new_set_of(as_literal(self)->free_vars); }

PyObject* literal_substitute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* p[1];
    if (!py::parse_vector(kLiteralSubstitute, args, nargs, kwnames, p)) return nullptr;
    return substitute_literal(self, p[0]);
}

PyObject* literal_reduce(PyObject* self, PyObject*) {
    return Py_BuildValue("(O(OO))", reinterpret_cast<PyObject*>(Py_TYPE(self)), as_literal(self)->atom,
                         as_literal(self)->positive);
}

PyObject* literal_hash_cache(PyObject* self, void*) { return PyLong_FromSsize_t(as_literal(self)->hash); }
PyObject* literal_free_vars(PyObject* self, void*) { return Py_NewRef(as_literal(self)->free_vars); }

PyMethodDef kLiteralMethods[] = {
    {"negate", literal_negate, METH_NOARGS, "negate($self)\n--\n\nReturns the complementary literal."},
    {"free_variables", literal_free_variables, METH_NOARGS,
     "free_variables($self)\n--\n\nReturns all free variables in the literal atom."},
    {"substitute", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(literal_substitute)),
     METH_FASTCALL | METH_KEYWORDS, "substitute($self, subst)\n--\n\nApplies variable substitution to the literal atom."},
    {"to_string", literal_to_string, METH_NOARGS, "to_string($self)\n--\n\nFormats literal for display."},
    {"__reduce__", literal_reduce, METH_NOARGS, "Pickles the literal by its fields."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef kLiteralMembers[] = {
    {"atom", Py_T_OBJECT_EX, offsetof(LiteralObject, atom), Py_READONLY, nullptr},
    {"positive", Py_T_OBJECT_EX, offsetof(LiteralObject, positive), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef kLiteralGetset[] = {
    {"_hash_cache", literal_hash_cache, nullptr, "hash((Literal, atom, positive)), computed at construction.", nullptr},
    {"_free_vars", literal_free_vars, nullptr, "The free variables of the atom, computed at construction.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- Clause ----

struct Sign {
    Py_hash_t hash;
    PyObject* atom;
    bool positive;
};

// The literals of one clause, borrowed.
using Members = SmallVector<PyObject*, 16>;

// New references, released with it.
struct OwnedMembers : Members {
    ~OwnedMembers() {
        for (PyObject* o : *this) Py_DECREF(o);
    }
};

// 1 when some atom stands both in a positive and in a negative literal.
int has_complementary_pair(SmallVector<Sign, 16>& signs) {
    std::sort(signs.begin(), signs.end(), [](const Sign& a, const Sign& b) { return a.hash < b.hash; });
    for (size_t i = 0; i < signs.size();) {
        size_t j = i;
        while (j < signs.size() && signs[j].hash == signs[i].hash) ++j;
        for (size_t a = i; a < j; ++a)
            for (size_t b = a + 1; b < j; ++b) {
                if (signs[a].positive == signs[b].positive) continue;
                int eq = same(signs[a].atom, signs[b].atom);
                if (eq) return eq;
            }
        i = j;
    }
    return 0;
}

// The union of the literals' free variables. A literal's set that holds
// all the others' variables is shared (the first largest one), which is the
// common case; otherwise a new set is built.
PyObject* union_of_free_variables(const Members& literals) {
    PyObject* best = nullptr;
    for (PyObject* l : literals) {
        PyObject* fv = as_literal(l)->free_vars;
        if (PySet_GET_SIZE(fv) > 0 && (!best || PySet_GET_SIZE(fv) > PySet_GET_SIZE(best))) best = fv;
    }
    if (!best) return Py_NewRef(g_empty_frozenset);
    int covered = 1;
    for (PyObject* l : literals) {
        PyObject* fv = as_literal(l)->free_vars;
        if (fv == best || PySet_GET_SIZE(fv) == 0) continue;
        if (PyFrozenSet_CheckExact(fv)) {
            py::for_each_set_member(fv, [&](PyObject* v, Py_hash_t) {
                covered = PySet_Contains(best, v);
                return covered == 1;
            });
        } else {
            covered = 0;
        }
        if (covered < 0) return nullptr;
        if (!covered) break;
    }
    if (covered) return Py_NewRef(best);
    // A mutable set is filled by CPython's own table merge; the frozenset is
    // one copy of it.
    Ref set(PySet_New(nullptr));
    if (!set) return nullptr;
    bool untracked = true;
    for (PyObject* l : literals) {
        untracked = untracked && acyclic(l);
        PyObject* fv = as_literal(l)->free_vars;
        if (PySet_GET_SIZE(fv) == 0) continue;
        Ref merged(PyNumber_InPlaceOr(set.get(), fv));
        if (!merged) return nullptr;
    }
    Ref frozen(PyFrozenSet_New(set.get()));
    if (!frozen) return nullptr;
    // Variables of literals that reach no cycle reach none either: keeping
    // the set out of the collector saves it walking every clause.
    if (untracked) PyObject_GC_UnTrack(frozen.get());
    return frozen.release();
}

// Builds a clause of `type` over `literals`. `tautology` is -1 when it is to
// be found out here.
PyObject* make_clause_of(PyTypeObject* type, PyObject* literals, const Members& members, int tautology);

PyObject* make_clause(PyTypeObject* type, PyObject* literals, int tautology) {
    Members members;
    Ref held(py::collect_members(literals, members));  // keeps the members alive
    if (!held) return nullptr;
    return make_clause_of(type, literals, members, tautology);
}

// `members`: the items of `literals`, borrowed.
PyObject* make_clause_of(PyTypeObject* type, PyObject* literals, const Members& members, int tautology) {
    bool exact = type == state().api.clause_type;
    py::TupleHash h;
    h.add_hash(exact ? g_clause_type_hash : PyObject_Hash(reinterpret_cast<PyObject*>(type)));
    if (!h.add(literals)) return nullptr;
    bool untracked = true;
    for (PyObject* l : members) {
        if (!is_literal(l)) {
            PyErr_Format(PyExc_TypeError, "Clause literals must be Literal objects, got %S",
                         reinterpret_cast<PyObject*>(Py_TYPE(l)));
            return nullptr;
        }
        untracked = untracked && acyclic(l);
    }
    if (tautology < 0) {
        SmallVector<Sign, 16> signs;
        signs.reserve(members.size());
        for (PyObject* l : members) {
            int positive = truth_of(as_literal(l)->positive);
            if (positive < 0) return nullptr;
            Py_hash_t ah = hash_of(as_literal(l)->atom);
            if (ah == -1) return nullptr;
            signs.push_back(Sign{ah, as_literal(l)->atom, positive != 0});
        }
        tautology = has_complementary_pair(signs);
        if (tautology < 0) return nullptr;
    }
    Ref fv(union_of_free_variables(members));
    if (!fv) return nullptr;
    PyObject* self = exact ? reinterpret_cast<PyObject*>(PyObject_GC_New(ClauseObject, type)) : type->tp_alloc(type, 0);
    if (!self) return nullptr;
    ClauseObject* c = as_clause(self);
    c->hash = h.finish();
    c->literals = Py_NewRef(literals);
    c->free_vars = fv.release();
    c->tautology = tautology != 0;
    if (exact && !(untracked && acyclic(literals))) PyObject_GC_Track(self);
    return self;
}

PyObject* clause_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* p[1];
        if (!py::parse_tuple(kClauseInit, args, kwargs, p)) return nullptr;
        return make_clause(type, p[0] ? p[0] : g_empty_frozenset, -1);
    });
}

PyObject* clause_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* p[1];
        if (!py::parse_vector(kClauseInit, args, PyVectorcall_NARGS(nargsf), kwnames, p)) return nullptr;
        return make_clause(reinterpret_cast<PyTypeObject*>(callable), p[0] ? p[0] : g_empty_frozenset, -1);
    });
}

int clause_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_clause(self)->literals);
    Py_VISIT(as_clause(self)->free_vars);
    return 0;
}

void clause_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_clause(self)->literals);
    Py_CLEAR(as_clause(self)->free_vars);
    type->tp_free(self);
    Py_DECREF(type);
}

Py_hash_t clause_hash(PyObject* self) { return as_clause(self)->hash; }

PyObject* clause_richcompare(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(a) != Py_TYPE(b)) Py_RETURN_NOTIMPLEMENTED;
    int eq = a == b ? 1 : same(as_clause(a)->literals, as_clause(b)->literals);
    if (eq < 0) return nullptr;
    return PyBool_FromLong(eq == (op == Py_EQ));
}

Py_ssize_t clause_size(PyObject* self) { return PyObject_Length(as_clause(self)->literals); }

PyObject* clause_str(PyObject* self) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        Ref items(PySequence_List(as_clause(self)->literals));
        if (!items) return nullptr;
        Py_ssize_t n = PyList_GET_SIZE(items.get());
        if (n == 0) return PyUnicode_FromString("\xe2\x96\xa1");  // □
        std::vector<std::string> texts(static_cast<size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* l = PyList_GET_ITEM(items.get(), i);
            if (is_literal(l)) {
                if (!literal_text(l, texts[static_cast<size_t>(i)])) return nullptr;
            } else if (!py::append_text(texts[static_cast<size_t>(i)], l)) {
                return nullptr;
            }
        }
        // UTF-8 byte order is code-point order.
        std::sort(texts.begin(), texts.end());
        std::string out;
        for (size_t i = 0; i < texts.size(); ++i) {
            if (i) out += " \xe2\x88\xa8 ";  // ∨
            out += texts[i];
        }
        return text_object(out);
    });
}

PyObject* clause_to_string(PyObject* self, PyObject*) { return clause_str(self); }

PyObject* clause_repr(PyObject* self) {
    return py::guarded_repr(self, [&]() -> PyObject* {
        return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
            py::ReprWriter w(self);
            if (!w.field("literals", as_clause(self)->literals)) return nullptr;
            return w.finish();
        });
    });
}

PyObject* clause_free_variables(PyObject* self, PyObject*) { return new_set_of(as_clause(self)->free_vars); }

PyObject* clause_substitute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* p[1];
    if (!py::parse_vector(kClauseSubstitute, args, nargs, kwnames, p)) return nullptr;
    return substitute_clause(self, p[0]);
}

PyObject* clause_reduce(PyObject* self, PyObject*) {
    return Py_BuildValue("(O(O))", reinterpret_cast<PyObject*>(Py_TYPE(self)), as_clause(self)->literals);
}

PyObject* get_is_empty(PyObject* self, void*) {
    Py_ssize_t n = clause_size(self);
    if (n < 0) return nullptr;
    return PyBool_FromLong(n == 0);
}
PyObject* get_is_unit(PyObject* self, void*) {
    Py_ssize_t n = clause_size(self);
    if (n < 0) return nullptr;
    return PyBool_FromLong(n == 1);
}
PyObject* get_is_tautology(PyObject* self, void*) { return PyBool_FromLong(as_clause(self)->tautology); }
PyObject* clause_hash_cache(PyObject* self, void*) { return PyLong_FromSsize_t(as_clause(self)->hash); }
PyObject* clause_free_vars(PyObject* self, void*) { return Py_NewRef(as_clause(self)->free_vars); }

PyMethodDef kClauseMethods[] = {
    {"free_variables", clause_free_variables, METH_NOARGS,
     "free_variables($self)\n--\n\nReturns all free variables across all literals in the clause."},
    {"substitute", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(clause_substitute)),
     METH_FASTCALL | METH_KEYWORDS,
     "substitute($self, subst)\n--\n\nApplies variable substitution to all literals in the clause."},
    {"to_string", clause_to_string, METH_NOARGS, "to_string($self)\n--\n\nFormats clause as disjunction string."},
    {"__reduce__", clause_reduce, METH_NOARGS, "Pickles the clause by its literals."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef kClauseMembers[] = {
    {"literals", Py_T_OBJECT_EX, offsetof(ClauseObject, literals), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef kClauseGetset[] = {
    {"is_empty", get_is_empty, nullptr, "True if clause is the empty clause (contradiction \xe2\x8a\xa5).", nullptr},
    {"is_tautology", get_is_tautology, nullptr, "True if clause contains both L and \xc2\xacL.", nullptr},
    {"is_unit", get_is_unit, nullptr, "True if clause consists of exactly one literal.", nullptr},
    {"_hash_cache", clause_hash_cache, nullptr, "hash((Clause, literals)), computed at construction.", nullptr},
    {"_is_tautology", get_is_tautology, nullptr, "Whether an atom occurs with both signs, computed at construction.",
     nullptr},
    {"_free_vars", clause_free_vars, nullptr, "The free variables of the literals, computed at construction.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject* make_type(const char* name, const char* doc, int size, PyType_Slot* common, PyMethodDef* methods,
                        PyMemberDef* members, PyGetSetDef* getset, const char* const* fields, int nfields,
                        vectorcallfunc vectorcall) {
    std::vector<PyType_Slot> slots;
    for (PyType_Slot* s = common; s->slot; ++s) slots.push_back(*s);
    slots.push_back({Py_tp_methods, methods});
    slots.push_back({Py_tp_members, members});
    slots.push_back({Py_tp_getset, getset});
    slots.push_back({Py_tp_doc, const_cast<char*>(doc)});
    slots.push_back({Py_tp_setattro, reinterpret_cast<void*>(py::refuse_assignment)});
    slots.push_back({0, nullptr});
    PyType_Spec type_spec{name, size, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots.data()};
    PyObject* type = PyType_FromSpec(&type_spec);
    if (!type) return nullptr;
    auto* t = reinterpret_cast<PyTypeObject*>(type);
    t->tp_vectorcall = vectorcall;
    PyObject* match_args = py::interned_tuple(fields, nfields);
    if (!match_args || PyDict_SetItemString(t->tp_dict, "__match_args__", match_args) < 0) {
        Py_XDECREF(match_args);
        Py_DECREF(type);
        return nullptr;
    }
    Py_DECREF(match_args);
    PyType_Modified(t);
    return t;
}

}  // namespace

bool create_record_types(PyObject* module) {
    g_empty_frozenset = PyFrozenSet_New(nullptr);
    if (!g_empty_frozenset) return false;
    PyType_Slot literal_slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(literal_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(literal_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(literal_traverse)},
        {Py_tp_hash, reinterpret_cast<void*>(literal_hash)},
        {Py_tp_richcompare, reinterpret_cast<void*>(literal_richcompare)},
        {Py_tp_repr, reinterpret_cast<void*>(literal_repr)},
        {Py_tp_str, reinterpret_cast<void*>(literal_str)},
        {0, nullptr},
    };
    PyTypeObject* literal = make_type(
        "quorvel.prover.clausifier.Literal",
        "Literal(atom, positive=True)\n--\n\nAn atom (a predicate application or an equality) with a sign.",
        sizeof(LiteralObject), literal_slots, kLiteralMethods, kLiteralMembers, kLiteralGetset, kLiteralFields, 2,
        literal_vectorcall);
    if (!literal) return false;
    state().api.literal_type = literal;
    g_literal_type_hash = PyObject_Hash(reinterpret_cast<PyObject*>(literal));
    PyType_Slot clause_slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(clause_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(clause_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(clause_traverse)},
        {Py_tp_hash, reinterpret_cast<void*>(clause_hash)},
        {Py_tp_richcompare, reinterpret_cast<void*>(clause_richcompare)},
        {Py_tp_repr, reinterpret_cast<void*>(clause_repr)},
        {Py_tp_str, reinterpret_cast<void*>(clause_str)},
        {0, nullptr},
    };
    PyTypeObject* clause = make_type(
        "quorvel.prover.clausifier.Clause",
        "Clause(literals=frozenset())\n--\n\nA disjunction of literals, kept as a frozen set; the empty clause is the "
        "contradiction.",
        sizeof(ClauseObject), clause_slots, kClauseMethods, kClauseMembers, kClauseGetset, kClauseFields, 1,
        clause_vectorcall);
    if (!clause) return false;
    state().api.clause_type = clause;
    g_clause_type_hash = PyObject_Hash(reinterpret_cast<PyObject*>(clause));
    return PyModule_AddObjectRef(module, "Literal", reinterpret_cast<PyObject*>(literal)) == 0 &&
           PyModule_AddObjectRef(module, "Clause", reinterpret_cast<PyObject*>(clause)) == 0;
}

PyObject* new_literal(PyObject* atom, PyObject* positive) {
    return py::guard<PyObject*>(nullptr, [&] { return make_literal(state().api.literal_type, atom, positive); });
}

PyObject* new_clause(PyObject* literals) {
    return py::guard<PyObject*>(nullptr, [&] { return make_clause(state().api.clause_type, literals, -1); });
}

PyObject* new_clause_known(const std::vector<PyObject*>& literals) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        Ref set(PyFrozenSet_New(nullptr));
        if (!set) return nullptr;
        bool untracked = true;
        Members members;
        for (PyObject* l : literals) {
            if (PySet_Add(set.get(), l) < 0) return nullptr;
            untracked = untracked && acyclic(l);
            members.push_back(l);
        }
        if (untracked) PyObject_GC_UnTrack(set.get());
        return make_clause_of(state().api.clause_type, set.get(), members, 0);
    });
}

namespace {

// The literal with its atom under the dict `mapping`, checked as
// substitute_literal checks it; the literal itself when it is an exact
// Literal whose atom nothing changes (it equals the new one). The dict is
// read into `under` at the first call (`loaded`), where substitute_formula
// would first read it. New reference or NULL.
PyObject* literal_under(PyObject* literal, PyObject* mapping, substitutions::HashedPairs& under, bool& loaded) {
    PyObject* atom = as_literal(literal)->atom;
    if (!ast::is_formula(atom)) {
        PyErr_Format(PyExc_TypeError, "substitute_formula expects a formula, got %S",
                     reinterpret_cast<PyObject*>(Py_TYPE(atom)));
        return nullptr;
    }
    if (!loaded) {
        if (!under.load(mapping)) return nullptr;
        loaded = true;
    }
    Ref result(under.atom(atom));
    if (!result) return nullptr;
    Kind k = ast::kind_of(result.get());
    if (k != Kind::PredicateApp && k != Kind::Equality) {
        PyErr_SetNone(PyExc_AssertionError);
        return nullptr;
    }
    if (result.get() == atom && Py_TYPE(literal) == state().api.literal_type) return Py_NewRef(literal);
    return make_literal(state().api.literal_type, result.get(), as_literal(literal)->positive);
}

// A new clause over the literal set of `clause` (an exact Clause over a
// frozenset), with its kept hash, free variables and tautology flag: what
// building one over an equal set computes.
PyObject* clause_over_same(PyObject* clause) {
    ClauseObject* c = as_clause(clause);
    PyObject* self = reinterpret_cast<PyObject*>(PyObject_GC_New(ClauseObject, state().api.clause_type));
    if (!self) return nullptr;
    ClauseObject* n = as_clause(self);
    n->hash = c->hash;
    n->literals = Py_NewRef(c->literals);
    n->free_vars = Py_NewRef(c->free_vars);
    n->tautology = c->tautology;
    if (PyObject_GC_IsTracked(clause)) PyObject_GC_Track(self);
    return self;
}

}  // namespace

PyObject* substitute_literal(PyObject* literal, PyObject* mapping) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        int nonempty = PyObject_IsTrue(mapping);
        if (nonempty < 0) return nullptr;
        if (!nonempty) return Py_NewRef(literal);
        Ref atom(substitutions::api().substitute_formula(as_literal(literal)->atom, mapping));
        if (!atom) return nullptr;
        Kind k = ast::kind_of(atom.get());
        if (k != Kind::PredicateApp && k != Kind::Equality) {
            PyErr_SetNone(PyExc_AssertionError);
            return nullptr;
        }
        return make_literal(state().api.literal_type, atom.get(), as_literal(literal)->positive);
    });
}

// The literals of the clause are substituted through one table read from
// the dict (a mapping of another type goes literal by literal through
// substitute_literal, which refuses it). An exact literal whose atom nothing
// changes is kept, as it equals its substitute; when that holds for all of
// an exact clause over a frozenset, the new clause shares its set.
PyObject* substitute_clause(PyObject* clause, PyObject* mapping) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        int nonempty = PyObject_IsTrue(mapping);
        if (nonempty < 0) return nullptr;
        if (!nonempty) return Py_NewRef(clause);
        PyObject* literals = as_clause(clause)->literals;
        Members olds;
        Ref held(py::collect_members(literals, olds));
        if (!held) return nullptr;
        bool by_table = PyDict_Check(mapping);
        substitutions::HashedPairs under;
        bool loaded = false;
        OwnedMembers news;
        news.reserve(olds.size());  // no growth below: a new reference is never left unowned
        bool changed = false;
        for (PyObject* l : olds) {
            if (!is_literal(l)) {
                PyErr_Format(PyExc_TypeError, "Clause literals must be Literal objects, got %S",
                             reinterpret_cast<PyObject*>(Py_TYPE(l)));
                return nullptr;
            }
            PyObject* s = by_table ? literal_under(l, mapping, under, loaded) : substitute_literal(l, mapping);
            if (!s) return nullptr;
            news.push_back(s);
            changed = changed || s != l;
        }
        if (!changed && Py_TYPE(clause) == state().api.clause_type && PyFrozenSet_CheckExact(literals))
            return clause_over_same(clause);
        Ref set(PyFrozenSet_New(nullptr));
        if (!set) return nullptr;
        for (PyObject* l : news)
            if (PySet_Add(set.get(), l) < 0) return nullptr;
        Members members;
        members.reserve(PySet_GET_SIZE(set.get()));
        Ref in_set(py::collect_members(set.get(), members));
        return make_clause_of(state().api.clause_type, set.get(), members, -1);
    });
}

}  // namespace quorvel::clausifier
