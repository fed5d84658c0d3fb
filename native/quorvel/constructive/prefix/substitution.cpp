// PrefixSubstitution: a mutable record over the caller's mapping, with
// copy, bind, get, apply and the substitution dictionary. Every operation
// builds new objects; none changes the receiver.
#include <string>

#include "quorvel/constructive/prefix/state.h"
#include "quorvel/support/py/args.h"
#include "quorvel/support/py/compat.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/names.h"
#include "quorvel/support/py/ref.h"
#include "quorvel/support/py/repr.h"

namespace quorvel::prefix {
namespace {

using py::Ref;

const char* const kFields[] = {"mapping"};
const char* const kBindParams[] = {"var", "term"};
const char* const kVarParam[] = {"var"};
const char* const kApplyParam[] = {"prefix"};
const py::Signature kInit{"PrefixSubstitution.__init__", kFields, 1, 0, 0, true};

// self.mapping, new reference; the AttributeError of a deleted field.
PyObject* mapping_of(PyObject* self) {
    PyObject* m = as_substitution(self)->mapping;
    if (m) return Py_NewRef(m);
    return PyObject_GetAttr(self, state().s_mapping);
}

// (key, value) pairs of any mapping, as `mapping.items()` gives them.
PyObject* items_of(PyObject* mapping) {
    if (PyDict_CheckExact(mapping)) return PyDict_Items(mapping);
    Ref items(PyObject_CallMethodNoArgs(mapping, state().s_items));
    if (!items) return nullptr;
    return PySequence_List(items.get());
}

PyObject* substitution_new(PyTypeObject* type, PyObject*, PyObject*) {
    auto* s = reinterpret_cast<SubstitutionObject*>(type->tp_alloc(type, 0));
    return reinterpret_cast<PyObject*>(s);
}

int substitution_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guard<int>(-1, [&]() -> int {
        PyObject* p[1];
        if (!py::parse_tuple(kInit, args, kwargs, p)) return -1;
        PyObject* mapping = p[0] ? Py_NewRef(p[0]) : PyDict_New();
        if (!mapping) return -1;
        Py_XSETREF(as_substitution(self)->mapping, mapping);
        return 0;
    });
}

int substitution_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_substitution(self)->mapping);
    Py_VISIT(as_substitution(self)->dict);
    return 0;
}

int substitution_clear(PyObject* self) {
    Py_CLEAR(as_substitution(self)->mapping);
    Py_CLEAR(as_substitution(self)->dict);
    return 0;
}

void substitution_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_substitution(self)->weakrefs) PyObject_ClearWeakRefs(self);
    substitution_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* substitution_richcompare(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(a) != Py_TYPE(b)) Py_RETURN_NOTIMPLEMENTED;
    if (a == b) return PyBool_FromLong(op == Py_EQ);
    Ref x(mapping_of(a));
    if (!x) return nullptr;
    Ref y(mapping_of(b));
    if (!y) return nullptr;
    return PyObject_RichCompare(x.get(), y.get(), op);
}

PyObject* substitution_repr(PyObject* self) {
    return py::guarded_repr(self, [&]() -> PyObject* {
        return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
            Ref m(mapping_of(self));
            if (!m) return nullptr;
            py::ReprWriter w(self);
            if (!w.field("mapping", m.get())) return nullptr;
            return w.finish();
        });
    });
}

PyObject* substitution_copy(PyObject* self, PyObject*) {
    Ref m(mapping_of(self));
    if (!m) return nullptr;
    Ref copy(PyDict_CheckExact(m.get()) ? PyDict_Copy(m.get())
                                        : PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), m.get()));
    if (!copy) return nullptr;
    return new_substitution(copy.get());
}

// Appends the items of `word` to `out`, each equal to `var` replaced by the
// items of `term`.
bool rewrite_word(PyObject* word, PyObject* var, PyObject* term, PyObject* out) {
    Ref iter(PyObject_GetIter(word));
    if (!iter) return false;
    for (;;) {
        Ref s(PyIter_Next(iter.get()));
        if (!s) return !PyErr_Occurred();
        int eq = PyObject_RichCompareBool(s.get(), var, Py_EQ);
        if (eq < 0) return false;
        if (!eq) {
            if (PyList_Append(out, s.get()) < 0) return false;
            continue;
        }
        Ref tail(PyObject_GetIter(term));
        if (!tail) return false;
        for (;;) {
            Ref t(PyIter_Next(tail.get()));
            if (!t) {
                if (PyErr_Occurred()) return false;
                break;
            }
            if (PyList_Append(out, t.get()) < 0) return false;
        }
    }
}

