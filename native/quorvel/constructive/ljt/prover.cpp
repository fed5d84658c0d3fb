// LJTProver and prove_ljt: normalisation of the question, the initial
// sequent, and the two ways `_search` answers.
//
// The native way lowers the sequent once, searches on interned formulas and
// builds Python objects only for the derivation it returns. It is taken when
// `self._search` is this very method, so the recursive calls the search
// makes by name cannot be observed, and when the sequent holds no
// connective of a Python subclass (the arena would equate it with the base
// class node, which Python equality does not). Otherwise `_search` applies
// one rule on the Python objects themselves and asks `self._search` for each
// premise, exactly as the calculus is written.
#include <vector>

#include "quorvel/constructive/ljt/state.h"
#include "quorvel/core/ast/api.h"
#include "quorvel/support/py/args.h"
#include "quorvel/support/py/constructive.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/lower.h"
#include "quorvel/support/py/ref.h"

namespace quorvel::ljt {
namespace {

using ast::Kind;
using py::Ref;

const char* const kProveParams[] = {"target", "premises"};
const char* const kProveLjtParams[] = {"formula", "premises"};
const char* const kSearchParams[] = {"seq"};
const py::Signature kProve{"LJTProver.prove", kProveParams, 2, 1, 0, true};
const py::Signature kIsProvable{"LJTProver.is_provable", kProveParams, 2, 1, 0, true};
const py::Signature kSearch{"LJTProver._search", kSearchParams, 1, 1, 0, true};
const py::Signature kProveLjt{"prove_ljt", kProveLjtParams, 2, 1, 0, false};

constexpr const char* kPremisesType = "premises must be a list or tuple of formulas, not ";

PyObject* search_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* prove_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Whether `self.<name>` is the native method `fn` bound to `self`.
int is_own_method(PyObject* self, PyObject* name, void* fn, Ref& bound) {
    bound = Ref(PyObject_GetAttr(self, name));
    if (!bound) return -1;
    PyObject* b = bound.get();
    return PyCFunction_Check(b) && PyCFunction_GET_SELF(b) == self &&
           reinterpret_cast<void*>(PyCFunction_GET_FUNCTION(b)) == fn;
}

bool is_kind(PyObject* o, Kind k) { return ast::kind_of(o) == k; }

// ---- one rule on Python objects ----

// One step of the plain search: the first rule that applies to the sequent,
// with every premise searched through self._search.
class OneRule {
public:
    OneRule(PyObject* self, PyObject* seq, PyObject* ants, PyObject* goal)
        : self_(self), seq_(seq), ants_(ants), goal_(goal) {}

