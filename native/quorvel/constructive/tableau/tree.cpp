// TableauProofTree: a plain mutable object holding `root`, compared by
// identity, with closure, depth, size and the three renderings.
#include <cstddef>

#include "quorvel/constructive/tableau/mutable_record.h"
#include "quorvel/constructive/tableau/records.h"
#include "quorvel/support/py/compat.h"
#include "quorvel/support/py/args.h"
#include "quorvel/support/py/guard.h"

namespace quorvel::tableau {
namespace {

struct TreeObject {
    PyObject_HEAD
    PyObject* dict;
    PyObject* weakrefs;
};

const char* const kRootParam[] = {"root"};
const py::Signature kInit{"TableauProofTree.__init__", kRootParam, 1, 1, 0, true};

bool is_exact_tree(PyObject* o) { return Py_TYPE(o) == state().tree_type; }

// A call of self.<method>() that may run natively: the plain class, with no
// instance attribute of that name.
bool own_method(PyObject* self, PyObject* method) {
    if (!is_exact_tree(self)) return false;
    PyObject* dict = reinterpret_cast<TreeObject*>(self)->dict;
    return !dict || !PyDict_Contains(dict, method);
}

Ref root_of(PyObject* self) { return getattr(self, names().root); }

PyObject* t_is_closed(PyObject* self, PyObject*) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        Ref root = root_of(self);
        if (!root) return nullptr;
        return node_get(root.get(), kIsClosed).release();
    });
}

PyObject* t_get_depth(PyObject* self, PyObject*) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        Ref root = root_of(self);
        return root ? subtree_depth(root.get()) : nullptr;
    });
}

PyObject* t_get_size(PyObject* self, PyObject*) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        Ref root = root_of(self);
        return root ? subtree_size(root.get()) : nullptr;
    });
}

PyObject* t_to_string(PyObject* self, PyObject*) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        Ref root = root_of(self);
        if (!root) return nullptr;
        if (own_node_method(root.get(), names().to_string))
            return node_to_string(root.get(), names().empty, Py_True);
        PyObject* argv[] = {root.get(), names().empty, Py_True};
        Ref kw(PyTuple_Pack(2, names().prefix, names().is_last));
        if (!kw) return nullptr;
        return PyObject_VectorcallMethod(names().to_string, argv, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kw.get());
    });
}

PyObject* t_to_latex(PyObject* self, PyObject*) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        Ref root = root_of(self);
        return root ? tree_latex(root.get()) : nullptr;
    });
}

// self.<method>() through the object, natively for the plain class.
Ref call_own(PyObject* self, PyObject* method, PyObject* (*native)(PyObject*, PyObject*)) {
    if (own_method(self, method)) return Ref(native(self, nullptr));
    return call_method(self, method);
}

PyObject* t_to_dict(PyObject* self, PyObject*) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        Ref d(PyDict_New());
        if (!d) return nullptr;
        Ref closed = call_own(self, names().is_closed, t_is_closed);
        if (!closed || PyDict_SetItemString(d.get(), "is_closed", closed.get()) < 0) return nullptr;
        Ref depth = call_own(self, names().get_depth, t_get_depth);
        if (!depth || PyDict_SetItemString(d.get(), "depth", depth.get()) < 0) return nullptr;
        Ref size = call_own(self, names().get_size, t_get_size);
        if (!size || PyDict_SetItemString(d.get(), "size", size.get()) < 0) return nullptr;
        Ref root = root_of(self);
        if (!root) return nullptr;
        Ref tree = own_node_method(root.get(), names().to_dict) ? Ref(node_to_dict(root.get()))
                                                                            : call_method(root.get(), names().to_dict);
        if (!tree || PyDict_SetItemString(d.get(), "tree", tree.get()) < 0) return nullptr;
        return d.release();
    });
}

PyObject* t_str(PyObject* self) {
    return py::guard<PyObject*>(nullptr, [&] { return call_own(self, names().to_string, t_to_string).release(); });
}

int t_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guard<int>(-1, [&]() -> int {
        PyObject* p[1];
        if (!py::parse_tuple(kInit, args, kwargs, p)) return -1;
        return PyObject_GenericSetAttr(self, names().root, p[0]);
    });
}

int t_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<TreeObject*>(self)->dict);
    return 0;
}

int t_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<TreeObject*>(self)->dict);
    return 0;
}

void t_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (reinterpret_cast<TreeObject*>(self)->weakrefs) PyObject_ClearWeakRefs(self);
    t_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef kMethods[] = {
    {"is_closed", t_is_closed, METH_NOARGS, "is_closed(self)\n--\n\nThe root's is_closed: whether every branch closed."},
    {"get_depth", t_get_depth, METH_NOARGS,
     "get_depth(self)\n--\n\nThe number of nodes on the longest path from the root to a leaf."},
    {"get_size", t_get_size, METH_NOARGS, "get_size(self)\n--\n\nThe number of nodes."},
    {"to_dict", t_to_dict, METH_NOARGS,
     "to_dict(self)\n--\n\nPlain values: \"is_closed\", \"depth\", \"size\" and \"tree\" (the root's dictionary)."},
    {"to_string", t_to_string, METH_NOARGS, "to_string(self)\n--\n\nThe ASCII tree, one line per node."},
    {"to_latex", t_to_latex, METH_NOARGS,
     R"doc(to_latex(self)
--

The tree as a `forest` environment (no preamble): each node's content in
braces, the signed formula in LaTeX notation, then "\;", the rule label in
brackets (underscores written "\_") and "\times" on a closed leaf.)doc"},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef kMembers[] = {
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(TreeObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(TreeObject, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

}  // namespace

PyObject* new_tree(PyObject* root) {
    PyTypeObject* type = state().tree_type;
    PyObject* o = type->tp_alloc(type, 0);
    if (!o) return nullptr;
    if (PyObject_GenericSetAttr(o, names().root, root) < 0) {
        Py_DECREF(o);
        return nullptr;
    }
    return o;
}

PyTypeObject* make_tree_type() {
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
        {Py_tp_init, reinterpret_cast<void*>(t_init)},
        {Py_tp_dealloc, reinterpret_cast<void*>(t_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(t_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(t_clear)},
        {Py_tp_str, reinterpret_cast<void*>(t_str)},
        {Py_tp_members, kMembers},
        {Py_tp_getset, kInstanceDict},
        {Py_tp_methods, kMethods},
        {Py_tp_doc, const_cast<char*>(R"doc(TableauProofTree(root)
--

The derivation of one tableau proof, held by its root TableauNode. Its
string form is to_string(), the ASCII tree.)doc")},
        {0, nullptr},
    };
    PyType_Spec type_spec{"quorvel.constructive.tableau.TableauProofTree", sizeof(TreeObject), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
}

}  // namespace quorvel::tableau
