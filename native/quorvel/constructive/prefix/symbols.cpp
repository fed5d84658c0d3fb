// PrefixSymbol (with PrefixConstant and PrefixVariable) and Prefix: frozen
// value records with dataclass equality, a hash computed on first use, the
// dataclass repr, and the prefix's tuple behaviour and text.
#include <string>

#include "quorvel/constructive/prefix/state.h"
#include "quorvel/support/py/args.h"
#include "quorvel/support/py/compat.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/hashing.h"
#include "quorvel/support/py/names.h"
#include "quorvel/support/py/record.h"
#include "quorvel/support/py/ref.h"
#include "quorvel/support/py/repr.h"

namespace quorvel::prefix {
namespace {

using py::Ref;

const char* const kSymbolFields[] = {"name"};
const char* const kPrefixFields[] = {"symbols"};
const char* const kAppendParams[] = {"symbol"};
const py::Signature kSymbolInit{"PrefixSymbol.__init__", kSymbolFields, 1, 1, 0, true};
const py::Signature kPrefixInit{"Prefix.__init__", kPrefixFields, 1, 0, 0, true};

// Assignment is refused on the record class itself for every name; a Python
// subclass may set its own attributes but not the field.
int frozen_setattro(PyObject* self, PyObject* name, PyObject* value, PyTypeObject* record_type,
                    const char* field) {
    bool own_type = Py_TYPE(self) == record_type || Py_TYPE(self) == state().api.constant_type ||
                    Py_TYPE(self) == state().api.variable_type;
    if (!own_type && PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, field) != 0)
        return PyObject_GenericSetAttr(self, name, value);
    return py::refuse_assignment(self, name, value);
}

// ---- PrefixSymbol ----

PyObject* symbol_alloc(PyTypeObject* type, PyObject* name) {
    auto* s = reinterpret_cast<SymbolObject*>(type->tp_alloc(type, 0));
    if (!s) return nullptr;
    s->name = Py_NewRef(name);
    s->hash = -1;
    return reinterpret_cast<PyObject*>(s);
}

PyObject* symbol_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* p[1];
        if (!py::parse_tuple(kSymbolInit, args, kwargs, p)) return nullptr;
        return symbol_alloc(type, p[0]);
    });
}

void symbol_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_symbol(self)->name);
    type->tp_free(self);
    Py_DECREF(type);
}

int symbol_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_symbol(self)->name);
    return 0;
}

Py_hash_t symbol_hash(PyObject* self) {
    SymbolObject* s = as_symbol(self);
    if (s->hash != -1) return s->hash;
    py::TupleHash h;
    if (!h.add(s->name)) return -1;
    return s->hash = h.finish();
}

PyObject* symbol_richcompare(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(a) != Py_TYPE(b)) Py_RETURN_NOTIMPLEMENTED;
    int equal = a == b ? 1 : PyObject_RichCompareBool(as_symbol(a)->name, as_symbol(b)->name, Py_EQ);
    if (equal < 0) return nullptr;
    return PyBool_FromLong(equal == (op == Py_EQ));
}

PyObject* symbol_repr(PyObject* self) {
    return py::guarded_repr(self, [&]() -> PyObject* {
        return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
            py::ReprWriter w(self);
            if (!w.field("name", as_symbol(self)->name)) return nullptr;
            return w.finish();
        });
    });
}

// The name itself, as `return self.name` would: a name that is no str makes
// str() raise its TypeError.
PyObject* symbol_str(PyObject* self) { return Py_NewRef(as_symbol(self)->name); }

int symbol_setattro(PyObject* self, PyObject* name, PyObject* value) {
    return frozen_setattro(self, name, value, state().api.symbol_type, "name");
}

PyObject* symbol_reduce(PyObject* self, PyObject*) {
    return Py_BuildValue("O(O)", Py_TYPE(self), as_symbol(self)->name);
}

