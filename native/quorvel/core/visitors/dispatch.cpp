// `visit`: the native walk when nothing overrides it, else dispatch by name.
//
// A walk may stand in for a visitor when every name it replaces ("visit" and
// the sixteen methods) resolves on the visitor's class to what it resolves
// to on the module's own class, the instance shadows none of them, and the
// class's dispatch table still holds exactly the sixteen standard entries.
// The class part is cached under the type's version tag, which CPython
// renews whenever the class or one of its bases changes.
#include <algorithm>
#include <cstdint>

#if defined(__linux__)
#include <pthread.h>
#endif

#include "quorvel/core/visitors/state.h"
#include "quorvel/support/flat_map.h"
#include "quorvel/support/py/ref.h"

namespace quorvel::visitors {

using py::Ref;

PyObject* unsupported(PyObject* o) {
    PyObject* name = PyType_GetName(Py_TYPE(o));
    if (!name) return nullptr;
    PyErr_Format(PyExc_TypeError, "Unsupported AST node type: %U", name);
    Py_DECREF(name);
    return nullptr;
}

PyObject* assertion_failed() {
    PyErr_SetNone(PyExc_AssertionError);
    return nullptr;
}

PyObject* call_visit(PyObject* self, PyObject* child) {
    PyObject* args[3] = {nullptr, self, child};
    return PyObject_VectorcallMethod(state().s_visit, args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

namespace {

struct ClassVerdict {
    unsigned int tag = 0;
    int visitor = -1;
};

FlatMap<PyTypeObject*, ClassVerdict, PointerHash>& verdicts() {
    static FlatMap<PyTypeObject*, ClassVerdict, PointerHash> map(nullptr);
    return map;
}

bool has_valid_tag(PyTypeObject* t) {
#ifdef Py_TPFLAGS_VALID_VERSION_TAG
    if (!PyType_HasFeature(t, Py_TPFLAGS_VALID_VERSION_TAG)) return false;
#endif
    return t->tp_version_tag != 0;
}

// The visitor whose methods class `t` keeps unchanged, or -1.
int judge_class(PyTypeObject* t) {
    State& s = state();
    if (t->tp_getattro != PyObject_GenericGetAttr) return -1;
    PyObject* mro = t->tp_mro;
    int v = -1;
    for (Py_ssize_t i = 0; mro && i < PyTuple_GET_SIZE(mro) && v < 0; ++i)
        for (int c = 0; c < kVisitors; ++c)
            if (PyTuple_GET_ITEM(mro, i) == s.classes[c]) {
                v = c;
                break;
            }
    if (v < 0) return -1;
    for (int n = 0; n < kWalkNames; ++n)
        if (_PyType_Lookup(t, s.names[n]) != s.resolved[v][n]) return -1;
    return v;
}

int class_verdict(PyTypeObject* t) {
    auto& map = verdicts();
    if (ClassVerdict* c = map.find(t))
        if (has_valid_tag(t) && c->tag == t->tp_version_tag) return c->visitor;
    int v = judge_class(t);
    if (has_valid_tag(t)) {
        auto [slot, fresh] = map.insert(t, ClassVerdict{t->tp_version_tag, v});
        if (!fresh) *slot = ClassVerdict{t->tp_version_tag, v};
    }
    return v;
}

// The table found on class `t` holds the sixteen standard entries.
bool standard_table(PyTypeObject* t) {
    State& s = state();
    PyObject* table = _PyType_Lookup(t, s.s_dispatch_table);
    if (!table || !PyDict_CheckExact(table) || PyDict_GET_SIZE(table) != kNodeKinds) return false;
    for (int i = 0; i < kNodeKinds; ++i)
        if (PyDict_GetItemWithError(table, s.node_classes[i]) != s.names[i]) return false;
    return true;
}

// 1 when the instance shadows none of the names, 0 when it does, -1.
int plain_instance(PyObject* self) {
    Ref dict(PyObject_GenericGetDict(self, nullptr));
    if (!dict) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 1;
    }
    if (!PyDict_Check(dict.get())) return 0;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict.get(), &pos, &key, &value)) {
        int r = PySet_Contains(state().overridable, key);
        if (r != 0) return r < 0 ? -1 : 0;
    }
    return 1;
}

}  // namespace

int walking_visitor(PyObject* self) {
    PyTypeObject* t = Py_TYPE(self);
    int v = class_verdict(t);
    if (v < 0) return -1;
    int plain = plain_instance(self);
    if (plain <= 0) return plain < 0 ? -2 : -1;
    return standard_table(t) ? v : -1;
}

