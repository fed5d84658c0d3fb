// KripkeModel: the type, its constructor, the simple operations and the
// dispatch through `self` that keeps subclass overrides in effect.
#include <cstddef>

#include "quorvel/constructive/kripke/model.h"
#include "quorvel/support/py/args.h"
#include "quorvel/support/py/compat.h"
#include "quorvel/support/py/guard.h"

namespace quorvel::kripke {

State& state() {
    static State s;
    return s;
}

// ---------------------------------------------------------------- dispatch

namespace {

// The instance __dict__ (borrowed), or NULL when there is none yet.
PyObject* instance_dict(PyObject* self) {
    Py_ssize_t offset = Py_TYPE(self)->tp_dictoffset;
    return offset > 0 ? *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + offset) : nullptr;
}

// Whether the class of `self` resolves `name` to KripkeModel's own method:
// the first definition along the MRO, down to KripkeModel itself.
int own_in_class(PyTypeObject* type, PyObject* name, PyObject* own) {
    PyObject* mro = type->tp_mro;
    for (Py_ssize_t i = 0; mro && i < PyTuple_GET_SIZE(mro); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (base == state().api.model_type) return 1;
        PyObject* found = base->tp_dict ? PyDict_GetItemWithError(base->tp_dict, name) : nullptr;
        if (found) return found == own;
        if (PyErr_Occurred()) return -1;
    }
    return 1;
}

}  // namespace

int is_own(PyObject* self, Method m) {
    State& s = state();
    int i = static_cast<int>(m);
    if (Py_TYPE(self) != s.api.model_type) {
        int own = own_in_class(Py_TYPE(self), s.method_names[i], s.own_methods[i]);
        if (own <= 0) return own;
    }
    if (PyObject* d = instance_dict(self)) {
        if (PyDict_GetItemWithError(d, s.method_names[i])) return 0;
        if (PyErr_Occurred()) return -1;
    }
    return 1;
}

namespace {

PyObject* call_method(PyObject* self, Method m, PyObject* a, PyObject* b = nullptr) {
    PyObject* name = state().method_names[static_cast<int>(m)];
    if (!b) return PyObject_CallMethodOneArg(self, name, a);
    return PyObject_CallMethodObjArgs(self, name, a, b, nullptr);
}

int call_none_method(PyObject* self, Method m) {
    PyObject* r = PyObject_CallMethodNoArgs(self, state().method_names[static_cast<int>(m)]);
    if (!r) return -1;
    Py_DECREF(r);
    return 0;
}

int truth_of(PyObject* r) {
    if (!r) return -1;
    int t = PyObject_IsTrue(r);
    Py_DECREF(r);
    return t;
}

}  // namespace

int call_add_world(PyObject* self, PyObject* world) {
    int own = is_own(self, Method::AddWorld);
    if (own < 0) return -1;
    if (own) return add_world(self, world);
    PyObject* r = call_method(self, Method::AddWorld, world);
    if (!r) return -1;
    Py_DECREF(r);
    return 0;
}

PyObject* call_accessible_worlds(PyObject* self, PyObject* world) {
    int own = is_own(self, Method::AccessibleWorlds);
    if (own < 0) return nullptr;
    return own ? accessible_worlds(self, world) : call_method(self, Method::AccessibleWorlds, world);
}

int call_evaluate(PyObject* self, PyObject* formula, PyObject* world) {
    int own = is_own(self, Method::Evaluate);
    if (own < 0) return -1;
    return own ? evaluate(self, formula, world) : truth_of(call_method(self, Method::Evaluate, formula, world));
}

// -------------------------------------------------------------- operations

