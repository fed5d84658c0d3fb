// The two rule tables and apply_rule.
#include "quorvel/prover/rules/tables.h"

#include "quorvel/prover/rules/rule_record.h"
#include "quorvel/support/py/ref.h"

namespace quorvel::rules {

using py::Ref;

namespace {

struct Entry {
    const char* name;
    const char* description;
};

const Entry kReconstruction[] = {
    {"Axiom", "Premise or hypothesis assumption"},
    {"NegatedGoal", "Clausified negation of target theorem"},
    {"ModusPonens", "A, A \xe2\x9f\xb9 B  \xe2\x8a\xa2  B"},
    {"UniversalInstantiation", "\xe2\x88\x80x P(x)  \xe2\x8a\xa2  P(t)"},
    {"ExistentialIntroduction", "P(t)  \xe2\x8a\xa2  \xe2\x88\x83x P(x)"},
    {"AndIntroduction", "A, B  \xe2\x8a\xa2  A \xe2\x88\xa7 B"},
    {"AndElimination", "A \xe2\x88\xa7 B  \xe2\x8a\xa2  A (or B)"},
    {"OrIntroduction", "A  \xe2\x8a\xa2  A \xe2\x88\xa8 B"},
    {"OrElimination", "A \xe2\x88\xa8 B, A \xe2\x9f\xb9 C, B \xe2\x9f\xb9 C  \xe2\x8a\xa2  C"},
    {"DoubleNegationElimination", "\xc2\xac\xc2\xac" "A  \xe2\x8a\xa2  A"},
    {"Contradiction", "A, \xc2\xac" "A  \xe2\x8a\xa2  \xe2\x8a\xa5"},
    {"ResolutionTraceStep", "CNF trace resolution inference"},
};

// The operation of a reconstruction rule: any positional arguments, no
// named ones, a new empty list.
PyObject* stub(PyObject*, PyObject* args, PyObject* kwargs) {
    (void)args;
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        PyErr_SetString(PyExc_TypeError, "reconstruction rule takes no keyword arguments");
        return nullptr;
    }
    return PyList_New(0);
}

PyMethodDef kStub = {"apply", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(stub)),
                     METH_VARARGS | METH_KEYWORDS,
                     "apply(*premises)\n--\n\nA reconstruction rule derives nothing: a new empty list."};

}  // namespace

PyObject* get_resolution_rules() {
    State& s = state();
    const Entry table[] = {{"BinaryResolution", "Resolve complementary literals"},
                           {"Factoring", "Merge unifiable literals in same clause"},
                           {"Paramodulation", "Equality subterm rewriting"}};
    PyObject* ops[] = {s.resolve, s.factor, s.paramodulate};
    Ref list(PyList_New(3));
    if (!list) return nullptr;
    for (int i = 0; i < 3; ++i) {
        Ref name(PyUnicode_FromString(table[i].name));
        Ref description(PyUnicode_FromString(table[i].description));
        if (!name || !description) return nullptr;
        PyObject* rule = new_rule(name.get(), description.get(), s.resolution, ops[i]);
        if (!rule) return nullptr;
        PyList_SET_ITEM(list.get(), i, rule);
    }
    return list.release();
}

PyObject* get_reconstruction_rules() {
    State& s = state();
    Py_ssize_t n = static_cast<Py_ssize_t>(sizeof(kReconstruction) / sizeof(kReconstruction[0]));
    Ref list(PyList_New(n));
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref name(PyUnicode_FromString(kReconstruction[i].name));
        Ref description(PyUnicode_FromString(kReconstruction[i].description));
        // Each operation is bound to an object of its own, so that no two
        // stubs compare (or hash) alike.
        Ref owner(PyBaseObject_Type.tp_alloc(&PyBaseObject_Type, 0));
        if (!name || !description || !owner) return nullptr;
        Ref op(PyCFunction_NewEx(&kStub, owner.get(), nullptr));
        if (!op) return nullptr;
        PyObject* rule = new_rule(name.get(), description.get(), s.reconstruction, op.get());
        if (!rule) return nullptr;
        PyList_SET_ITEM(list.get(), i, rule);
    }
    return list.release();
}

PyObject* apply_rule(PyObject* rule, PyObject* premises, PyObject* context) {
    Ref op(PyObject_GetAttrString(rule, "apply"));
    if (!op) return nullptr;
    Ref args(PySequence_Tuple(premises));
    if (!args) return nullptr;
    PyObject* kwargs = context && context != Py_None && PyObject_IsTrue(context) == 1 ? context : nullptr;
    if (PyErr_Occurred()) return nullptr;
    if (kwargs && !PyDict_Check(kwargs)) {
        PyErr_Format(PyExc_TypeError, "context must be a dict, got %S", reinterpret_cast<PyObject*>(Py_TYPE(kwargs)));
        return nullptr;
    }
    return PyObject_Call(op.get(), args.get(), kwargs);
}

}  // namespace quorvel::rules
