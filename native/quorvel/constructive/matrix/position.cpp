// Position (a mutable record whose parent link is weak, with an equality and
// a repr that stay finite on the parent and children links) and Connection
// (a frozen pair of positions), with their one-line texts.
#include <string>
#include <unordered_set>
#include <vector>

#include "quorvel/constructive/matrix/state.h"
#include "quorvel/support/py/args.h"
#include "quorvel/support/py/compat.h"
#include "quorvel/support/py/constructive.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/names.h"
#include "quorvel/support/py/record.h"
#include "quorvel/support/py/ref.h"
#include "quorvel/support/py/repr.h"

namespace quorvel::matrix {
namespace {

using py::Ref;

const char* const kNames[kFieldCount] = {"id", "formula", "polarity", "pos_type", "prefix",
                                         "parent", "children", "symbol"};
const py::Signature kPositionInit{"Position.__init__", kNames, kFieldCount, 5, 0, true};
const char* const kConnectionNames[] = {"positive", "negative"};
const py::Signature kConnectionInit{"Connection.__init__", kConnectionNames, 2, 2, 0, true};

// ---- the parent link ----

PyObject* link_parent(PyObject* parent, bool& weak) {
    weak = false;
    if (parent == Py_None) return Py_NewRef(parent);
    PyObject* ref = PyWeakref_NewRef(parent, nullptr);
    if (ref) {
        weak = true;
        return ref;
    }
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
    PyErr_Clear();  // not weakly referenceable: it cannot be an owner either
    return Py_NewRef(parent);
}

// ---- Position ----

PyObject* position_alloc(PyTypeObject* type, PyObject*, PyObject*) { return type->tp_alloc(type, 0); }

bool store_fields(PyObject* self, PyObject* const* given) {
    PositionObject* p = as_position(self);
    PyObject* values[kFieldCount];
    bool weak = false;
    for (int i = 0; i < kFieldCount; ++i) {
        PyObject* v = given[i];
        if (!v) v = i == kChildren ? state().empty_tuple : Py_None;
        values[i] = i == kParent ? link_parent(v, weak) : Py_NewRef(v);
        if (!values[i]) {
            for (int k = 0; k < i; ++k) Py_DECREF(values[k]);
            return false;
        }
    }
    for (int i = 0; i < kFieldCount; ++i) Py_XSETREF(p->fields[i], values[i]);
    p->parent_is_weak = weak;
    return true;
}

int position_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guard<int>(-1, [&]() -> int {
        PyObject* given[kFieldCount];
        if (!py::parse_tuple(kPositionInit, args, kwargs, given)) return -1;
        return store_fields(self, given) ? 0 : -1;
    });
}

int position_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    for (PyObject* f : as_position(self)->fields) Py_VISIT(f);
    Py_VISIT(as_position(self)->dict);
    return 0;
}

int position_clear(PyObject* self) {
    for (PyObject*& f : as_position(self)->fields) Py_CLEAR(f);
    Py_CLEAR(as_position(self)->dict);
    return 0;
}

void position_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    // A tree's positions chain through their children tuples.
    Py_TRASHCAN_BEGIN(self, position_dealloc)
    if (as_position(self)->weakrefs) PyObject_ClearWeakRefs(self);
    position_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
    Py_TRASHCAN_END
}

PyObject* field_get(PyObject* self, void* closure) {
    int i = static_cast<int>(reinterpret_cast<intptr_t>(closure));
    PyObject* v = as_position(self)->fields[i];
    if (!v) {
        PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%s'", Py_TYPE(self)->tp_name, kNames[i]);
        return nullptr;
    }
    if (i == kParent) return position_parent(self);
    return Py_NewRef(v);
}

int field_set(PyObject* self, PyObject* value, void* closure) {
    int i = static_cast<int>(reinterpret_cast<intptr_t>(closure));
    PositionObject* p = as_position(self);
    if (!value) {
        if (!p->fields[i]) {
            PyErr_SetString(PyExc_AttributeError, kNames[i]);
            return -1;
        }
        Py_CLEAR(p->fields[i]);
        return 0;
    }
    if (i == kParent) {
        bool weak;
        PyObject* link = link_parent(value, weak);
        if (!link) return -1;
        Py_XSETREF(p->fields[i], link);
        p->parent_is_weak = weak;
        return 0;
    }
    Py_XSETREF(p->fields[i], Py_NewRef(value));
    return 0;
}