int add_world(PyObject* self, PyObject* world) {
    State& s = state();
    Ref worlds(get(self, s.s_worlds));
    if (!worlds) return -1;
    int c = contains(worlds.get(), world);  // a scan by equality
    if (c < 0) return -1;
    if (!c) {
        if (PyList_CheckExact(worlds.get())) {
            if (PyList_Append(worlds.get(), world) < 0) return -1;
        } else {
            Ref r(PyObject_CallMethodOneArg(worlds.get(), s.s_append, world));
            if (!r) return -1;
        }
    }
    Ref relations(get(self, s.s_relations));
    if (!relations) return -1;
    c = contains(relations.get(), world);
    if (c < 0) return -1;
    if (!c) {
        Ref own(PySet_New(nullptr));
        if (!own || PySet_Add(own.get(), world) < 0 || set_item(relations.get(), world, own.get()) < 0) return -1;
    } else {
        Ref successors(get_item(relations.get(), world));
        if (!successors || add_to(successors.get(), world) < 0) return -1;
    }
    Ref valuations(get(self, s.s_valuations));
    if (!valuations) return -1;
    c = contains(valuations.get(), world);
    if (c < 0) return -1;
    if (!c) {
        Ref empty(PySet_New(nullptr));
        if (!empty || set_item(valuations.get(), world, empty.get()) < 0) return -1;
    }
    return 0;
}

int add_relation(PyObject* self, PyObject* source, PyObject* target) {
    if (call_add_world(self, source) < 0 || call_add_world(self, target) < 0) return -1;
    {
        Ref relations(get(self, state().s_relations));
        if (!relations) return -1;
        Ref successors(get_item(relations.get(), source));
        if (!successors || add_to(successors.get(), target) < 0) return -1;
    }
    int own_closure = is_own(self, Method::ComputeClosure);
    if (own_closure < 0) return -1;
    int own_monotonicity = is_own(self, Method::EnforceMonotonicity);
    if (own_monotonicity < 0) return -1;
    if (own_closure && own_monotonicity) return close_and_enforce(self);
    if ((own_closure ? compute_transitive_closure(self) : call_none_method(self, Method::ComputeClosure)) < 0)
        return -1;
    return own_monotonicity ? enforce_monotonicity(self) : call_none_method(self, Method::EnforceMonotonicity);
}

int add_valuation(PyObject* self, PyObject* world, PyObject* formula) {
    State& s = state();
    if (call_add_world(self, world) < 0) return -1;
    {
        Ref valuations(get(self, s.s_valuations));
        if (!valuations) return -1;
        Ref here(get_item(valuations.get(), world));
        if (!here || add_to(here.get(), formula) < 0) return -1;
    }
    Ref above(call_accessible_worlds(self, world));
    if (!above) return -1;
    Ref worlds(snapshot(above.get()));  // the successors at this moment
    if (!worlds) return -1;
    Ref valuations(get(self, s.s_valuations));
    if (!valuations) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(worlds.get()); ++i) {
        PyObject* w = PyList_GET_ITEM(worlds.get(), i);
        int c = contains(valuations.get(), w);
        if (c < 0) return -1;
        if (!c) {
            Ref empty(PySet_New(nullptr));
            if (!empty || set_item(valuations.get(), w, empty.get()) < 0) return -1;
        }
        Ref there(get_item(valuations.get(), w));
        if (!there || add_to(there.get(), formula) < 0) return -1;
    }
    return 0;
}

int is_accessible(PyObject* self, PyObject* source, PyObject* target) {
    Ref relations(get(self, state().s_relations));
    if (!relations) return -1;
    int c = contains(relations.get(), source);
    if (c <= 0) return c;
    Ref successors(get_item(relations.get(), source));
    if (!successors) return -1;
    return contains(successors.get(), target);
}

PyObject* accessible_worlds(PyObject* self, PyObject* world) {
    Ref relations(get(self, state().s_relations));
    if (!relations) return nullptr;
    int c = contains(relations.get(), world);
    if (c < 0) return nullptr;
    if (c) {
        Ref successors(get_item(relations.get(), world));
        return successors ? PySet_New(successors.get()) : nullptr;
    }
    Ref only(PySet_New(nullptr));
    if (!only || PySet_Add(only.get(), world) < 0) return nullptr;
    return only.release();
}

