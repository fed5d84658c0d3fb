// _BranchState: the worlds, edges, signed formulas and applied-rule keys of
// one branch, as live Python containers, with the five operations that grow
// it. Used by the Python-level expansion (step.cpp) and by callers; the
// native search keeps its own state (search.h).
#include "quorvel/constructive/tableau/mutable_record.h"
#include "quorvel/constructive/tableau/records.h"

namespace quorvel::tableau {
namespace {

const char* const kFieldNames[] = {"worlds", "relations", "t_formulas", "f_formulas", "applied_rules"};
const Default kDefaults[] = {Default::NewList, Default::NewDict, Default::NewDict, Default::NewDict, Default::NewSet};
constexpr RecordDesc kDesc{kFieldNames, kDefaults, kBranchFields,
                           py::Signature{"_BranchState.__init__", kFieldNames, kBranchFields, 0, 0, true}};

const char* const kWorldParam[] = {"world"};
const char* const kRelationParams[] = {"source", "target"};
const char* const kFormulaParams[] = {"world", "formula"};
const py::Signature kAddWorld{"_BranchState.add_world", kWorldParam, 1, 1, 0, true};
const py::Signature kAddRelation{"_BranchState.add_relation", kRelationParams, 2, 2, 0, true};
const py::Signature kAddTrue{"_BranchState.add_t_formula", kFormulaParams, 2, 2, 0, true};
const py::Signature kAddFalse{"_BranchState.add_f_formula", kFormulaParams, 2, 2, 0, true};

PyObject* empty_frozenset() {
    static PyObject* e = PyFrozenSet_New(nullptr);
    return e;
}

// {k: set(v) for k, v in mapping.items()}
Ref copy_mapping_of_sets(PyObject* mapping) {
    Ref out(PyDict_New());
    if (!out) return Ref();
    Ref items(PyMapping_Items(mapping));
    if (!items) return Ref();
    Ref seq(PySequence_Fast(items.get(), "items() must return an iterable"));
    if (!seq) return Ref();
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        Ref k, v;
        if (!unpack_pair(PySequence_Fast_GET_ITEM(seq.get(), i), k, v)) return Ref();
        Ref s(PySet_New(v.get()));
        if (!s || PyDict_SetItem(out.get(), k.get(), s.get()) < 0) return Ref();
    }
    return out;
}

PyObject* make_state(PyObject* const* fields) {
    PyTypeObject* type = state().branch_state_type;
    PyObject* o = type->tp_alloc(type, 0);
    if (!o) return nullptr;
    for (int i = 0; i < kBranchFields; ++i) as_branch(o)->fields[i] = Py_NewRef(fields[i]);
    return o;
}

Ref native_copy(PyObject* self) {
    Ref f[kBranchFields];
    for (int i = 0; i < kBranchFields; ++i)
        if (!(f[i] = branch_get(self, static_cast<BranchField>(i)))) return Ref();
    Ref worlds(PySequence_List(f[kWorlds].get()));
    if (!worlds) return Ref();
    Ref relations = copy_mapping_of_sets(f[kRelations].get());
    if (!relations) return Ref();
    Ref t = copy_mapping_of_sets(f[kTrue].get());
    if (!t) return Ref();
    Ref fl = copy_mapping_of_sets(f[kFalse].get());
    if (!fl) return Ref();
    Ref applied(PySet_New(f[kApplied].get()));
    if (!applied) return Ref();
    PyObject* fields[] = {worlds.get(), relations.get(), t.get(), fl.get(), applied.get()};
    return Ref(make_state(fields));
}

// if key not in mapping: mapping[key] = make()
template <class Make>
bool ensure_entry(PyObject* mapping, PyObject* key, Make make) {
    int has = contains(mapping, key);
    if (has < 0) return false;
    if (has) return true;
    Ref v = make();
    return v && PyObject_SetItem(mapping, key, v.get()) == 0;
}

bool native_add_world(PyObject* self, PyObject* world) {
    Ref worlds = branch_get(self, kWorlds);
    if (!worlds) return false;
    int has = contains(worlds.get(), world);
    if (has < 0 || (!has && !list_append(worlds.get(), world))) return false;
    Ref relations = branch_get(self, kRelations);
    if (!relations || !ensure_entry(relations.get(), world, [&] {
            Ref s(PySet_New(nullptr));
            if (s && PySet_Add(s.get(), world) < 0) return Ref();
            return s;
        }))
        return false;
    for (BranchField f : {kTrue, kFalse}) {
        Ref m = branch_get(self, f);
        if (!m || !ensure_entry(m.get(), world, [] { return Ref(PySet_New(nullptr)); })) return false;
    }
    return true;
}

bool native_add_relation(PyObject* self, PyObject* source, PyObject* target) {
    if (!branch_add_world(self, source) || !branch_add_world(self, target)) return false;
    Ref relations = branch_get(self, kRelations);
    if (!relations) return false;
    {
        Ref succ(PyObject_GetItem(relations.get(), source));
        if (!succ || !set_add(succ.get(), target)) return false;
    }
    Ref worlds_field = branch_get(self, kWorlds);
    if (!worlds_field) return false;
    Ref worlds = snapshot(worlds_field.get());
    if (!worlds) return false;
    Py_ssize_t n = PyList_GET_SIZE(worlds.get());
    // Every world that sees the source sees the target.
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* u = PyList_GET_ITEM(worlds.get(), i);
        Ref succ = mapping_get(relations.get(), u, empty_frozenset());
        if (!succ) return false;
        int sees = contains(succ.get(), source);
        if (sees < 0) return false;
        if (sees) {
            Ref entry(PyObject_GetItem(relations.get(), u));
            if (!entry || !set_add(entry.get(), target)) return false;
        }
    }
    // The target receives what is true at every other world that sees it.
    Ref t = branch_get(self, kTrue);
    if (!t) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* u = PyList_GET_ITEM(worlds.get(), i);
        Ref succ = mapping_get(relations.get(), u, empty_frozenset());
        if (!succ) return false;
        int sees = contains(succ.get(), target);
        if (sees < 0) return false;
        if (!sees) continue;
        int ne = PyObject_RichCompareBool(u, target, Py_NE);
        if (ne < 0) return false;
        if (!ne) continue;
        Ref at_u = mapping_get(t.get(), u, empty_frozenset());
        if (!at_u) return false;
        Ref formulas = snapshot(at_u.get());
        if (!formulas) return false;
        Ref at_target(PyObject_GetItem(t.get(), target));
        if (!at_target) return false;
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(formulas.get()); ++k)
            if (!set_add(at_target.get(), PyList_GET_ITEM(formulas.get(), k))) return false;
    }
    return true;
}