PyObject* substitution_bind(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Signature sig{"PrefixSubstitution.bind", kBindParams, 2, 2, 0, true};
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* p[2];
        if (!py::parse_vector(sig, args, nargs, kwnames, p)) return nullptr;
        Ref m(mapping_of(self));
        if (!m) return nullptr;
        Ref items(items_of(m.get()));
        if (!items) return nullptr;
        Ref fresh(PyDict_New());
        if (!fresh) return nullptr;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
            Ref pair = Ref::borrow(PyList_GET_ITEM(items.get(), i));
            if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
                PyErr_SetString(PyExc_TypeError, "mapping items must be (key, value) pairs");
                return nullptr;
            }
            Ref symbols(PyList_New(0));
            if (!symbols || !rewrite_word(PyTuple_GET_ITEM(pair.get(), 1), p[0], p[1], symbols.get())) return nullptr;
            Ref word(PyList_AsTuple(symbols.get()));
            if (!word || PyDict_SetItem(fresh.get(), PyTuple_GET_ITEM(pair.get(), 0), word.get()) < 0) return nullptr;
        }
        if (PyDict_SetItem(fresh.get(), p[0], p[1]) < 0) return nullptr;
        return new_substitution(fresh.get());
    });
}

PyObject* substitution_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Signature sig{"PrefixSubstitution.get", kVarParam, 1, 1, 0, true};
    PyObject* p[1];
    if (!py::parse_vector(sig, args, nargs, kwnames, p)) return nullptr;
    Ref m(mapping_of(self));
    if (!m) return nullptr;
    if (PyDict_Check(m.get())) {
        PyObject* v = PyDict_GetItemWithError(m.get(), p[0]);
        if (!v && PyErr_Occurred()) return nullptr;
        return Py_NewRef(v ? v : Py_None);
    }
    return PyObject_CallMethod(m.get(), "get", "O", p[0]);
}

PyObject* substitution_apply(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Signature sig{"PrefixSubstitution.apply", kApplyParam, 1, 1, 0, true};
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* p[1];
        if (!py::parse_vector(sig, args, nargs, kwnames, p)) return nullptr;
        Ref m(mapping_of(self));
        if (!m) return nullptr;
        Ref symbols(is_prefix(p[0]) ? Py_NewRef(as_prefix(p[0])->symbols) : PyObject_GetAttr(p[0], state().s_symbols));
        if (!symbols) return nullptr;
        Ref iter(PyObject_GetIter(symbols.get()));
        if (!iter) return nullptr;
        Ref out(PyList_New(0));
        if (!out) return nullptr;
        for (;;) {
            Ref s(PyIter_Next(iter.get()));
            if (!s) {
                if (PyErr_Occurred()) return nullptr;
                break;
            }
            PyObject* word = nullptr;
            if (is_variable(s.get())) {
                if (PyDict_Check(m.get())) {
                    word = PyDict_GetItemWithError(m.get(), s.get());
                    if (!word && PyErr_Occurred()) return nullptr;
                    Py_XINCREF(word);
                } else {
                    int has = PySequence_Contains(m.get(), s.get());
                    if (has < 0) return nullptr;
                    if (has && !(word = PyObject_GetItem(m.get(), s.get()))) return nullptr;
                }
            }
            if (!word) {
                if (PyList_Append(out.get(), s.get()) < 0) return nullptr;
                continue;
            }
            Ref held(word);
            Ref tail(PyObject_GetIter(word));
            if (!tail) return nullptr;
            for (;;) {
                Ref t(PyIter_Next(tail.get()));
                if (!t) {
                    if (PyErr_Occurred()) return nullptr;
                    break;
                }
                if (PyList_Append(out.get(), t.get()) < 0) return nullptr;
            }
        }
        Ref tuple(PyList_AsTuple(out.get()));
        if (!tuple) return nullptr;
        return new_prefix(tuple.get());
    });
}