PyObject* new_model() { return PyObject_CallNoArgs(reinterpret_cast<PyObject*>(state().api.model_type)); }

// The table's entries: the operations as methods run them, behind a model
// type check, with no C++ exception escaping into the caller.
namespace {

bool is_model(PyObject* o) {
    if (PyObject_TypeCheck(o, state().api.model_type)) return true;
    PyErr_Format(PyExc_TypeError, "expected a KripkeModel, got %.200s", Py_TYPE(o)->tp_name);
    return false;
}

}  // namespace

int api_add_world(PyObject* model, PyObject* world) {
    return py::guard<int>(-1, [&] { return is_model(model) ? call_add_world(model, world) : -1; });
}
int api_add_relation(PyObject* model, PyObject* source, PyObject* target) {
    return py::guard<int>(-1, [&] { return is_model(model) ? add_relation(model, source, target) : -1; });
}
int api_add_valuation(PyObject* model, PyObject* world, PyObject* formula) {
    return py::guard<int>(-1, [&] { return is_model(model) ? add_valuation(model, world, formula) : -1; });
}
int api_evaluate(PyObject* model, PyObject* formula, PyObject* world) {
    return py::guard<int>(-1, [&] { return is_model(model) ? call_evaluate(model, formula, world) : -1; });
}

// ------------------------------------------------------------------- type

namespace {

// A new dict of new sets: {key: set(values) for key, values in given.items()}.
PyObject* copy_mapping(PyObject* given) {
    Ref copy(PyDict_New());
    if (!copy) return nullptr;
    if (!given || given == Py_None) return copy.release();
    Ref items(PyMapping_Items(given));
    if (!items) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        Ref pair(PySequence_Tuple(PyList_GET_ITEM(items.get(), i)));
        if (!pair) return nullptr;
        Py_ssize_t n = PyTuple_GET_SIZE(pair.get());
        if (n != 2) {
            if (n > 2)
                PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
            else
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
            return nullptr;
        }
        Ref members(PySet_New(PyTuple_GET_ITEM(pair.get(), 1)));
        if (!members || PyDict_SetItem(copy.get(), PyTuple_GET_ITEM(pair.get(), 0), members.get()) < 0)
            return nullptr;
    }
    return copy.release();
}

const char* const kInitNames[] = {"worlds", "relations", "valuations"};
const py::Signature kInit{"KripkeModel.__init__", kInitNames, 3, 0, 0, true};

int model_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guard<int>(-1, [&]() -> int {
        State& s = state();
        PyObject* a[3];
        if (!py::parse_tuple(kInit, args, kwargs, a)) return -1;
        Ref worlds(!a[0] || a[0] == Py_None ? PyList_New(0) : PySequence_List(a[0]));
        if (!worlds || PyObject_SetAttr(self, s.s_worlds, worlds.get()) < 0) return -1;
        Ref relations(copy_mapping(a[1]));
        if (!relations || PyObject_SetAttr(self, s.s_relations, relations.get()) < 0) return -1;
        Ref valuations(copy_mapping(a[2]));
        if (!valuations || PyObject_SetAttr(self, s.s_valuations, valuations.get()) < 0) return -1;
        return 0;
    });
}

int model_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<ModelObject*>(self)->dict);
    return 0;
}

int model_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<ModelObject*>(self)->dict);
    return 0;
}

void model_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (reinterpret_cast<ModelObject*>(self)->weakrefs) PyObject_ClearWeakRefs(self);
    model_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// The string form is whatever self.to_string() gives, an override's too.
PyObject* model_str(PyObject* self) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        int own = is_own(self, Method::ToString);
        if (own < 0) return nullptr;
        if (own) return to_string(self);
        return PyObject_CallMethodNoArgs(self, state().method_names[static_cast<int>(Method::ToString)]);
    });
}

// Method wrappers: parse as a Python method would, then delegate.
template <int N>
struct Parsed {
    PyObject* a[N > 0 ? N : 1];
};

