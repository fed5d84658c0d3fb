// SignedFormula (a frozen dataclass: equality, hash over the three fields,
// repr, refusal of assignment, the signed formula text) and TableauNode (a
// mutable dataclass with a live `children` list).
#include <string>

#include "quorvel/constructive/tableau/mutable_record.h"
#include "quorvel/constructive/tableau/records.h"
#include "quorvel/constructive/kripke/api.h"
#include "quorvel/support/py/compat.h"
#include "quorvel/support/py/constructive.h"
#include "quorvel/support/py/hashing.h"
#include "quorvel/support/py/record.h"

namespace quorvel::tableau {
namespace {

// ---- SignedFormula ----

const char* const kSignedFields[] = {"sign", "formula", "world"};
const py::Signature kSignedInit{"SignedFormula.__init__", kSignedFields, 3, 3, 0, true};
const char* const kNotationParam[] = {"notation"};
const py::Signature kSignedToString{"SignedFormula.to_string", kNotationParam, 1, 0, 0, true};

PyObject* signed_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* p[3];
        if (!py::parse_tuple(kSignedInit, args, kwargs, p)) return nullptr;
        auto* s = reinterpret_cast<SignedFormulaObject*>(type->tp_alloc(type, 0));
        if (!s) return nullptr;
        s->sign = Py_NewRef(p[0]);
        s->formula = Py_NewRef(p[1]);
        s->world = Py_NewRef(p[2]);
        s->hash = -1;
        return reinterpret_cast<PyObject*>(s);
    });
}

int signed_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    auto* s = as_signed(self);
    Py_VISIT(s->sign);
    Py_VISIT(s->formula);
    Py_VISIT(s->world);
    return 0;
}

int signed_clear(PyObject* self) {
    auto* s = as_signed(self);
    Py_CLEAR(s->sign);
    Py_CLEAR(s->formula);
    Py_CLEAR(s->world);
    return 0;
}

void signed_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    signed_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

Py_hash_t signed_hash(PyObject* self) {
    auto* s = as_signed(self);
    if (s->hash != -1) return s->hash;
    py::TupleHash h;
    if (!h.add(s->sign) || !h.add(s->formula) || !h.add(s->world)) return -1;
    s->hash = h.finish();
    return s->hash;
}

PyObject* signed_richcompare(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(a) != Py_TYPE(b)) Py_RETURN_NOTIMPLEMENTED;
    bool equal = true;
    if (a != b) {
        PyObject* x[] = {as_signed(a)->sign, as_signed(a)->formula, as_signed(a)->world};
        PyObject* y[] = {as_signed(b)->sign, as_signed(b)->formula, as_signed(b)->world};
        for (int i = 0; i < 3 && equal; ++i) {
            int r = PyObject_RichCompareBool(x[i], y[i], Py_EQ);
            if (r < 0) return nullptr;
            equal = r == 1;
        }
    }
    return PyBool_FromLong(equal == (op == Py_EQ));
}

PyObject* signed_repr(PyObject* self) {
    return py::guarded_repr(self, [&]() -> PyObject* {
        py::ReprWriter w(self);
        auto* s = as_signed(self);
        if (!w.field("sign", s->sign) || !w.field("formula", s->formula) || !w.field("world", s->world))
            return nullptr;
        return w.finish();
    });
}

int signed_setattro(PyObject* self, PyObject* name, PyObject* value) {
    // A frozen dataclass refuses every name on its own class, only the
    // field names on a subclass.
    if (Py_TYPE(self) != state().signed_formula_type && PyUnicode_Check(name)) {
        bool field = false;
        for (const char* f : kSignedFields) field = field || PyUnicode_CompareWithASCIIString(name, f) == 0;
        if (!field) return PyObject_GenericSetAttr(self, name, value);
    }
    return py::refuse_assignment(self, name, value);
}

// The text of the sign: "T" or "F" for a Sign member, else `sign.value`.
bool append_sign(std::string& out, PyObject* sign) {
    if (sign == state().sign_true) {
        out += 'T';
        return true;
    }
    if (sign == state().sign_false) {
        out += 'F';
        return true;
    }
    Ref value = getattr(sign, names().value);
    return value && append_formatted(out, value.get());
}

bool append_world_name(std::string& out, PyObject* world) {
    if (Py_TYPE(world) == kripke::api().world_type) return append_formatted(out, kripke::as_world(world)->name);
    Ref name = getattr(world, names().name);
    return name && append_formatted(out, name.get());
}

// The signed formula text (notation: a str, or any object the caller gave).
PyObject* signed_text(PyObject* self, PyObject* notation) {
    auto* s = as_signed(self);
    std::string out;
    if (!append_sign(out, s->sign)) return nullptr;
    out += '(';
    int r = py::is_falsum(s->formula);
    if (r < 0) return nullptr;
    int verum = 0;
    if (!r && (verum = py::is_verum(s->formula)) < 0) return nullptr;
    if (r || verum) {
        int latex = PyObject_RichCompareBool(notation, names().latex, Py_EQ);
        if (latex < 0) return nullptr;
        out += r ? (latex ? "\\bot" : "_bot") : (latex ? "\\top" : "_top");
    } else {
        Ref text = printer_text(s->formula, notation);
        if (!text || !append_formatted(out, text.get())) return nullptr;
    }
    out += ", ";
    if (!append_world_name(out, s->world)) return nullptr;
    out += ')';
    return text_of(out).release();
}