    PyObject* run() {
        PyObject* g = goal_;
        int r = py::is_verum(g);
        if (r) return r < 0 ? nullptr : leaf(Rule::RTop);
        for (Py_ssize_t i = 0; i < n(); ++i) {
            r = py::is_falsum(at(i));
            if (r) return r < 0 ? nullptr : leaf(Rule::LBot);
        }
        r = contains(g);
        if (r) return r < 0 ? nullptr : leaf(Rule::Ax);

        if (is_kind(g, Kind::Implies)) return commit(Rule::RImp, -1);
        if (is_kind(g, Kind::And)) return commit(Rule::RAnd, -1);
        for (Py_ssize_t i = 0; i < n(); ++i)
            if (is_kind(at(i), Kind::And)) return commit(Rule::LAnd, i);
        for (Py_ssize_t i = 0; i < n(); ++i)
            if (is_kind(at(i), Kind::Or)) return commit(Rule::LOr, i);
        for (Py_ssize_t i = 0; i < n(); ++i) {
            if (!is_kind(at(i), Kind::Implies)) continue;
            PyObject* x = ast::as_binary(at(i))->left;
            int takes = 0;
            if (py::is_atomic(x)) takes = contains(x);
            // ⊤ → B is B, whether or not ⊤ stands among the antecedents.
            if (takes == 0) takes = py::is_verum(x);
            if (takes < 0) return nullptr;
            if (takes) return commit(Rule::LImpAtom, i);
        }
        for (Py_ssize_t i = 0; i < n(); ++i)
            if (is_kind(at(i), Kind::Implies) && is_kind(ast::as_binary(at(i))->left, Kind::And))
                return commit(Rule::LImpAnd, i);
        for (Py_ssize_t i = 0; i < n(); ++i)
            if (is_kind(at(i), Kind::Implies) && is_kind(ast::as_binary(at(i))->left, Kind::Or))
                return commit(Rule::LImpOr, i);
        if (is_kind(g, Kind::Or)) {
            for (Rule rule : {Rule::ROr1, Rule::ROr2}) {
                Ref p;
                if (!search(rule, 0, -1, p)) return nullptr;
                if (p.get() != Py_None) return node(rule, {p.get()});
            }
        }
        for (Py_ssize_t i = 0; i < n(); ++i) {
            if (!is_kind(at(i), Kind::Implies) || !is_kind(ast::as_binary(at(i))->left, Kind::Implies)) continue;
            Ref first, second;
            if (!search(Rule::LImpImp, 0, i, first)) return nullptr;
            if (first.get() == Py_None) continue;
            if (!search(Rule::LImpImp, 1, i, second)) return nullptr;
            if (second.get() == Py_None) continue;
            return node(Rule::LImpImp, {first.get(), second.get()});
        }
        Py_RETURN_NONE;
    }

private:
    Py_ssize_t n() const { return PySequence_Fast_GET_SIZE(ants_); }
    PyObject* at(Py_ssize_t i) const { return PySequence_Fast_GET_ITEM(ants_, i); }

    int contains(PyObject* x) {
        for (Py_ssize_t i = 0; i < n(); ++i) {
            int eq = PyObject_RichCompareBool(at(i), x, Py_EQ);
            if (eq) return eq;
        }
        return 0;
    }

    // Searches premise k of `rule` through self._search; false on error.
    bool search(Rule rule, int k, Py_ssize_t pos, Ref& out) {
        Ref premise(premise_sequent(rule, k, PySequence_Fast_ITEMS(ants_), n(), goal_, pos, false));
        if (!premise) return false;
        out = Ref(PyObject_CallMethodOneArg(self_, state().s_search, premise.get()));
        return bool(out);
    }

    // An invertible rule: its premises alone decide.
    PyObject* commit(Rule rule, Py_ssize_t pos) {
        Ref found[2];
        int np = premise_count(rule);
        for (int k = 0; k < np; ++k) {
            if (!search(rule, k, pos, found[k])) return nullptr;
            if (found[k].get() == Py_None) return found[k].release();
        }
        return np == 1 ? node(rule, {found[0].get()}) : node(rule, {found[0].get(), found[1].get()});
    }

    PyObject* leaf(Rule rule) { return node(rule, {}); }

    PyObject* node(Rule rule, std::initializer_list<PyObject*> premises) {
        Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(premises.size())));
        if (!tuple) return nullptr;
        Py_ssize_t i = 0;
        for (PyObject* p : premises) PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(p));
        return new_node(seq_, state().rule_names[static_cast<int>(rule)], tuple.get());
    }

    PyObject* self_;
    PyObject* seq_;
    PyObject* ants_;  // list or tuple
    PyObject* goal_;
};

// ---- _search ----

