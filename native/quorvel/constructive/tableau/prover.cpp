// TableauProver (a plain class whose attributes live in its instance
// __dict__) and prove_tableau.
#include <cstddef>

#include "quorvel/constructive/tableau/prover.h"
#include "quorvel/constructive/tableau/mutable_record.h"
#include "quorvel/constructive/tableau/records.h"
#include "quorvel/support/py/args.h"
#include "quorvel/support/py/compat.h"
#include "quorvel/support/py/guard.h"

namespace quorvel::tableau {
namespace {

const char* const kInitParams[] = {"max_depth", "max_worlds"};
const py::Signature kInit{"TableauProver.__init__", kInitParams, 2, 0, 0, true};
const char* const kStateParam[] = {"state"};
const py::Signature kCheckClash{"TableauProver._check_clash", kStateParam, 1, 1, 0, true};
const py::Signature kExtract{"TableauProver._extract_countermodel", kStateParam, 1, 1, 0, true};
const char* const kProveParams[] = {"target", "premises"};
const py::Signature kProve{"TableauProver.prove", kProveParams, 2, 1, 0, true};
const py::Signature kIsValid{"TableauProver.is_valid", kProveParams, 2, 1, 0, true};
const py::Signature kCountermodel{"TableauProver.countermodel", kProveParams, 2, 1, 0, true};
const char* const kExpandParams[] = {"state", "node", "depth"};
const py::Signature kExpand{"TableauProver._expand_branch", kExpandParams, 3, 3, 0, true};
const char* const kProveTableauParams[] = {"formula", "premises", "max_depth", "max_worlds"};
const py::Signature kProveTableau{"prove_tableau", kProveTableauParams, 4, 1, 0, false};

// self.name = max(1, value), as the builtin max compares.
bool store_bound(PyObject* self, PyObject* name, PyObject* value, long fallback) {
    Ref given = value ? Ref::borrow(value) : Ref(PyLong_FromLong(fallback));
    Ref one(PyLong_FromLong(1));
    if (!given || !one) return false;
    int above = PyObject_RichCompareBool(given.get(), one.get(), Py_GT);
    if (above < 0) return false;
    return setattr(self, name, above ? given.get() : one.get());
}

int p_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guard<int>(-1, [&]() -> int {
        PyObject* p[2];
        if (!py::parse_tuple(kInit, args, kwargs, p)) return -1;
        if (!store_bound(self, names().max_depth, p[0], 100) || !store_bound(self, names().max_worlds, p[1], 50))
            return -1;
        Ref zero(PyLong_FromLong(0));
        return zero && setattr(self, names().node_counter, zero.get()) ? 0 : -1;
    });
}

int p_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<ProverObject*>(self)->dict);
    return 0;
}

int p_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<ProverObject*>(self)->dict);
    return 0;
}

void p_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (reinterpret_cast<ProverObject*>(self)->weakrefs) PyObject_ClearWeakRefs(self);
    p_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* p_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* o = type->tp_alloc(type, 0);
    if (o) reinterpret_cast<ProverObject*>(o)->order = nullptr;
    return o;
}

// tuple(premises) if premises else ()
Ref premise_tuple(PyObject* premises) {
    if (!premises) return Ref(PyTuple_New(0));
    int any = truth(premises);
    if (any < 0) return Ref();
    return Ref(any ? PySequence_Tuple(premises) : PyTuple_New(0));
}

PyObject* m_next_node_id(PyObject* self, PyObject*) {
    return py::guard<PyObject*>(nullptr, [&] { return next_node_id(self); });
}

PyObject* m_check_clash(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* p[1];
        if (!py::parse_vector(kCheckClash, args, PyVectorcall_NARGS(nargs), kwnames, p)) return nullptr;
        return check_clash(self, p[0]);
    });
}

PyObject* m_extract(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* p[1];
        if (!py::parse_vector(kExtract, args, PyVectorcall_NARGS(nargs), kwnames, p)) return nullptr;
        return extract_countermodel(self, p[0]);
    });
}

PyObject* m_prove(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* p[2];
        if (!py::parse_vector(kProve, args, PyVectorcall_NARGS(nargs), kwnames, p)) return nullptr;
        Ref premises = premise_tuple(p[1]);
        if (!premises) return nullptr;
        return prove(self, p[0], premises.get());
    });
}