PyMemberDef kSymbolMembers[] = {
    {"name", Py_T_OBJECT_EX, offsetof(SymbolObject, name), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef kSymbolMethods[] = {
    {"__reduce__", symbol_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---- Prefix ----

PyObject* prefix_alloc(PyTypeObject* type, PyObject* tuple) {
    auto* p = reinterpret_cast<PrefixObject*>(type->tp_alloc(type, 0));
    if (!p) return nullptr;
    p->symbols = Py_NewRef(tuple);
    p->hash = -1;
    return reinterpret_cast<PyObject*>(p);
}

PyObject* prefix_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* p[1];
        if (!py::parse_tuple(kPrefixInit, args, kwargs, p)) return nullptr;
        if (!p[0]) return prefix_alloc(type, state().empty_tuple);
        if (PyTuple_Check(p[0])) return prefix_alloc(type, p[0]);
        Ref tuple(PySequence_Tuple(p[0]));
        if (!tuple) return nullptr;
        return prefix_alloc(type, tuple.get());
    });
}

void prefix_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_prefix(self)->symbols);
    type->tp_free(self);
    Py_DECREF(type);
}

int prefix_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_prefix(self)->symbols);
    return 0;
}

Py_hash_t prefix_hash(PyObject* self) {
    PrefixObject* p = as_prefix(self);
    if (p->hash != -1) return p->hash;
    py::TupleHash h;
    if (!h.add(p->symbols)) return -1;
    return p->hash = h.finish();
}

PyObject* prefix_richcompare(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(a) != Py_TYPE(b)) Py_RETURN_NOTIMPLEMENTED;
    int equal = a == b ? 1 : PyObject_RichCompareBool(as_prefix(a)->symbols, as_prefix(b)->symbols, Py_EQ);
    if (equal < 0) return nullptr;
    return PyBool_FromLong(equal == (op == Py_EQ));
}

PyObject* prefix_repr(PyObject* self) {
    return py::guarded_repr(self, [&]() -> PyObject* {
        return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
            py::ReprWriter w(self);
            if (!w.field("symbols", as_prefix(self)->symbols)) return nullptr;
            return w.finish();
        });
    });
}

int prefix_setattro(PyObject* self, PyObject* name, PyObject* value) {
    return frozen_setattro(self, name, value, state().api.prefix_type, "symbols");
}

Py_ssize_t prefix_length(PyObject* self) { return PyTuple_GET_SIZE(as_prefix(self)->symbols); }

PyObject* prefix_subscript(PyObject* self, PyObject* index) {
    // The tuple's own indexing gives the errors a tuple gives.
    Ref item(PyObject_GetItem(as_prefix(self)->symbols, index));
    if (!item || !PySlice_Check(index)) return item.release();
    return prefix_alloc(state().api.prefix_type, item.get());
}

// Iteration by the sequence protocol, as for a class with __getitem__.
PyObject* prefix_item(PyObject* self, Py_ssize_t i) {
    PyObject* symbols = as_prefix(self)->symbols;
    if (i < 0 || i >= PyTuple_GET_SIZE(symbols)) {
        PyErr_SetString(PyExc_IndexError, "tuple index out of range");
        return nullptr;
    }
    return Py_NewRef(PyTuple_GET_ITEM(symbols, i));
}

PyObject* prefix_append(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Signature sig{"Prefix.append", kAppendParams, 1, 1, 0, true};
    PyObject* p[1];
    if (!py::parse_vector(sig, args, nargs, kwnames, p)) return nullptr;
    PyObject* old = as_prefix(self)->symbols;
    Py_ssize_t n = PyTuple_GET_SIZE(old);
    Ref tuple(PyTuple_New(n + 1));
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(PyTuple_GET_ITEM(old, i)));
    PyTuple_SET_ITEM(tuple.get(), n, Py_NewRef(p[0]));
    return prefix_alloc(state().api.prefix_type, tuple.get());
}

PyObject* symbols_of_kind(PyObject* self, PyTypeObject* kind) {
    Ref set(PySet_New(nullptr));
    if (!set) return nullptr;
    PyObject* symbols = as_prefix(self)->symbols;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(symbols); ++i) {
        PyObject* s = PyTuple_GET_ITEM(symbols, i);
        if (PyObject_TypeCheck(s, kind) && PySet_Add(set.get(), s) < 0) return nullptr;
    }
    return set.release();
}