// A field for comparison and repr: new reference, the parent resolved.
PyObject* field_value(PyObject* self, int i) {
    if (!as_position(self)->fields[i]) return field_get(self, reinterpret_cast<void*>(static_cast<intptr_t>(i)));
    return i == kParent ? position_parent(self) : Py_NewRef(as_position(self)->fields[i]);
}

// Equality of positions, field by field, is read co-inductively: a pair of
// positions already under comparison (here or in an enclosing comparison)
// counts as equal, so parent and children links that lead back end there.
// The links are followed with an explicit worklist, not the C stack.
struct PairHash {
    size_t operator()(const std::pair<PyObject*, PyObject*>& p) const {
        return std::hash<PyObject*>()(p.first) * 31 + std::hash<PyObject*>()(p.second);
    }
};
std::unordered_set<std::pair<PyObject*, PyObject*>, PairHash>& assumed() {
    static std::unordered_set<std::pair<PyObject*, PyObject*>, PairHash> pairs;
    return pairs;
}

bool same_kind_of_position(PyObject* a, PyObject* b) { return is_position(a) && Py_TYPE(a) == Py_TYPE(b); }

// 1 equal, 0 not, -1 error.
int positions_equal(PyObject* a, PyObject* b) {
    std::vector<std::pair<Ref, Ref>> work;
    // The pairs this call assumes, withdrawn however the call ends.
    struct Assumptions {
        std::vector<std::pair<PyObject*, PyObject*>> pairs;
        ~Assumptions() {
            for (auto& p : pairs) assumed().erase(p);
        }
    } mine;
    work.emplace_back(Ref::borrow(a), Ref::borrow(b));
    auto push_or_compare = [&](PyObject* x, PyObject* y) -> int {
        if (x == y) return 1;
        if (same_kind_of_position(x, y)) {
            work.emplace_back(Ref::borrow(x), Ref::borrow(y));
            return 1;
        }
        if (is_position(x) || is_position(y)) return 0;  // a position equals only a position of its class
        return PyObject_RichCompareBool(x, y, Py_EQ);
    };
    int result = 1;
    while (result == 1 && !work.empty()) {
        auto [x, y] = std::move(work.back());
        work.pop_back();
        std::pair<PyObject*, PyObject*> key{x.get(), y.get()};
        if (x.get() == y.get() || assumed().count(key)) continue;
        mine.pairs.push_back(key);
        assumed().insert(key);
        for (int i = 0; i < kFieldCount && result == 1; ++i) {
            if (i == kParent || i == kChildren) continue;
            Ref fx(field_value(x.get(), i));
            Ref fy(fx ? field_value(y.get(), i) : nullptr);
            if (!fx || !fy) result = -1;
            else result = PyObject_RichCompareBool(fx.get(), fy.get(), Py_EQ);
        }
        if (result != 1) break;
        Ref px(field_value(x.get(), kParent));
        Ref py_(px ? field_value(y.get(), kParent) : nullptr);
        if (!px || !py_) {
            result = -1;
            break;
        }
        result = push_or_compare(px.get(), py_.get());
        if (result != 1) break;
        Ref cx(field_value(x.get(), kChildren));
        Ref cy(cx ? field_value(y.get(), kChildren) : nullptr);
        if (!cx || !cy) {
            result = -1;
            break;
        }
        if (PyTuple_CheckExact(cx.get()) && PyTuple_CheckExact(cy.get())) {
            if (PyTuple_GET_SIZE(cx.get()) != PyTuple_GET_SIZE(cy.get())) {
                result = 0;
                break;
            }
            for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(cx.get()) && result == 1; ++k)
                result = push_or_compare(PyTuple_GET_ITEM(cx.get(), k), PyTuple_GET_ITEM(cy.get(), k));
        } else {
            result = PyObject_RichCompareBool(cx.get(), cy.get(), Py_EQ);
        }
    }
    return result;
}

PyObject* position_richcompare(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(a) != Py_TYPE(b)) Py_RETURN_NOTIMPLEMENTED;
    int r = py::guard<int>(-1, [&] { return positions_equal(a, b); });
    if (r < 0) return nullptr;
    return PyBool_FromLong(r == (op == Py_EQ));
}