PyObject* m_expand(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* p[3];
        if (!py::parse_vector(kExpand, args, PyVectorcall_NARGS(nargs), kwnames, p)) return nullptr;
        return expand_branch(self, p[0], p[1], p[2]);
    });
}

// self.prove(target=..., premises=...).<field>
PyObject* prove_field(PyObject* self, const py::Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, PyObject* field) {
    PyObject* p[2];
    if (!py::parse_vector(sig, args, PyVectorcall_NARGS(nargs), kwnames, p)) return nullptr;
    PyObject* argv[] = {self, p[0], p[1] ? p[1] : Py_None};
    Ref kw(PyTuple_Pack(2, names().target, names().premises));
    if (!kw) return nullptr;
    Ref result(PyObject_VectorcallMethod(names().prove, argv, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kw.get()));
    if (!result) return nullptr;
    return PyObject_GetAttr(result.get(), field);
}

PyObject* m_is_valid(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard<PyObject*>(nullptr, [&] { return prove_field(self, kIsValid, args, nargs, kwnames, names().is_valid); });
}

PyObject* m_countermodel(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard<PyObject*>(nullptr, [&] {
        return prove_field(self, kCountermodel, args, nargs, kwnames, names().countermodel);
    });
}

// A plain class pickles its __dict__; the running proof's order is no state.
PyObject* m_getstate(PyObject* self, PyObject*) {
    PyObject* dict = reinterpret_cast<ProverObject*>(self)->dict;
    return dict ? PyDict_Copy(dict) : Py_NewRef(Py_None);
}

#define FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f)), METH_FASTCALL | METH_KEYWORDS