PyObject* signed_to_string(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* p[1];
        if (!py::parse_vector(kSignedToString, args, PyVectorcall_NARGS(nargs), kwnames, p)) return nullptr;
        return signed_text(self, p[0] ? p[0] : names().infix);
    });
}

PyObject* signed_str(PyObject* self) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        if (is_exact_signed_formula(self)) return signed_text(self, names().infix);
        PyObject* argv[] = {self, names().infix};
        Ref kw(PyTuple_Pack(1, names().notation));
        if (!kw) return nullptr;
        return PyObject_VectorcallMethod(names().to_string, argv, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kw.get());
    });
}

PyMemberDef kSignedMembers[] = {
    {"sign", Py_T_OBJECT_EX, offsetof(SignedFormulaObject, sign), Py_READONLY, nullptr},
    {"formula", Py_T_OBJECT_EX, offsetof(SignedFormulaObject, formula), Py_READONLY, nullptr},
    {"world", Py_T_OBJECT_EX, offsetof(SignedFormulaObject, world), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyObject* signed_reduce(PyObject* self, PyObject*) {
    auto* s = as_signed(self);
    return Py_BuildValue("(O(OOO))", Py_TYPE(self), s->sign, s->formula, s->world);
}

PyMethodDef kSignedMethods[] = {
    {"__reduce__", signed_reduce, METH_NOARGS, nullptr},
    {"to_string", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(signed_to_string)),
     METH_FASTCALL | METH_KEYWORDS,
     R"doc(to_string(self, notation='infix')
--

The signed formula on one line: "T(P, w0)" or "F(P, w0)".

Args:
    notation: "infix" or "latex", passed on to the formula printer; falsum
        and verum print as "_bot" and "_top", or "\bot" and "\top" in latex.)doc"},
    {nullptr, nullptr, 0, nullptr},
};

// ---- TableauNode ----

const char* const kNodeFieldNames[] = {"id", "signed_formula", "rule", "world", "children", "is_closed", "clash_details"};
const Default kNodeDefaults[] = {Default::Required, Default::None,  Default::EmptyText, Default::None,
                                 Default::NewList,  Default::False, Default::None};
constexpr RecordDesc kNodeDesc{kNodeFieldNames, kNodeDefaults, kNodeFields,
                               py::Signature{"TableauNode.__init__", kNodeFieldNames, kNodeFields, 1, 0, true}};

const char* const kToStringParams[] = {"prefix", "is_last"};
const py::Signature kNodeToString{"TableauNode.to_string", kToStringParams, 2, 0, 0, true};
const py::Signature kNodeNoArgs{"TableauNode.method", nullptr, 0, 0, 0, true};

PyObject* node_is_leaf(PyObject* self, PyObject*) {
    Ref children = node_get(self, kChildren);
    if (!children) return nullptr;
    // `not self.children`
    int t = truth(children.get());
    if (t < 0) return nullptr;
    return PyBool_FromLong(!t);
}

PyObject* node_to_dict_method(PyObject* self, PyObject*) {
    return py::guard<PyObject*>(nullptr, [&] { return node_to_dict(self); });
}

PyObject* node_to_string_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* p[2];
        if (!py::parse_vector(kNodeToString, args, PyVectorcall_NARGS(nargs), kwnames, p)) return nullptr;
        return node_to_string(self, p[0] ? p[0] : names().empty, p[1] ? p[1] : Py_True);
    });
}

PyObject* node_str(PyObject* self) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        if (is_exact_node(self)) return node_to_string(self, names().empty, Py_True);
        return call_method(self, names().to_string).release();
    });
}

PyMemberDef kNodeMembers[kNodeFields + 3];

