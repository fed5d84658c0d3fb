// InferenceRule: a frozen record of four fields with dataclass equality and
// repr. Its `apply` may be a method bound to the record itself (as in
// SOLInstantiateRule), which makes a reference cycle: the record is a GC
// type, its repr prints the inner reference as "...", and its hash counts
// such an `apply` by its function alone, so that hashing does not recurse.
#include "quorvel/prover/rules/rule_record.h"

#include "quorvel/support/py/args.h"
#include "quorvel/support/py/compat.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/hashing.h"
#include "quorvel/support/py/names.h"
#include "quorvel/support/py/record.h"
#include "quorvel/support/py/ref.h"
#include "quorvel/support/py/repr.h"

namespace quorvel::rules {

using py::Ref;

namespace {

const char* const kFields[] = {"name", "description", "rule_type", "apply"};
const py::Signature kInit{"InferenceRule.__init__", kFields, 4, 4, 0, true};
const py::Signature kSolInit{"SOLInstantiateRule.__init__", nullptr, 0, 0, 0, true};
const char* const kMatchParams[] = {"sol_axiom", "target_goal", "signature"};
const py::Signature kMatch{"SOLInstantiateRule.match_and_instantiate", kMatchParams, 3, 2, 0, true};

RuleObject* as_rule(PyObject* o) { return reinterpret_cast<RuleObject*>(o); }

PyObject* allocate(PyTypeObject* type, PyObject* const* values) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    for (int i = 0; i < 4; ++i) as_rule(self)->fields[i] = values[i] ? Py_NewRef(values[i]) : nullptr;
    return self;
}

PyObject* rule_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* p[4];
        if (!py::parse_tuple(kInit, args, kwargs, p)) return nullptr;
        return allocate(type, p);
    });
}

int rule_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    for (PyObject* f : as_rule(self)->fields) Py_VISIT(f);
    return 0;
}

int rule_clear(PyObject* self) {
    for (PyObject*& f : as_rule(self)->fields) Py_CLEAR(f);
    return 0;
}

void rule_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    rule_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

bool usable(PyObject* self) {
    if (as_rule(self)->fields[0]) return true;
    PyErr_SetString(PyExc_RuntimeError, "InferenceRule is no longer usable");
    return false;
}

Py_hash_t rule_hash(PyObject* self) {
    if (!usable(self)) return -1;
    py::TupleHash h;
    for (PyObject* f : as_rule(self)->fields) {
        // A method bound to this very record hashes as its function.
        if (PyMethod_Check(f) && PyMethod_GET_SELF(f) == self) f = PyMethod_GET_FUNCTION(f);
        if (!h.add(f)) return -1;
    }
    return h.finish();
}

PyObject* rule_richcompare(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(a) != Py_TYPE(b)) Py_RETURN_NOTIMPLEMENTED;
    bool equal = true;
    if (a != b) {
        if (!usable(a) || !usable(b)) return nullptr;
        for (int i = 0; i < 4 && equal; ++i) {
            int r = PyObject_RichCompareBool(as_rule(a)->fields[i], as_rule(b)->fields[i], Py_EQ);
            if (r < 0) return nullptr;
            equal = r == 1;
        }
    }
    return PyBool_FromLong(equal == (op == Py_EQ));
}

PyObject* rule_repr(PyObject* self) {
    return py::guarded_repr(self, [&]() -> PyObject* {
        return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
            if (!usable(self)) return nullptr;
            py::ReprWriter w(self);
            for (int i = 0; i < 4; ++i)
                if (!w.field(kFields[i], as_rule(self)->fields[i])) return nullptr;
            return w.finish();
        });
    });
}

PyObject* rule_reduce(PyObject* self, PyObject*) {
    if (!usable(self)) return nullptr;
    if (Py_TYPE(self) == state().sol_type) return Py_BuildValue("(O())", reinterpret_cast<PyObject*>(Py_TYPE(self)));
    RuleObject* r = as_rule(self);
    return Py_BuildValue("(O(OOOO))", reinterpret_cast<PyObject*>(Py_TYPE(self)), r->fields[0], r->fields[1],
                         r->fields[2], r->fields[3]);
}

// Frozen as a dataclass: every assignment is refused.
int rule_setattro(PyObject* self, PyObject* name, PyObject* value) { return py::refuse_assignment(self, name, value); }