bool native_add_true(PyObject* self, PyObject* world, PyObject* formula) {
    if (!branch_add_world(self, world)) return false;
    Ref t = branch_get(self, kTrue);
    if (!t) return false;
    {
        Ref at(PyObject_GetItem(t.get(), world));
        if (!at || !set_add(at.get(), formula)) return false;
    }
    Ref relations = branch_get(self, kRelations);
    if (!relations) return false;
    Ref succ_set(PyObject_GetItem(relations.get(), world));
    if (!succ_set) return false;
    Ref succ = snapshot(succ_set.get());
    if (!succ) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(succ.get()); ++i) {
        PyObject* s = PyList_GET_ITEM(succ.get(), i);
        if (!ensure_entry(t.get(), s, [] { return Ref(PySet_New(nullptr)); })) return false;
        Ref at(PyObject_GetItem(t.get(), s));
        if (!at || !set_add(at.get(), formula)) return false;
    }
    return true;
}

bool native_add_false(PyObject* self, PyObject* world, PyObject* formula) {
    if (!branch_add_world(self, world)) return false;
    Ref f = branch_get(self, kFalse);
    if (!f) return false;
    Ref at(PyObject_GetItem(f.get(), world));
    return at && set_add(at.get(), formula);
}

PyObject* none_or_null(bool ok) { return ok ? Py_NewRef(Py_None) : nullptr; }

PyObject* m_copy(PyObject* self, PyObject*) {
    return py::guard<PyObject*>(nullptr, [&] { return native_copy(self).release(); });
}

PyObject* m_add_world(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* p[1];
        if (!py::parse_vector(kAddWorld, args, PyVectorcall_NARGS(nargs), kwnames, p)) return nullptr;
        return none_or_null(native_add_world(self, p[0]));
    });
}

PyObject* m_add_relation(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* p[2];
        if (!py::parse_vector(kAddRelation, args, PyVectorcall_NARGS(nargs), kwnames, p)) return nullptr;
        return none_or_null(native_add_relation(self, p[0], p[1]));
    });
}

PyObject* m_add_true(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* p[2];
        if (!py::parse_vector(kAddTrue, args, PyVectorcall_NARGS(nargs), kwnames, p)) return nullptr;
        return none_or_null(native_add_true(self, p[0], p[1]));
    });
}