PyObject* substitution_to_dict(PyObject* self, PyObject*) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        Ref m(mapping_of(self));
        if (!m) return nullptr;
        Ref items(items_of(m.get()));
        if (!items) return nullptr;
        Ref out(PyDict_New());
        if (!out) return nullptr;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
            PyObject* pair = PyList_GET_ITEM(items.get(), i);
            if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
                PyErr_SetString(PyExc_TypeError, "mapping items must be (key, value) pairs");
                return nullptr;
            }
            Ref key(symbol_name(PyTuple_GET_ITEM(pair, 0)));
            if (!key) return nullptr;
            std::string text;
            if (!append_joined_names(text, PyTuple_GET_ITEM(pair, 1))) return nullptr;
            Ref value(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass"));
            if (!value || PyDict_SetItem(out.get(), key.get(), value.get()) < 0) return nullptr;
        }
        return out.release();
    });
}

PyObject* substitution_reduce(PyObject* self, PyObject*) {
    Ref m(mapping_of(self));
    if (!m) return nullptr;
    return Py_BuildValue("O(O)", Py_TYPE(self), m.get());
}

PyMemberDef kMembers[] = {
    {"mapping", Py_T_OBJECT_EX, offsetof(SubstitutionObject, mapping), 0, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(SubstitutionObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(SubstitutionObject, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

#define FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)), METH_FASTCALL | METH_KEYWORDS

PyMethodDef kMethods[] = {
    {"copy", substitution_copy, METH_NOARGS,
     "copy($self, /)\n--\n\nA new substitution over a new dictionary with the same entries."},
    {"bind", FASTCALL(substitution_bind),
     "bind($self, /, var, term)\n--\n\n"
     "A new substitution binding `var` to `term`, with `var` replaced by `term`\n"
     "inside every other word."},
    {"get", FASTCALL(substitution_get),
     "get($self, /, var)\n--\n\nThe word bound to `var`, or None."},
    {"apply", FASTCALL(substitution_apply),
     "apply($self, /, prefix)\n--\n\nA new Prefix with the bound variables of `prefix` replaced, in one pass."},
    {"to_dict", substitution_to_dict, METH_NOARGS,
     "to_dict($self, /)\n--\n\nThe bindings as {variable name: symbol names joined by \".\"}, in order."},
    {"__reduce__", substitution_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* new_substitution(PyObject* mapping) {
    PyTypeObject* type = state().api.substitution_type;
    auto* s = reinterpret_cast<SubstitutionObject*>(type->tp_alloc(type, 0));
    if (!s) return nullptr;
    s->mapping = Py_NewRef(mapping);
    return reinterpret_cast<PyObject*>(s);
}

bool create_substitution_type(PyObject* module) {
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(substitution_new)},
        {Py_tp_init, reinterpret_cast<void*>(substitution_init)},
        {Py_tp_dealloc, reinterpret_cast<void*>(substitution_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(substitution_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(substitution_clear)},
        {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
        {Py_tp_richcompare, reinterpret_cast<void*>(substitution_richcompare)},
        {Py_tp_repr, reinterpret_cast<void*>(substitution_repr)},
        {Py_tp_members, kMembers},
        {Py_tp_methods, kMethods},
        {Py_tp_getset, kGetSet},
        {Py_tp_doc, const_cast<char*>("PrefixSubstitution(mapping=<new dict>)\n\n"
                                      "Prefix variables bound to words (tuples of symbols), in binding order.\n"
                                      "A mapping given is held itself, not copied.")},
        {0, nullptr},
    };
    static PyType_Spec type_spec{"quorvel.constructive.prefix.PrefixSubstitution", sizeof(SubstitutionObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
    PyObject* type = PyType_FromSpec(&type_spec);
    if (!type) return false;
    state().api.substitution_type = reinterpret_cast<PyTypeObject*>(type);
    Ref names(py::interned_tuple(kFields, 1));
    if (!names || PyObject_SetAttrString(type, "__match_args__", names.get()) < 0) return false;
    return PyModule_AddObjectRef(module, "PrefixSubstitution", type) == 0;
}

}  // namespace quorvel::prefix
