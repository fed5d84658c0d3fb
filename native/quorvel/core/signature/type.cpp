// The Python type of Signature: construction, the three register methods,
// read-only copies of the tables, repr and garbage collection.
#include "quorvel/core/signature/table.h"
#include "quorvel/support/py/args.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/repr.h"

namespace quorvel::signature {
namespace {

SignatureObject* as_signature(PyObject* o) { return reinterpret_cast<SignatureObject*>(o); }

const char* const kPredicateParams[] = {"name", "arity", "arg_sorts"};
const char* const kFunctionParams[] = {"name", "arity", "arg_sorts", "return_sort"};
const char* const kConstantParams[] = {"name", "sort"};
const py::Signature kInit{"Signature.__init__", nullptr, 0, 0, 0, true};
const py::Signature kPredicate{"Signature.register_predicate", kPredicateParams, 3, 2, 0, true};
const py::Signature kFunction{"Signature.register_function", kFunctionParams, 4, 2, 0, true};
const py::Signature kConstant{"Signature.register_constant", kConstantParams, 2, 1, 0, true};

PyObject* signature_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* none[1];
    if (!py::parse_tuple(kInit, args, kwargs, none)) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    for (PyObject*& t : as_signature(self)->tables)
        if (!(t = PyDict_New())) {
            Py_DECREF(self);
            return nullptr;
        }
    return self;
}

int signature_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    for (PyObject* t : as_signature(self)->tables) Py_VISIT(t);
    return 0;
}

int signature_clear(PyObject* self) {
    for (PyObject*& t : as_signature(self)->tables) Py_CLEAR(t);
    return 0;
}

void signature_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    signature_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// A cleared signature (only reachable from a finaliser during collection)
// has no tables left.
bool ready(PyObject* self) {
    if (as_signature(self)->tables[0]) return true;
    PyErr_SetString(PyExc_RuntimeError, "Signature is no longer usable");
    return false;
}

PyObject* none_or_null(int r) { return r < 0 ? nullptr : Py_NewRef(Py_None); }

PyObject* py_register_predicate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* p[3];
    if (!py::parse_vector(kPredicate, args, nargs, kwnames, p) || !ready(self)) return nullptr;
    return none_or_null(register_predicate(self, p[0], p[1], p[2]));
}

PyObject* py_register_function(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* p[4];
    if (!py::parse_vector(kFunction, args, nargs, kwnames, p) || !ready(self)) return nullptr;
    return none_or_null(register_function(self, p[0], p[1], p[2], p[3]));
}

PyObject* py_register_constant(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* p[2];
    if (!py::parse_vector(kConstant, args, nargs, kwnames, p) || !ready(self)) return nullptr;
    return none_or_null(register_constant(self, p[0], p[1]));
}

PyObject* copy_table(PyObject* self, void* which) {
    if (!ready(self)) return nullptr;
    return PyDict_Copy(as_signature(self)->tables[reinterpret_cast<intptr_t>(which)]);
}

PyObject* signature_repr(PyObject* self) {
    return py::guarded_repr(self, [&]() -> PyObject* {
        if (!ready(self)) return nullptr;
        py::ReprWriter w(self);
        const char* names[] = {"predicates", "functions", "constants"};
        for (int i = 0; i < 3; ++i)
            if (!w.field(names[i], as_signature(self)->tables[i])) return nullptr;
        return w.finish();
    });
}

PyMethodDef kMethods[] = {
    {"register_predicate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_register_predicate)),
     METH_FASTCALL | METH_KEYWORDS,
     "register_predicate($self, name, arity, arg_sorts=None)\n--\n\nDeclares a predicate symbol; argument sorts "
     "default to Ind. A name declared again takes the new arity and sorts."},
    {"register_function", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_register_function)),
     METH_FASTCALL | METH_KEYWORDS,
     "register_function($self, name, arity, arg_sorts=None, return_sort=None)\n--\n\nDeclares a function symbol; "
     "sorts default to Ind. A name declared again takes the new arity and sorts."},
    {"register_constant", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_register_constant)),
     METH_FASTCALL | METH_KEYWORDS,
     "register_constant($self, name, sort=None)\n--\n\nDeclares a constant symbol of `sort` (default Ind)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetset[] = {
    {"predicates", copy_table, nullptr, "A new dict: predicate name -> (arity, argument sorts).",
     reinterpret_cast<void*>(0)},
    {"functions", copy_table, nullptr, "A new dict: function name -> (arity, argument sorts, return sort).",
     reinterpret_cast<void*>(1)},
    {"constants", copy_table, nullptr, "A new dict: constant name -> sort.", reinterpret_cast<void*>(2)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

bool create_type() {
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(signature_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(signature_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(signature_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(signature_clear)},
        {Py_tp_repr, reinterpret_cast<void*>(signature_repr)},
        {Py_tp_methods, kMethods},
        {Py_tp_getset, kGetset},
        {Py_tp_doc, const_cast<char*>("Signature()\n--\n\nThe predicate, function and constant symbols of a problem, "
                                      "in the order they were first declared.")},
        {0, nullptr},
    };
    PyType_Spec type_spec{"quorvel.core.signature.Signature", sizeof(SignatureObject), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
    PyObject* type = PyType_FromSpec(&type_spec);
    if (!type) return false;
    state().api.type = reinterpret_cast<PyTypeObject*>(type);
    return true;
}

}  // namespace quorvel::signature