PyObject* prefix_variables(PyObject* self, PyObject*) { return symbols_of_kind(self, state().api.variable_type); }
PyObject* prefix_constants(PyObject* self, PyObject*) { return symbols_of_kind(self, state().api.constant_type); }

PyObject* prefix_text(PyObject* self) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* symbols = as_prefix(self)->symbols;
        if (PyTuple_GET_SIZE(symbols) == 0) return Py_NewRef(state().s_eps);
        std::string out;
        if (!append_joined_names(out, symbols)) return nullptr;
        return PyUnicode_DecodeUTF8(out.data(), static_cast<Py_ssize_t>(out.size()), "surrogatepass");
    });
}

PyObject* prefix_to_string(PyObject* self, PyObject*) { return prefix_text(self); }

PyObject* prefix_reduce(PyObject* self, PyObject*) {
    return Py_BuildValue("O(O)", Py_TYPE(self), as_prefix(self)->symbols);
}

PyMemberDef kPrefixMembers[] = {
    {"symbols", Py_T_OBJECT_EX, offsetof(PrefixObject, symbols), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef kPrefixMethods[] = {
    {"append", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(prefix_append)),
     METH_FASTCALL | METH_KEYWORDS,
     "append($self, /, symbol)\n--\n\nA new prefix: this word followed by `symbol`."},
    {"variables", prefix_variables, METH_NOARGS,
     "variables($self, /)\n--\n\nA new set of the word's PrefixVariable symbols."},
    {"constants", prefix_constants, METH_NOARGS,
     "constants($self, /)\n--\n\nA new set of the word's PrefixConstant symbols."},
    {"to_string", prefix_to_string, METH_NOARGS,
     "to_string($self, /)\n--\n\nThe symbol names joined by \".\", or \"eps\" for the empty word."},
    {"__reduce__", prefix_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* make_type(PyType_Spec& type_spec, PyObject* base) {
    PyObject* bases = base ? PyTuple_Pack(1, base) : nullptr;
    if (base && !bases) return nullptr;
    PyObject* type = PyType_FromSpecWithBases(&type_spec, bases);
    Py_XDECREF(bases);
    return reinterpret_cast<PyTypeObject*>(type);
}

bool set_match_args(PyTypeObject* type, const char* const* names) {
    Ref tuple(py::interned_tuple(names, 1));
    return tuple && PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), "__match_args__", tuple.get()) == 0;
}

}  // namespace

PyObject* new_symbol(PyTypeObject* type, PyObject* name) {
    return py::guard<PyObject*>(nullptr, [&] { return symbol_alloc(type, name); });
}

PyObject* new_prefix(PyObject* symbols) {
    return py::guard<PyObject*>(nullptr, [&] { return prefix_alloc(state().api.prefix_type, symbols); });
}

PyObject* symbol_name(PyObject* symbol) {
    if (is_symbol(symbol)) return Py_NewRef(as_symbol(symbol)->name);
    return PyObject_GetAttr(symbol, state().s_name);
}

bool append_joined_names(std::string& out, PyObject* symbols) {
    Ref iter(PyObject_GetIter(symbols));
    if (!iter) return false;
    bool first = true;
    for (Py_ssize_t i = 0;; ++i) {
        Ref s(PyIter_Next(iter.get()));
        if (!s) return !PyErr_Occurred();
        Ref name(symbol_name(s.get()));
        if (!name) return false;
        if (!PyUnicode_Check(name.get())) {
            PyErr_Format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found", i,
                         Py_TYPE(name.get())->tp_name);
            return false;
        }
        if (!first) out += '.';
        first = false;
        Py_ssize_t n;
        const char* text = PyUnicode_AsUTF8AndSize(name.get(), &n);
        if (!text) {
            // A lone surrogate: keep it, as the str join would.
            PyErr_Clear();
            Ref bytes(PyUnicode_AsEncodedString(name.get(), "utf-8", "surrogatepass"));
            if (!bytes) return false;
            out.append(PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
        } else {
            out.append(text, static_cast<size_t>(n));
        }
    }
}