PyMethodDef kMethods[] = {
    {"_next_node_id", m_next_node_id, METH_NOARGS,
     "_next_node_id(self)\n--\n\nAdds 1 to _node_counter and returns the new value."},
    {"_check_clash", FASTCALL(m_check_clash),
     R"doc(_check_clash(self, state)
--

The first contradiction of a branch, world by world: falsum signed true,
verum signed false, or a formula signed both ways. Returns (world, formula,
explanation) or None.)doc"},
    {"_extract_countermodel", FASTCALL(m_extract),
     R"doc(_extract_countermodel(self, state)
--

A KripkeModel of the branch: its worlds, the closure of its edges, and at
each world the atoms signed true there or at a world below.)doc"},
    {"prove", FASTCALL(m_prove),
     R"doc(prove(self, target, premises=None)
--

Tests whether `target` follows intuitionistically from `premises`.

Signs the premises true and the target false at world w0 and expands the
tableau depth first, one rule per node, left branch first. A branch that
the depth or world bound stops counts as open.

Returns:
    TableauProofResult: is_valid is True when every branch closed;
    otherwise the countermodel comes from the first open branch.)doc"},
    {"_expand_branch", FASTCALL(m_expand),
     R"doc(_expand_branch(self, state, node, depth)
--

One expansion step on `node` at `depth` with the branch state `state`,
and the steps below it. Returns (closed, open state).)doc"},
    {"is_valid", FASTCALL(m_is_valid),
     "is_valid(self, target, premises=None)\n--\n\nprove(target=target, premises=premises).is_valid"},
    {"countermodel", FASTCALL(m_countermodel),
     "countermodel(self, target, premises=None)\n--\n\nprove(target=target, premises=premises).countermodel"},
    {"__getstate__", m_getstate, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef kMembers[] = {
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(ProverObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(ProverObject, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef* own_def(Method m) {
    switch (m) {
        case Method::NextNodeId: return &kMethods[0];
        case Method::CheckClash: return &kMethods[1];
        case Method::ExtractCountermodel: return &kMethods[2];
        case Method::ExpandBranch: return &kMethods[4];
        default: return nullptr;
    }
}

PyObject* method_name(Method m) {
    switch (m) {
        case Method::NextNodeId: return names().next_node_id;
        case Method::CheckClash: return names().check_clash;
        case Method::ExtractCountermodel: return names().extract_countermodel;
        default: return names().expand_branch;
    }
}

PyObject* prove_tableau(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* p[4];
        if (!py::parse_vector(kProveTableau, args, PyVectorcall_NARGS(nargs), kwnames, p)) return nullptr;
        Ref max_depth = p[2] ? Ref::borrow(p[2]) : Ref(PyLong_FromLong(100));
        Ref max_worlds = p[3] ? Ref::borrow(p[3]) : Ref(PyLong_FromLong(50));
        if (!max_depth || !max_worlds) return nullptr;
        PyObject* cargs[] = {max_depth.get(), max_worlds.get()};
        Ref ckw(PyTuple_Pack(2, names().max_depth, names().max_worlds));
        if (!ckw) return nullptr;
        Ref prover(PyObject_Vectorcall(reinterpret_cast<PyObject*>(state().prover_type), cargs, 0, ckw.get()));
        if (!prover) return nullptr;
        PyObject* argv[] = {prover.get(), p[0], p[1] ? p[1] : Py_None};
        Ref kw(PyTuple_Pack(2, names().target, names().premises));
        if (!kw) return nullptr;
        return PyObject_VectorcallMethod(names().prove, argv, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kw.get());
    });
}

PyMethodDef kProveTableauDef = {
    "prove_tableau", FASTCALL(prove_tableau),
    R"doc(prove_tableau(formula, premises=None, max_depth=100, max_worlds=50)
--

Proves `formula` from `premises` with a labelled intuitionistic tableau.

Args:
    formula: the target formula.
    premises: formulas assumed true (a list), or None.
    max_depth: the longest branch, in nodes (at least 1).
    max_worlds: the most worlds a branch may create (at least 1).

Returns:
    TableauProofResult: the verdict, the proof tree and, when the target is
    not proved, a Kripke countermodel from the first open branch. A branch
    cut by a bound counts as open: the proof then reports not valid, with
    the model of the state where the bound stopped it.)doc",
};

}  // namespace

int is_own(PyObject* self, Method m) {
    Ref attr = getattr(self, method_name(m));
    if (!attr) return -1;
    PyObject* a = attr.get();
    return PyCFunction_Check(a) && reinterpret_cast<PyCFunctionObject*>(a)->m_ml == own_def(m) &&
           PyCFunction_GET_SELF(a) == self;
}

PyObject* next_node_id(PyObject* self) {
    Ref counter = getattr(self, names().node_counter);
    if (!counter) return nullptr;
    Ref one(PyLong_FromLong(1));
    if (!one) return nullptr;
    Ref next(PyNumber_InPlaceAdd(counter.get(), one.get()));
    if (!next || !setattr(self, names().node_counter, next.get())) return nullptr;
    return getattr(self, names().node_counter).release();
}

Ref call_next_node_id(PyObject* self) {
    int own = is_own(self, Method::NextNodeId);
    if (own < 0) return Ref();
    return own ? Ref(next_node_id(self)) : call_method(self, names().next_node_id);
}

Ref call_check_clash(PyObject* self, PyObject* st) {
    int own = is_own(self, Method::CheckClash);
    if (own < 0) return Ref();
    return own ? Ref(check_clash(self, st)) : call_method(self, names().check_clash, st);
}

Ref call_extract_countermodel(PyObject* self, PyObject* st) {
    int own = is_own(self, Method::ExtractCountermodel);
    if (own < 0) return Ref();
    return own ? Ref(extract_countermodel(self, st)) : call_method(self, names().extract_countermodel, st);
}

PyTypeObject* make_prover_type() {
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(p_new)},
        {Py_tp_init, reinterpret_cast<void*>(p_init)},
        {Py_tp_dealloc, reinterpret_cast<void*>(p_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(p_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(p_clear)},
        {Py_tp_members, kMembers},
        {Py_tp_getset, kInstanceDict},
        {Py_tp_methods, kMethods},
        {Py_tp_doc, const_cast<char*>(R"doc(TableauProver(max_depth=100, max_worlds=50)
--

The labelled tableau prover for intuitionistic propositional logic.

Args:
    max_depth: the longest branch, in nodes; values below 1 become 1.
    max_worlds: the most worlds a branch may create; values below 1 become 1.

A subclass may replace _expand_branch, _check_clash, _next_node_id or
_extract_countermodel: prove then calls the replacement wherever the
algorithm calls that method.)doc")},
        {0, nullptr},
    };
    PyType_Spec type_spec{"quorvel.constructive.tableau.TableauProver", sizeof(ProverObject), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
}

PyObject* make_prove_tableau() {
    Ref module_name(PyUnicode_FromString("quorvel.constructive.tableau"));
    if (!module_name) return nullptr;
    return PyCFunction_NewEx(&kProveTableauDef, nullptr, module_name.get());
}

}  // namespace quorvel::tableau
