// ProofDAG: the derivation a prover found, as a list of steps in the order
// they were made; each step names its premises by their indices, which are
// always those of earlier steps, so the steps form a DAG.
#include "quorvel/prover/proof/dag.h"

#include <vector>

#include "quorvel/support/py/args.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/record.h"
#include "quorvel/support/py/ref.h"
#include "quorvel/support/py/repr.h"

namespace quorvel::proof {

using py::Ref;

namespace {

struct DagObject {
    PyObject_HEAD
    PyObject* steps;  // a list, live: the caller may read and change it
};

DagObject* as_dag(PyObject* o) { return reinterpret_cast<DagObject*>(o); }

const char* const kInitParams[] = {"steps"};
const char* const kAddParams[] = {"conclusion", "rule", "premises"};
const py::Signature kInit{"ProofDAG.__init__", kInitParams, 1, 0, 0, true};
const py::Signature kAdd{"ProofDAG.add_step", kAddParams, 3, 2, 0, true};

PyObject* dag_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* p[1];
    if (!py::parse_tuple(kInit, args, kwargs, p)) return nullptr;
    Ref steps(p[0] && p[0] != Py_None ? PySequence_List(p[0]) : PyList_New(0));
    if (!steps) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    as_dag(self)->steps = steps.release();
    return self;
}

int dag_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_dag(self)->steps);
    return 0;
}

int dag_clear(PyObject* self) {
    Py_CLEAR(as_dag(self)->steps);
    return 0;
}

void dag_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    dag_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* steps_of(PyObject* self) {
    PyObject* steps = as_dag(self)->steps;
    if (!steps) PyErr_SetString(PyExc_RuntimeError, "ProofDAG is no longer usable");
    return steps;
}

Py_ssize_t append_step(PyObject* self, PyObject* conclusion, PyObject* rule, PyObject* premises) {
    PyObject* steps = steps_of(self);
    if (!steps) return -1;
    Py_ssize_t index = PyList_GET_SIZE(steps);
    Ref number(PyLong_FromSsize_t(index));
    if (!number) return -1;
    PyObject* values[] = {number.get(), conclusion, rule, premises};
    Ref step(py::new_record(state().step_type, values));
    if (!step || PyList_Append(steps, step.get()) < 0) return -1;
    return index;
}

PyObject* py_add_step(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* p[3];
    if (!py::parse_vector(kAdd, args, nargs, kwnames, p)) return nullptr;
    PyObject* steps = steps_of(self);
    if (!steps) return nullptr;
    Ref premises(p[2] ? PySequence_Tuple(p[2]) : PyTuple_New(0));
    if (!premises) return nullptr;
    Py_ssize_t count = PyList_GET_SIZE(steps);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(premises.get()); ++i) {
        PyObject* item = PyTuple_GET_ITEM(premises.get(), i);
        Py_ssize_t k = PyLong_Check(item) && !PyBool_Check(item) ? PyLong_AsSsize_t(item) : -1;
        if (k == -1 && PyErr_Occurred()) PyErr_Clear();
        if (k < 0 || k >= count) {
            PyErr_Format(PyExc_ValueError, "premise %R is not the index of an earlier step", item);
            return nullptr;
        }
    }
    Py_ssize_t index = append_step(self, p[0], p[1], premises.get());
    return index < 0 ? nullptr : PyLong_FromSsize_t(index);
}

Py_ssize_t dag_length(PyObject* self) {
    PyObject* steps = steps_of(self);
    return steps ? PyList_GET_SIZE(steps) : -1;
}

PyObject* dag_richcompare(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(a) != Py_TYPE(b)) Py_RETURN_NOTIMPLEMENTED;
    PyObject *x = steps_of(a), *y = x ? steps_of(b) : nullptr;
    if (!y) return nullptr;
    return PyObject_RichCompare(x, y, op);
}

PyObject* dag_repr(PyObject* self) {
    return py::guarded_repr(self, [&]() -> PyObject* {
        PyObject* steps = steps_of(self);
        if (!steps) return nullptr;
        py::ReprWriter w(self);
        if (!w.field("steps", steps)) return nullptr;
        return w.finish();
    });
}

PyObject* get_steps(PyObject* self, void*) {
    PyObject* steps = steps_of(self);
    return steps ? Py_NewRef(steps) : nullptr;
}

PyMethodDef kMethods[] = {
    {"add_step", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_add_step)),
     METH_FASTCALL | METH_KEYWORDS,
     "add_step($self, conclusion, rule, premises=())\n--\n\nAppends a ProofStep deriving `conclusion` by `rule` "
     "from the steps whose indices are in `premises` (all earlier steps); returns the new step's index."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetset[] = {
    {"steps", get_steps, nullptr, "The steps, in the order they were made (the list itself).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char* const kStepFields[] = {"index", "conclusion", "rule", "premises"};

}  // namespace

State& state() {
    static State s;
    return s;
}

bool create_types() {
    PyTypeObject* step = py::make_record_type(
        {"quorvel.prover.proof.ProofStep",
         "ProofStep(index, conclusion, rule, premises)\n--\n\nOne step of a derivation: its index, what it derives, "
         "the rule's name and the indices of its premises.",
         kStepFields, 4, nullptr, nullptr});
    if (!step) return false;
    state().step_type = step;
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(dag_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(dag_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(dag_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(dag_clear)},
        {Py_tp_richcompare, reinterpret_cast<void*>(dag_richcompare)},
        {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
        {Py_tp_repr, reinterpret_cast<void*>(dag_repr)},
        {Py_sq_length, reinterpret_cast<void*>(dag_length)},
        {Py_tp_methods, kMethods},
        {Py_tp_getset, kGetset},
        {Py_tp_doc, const_cast<char*>("ProofDAG(steps=None)\n--\n\nThe derivation a prover found: ProofStep records "
                                      "in the order they were made.")},
        {0, nullptr},
    };
    PyType_Spec type_spec{"quorvel.prover.proof.ProofDAG", sizeof(DagObject), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
    PyObject* dag = PyType_FromSpec(&type_spec);
    if (!dag) return false;
    state().dag_type = reinterpret_cast<PyTypeObject*>(dag);
    return true;
}

PyObject* new_dag() {
    PyObject* empty = PyTuple_New(0);
    if (!empty) return nullptr;
    PyObject* dag = dag_new(state().dag_type, empty, nullptr);
    Py_DECREF(empty);
    return dag;
}

Py_ssize_t add_step(PyObject* dag, PyObject* conclusion, PyObject* rule, const Py_ssize_t* premises, size_t count) {
    return py::guard<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
        PyObject* steps = steps_of(dag);
        if (!steps) return -1;
        Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(count)));
        if (!tuple) return -1;
        for (size_t i = 0; i < count; ++i) {
            if (premises[i] < 0 || premises[i] >= PyList_GET_SIZE(steps)) {
                PyErr_Format(PyExc_ValueError, "premise %zd is not the index of an earlier step", premises[i]);
                return -1;
            }
            PyObject* n = PyLong_FromSsize_t(premises[i]);
            if (!n) return -1;
            PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), n);
        }
        return append_step(dag, conclusion, rule, tuple.get());
    });
}

}  // namespace quorvel::proof