bool create_symbol_types(PyObject* module) {
    static PyType_Slot symbol_slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(symbol_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(symbol_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(symbol_traverse)},
        {Py_tp_hash, reinterpret_cast<void*>(symbol_hash)},
        {Py_tp_richcompare, reinterpret_cast<void*>(symbol_richcompare)},
        {Py_tp_repr, reinterpret_cast<void*>(symbol_repr)},
        {Py_tp_str, reinterpret_cast<void*>(symbol_str)},
        {Py_tp_setattro, reinterpret_cast<void*>(symbol_setattro)},
        {Py_tp_members, kSymbolMembers},
        {Py_tp_methods, kSymbolMethods},
        {Py_tp_doc, const_cast<char*>("PrefixSymbol(name)\n--\n\n"
                                      "A symbol of a prefix word, named `name`; equal to another only of the\n"
                                      "same class and name.")},
        {0, nullptr},
    };
    static PyType_Slot kind_slots[] = {
        {Py_tp_traverse, reinterpret_cast<void*>(symbol_traverse)},
        {0, nullptr},
    };
    const unsigned flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    static PyType_Spec symbol_spec{"quorvel.constructive.prefix.PrefixSymbol", sizeof(SymbolObject), 0, flags,
                                   symbol_slots};
    static PyType_Spec constant_spec{"quorvel.constructive.prefix.PrefixConstant", sizeof(SymbolObject), 0, flags,
                                     kind_slots};
    static PyType_Spec variable_spec{"quorvel.constructive.prefix.PrefixVariable", sizeof(SymbolObject), 0, flags,
                                     kind_slots};
    static PyType_Slot prefix_slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(prefix_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(prefix_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(prefix_traverse)},
        {Py_tp_hash, reinterpret_cast<void*>(prefix_hash)},
        {Py_tp_richcompare, reinterpret_cast<void*>(prefix_richcompare)},
        {Py_tp_repr, reinterpret_cast<void*>(prefix_repr)},
        {Py_tp_str, reinterpret_cast<void*>(prefix_text)},
        {Py_tp_setattro, reinterpret_cast<void*>(prefix_setattro)},
        {Py_mp_length, reinterpret_cast<void*>(prefix_length)},
        {Py_sq_length, reinterpret_cast<void*>(prefix_length)},
        {Py_mp_subscript, reinterpret_cast<void*>(prefix_subscript)},
        {Py_sq_item, reinterpret_cast<void*>(prefix_item)},
        {Py_tp_members, kPrefixMembers},
        {Py_tp_methods, kPrefixMethods},
        {Py_tp_doc, const_cast<char*>("Prefix(symbols=())\n--\n\n"
                                      "A word of prefix symbols, first the one nearest the root. Any\n"
                                      "sequence is stored as a tuple.")},
        {0, nullptr},
    };
    static PyType_Spec prefix_spec{"quorvel.constructive.prefix.Prefix", sizeof(PrefixObject), 0, flags, prefix_slots};

    Api& api = state().api;
    api.symbol_type = make_type(symbol_spec, nullptr);
    if (!api.symbol_type) return false;
    api.constant_type = make_type(constant_spec, reinterpret_cast<PyObject*>(api.symbol_type));
    if (!api.constant_type) return false;
    api.variable_type = make_type(variable_spec, reinterpret_cast<PyObject*>(api.symbol_type));
    if (!api.variable_type) return false;
    api.prefix_type = make_type(prefix_spec, nullptr);
    if (!api.prefix_type) return false;
    for (PyTypeObject* t : {api.symbol_type, api.constant_type, api.variable_type})
        if (!set_match_args(t, kSymbolFields)) return false;
    if (!set_match_args(api.prefix_type, kPrefixFields)) return false;
    const std::pair<const char*, PyTypeObject*> exported[] = {{"PrefixSymbol", api.symbol_type},
                                                              {"PrefixConstant", api.constant_type},
                                                              {"PrefixVariable", api.variable_type},
                                                              {"Prefix", api.prefix_type}};
    for (auto [name, type] : exported)
        if (PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) < 0) return false;
    return true;
}

}  // namespace quorvel::prefix