PyMethodDef kRuleMethods[] = {
    {"__reduce__", rule_reduce, METH_NOARGS, "Pickles the rule by its fields."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef kRuleMembers[] = {
    {"name", Py_T_OBJECT_EX, offsetof(RuleObject, fields) + 0 * sizeof(PyObject*), Py_READONLY, nullptr},
    {"description", Py_T_OBJECT_EX, offsetof(RuleObject, fields) + 1 * sizeof(PyObject*), Py_READONLY, nullptr},
    {"rule_type", Py_T_OBJECT_EX, offsetof(RuleObject, fields) + 2 * sizeof(PyObject*), Py_READONLY, nullptr},
    {"apply", Py_T_OBJECT_EX, offsetof(RuleObject, fields) + 3 * sizeof(PyObject*), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// ---- SOLInstantiateRule ----

PyObject* sol_match(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* p[3];
    if (!py::parse_vector(kMatch, args, nargs, kwnames, p)) return nullptr;
    (void)self;
    return match_and_instantiate(p[0], p[1], p[2] ? p[2] : Py_None);
}

PyMethodDef kSolMethods[] = {
    {"match_and_instantiate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sol_match)),
     METH_FASTCALL | METH_KEYWORDS,
     "match_and_instantiate($self, sol_axiom, target_goal, signature=None)\n--\n\n"
     "Instantiates a second-order axiom (a ForallPred) against a goal by higher-order pattern matching and\n"
     "returns the clauses of the instance; when nothing matches and the goal is a Forall, the clauses of the\n"
     "goal's induction instance; otherwise an empty list."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* sol_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* none[1];
        if (!py::parse_tuple(kSolInit, args, kwargs, none)) return nullptr;
        Ref name(PyUnicode_FromString("SOLInstantiate"));
        Ref description(PyUnicode_FromString("Second-order logic template instantiation via higher-order pattern matching"));
        if (!name || !description) return nullptr;
        PyObject* values[] = {name.get(), description.get(), state().resolution, nullptr};
        Ref self(allocate(type, values));
        if (!self) return nullptr;
        // The record's own bound method: a cycle the collector reclaims.
        Ref apply(PyObject_GetAttrString(self.get(), "match_and_instantiate"));
        if (!apply) return nullptr;
        as_rule(self.get())->fields[3] = apply.release();
        return self.release();
    });
}

PyTypeObject* make_type(const char* name, const char* doc, PyTypeObject* base, newfunc tp_new, PyMethodDef* methods) {
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(tp_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(rule_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(rule_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(rule_clear)},
        {Py_tp_hash, reinterpret_cast<void*>(rule_hash)},
        {Py_tp_richcompare, reinterpret_cast<void*>(rule_richcompare)},
        {Py_tp_repr, reinterpret_cast<void*>(rule_repr)},
        {Py_tp_setattro, reinterpret_cast<void*>(rule_setattro)},
        {Py_tp_methods, methods},
        {Py_tp_doc, const_cast<char*>(doc)},
        {base ? 0 : Py_tp_members, base ? nullptr : kRuleMembers},  // last: 0 ends the list
        {0, nullptr},
    };
    PyType_Spec type_spec{name, base ? 0 : static_cast<int>(sizeof(RuleObject)), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
    PyObject* bases = base ? PyTuple_Pack(1, base) : nullptr;
    PyObject* type = PyType_FromSpecWithBases(&type_spec, bases);
    Py_XDECREF(bases);
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace

State& state() {
    static State s;
    return s;
}

bool create_rule_types(PyObject* module) {
    State& s = state();
    s.rule_type = make_type("quorvel.prover.rules.InferenceRule",
                            "InferenceRule(name, description, rule_type, apply)\n--\n\nA named inference rule: "
                            "its description, its kind (\"resolution\" or \"reconstruction\") and the operation "
                            "that applies it to premises.",
                            nullptr, rule_new, kRuleMethods);
    if (!s.rule_type) return false;
    PyObject* match_args = py::interned_tuple(kFields, 4);
    if (!match_args || PyDict_SetItemString(s.rule_type->tp_dict, "__match_args__", match_args) < 0) {
        Py_XDECREF(match_args);
        return false;
    }
    Py_DECREF(match_args);
    PyType_Modified(s.rule_type);
    s.sol_type = make_type("quorvel.prover.rules.SOLInstantiateRule",
                           "SOLInstantiateRule()\n--\n\nThe rule that instantiates second-order axiom templates; "
                           "its apply is its own match_and_instantiate.",
                           s.rule_type, sol_new, kSolMethods);
    if (!s.sol_type) return false;
    return PyModule_AddObjectRef(module, "InferenceRule", reinterpret_cast<PyObject*>(s.rule_type)) == 0 &&
           PyModule_AddObjectRef(module, "SOLInstantiateRule", reinterpret_cast<PyObject*>(s.sol_type)) == 0;
}

PyObject* new_rule(PyObject* name, PyObject* description, PyObject* rule_type, PyObject* apply) {
    PyObject* values[] = {name, description, rule_type, apply};
    return allocate(state().rule_type, values);
}

}  // namespace quorvel::rules