// A linked position in a repr: its class and id, never its own links.
bool append_link(std::string& out, PyObject* v) {
    if (!is_position(v)) return py::append_repr(out, v);
    PyObject* id = as_position(v)->fields[kId];
    out += "<";
    Ref name(PyType_GetQualName(Py_TYPE(v)));
    if (!name || !py::append_str(out, name.get())) return false;
    out += " id=";
    if (id && !py::append_repr(out, id)) return false;
    out += ">";
    return true;
}

PyObject* position_repr(PyObject* self) {
    return py::guarded_repr(self, [&]() -> PyObject* {
        return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
            Ref name(PyType_GetQualName(Py_TYPE(self)));
            if (!name) return nullptr;
            std::string out;
            if (!py::append_str(out, name.get())) return nullptr;
            out += "(";
            for (int i = 0; i < kFieldCount; ++i) {
                Ref v(field_value(self, i));
                if (!v) return nullptr;
                if (i) out += ", ";
                out += kNames[i];
                out += "=";
                if (i == kParent) {
                    if (!append_link(out, v.get())) return nullptr;
                } else if (i == kChildren && PyTuple_Check(v.get())) {
                    out += "(";
                    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(v.get()); ++k) {
                        if (k) out += ", ";
                        if (!append_link(out, PyTuple_GET_ITEM(v.get(), k))) return nullptr;
                    }
                    out += PyTuple_GET_SIZE(v.get()) == 1 ? ",)" : ")";
                } else if (!py::append_repr(out, v.get())) {
                    return nullptr;
                }
            }
            out += ")";
            return PyUnicode_DecodeUTF8(out.data(), static_cast<Py_ssize_t>(out.size()), "surrogatepass");
        });
    });
}

PyObject* position_is_leaf(PyObject* self, PyObject*) {
    Ref t(field_value(self, kPosType));
    if (!t) return nullptr;
    if (t.get() == state().members[static_cast<int>(PosType::Atom)]) Py_RETURN_TRUE;
    return PyObject_RichCompare(t.get(), state().members[static_cast<int>(PosType::Atom)], Py_EQ);
}

PyObject* text_of(PyObject* self) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        std::string out;
        if (!append_position_text(out, self)) return nullptr;
        return PyUnicode_DecodeUTF8(out.data(), static_cast<Py_ssize_t>(out.size()), "surrogatepass");
    });
}

PyObject* position_to_string(PyObject* self, PyObject*) { return text_of(self); }

PyObject* position_str(PyObject* self) {
    if (Py_TYPE(self) == state().api.position_type) return text_of(self);
    return PyObject_CallMethodNoArgs(self, state().s_to_string);
}

PyMethodDef kPositionMethods[] = {
    {"is_leaf", position_is_leaf, METH_NOARGS,
     "is_leaf($self, /)\n--\n\nTrue exactly when the position type is ATOM."},
    {"to_string", position_to_string, METH_NOARGS,
     "to_string($self, /)\n--\n\nThe position text: formula, \"^\", polarity, \":\" and the prefix text."},
    {nullptr, nullptr, 0, nullptr},
};

#define FIELD(i) {kNames[i], field_get, field_set, nullptr, reinterpret_cast<void*>(static_cast<intptr_t>(i))}
PyGetSetDef kPositionGetSet[] = {
    FIELD(kId),     FIELD(kFormula),  FIELD(kPolarity), FIELD(kPosType), FIELD(kPrefix),
    FIELD(kParent), FIELD(kChildren), FIELD(kSymbol),
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
#undef FIELD

PyMemberDef kPositionMembers[] = {
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(PositionObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(PositionObject, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// ---- Connection ----

struct ConnectionObject {
    PyObject_HEAD
    PyObject* positive;
    PyObject* negative;
};

ConnectionObject* as_connection(PyObject* o) { return reinterpret_cast<ConnectionObject*>(o); }

PyTypeObject* connection_type = nullptr;

PyObject* connection_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* p[2];
        if (!py::parse_tuple(kConnectionInit, args, kwargs, p)) return nullptr;
        auto* c = reinterpret_cast<ConnectionObject*>(type->tp_alloc(type, 0));
        if (!c) return nullptr;
        c->positive = Py_NewRef(p[0]);
        c->negative = Py_NewRef(p[1]);
        return reinterpret_cast<PyObject*>(c);
    });
}

int connection_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_connection(self)->positive);
    Py_VISIT(as_connection(self)->negative);
    return 0;
}