int class_walks(Visitor v) {
    auto* t = reinterpret_cast<PyTypeObject*>(state().classes[static_cast<int>(v)]);
    return class_verdict(t) == static_cast<int>(v) && standard_table(t);
}

namespace {

PyObject* dispatch_by_name(PyObject* self, PyObject* node) {
    State& s = state();
    Ref table(PyObject_GetAttr(self, s.s_dispatch_table));
    if (!table) return nullptr;
    Ref name;
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(node));
    if (PyDict_CheckExact(table.get())) {
        name = Ref::borrow(PyDict_GetItemWithError(table.get(), type));
        if (!name && PyErr_Occurred()) return nullptr;
    } else {
        name = Ref(PyObject_CallMethodObjArgs(table.get(), s.s_get, type, nullptr));
        if (!name) return nullptr;
    }
    if (!name || name.get() == Py_None) return unsupported(node);
    Ref method(PyObject_GetAttr(self, name.get()));
    if (!method) return nullptr;
    return PyObject_CallOneArg(method.get(), node);
}

PyObject* walk(Visitor v, PyObject* self, PyObject* node, bool& declined) {
    switch (v) {
        case Visitor::Transformer: return walk_transformer(node);
        case Visitor::Depth: return walk_depth(node);
        case Visitor::Size: return walk_size(node);
        case Visitor::FreeVariables: return walk_free_variables(node);
        case Visitor::Substitution: return walk_substitution(self, node, declined);
        case Visitor::Export: return walk_export(self, node, declined);
    }
    return nullptr;
}

// Name dispatch nests C frames (ours and the interpreter's) per tree level,
// and the recursion limit may be set far above what the C stack holds (3.11
// counts only Python frames): refuse to go deeper once less than this much
// (or a quarter of a small thread stack) is left.
constexpr uintptr_t kStackReserve = 512 * 1024;

uintptr_t stack_floor() {
    thread_local uintptr_t floor = 0;
    if (!floor) {
#if defined(__linux__)
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void* low;
            size_t size;
            if (pthread_attr_getstack(&attr, &low, &size) == 0)
                floor = reinterpret_cast<uintptr_t>(low) + std::min<uintptr_t>(kStackReserve, size / 4);
            pthread_attr_destroy(&attr);
        }
#endif
        if (!floor) floor = 1;  // unknown bounds: the recursion limit alone
    }
    return floor;
}

bool stack_nearly_full() {
    char here;
    return reinterpret_cast<uintptr_t>(&here) < stack_floor();
}

}  // namespace

PyObject* visit(PyObject* self, PyObject* node) {
    int v = walking_visitor(self);
    if (v == -2) return nullptr;
    if (v >= 0) {
        bool declined = false;
        PyObject* result = walk(static_cast<Visitor>(v), self, node, declined);
        if (result || !declined) return result;
    }
    // Name dispatch recurses through Python: held to the interpreter's
    // recursion limit, so a deep tree ends in RecursionError.
    State& s = state();
    if (s.dispatch_depth >= Py_GetRecursionLimit() || stack_nearly_full()) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while visiting a tree");
        return nullptr;
    }
    if (Py_EnterRecursiveCall(" while visiting a tree")) return nullptr;
    ++s.dispatch_depth;
    PyObject* result = dispatch_by_name(self, node);
    --s.dispatch_depth;
    Py_LeaveRecursiveCall();
    return result;
}

PyObject* init_subclass(PyObject*, PyObject* args, PyObject* kwargs) {
    State& s = state();
    PyObject* cls;
    if (!PyArg_ParseTuple(args, "O:__init_subclass__", &cls)) return nullptr;
    Ref super(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PySuper_Type), s.base, cls, nullptr));
    if (!super) return nullptr;
    Ref next(PyObject_GetAttrString(super.get(), "__init_subclass__"));
    if (!next) return nullptr;
    Ref empty(PyTuple_New(0));
    if (!empty) return nullptr;
    Ref done(PyObject_Call(next.get(), empty.get(), kwargs));
    if (!done) return nullptr;
    Ref table(PyDict_New());
    if (!table) return nullptr;
    for (int i = 0; i < kNodeKinds; ++i)
        if (PyDict_SetItem(table.get(), s.node_classes[i], s.names[i]) < 0) return nullptr;
    if (PyObject_SetAttr(cls, s.s_dispatch_table, table.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace quorvel::visitors