PyObject* m_add_false(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* p[2];
        if (!py::parse_vector(kAddFalse, args, PyVectorcall_NARGS(nargs), kwnames, p)) return nullptr;
        return none_or_null(native_add_false(self, p[0], p[1]));
    });
}

#define FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f)), METH_FASTCALL | METH_KEYWORDS

PyMethodDef kMethods[] = {
    QUORVEL_RECORD_PICKLING(kDesc),
    {"copy", m_copy, METH_NOARGS,
     "copy(self)\n--\n\nA new, independent state: new containers holding the same worlds, formulas and keys."},
    {"add_world", FASTCALL(m_add_world),
     "add_world(self, world)\n--\n\nRegisters `world` (once) with itself as successor and empty formula sets."},
    {"add_relation", FASTCALL(m_add_relation),
     R"doc(add_relation(self, source, target)
--

Adds the edge source <= target: every world that sees `source` sees
`target`, and `target` receives the formulas true at the worlds that see it.)doc"},
    {"add_t_formula", FASTCALL(m_add_true),
     "add_t_formula(self, world, formula)\n--\n\nSigns `formula` true at `world` and at its current successors."},
    {"add_f_formula", FASTCALL(m_add_false),
     "add_f_formula(self, world, formula)\n--\n\nSigns `formula` false at `world` only."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef kMembers[kBranchFields + 3];

}  // namespace

Ref branch_get(PyObject* s, BranchField f) {
    if (is_exact_branch_state(s) && as_branch(s)->fields[f]) return Ref::borrow(as_branch(s)->fields[f]);
    return Ref(PyObject_GetAttrString(s, kFieldNames[f]));
}

PyObject* new_branch_state() {
    Ref f[kBranchFields] = {Ref(PyList_New(0)), Ref(PyDict_New()), Ref(PyDict_New()), Ref(PyDict_New()),
                            Ref(PySet_New(nullptr))};
    for (auto& r : f)
        if (!r) return nullptr;
    PyObject* fields[] = {f[0].get(), f[1].get(), f[2].get(), f[3].get(), f[4].get()};
    return make_state(fields);
}

Ref branch_copy(PyObject* s) {
    if (is_exact_branch_state(s)) return native_copy(s);
    return call_method(s, names().copy);
}

bool branch_add_world(PyObject* s, PyObject* world) {
    if (is_exact_branch_state(s)) return native_add_world(s, world);
    return static_cast<bool>(call_method(s, names().add_world, world));
}

bool branch_add_relation(PyObject* s, PyObject* source, PyObject* target) {
    if (is_exact_branch_state(s)) return native_add_relation(s, source, target);
    return static_cast<bool>(call_method(s, names().add_relation, source, target));
}

bool branch_add_true(PyObject* s, PyObject* world, PyObject* formula) {
    if (is_exact_branch_state(s)) return native_add_true(s, world, formula);
    return static_cast<bool>(call_method(s, names().add_t_formula, world, formula));
}

bool branch_add_false(PyObject* s, PyObject* world, PyObject* formula) {
    if (is_exact_branch_state(s)) return native_add_false(s, world, formula);
    return static_cast<bool>(call_method(s, names().add_f_formula, world, formula));
}

PyTypeObject* make_branch_state_type() {
    fill_record_members(kDesc, kMembers);
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
        {Py_tp_init, reinterpret_cast<void*>(record_init<kDesc>)},
        {Py_tp_dealloc, reinterpret_cast<void*>(record_dealloc<kDesc>)},
        {Py_tp_traverse, reinterpret_cast<void*>(record_traverse<kDesc>)},
        {Py_tp_clear, reinterpret_cast<void*>(record_clear<kDesc>)},
        {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
        {Py_tp_richcompare, reinterpret_cast<void*>(record_richcompare<kDesc>)},
        {Py_tp_repr, reinterpret_cast<void*>(record_repr<kDesc>)},
        {Py_tp_members, kMembers},
        {Py_tp_getset, kInstanceDict},
        {Py_tp_methods, kMethods},
        {Py_tp_doc, const_cast<char*>(R"doc(_BranchState(worlds=<new list>, relations=<new dict>, t_formulas=<new dict>, f_formulas=<new dict>, applied_rules=<new set>)
--

The partial Kripke model of one tableau branch: its worlds in registration
order, each world's successors (itself included), the formulas signed true
and false at each world, and the applied-rule keys.)doc")},
        {0, nullptr},
    };
    PyType_Spec type_spec{"quorvel.constructive.tableau._BranchState", record_basicsize(kBranchFields), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    if (type && !set_match_args(type, kDesc)) Py_CLEAR(type);
    return type;
}

}  // namespace quorvel::tableau