PyObject* search_impl(PyObject* self, PyObject* seq) {
    // Γ and G, as the calculus reads them: the antecedents first.
    Ref ants, goal;
    if (is_sequent(seq)) {
        ants = Ref::borrow(sequent_antecedents(seq));
        goal = Ref::borrow(sequent_succedent(seq));
    } else {
        Ref a(PyObject_GetAttr(seq, state().s_antecedents));
        if (!a) return nullptr;
        ants = Ref(PySequence_List(a.get()));
        if (!ants) return nullptr;
        goal = Ref(PyObject_GetAttr(seq, state().s_succedent));
        if (!goal) return nullptr;
    }
    Ref bound;
    int own = is_own_method(self, state().s_search, reinterpret_cast<void*>(search_method), bound);
    if (own < 0) return nullptr;

    if (own) {
        FormulaArena arena;
        py::Lowering lowering(arena);
        std::vector<FormulaId> ids(static_cast<size_t>(PySequence_Fast_GET_SIZE(ants.get())));
        for (size_t i = 0; i < ids.size(); ++i)
            if (!lowering.lower(PySequence_Fast_GET_ITEM(ants.get(), static_cast<Py_ssize_t>(i)), ids[i]))
                return nullptr;
        FormulaId g;
        if (!lowering.lower(goal.get(), g)) return nullptr;
        if (!lowering.saw_subclass()) {
            std::vector<uint8_t> opaque_atomic(lowering.opaque_count());
            for (uint32_t k = 0; k < lowering.opaque_count(); ++k)
                opaque_atomic[k] = py::is_atomic(lowering.opaque_object(k));
            Search search(arena, std::move(opaque_atomic), poll_signals, nullptr);
            switch (search.run(ids, g)) {
                case Search::Outcome::Interrupted: return nullptr;
                case Search::Outcome::Unprovable: Py_RETURN_NONE;
                case Search::Outcome::Proved: break;
            }
            return build_derivation(search.steps(), seq, PySequence_Fast_ITEMS(ants.get()),
                                    PySequence_Fast_GET_SIZE(ants.get()), goal.get(), lowering.acyclic());
        }
    }
    // One rule here; every premise goes through self._search again.
    if (Py_EnterRecursiveCall(" in LJT search")) return nullptr;
    PyObject* result = PyErr_CheckSignals() < 0 ? nullptr : OneRule(self, seq, ants.get(), goal.get()).run();
    Py_LeaveRecursiveCall();
    return result;
}

// ---- prove ----

PyObject* prove_impl(PyObject* self, PyObject* target, PyObject* premises) {
    Ref normal_target(py::normalize_formula(target));
    if (!normal_target) return nullptr;
    Ref antecedents;
    if (!premises || premises == Py_None) {
        antecedents = Ref::borrow(state().empty_tuple);
    } else if (PyList_Check(premises) || PyTuple_Check(premises)) {
        // Read item by item: a normalisation that runs user code may
        // change a list meanwhile, and iteration sees that.
        Ref list(PyList_New(0));
        if (!list) return nullptr;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(premises); ++i) {
            Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(premises, i));
            Ref normal(py::normalize_formula(item.get()));
            if (!normal || PyList_Append(list.get(), normal.get()) < 0) return nullptr;
        }
        antecedents = Ref(PyList_AsTuple(list.get()));
        if (!antecedents) return nullptr;
    } else {
        PyErr_Format(PyExc_TypeError, "%s%s", kPremisesType, Py_TYPE(premises)->tp_name);
        return nullptr;
    }
    Ref seq(new_sequent(antecedents.get(), normal_target.get()));
    if (!seq) return nullptr;

    Ref bound, root;
    int own = is_own_method(self, state().s_search, reinterpret_cast<void*>(search_method), bound);
    if (own < 0) return nullptr;
    root = Ref(own ? search_impl(self, seq.get()) : PyObject_CallOneArg(bound.get(), seq.get()));
    if (!root) return nullptr;
    if (root.get() == Py_None) return root.release();
    return new_tree(root.get());
}

PyObject* prove_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* p[2];
        if (!py::parse_vector(kProve, args, nargs, kwnames, p)) return nullptr;
        return prove_impl(self, p[0], p[1]);
    });
}

PyObject* is_provable_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* p[2];
        if (!py::parse_vector(kIsProvable, args, nargs, kwnames, p)) return nullptr;
        PyObject* premises = p[1] ? p[1] : Py_None;
        Ref bound;
        int own = is_own_method(self, state().s_prove, reinterpret_cast<void*>(prove_method), bound);
        if (own < 0) return nullptr;
        Ref tree;
        if (own) {
            tree = Ref(prove_impl(self, p[0], premises));
        } else {
            PyObject* call_args[] = {p[0], premises};
            tree = Ref(PyObject_Vectorcall(bound.get(), call_args, 2, nullptr));
        }
        if (!tree) return nullptr;
        return PyBool_FromLong(tree.get() != Py_None);
    });
}

