// World: a frozen record (id, name) with dataclass equality and hash, whose
// string form is its name and whose repr shows both fields unquoted.
#include <cstddef>
#include <string>

#include "quorvel/constructive/kripke/model.h"
#include "quorvel/support/py/args.h"
#include "quorvel/support/py/compat.h"
#include "quorvel/support/py/frozen_init.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/hashing.h"

namespace quorvel::kripke {
namespace {

const char* const kFieldNames[] = {"id", "name"};
const py::Signature kInit{"World.__init__", kFieldNames, 2, 2, 0, true};

PyObject* make(PyTypeObject* type, PyObject* id, PyObject* name) {
    auto* w = reinterpret_cast<WorldObject*>(type->tp_alloc(type, 0));
    if (!w) return nullptr;
    w->id = Py_NewRef(id);
    w->name = Py_NewRef(name);
    w->hash = -1;
    w->weakrefs = nullptr;
    return reinterpret_cast<PyObject*>(w);
}

int world_init(PyObject* self, PyObject* args, PyObject* kwargs);

// A subclass with an __init__ of its own gets World(None, None), which
// super().__init__(...) fills.
PyObject* world_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        if (py::builds_in_init(type, world_init)) return make(type, Py_None, Py_None);
        PyObject* f[2];
        if (!py::parse_tuple(kInit, args, kwargs, f)) return nullptr;
        return make(type, f[0], f[1]);
    });
}

int world_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guard<int>(-1, [&]() -> int {
        if (!py::builds_in_init(Py_TYPE(self), world_init)) return 0;  // world_new used these arguments
        PyObject* f[2];
        if (!py::parse_tuple(kInit, args, kwargs, f)) return -1;
        auto* w = as_world(self);
        Py_SETREF(w->id, Py_NewRef(f[0]));
        Py_SETREF(w->name, Py_NewRef(f[1]));
        w->hash = -1;
        return 0;
    });
}

void world_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    auto* w = as_world(self);
    if (w->weakrefs) PyObject_ClearWeakRefs(self);
    Py_CLEAR(w->id);
    Py_CLEAR(w->name);
    type->tp_free(self);
    Py_DECREF(type);
}

int world_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_world(self)->id);
    Py_VISIT(as_world(self)->name);
    return 0;
}

// hash((id, name)), kept once computed: the fields never change.
Py_hash_t world_hash(PyObject* self) {
    auto* w = as_world(self);
    if (w->hash != -1) return w->hash;
    py::TupleHash h;
    if (!h.add(w->id) || !h.add(w->name)) return -1;
    w->hash = h.finish();
    return w->hash;
}

// As a dataclass: only two instances of the very same class compare, field
// tuples against each other; anything else is NotImplemented.
PyObject* world_richcompare(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(a) != Py_TYPE(b)) Py_RETURN_NOTIMPLEMENTED;
    bool equal = true;
    if (a != b) {
        int r = PyObject_RichCompareBool(as_world(a)->id, as_world(b)->id, Py_EQ);
        if (r < 0) return nullptr;
        if (r) {
            r = PyObject_RichCompareBool(as_world(a)->name, as_world(b)->name, Py_EQ);
            if (r < 0) return nullptr;
        }
        equal = r == 1;
    }
    return Py_NewRef(equal == (op == Py_EQ) ? Py_True : Py_False);
}

bool append_formatted(std::string& out, PyObject* value) {
    PyObject* text = PyObject_Format(value, nullptr);
    if (!text) return false;
    Py_ssize_t n;
    const char* s = PyUnicode_AsUTF8AndSize(text, &n);
    if (s) out.append(s, static_cast<size_t>(n));
    Py_DECREF(text);
    return s != nullptr;
}

// "World(id=" id ", name=" name ")", both fields as f-strings show them.
PyObject* world_repr(PyObject* self) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        std::string text = "World(id=";
        if (!append_formatted(text, as_world(self)->id)) return nullptr;
        text += ", name=";
        if (!append_formatted(text, as_world(self)->name)) return nullptr;
        text += ')';
        return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
    });
}

PyObject* world_str(PyObject* self) { return Py_NewRef(as_world(self)->name); }

// A frozen dataclass refuses every assignment on its own class and
// assignments to its fields on subclasses (which may add attributes).
int world_setattro(PyObject* self, PyObject* name, PyObject* value) {
    bool field = PyUnicode_Check(name) && (PyUnicode_CompareWithASCIIString(name, "id") == 0 ||
                                           PyUnicode_CompareWithASCIIString(name, "name") == 0);
    if (Py_TYPE(self) == state().api.world_type || field) {
        PyErr_Format(state().frozen_error, value ? "cannot assign to field %R" : "cannot delete field %R", name);
        return -1;
    }
    return PyObject_GenericSetAttr(self, name, value);
}

PyObject* world_reduce(PyObject* self, PyObject*) {
    return Py_BuildValue("(O(OO))", Py_TYPE(self), as_world(self)->id, as_world(self)->name);
}

PyMemberDef kMembers[] = {
    {"id", Py_T_OBJECT_EX, offsetof(WorldObject, id), Py_READONLY, "The world's number."},
    {"name", Py_T_OBJECT_EX, offsetof(WorldObject, name), Py_READONLY, "The world's display name, e.g. \"w0\"."},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(WorldObject, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef kMethods[] = {
    {"__reduce__", world_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

const char kDoc[] = R"doc(World(id, name)
--

A world of a Kripke model: an immutable record of its number and its name.

Two worlds are equal when both fields are; the hash is that of (id, name).
str(world) is the name; repr(world) is "World(id=0, name=w0)".

Args:
    id: the world's number (the tableau numbers its worlds 0, 1, 2, ...).
    name: the world's display name, e.g. "w0".)doc";

}  // namespace

PyObject* new_world(PyObject* id, PyObject* name) { return make(state().api.world_type, id, name); }

PyObject* new_numbered_world(long number) {
    Ref id(PyLong_FromLong(number));
    if (!id) return nullptr;
    Ref name(PyUnicode_FromFormat("w%ld", number));
    if (!name) return nullptr;
    return new_world(id.get(), name.get());
}

bool create_world_type(PyObject* module) {
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(world_new)},
        {Py_tp_init, reinterpret_cast<void*>(world_init)},
        {Py_tp_dealloc, reinterpret_cast<void*>(world_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(world_traverse)},
        {Py_tp_hash, reinterpret_cast<void*>(world_hash)},
        {Py_tp_richcompare, reinterpret_cast<void*>(world_richcompare)},
        {Py_tp_repr, reinterpret_cast<void*>(world_repr)},
        {Py_tp_str, reinterpret_cast<void*>(world_str)},
        {Py_tp_setattro, reinterpret_cast<void*>(world_setattro)},
        {Py_tp_members, kMembers},
        {Py_tp_methods, kMethods},
        {Py_tp_doc, const_cast<char*>(kDoc)},
        {0, nullptr},
    };
    PyType_Spec type_spec{"quorvel.constructive.kripke.World", sizeof(WorldObject), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &type_spec, nullptr));
    if (!type) return false;
    state().api.world_type = type;  // the module attribute holds it too
    type->tp_name = "World";  // as a Python class names itself in error messages
    Ref match_args(Py_BuildValue("(ss)", "id", "name"));
    if (!match_args || PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), "__match_args__", match_args.get()) < 0)
        return false;
    return PyModule_AddObjectRef(module, "World", reinterpret_cast<PyObject*>(type)) == 0;
}

}  // namespace quorvel::kripke