void connection_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_connection(self)->positive);
    Py_CLEAR(as_connection(self)->negative);
    type->tp_free(self);
    Py_DECREF(type);
}

Py_hash_t connection_hash(PyObject* self) {
    // As a frozen dataclass: the hash of the field tuple, which positions refuse.
    Ref t(PyTuple_Pack(2, as_connection(self)->positive, as_connection(self)->negative));
    return t ? PyObject_Hash(t.get()) : -1;
}

PyObject* connection_richcompare(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(a) != Py_TYPE(b)) Py_RETURN_NOTIMPLEMENTED;
    int equal = 1;
    if (a != b) {
        equal = PyObject_RichCompareBool(as_connection(a)->positive, as_connection(b)->positive, Py_EQ);
        if (equal == 1)
            equal = PyObject_RichCompareBool(as_connection(a)->negative, as_connection(b)->negative, Py_EQ);
        if (equal < 0) return nullptr;
    }
    return PyBool_FromLong(equal == (op == Py_EQ));
}

PyObject* connection_repr(PyObject* self) {
    return py::guarded_repr(self, [&]() -> PyObject* {
        return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
            py::ReprWriter w(self);
            if (!w.field("positive", as_connection(self)->positive) ||
                !w.field("negative", as_connection(self)->negative))
                return nullptr;
            return w.finish();
        });
    });
}

bool append_any_text(std::string& out, PyObject* position) {
    if (is_position(position)) return append_position_text(out, position);
    Ref text(PyObject_CallMethodNoArgs(position, state().s_to_string));
    return text && py::append_text(out, text.get());
}

PyObject* connection_to_string(PyObject* self, PyObject*) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        std::string out = "{";
        if (!append_any_text(out, as_connection(self)->positive)) return nullptr;
        out += " <-> ";
        if (!append_any_text(out, as_connection(self)->negative)) return nullptr;
        out += "}";
        return PyUnicode_DecodeUTF8(out.data(), static_cast<Py_ssize_t>(out.size()), "surrogatepass");
    });
}

PyObject* connection_str(PyObject* self) {
    if (Py_TYPE(self) == connection_type) return connection_to_string(self, nullptr);
    return PyObject_CallMethodNoArgs(self, state().s_to_string);
}

int connection_setattro(PyObject* self, PyObject* name, PyObject* value) {
    if (Py_TYPE(self) != connection_type && PyUnicode_Check(name) &&
        PyUnicode_CompareWithASCIIString(name, "positive") != 0 &&
        PyUnicode_CompareWithASCIIString(name, "negative") != 0)
        return PyObject_GenericSetAttr(self, name, value);
    return py::refuse_assignment(self, name, value);
}

PyObject* connection_reduce(PyObject* self, PyObject*) {
    return Py_BuildValue("O(OO)", Py_TYPE(self), as_connection(self)->positive, as_connection(self)->negative);
}