#define QUORVEL_METHOD(fn, sig, n, body)                                                          \
    PyObject* fn(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {  \
        return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {                                 \
            Parsed<n> p;                                                                          \
            if (!py::parse_vector(sig, args, PyVectorcall_NARGS(nargs), kwnames, p.a)) return nullptr; \
            PyObject** a = p.a;                                                                   \
            (void)a;                                                                              \
            body                                                                                  \
        });                                                                                       \
    }

PyObject* none_or_null(int r) {
    if (r < 0) return nullptr;
    Py_RETURN_NONE;
}
PyObject* bool_or_null(int r) {
    if (r < 0) return nullptr;
    return Py_NewRef(r ? Py_True : Py_False);
}

const char* const kWorld[] = {"world"};
const char* const kEdge[] = {"source", "target"};
const char* const kWorldFormula[] = {"world", "formula"};
const char* const kFormulaWorld[] = {"formula", "world"};
const py::Signature kAddWorld{"KripkeModel.add_world", kWorld, 1, 1, 0, true};
const py::Signature kAddRelation{"KripkeModel.add_relation", kEdge, 2, 2, 0, true};
const py::Signature kClosure{"KripkeModel._compute_transitive_closure", nullptr, 0, 0, 0, true};
const py::Signature kMonotonicity{"KripkeModel._enforce_monotonicity", nullptr, 0, 0, 0, true};
const py::Signature kAddValuation{"KripkeModel.add_valuation", kWorldFormula, 2, 2, 0, true};
const py::Signature kIsAccessible{"KripkeModel.is_accessible", kEdge, 2, 2, 0, true};
const py::Signature kAccessible{"KripkeModel.accessible_worlds", kWorld, 1, 1, 0, true};
const py::Signature kEvaluate{"KripkeModel.evaluate", kFormulaWorld, 2, 2, 0, true};
const py::Signature kToDict{"KripkeModel.to_dict", nullptr, 0, 0, 0, true};
const py::Signature kToString{"KripkeModel.to_string", nullptr, 0, 0, 0, true};

QUORVEL_METHOD(m_add_world, kAddWorld, 1, { return none_or_null(add_world(self, a[0])); })
QUORVEL_METHOD(m_add_relation, kAddRelation, 2, { return none_or_null(add_relation(self, a[0], a[1])); })
QUORVEL_METHOD(m_closure, kClosure, 0, { return none_or_null(compute_transitive_closure(self)); })
QUORVEL_METHOD(m_monotonicity, kMonotonicity, 0, { return none_or_null(enforce_monotonicity(self)); })
QUORVEL_METHOD(m_add_valuation, kAddValuation, 2, { return none_or_null(add_valuation(self, a[0], a[1])); })
QUORVEL_METHOD(m_is_accessible, kIsAccessible, 2, { return bool_or_null(is_accessible(self, a[0], a[1])); })
QUORVEL_METHOD(m_accessible_worlds, kAccessible, 1, { return accessible_worlds(self, a[0]); })
QUORVEL_METHOD(m_evaluate, kEvaluate, 2, { return bool_or_null(evaluate(self, a[0], a[1])); })
QUORVEL_METHOD(m_to_dict, kToDict, 0, { return to_dict(self); })
QUORVEL_METHOD(m_to_string, kToString, 0, { return to_string(self); })

#undef QUORVEL_METHOD

template <auto F>
PyCFunction fastcall() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(F));
}
constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"add_world", fastcall<m_add_world>(), kFast,
     R"doc(add_world(self, world)
--