PyMethodDef kNodeMethods[] = {
    QUORVEL_RECORD_PICKLING(kNodeDesc),
    {"is_leaf", node_is_leaf, METH_NOARGS, "is_leaf(self)\n--\n\nWhether the node has no children."},
    {"to_dict", node_to_dict_method, METH_NOARGS,
     R"doc(to_dict(self)
--

The node and its subtree as plain values: "id", "signed_formula" (text or
None), "rule", "world" (name or None), "is_closed", "clash_details" and
"children" (the children's dictionaries).)doc"},
    {"to_string", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(node_to_string_method)),
     METH_FASTCALL | METH_KEYWORDS,
     R"doc(to_string(self, prefix='', is_last=True)
--

The node's block of the ASCII tree: one line per node, depth first.

Args:
    prefix: text put in front of every line of the block.
    is_last: whether the node is the last child of its parent ("+-- ")
        or not ("|-- ").)doc"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

Ref node_get(PyObject* node, NodeField f) {
    if (is_exact_node(node) && as_node(node)->fields[f]) return Ref::borrow(as_node(node)->fields[f]);
    return Ref(PyObject_GetAttrString(node, kNodeFieldNames[f]));
}

bool node_set(PyObject* node, NodeField f, PyObject* value) {
    if (is_exact_node(node)) {
        Py_XSETREF(as_node(node)->fields[f], Py_NewRef(value));
        return true;
    }
    return PyObject_SetAttrString(node, kNodeFieldNames[f], value) == 0;
}

PyObject* new_node(PyObject* id, PyObject* signed_formula, PyObject* rule, PyObject* world) {
    PyTypeObject* type = state().node_type;
    PyObject* children = PyList_New(0);
    if (!children) return nullptr;
    PyObject* o = type->tp_alloc(type, 0);
    if (!o) {
        Py_DECREF(children);
        return nullptr;
    }
    PyObject** f = as_node(o)->fields;
    f[kId] = Py_NewRef(id);
    f[kSignedFormula] = Py_NewRef(signed_formula);
    f[kRule] = Py_NewRef(rule);
    f[kWorld] = Py_NewRef(world);
    f[kChildren] = children;
    f[kIsClosed] = Py_NewRef(Py_False);
    f[kClashDetails] = Py_NewRef(Py_None);
    return o;
}

PyObject* new_signed_formula(PyObject* sign, PyObject* formula, PyObject* world) {
    PyTypeObject* type = state().signed_formula_type;
    auto* s = reinterpret_cast<SignedFormulaObject*>(type->tp_alloc(type, 0));
    if (!s) return nullptr;
    s->sign = Py_NewRef(sign);
    s->formula = Py_NewRef(formula);
    s->world = Py_NewRef(world);
    s->hash = -1;
    return reinterpret_cast<PyObject*>(s);
}

Ref signed_formula_text(PyObject* sf, PyObject* notation) {
    if (is_exact_signed_formula(sf)) return Ref(signed_text(sf, notation ? notation : names().infix));
    if (!notation) return call_method(sf, names().to_string);
    PyObject* argv[] = {sf, notation};
    Ref kw(PyTuple_Pack(1, names().notation));
    if (!kw) return Ref();
    return Ref(PyObject_VectorcallMethod(names().to_string, argv, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kw.get()));
}

PyTypeObject* make_signed_formula_type() {
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(signed_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(signed_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(signed_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(signed_clear)},
        {Py_tp_hash, reinterpret_cast<void*>(signed_hash)},
        {Py_tp_richcompare, reinterpret_cast<void*>(signed_richcompare)},
        {Py_tp_repr, reinterpret_cast<void*>(signed_repr)},
        {Py_tp_str, reinterpret_cast<void*>(signed_str)},
        {Py_tp_setattro, reinterpret_cast<void*>(signed_setattro)},
        {Py_tp_members, kSignedMembers},
        {Py_tp_methods, kSignedMethods},
        {Py_tp_doc, const_cast<char*>(R"doc(SignedFormula(sign, formula, world)
--

A formula asserted true (Sign.TRUE) or false (Sign.FALSE) at a world.
Immutable; equal and hashed by its three fields; its string form is
to_string().)doc")},
        {0, nullptr},
    };
    PyType_Spec type_spec{"quorvel.constructive.tableau.SignedFormula", sizeof(SignedFormulaObject), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
}

PyTypeObject* make_node_type() {
    fill_record_members(kNodeDesc, kNodeMembers);
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
        {Py_tp_init, reinterpret_cast<void*>(record_init<kNodeDesc>)},
        {Py_tp_dealloc, reinterpret_cast<void*>(record_dealloc<kNodeDesc>)},
        {Py_tp_traverse, reinterpret_cast<void*>(record_traverse<kNodeDesc>)},
        {Py_tp_clear, reinterpret_cast<void*>(record_clear<kNodeDesc>)},
        {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
        {Py_tp_richcompare, reinterpret_cast<void*>(node_richcompare)},
        {Py_tp_repr, reinterpret_cast<void*>(record_repr<kNodeDesc>)},
        {Py_tp_str, reinterpret_cast<void*>(node_str)},
        {Py_tp_members, kNodeMembers},
        {Py_tp_getset, kInstanceDict},
        {Py_tp_methods, kNodeMethods},
        {Py_tp_doc, const_cast<char*>(R"doc(TableauNode(id, signed_formula=None, rule='', world=None, children=<new list>, is_closed=False, clash_details=None)
--

One node of a tableau proof tree: the signed formula a rule introduced, the
rule's label, the world, the child nodes, whether every branch below it
closed, and the clash text when its branch closed here. Mutable; its string
form is to_string().)doc")},
        {0, nullptr},
    };
    PyType_Spec type_spec{"quorvel.constructive.tableau.TableauNode", record_basicsize(kNodeFields), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    if (type && !set_match_args(type, kNodeDesc)) Py_CLEAR(type);
    return type;
}

}  // namespace quorvel::tableau