PyMethodDef kConnectionMethods[] = {
    {"to_string", connection_to_string, METH_NOARGS,
     "to_string($self, /)\n--\n\n\"{positive <-> negative}\" of the two position texts."},
    {"__reduce__", connection_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef kConnectionMembers[] = {
    {"positive", Py_T_OBJECT_EX, offsetof(ConnectionObject, positive), Py_READONLY, nullptr},
    {"negative", Py_T_OBJECT_EX, offsetof(ConnectionObject, negative), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

bool set_match_args(PyObject* type, const char* const* names, int n) {
    Ref tuple(py::interned_tuple(names, n));
    return tuple && PyObject_SetAttrString(type, "__match_args__", tuple.get()) == 0;
}

}  // namespace

bool set_position_parent(PyObject* position, PyObject* parent) {
    return field_set(position, parent, reinterpret_cast<void*>(static_cast<intptr_t>(kParent))) == 0;
}

PyObject* position_parent(PyObject* position) {
    PositionObject* p = as_position(position);
    PyObject* link = p->fields[kParent];
    if (!link) return Py_NewRef(Py_None);
    if (!p->parent_is_weak) return Py_NewRef(link);
    PyObject* target = PyWeakref_GetObject(link);  // borrowed; None once dead
    return target ? Py_NewRef(target) : nullptr;
}

PyObject* new_position(PyObject* const* fields) {
    PyTypeObject* type = state().api.position_type;
    Ref self(type->tp_alloc(type, 0));
    if (!self || !store_fields(self.get(), fields)) return nullptr;
    return self.release();
}

int pos_type_of(PyObject* value) {
    for (int i = 0; i < 5; ++i)
        if (value == state().members[i]) return i;
    for (int i = 0; i < 5; ++i) {
        int eq = PyObject_RichCompareBool(value, state().members[i], Py_EQ);
        if (eq < 0) return -1;
        if (eq) return i;
    }
    Ref text(PyObject_Repr(value));
    if (text) PyErr_Format(PyExc_ValueError, "Unknown position type: %U", text.get());
    return -1;
}

bool append_position_text(std::string& out, PyObject* position) {
    Ref formula(field_value(position, kFormula));
    if (!formula) return false;
    int falsum = py::is_falsum(formula.get());
    if (falsum < 0) return false;
    if (falsum) {
        out += "_bot";
    } else {
        Ref text(PyObject_CallOneArg(state().to_string, formula.get()));
        if (!text || !py::append_text(out, text.get())) return false;
    }
    out += "^";
    Ref polarity(field_value(position, kPolarity));
    if (!polarity || !py::append_text(out, polarity.get())) return false;
    out += ":";
    Ref prefix(field_value(position, kPrefix));
    if (!prefix) return false;
    Ref text(PyObject_CallMethodNoArgs(prefix.get(), state().s_to_string));
    return text && py::append_text(out, text.get());
}

bool create_position_types(PyObject*) {
    static PyType_Slot position_slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(position_alloc)},
        {Py_tp_init, reinterpret_cast<void*>(position_init)},
        {Py_tp_dealloc, reinterpret_cast<void*>(position_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(position_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(position_clear)},
        {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
        {Py_tp_richcompare, reinterpret_cast<void*>(position_richcompare)},
        {Py_tp_repr, reinterpret_cast<void*>(position_repr)},
        {Py_tp_str, reinterpret_cast<void*>(position_str)},
        {Py_tp_methods, kPositionMethods},
        {Py_tp_getset, kPositionGetSet},
        {Py_tp_members, kPositionMembers},
        {Py_tp_doc, const_cast<char*>("Position(id, formula, polarity, pos_type, prefix, parent=None, children=(), "
                                      "symbol=None)\n--\n\n"
                                      "One node of a polar formula tree. Every field can be reassigned; the\n"
                                      "parent link does not keep the parent alive.")},
        {0, nullptr},
    };
    static PyType_Spec position_spec{"quorvel.constructive.matrix.Position", sizeof(PositionObject), 0,
                                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, position_slots};
    static PyType_Slot connection_slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(connection_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(connection_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(connection_traverse)},
        {Py_tp_hash, reinterpret_cast<void*>(connection_hash)},
        {Py_tp_richcompare, reinterpret_cast<void*>(connection_richcompare)},
        {Py_tp_repr, reinterpret_cast<void*>(connection_repr)},
        {Py_tp_str, reinterpret_cast<void*>(connection_str)},
        {Py_tp_setattro, reinterpret_cast<void*>(connection_setattro)},
        {Py_tp_methods, kConnectionMethods},
        {Py_tp_members, kConnectionMembers},
        {Py_tp_doc, const_cast<char*>("Connection(positive, negative)\n--\n\n"
                                      "A complementary pair of leaf positions: `positive` on the premise side,\n"
                                      "`negative` on the goal side. Nothing is checked.")},
        {0, nullptr},
    };
    static PyType_Spec connection_spec{"quorvel.constructive.matrix.Connection", sizeof(ConnectionObject), 0,
                                       Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                                       connection_slots};
    PyObject* position = PyType_FromSpec(&position_spec);
    if (!position) return false;
    state().api.position_type = reinterpret_cast<PyTypeObject*>(position);
    PyObject* connection = PyType_FromSpec(&connection_spec);
    if (!connection) return false;
    connection_type = reinterpret_cast<PyTypeObject*>(connection);
    return set_match_args(position, kNames, kFieldCount) && set_match_args(connection, kConnectionNames, 2);
}

PyObject* connection_type_object() { return reinterpret_cast<PyObject*>(connection_type); }

}  // namespace quorvel::matrix