Adds `world` to `worlds` unless an equal world is there, makes it its own
successor and gives it a valuation entry (an empty set) if it has none.)doc"},
    {"add_relation", fastcall<m_add_relation>(), kFast,
     R"doc(add_relation(self, source, target)
--

Adds both worlds, the edge source <= target, and then makes the relation
reflexive and transitive and the valuation monotone again over all worlds.)doc"},
    {"_compute_transitive_closure", fastcall<m_closure>(), kFast,
     "_compute_transitive_closure(self)\n--\n\nMakes every world of `worlds` its own successor and closes its successor\n"
     "set under the relation."},
    {"_enforce_monotonicity", fastcall<m_monotonicity>(), kFast,
     "_enforce_monotonicity(self)\n--\n\nCarries every formula true at a world of `worlds` to all its successors,\n"
     "until nothing changes."},
    {"add_valuation", fastcall<m_add_valuation>(), kFast,
     R"doc(add_valuation(self, world, formula)
--

Adds `world`, makes `formula` true there and at every world it reaches now.)doc"},
    {"is_accessible", fastcall<m_is_accessible>(), kFast,
     "is_accessible(self, source, target)\n--\n\nWhether source <= target; a world without an entry reaches nothing."},
    {"accessible_worlds", fastcall<m_accessible_worlds>(), kFast,
     "accessible_worlds(self, world)\n--\n\nA new set of the successors of `world`; {world} when it has no entry."},
    {"evaluate", fastcall<m_evaluate>(), kFast,
     R"doc(evaluate(self, formula, world)
--

Whether `world` forces `formula` in intuitionistic Kripke semantics.

Falsum is forced nowhere and verum everywhere; an atom where the valuation
holds it; Not and Implies quantify over accessible_worlds(world); And, Or and
Iff are decided at the world. Anything else is not forced. The model is not
changed. Sub-results are memoised within the call.)doc"},
    {"to_dict", fastcall<m_to_dict>(), kFast,
     R"doc(to_dict(self)
--

{"worlds": [names], "relations": {name: sorted successor names},
"valuations": {name: sorted formula texts}}, for the worlds of `worlds`.)doc"},
    {"to_string", fastcall<m_to_string>(), kFast,
     "to_string(self)\n--\n\nThe model as a multi-line text (also its string form)."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef kMembers[] = {
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(ModelObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(ModelObject, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kDoc[] = R"doc(KripkeModel(worlds=None, relations=None, valuations=None)
--

A finite Kripke model (W, <=, V) of intuitionistic propositional logic.

`worlds` (list of worlds), `relations` (dict: world -> set of successors) and
`valuations` (dict: world -> set of true formulas) are plain attributes that
callers may read and change; the operations read them on every call. The
constructor copies what it is given and establishes nothing: the first
add_relation makes the relation reflexive and transitive and the valuation
monotone.)doc";

}  // namespace

bool create_model_type(PyObject* module) {
    State& s = state();
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
        {Py_tp_init, reinterpret_cast<void*>(model_init)},
        {Py_tp_dealloc, reinterpret_cast<void*>(model_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(model_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(model_clear)},
        {Py_tp_str, reinterpret_cast<void*>(model_str)},
        {Py_tp_methods, kMethods},
        {Py_tp_members, kMembers},
        {Py_tp_getset, kGetSet},
        {Py_tp_doc, const_cast<char*>(kDoc)},
        {0, nullptr},
    };
    PyType_Spec type_spec{"quorvel.constructive.kripke.KripkeModel", sizeof(ModelObject), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &type_spec, nullptr));
    if (!type) return false;
    s.api.model_type = type;
    type->tp_name = "KripkeModel";  // as a Python class names itself in error messages
    const char* names[] = {"add_world", "_compute_transitive_closure", "_enforce_monotonicity", "accessible_worlds",
                           "evaluate", "to_string"};
    for (int i = 0; i < static_cast<int>(Method::Count); ++i) {
        s.method_names[i] = PyUnicode_InternFromString(names[i]);
        if (!s.method_names[i]) return false;
        s.own_methods[i] = PyDict_GetItemWithError(type->tp_dict, s.method_names[i]);  // kept alive by the type
        if (!s.own_methods[i]) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_SystemError, "KripkeModel lacks %s", names[i]);
            return false;
        }
    }
    return PyModule_AddObjectRef(module, "KripkeModel", reinterpret_cast<PyObject*>(type)) == 0;
}

}  // namespace quorvel::kripke