PyObject* search_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* p[1];
        if (!py::parse_vector(kSearch, args, nargs, kwnames, p)) return nullptr;
        return search_impl(self, p[0]);
    });
}

PyObject* prove_ljt(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* p[2];
        if (!py::parse_vector(kProveLjt, args, nargs, kwnames, p)) return nullptr;
        Ref prover(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(state().prover_type)));
        if (!prover) return nullptr;
        return prove_impl(prover.get(), p[0], p[1]);
    });
}

template <class F>
PyCFunction fastcall(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef kProverMethods[] = {
    {"prove", fastcall(prove_method), METH_FASTCALL | METH_KEYWORDS,
     "prove($self, /, target, premises=None)\n--\n\n"
     "Searches an LJT derivation of `target` from `premises`.\n\n"
     "Args:\n"
     "    target: the formula to prove.\n"
     "    premises: a list or tuple of hypotheses, or None for none.\n\n"
     "Returns:\n"
     "    An LJTProofTree whose root sequent holds the normalized premises and\n"
     "    target, or None when the target does not follow.\n\n"
     "Raises:\n"
     "    TypeError: premises that are neither a list nor a tuple (nor None).\n"
     "    MemoryError: the search ran out of memory."},
    {"is_provable", fastcall(is_provable_method), METH_FASTCALL | METH_KEYWORDS,
     "is_provable($self, /, target, premises=None)\n--\n\n"
     "True exactly when prove(target, premises) returns a tree."},
    {"_search", fastcall(search_method), METH_FASTCALL | METH_KEYWORDS,
     "_search($self, /, seq)\n--\n\n"
     "The backward search on one sequent: the root LJTProofNode of a derivation,\n"
     "or None when the sequent has none."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef kProveLjtDef = {
    "prove_ljt", fastcall(prove_ljt), METH_FASTCALL | METH_KEYWORDS,
    "prove_ljt(formula, premises=None)\n--\n\n"
    "LJTProver().prove(formula, premises): an LJTProofTree, or None when the\n"
    "formula does not follow from the premises."};

// object() refuses arguments unless a subclass defines __init__; the
// message names the class as Python names it.
PyObject* prover_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    bool excess = (args && PyTuple_GET_SIZE(args)) || (kwargs && PyDict_GET_SIZE(kwargs));
    if (excess && type->tp_init == PyBaseObject_Type.tp_init) {
        Ref name(PyType_GetName(type));
        if (name) PyErr_Format(PyExc_TypeError, "%U() takes no arguments", name.get());
        return nullptr;
    }
    return type->tp_alloc(type, 0);
}

}  // namespace

bool poll_signals(void*) { return PyErr_CheckSignals() != 0; }

bool create_prover(PyObject* module) {
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(prover_new)},
        {Py_tp_methods, kProverMethods},
        {Py_tp_doc, const_cast<char*>("LJTProver()\n--\n\n"
                                      "Backward proof search in the contraction-free sequent calculus LJT\n"
                                      "(G4ip) for intuitionistic propositional logic. Holds no state.")},
        {0, nullptr},
    };
    PyType_Spec type_spec{"quorvel.constructive.ljt.LJTProver", sizeof(PyObject), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};
    State& st = state();
    st.prover_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &type_spec, nullptr));
    if (!st.prover_type || PyModule_AddObjectRef(module, "LJTProver", reinterpret_cast<PyObject*>(st.prover_type)) < 0)
        return false;
    Ref name(PyUnicode_FromString("quorvel.constructive.ljt"));
    if (!name) return false;
    Ref fn(PyCFunction_NewEx(&kProveLjtDef, nullptr, name.get()));
    return fn && PyModule_AddObjectRef(module, "prove_ljt", fn.get()) == 0;
}

}  // namespace quorvel::ljt
