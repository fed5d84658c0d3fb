// Premise sequents of the LJT rules on Python objects, and the Python
// derivation of a search result. Premises keep the conclusion's own formula
// objects (an antecedent passed on, a part of the goal or of the principal
// formula); only the implications that "L_Imp_And", "L_Imp_Or" and
// "L_Imp_Imp" build are new.
#include <vector>

#include "quorvel/constructive/ljt/state.h"
#include "quorvel/core/ast/api.h"
#include "quorvel/support/py/ref.h"

namespace quorvel::ljt {
namespace {

using py::Ref;

// Objects built over parts that reach nothing mutable can join no reference
// cycle; leaving them to the collector would have it walk a derivation of
// perhaps millions of nodes at every full collection.
PyObject* untracked(PyObject* o, bool untrack) {
    if (o && untrack && PyObject_GC_IsTracked(o)) PyObject_GC_UnTrack(o);
    return o;
}

PyObject* implies(PyObject* left, PyObject* right, bool untrack) {
    const ast::Api& a = ast::api();
    return untracked(a.new_binary(a.types[static_cast<int>(ast::Kind::Implies)], left, right), untrack);
}

PyObject* left_of(PyObject* f) { return ast::as_binary(f)->left; }
PyObject* right_of(PyObject* f) { return ast::as_binary(f)->right; }

// A new Sequent: the antecedents without position `skip` (-1: none), then
// `extra`, ⊢ goal.
PyObject* sequent_of(PyObject* const* ants, Py_ssize_t n, Py_ssize_t skip, std::initializer_list<PyObject*> extra,
                     PyObject* goal, bool untrack) {
    Py_ssize_t size = n - (skip >= 0 ? 1 : 0) + static_cast<Py_ssize_t>(extra.size());
    Ref tuple(PyTuple_New(size));
    if (!tuple) return nullptr;
    Py_ssize_t j = 0;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (i != skip) PyTuple_SET_ITEM(tuple.get(), j++, Py_NewRef(ants[i]));
    for (PyObject* e : extra) PyTuple_SET_ITEM(tuple.get(), j++, Py_NewRef(e));
    untracked(tuple.get(), untrack);
    return untracked(new_sequent(tuple.get(), goal), untrack);
}

}  // namespace

PyObject* premise_sequent(Rule rule, int k, PyObject* const* ants, Py_ssize_t n, PyObject* goal, Py_ssize_t pos,
                          bool untrack) {
    auto sequent_of = [untrack](PyObject* const* a, Py_ssize_t an, Py_ssize_t skip,
                                std::initializer_list<PyObject*> extra, PyObject* g) {
        return quorvel::ljt::sequent_of(a, an, skip, extra, g, untrack);
    };
    auto implies = [untrack](PyObject* l, PyObject* r) { return quorvel::ljt::implies(l, r, untrack); };
    PyObject* x = pos >= 0 && pos < n ? ants[pos] : nullptr;
    switch (rule) {
        case Rule::RImp: return sequent_of(ants, n, -1, {left_of(goal)}, right_of(goal));
        case Rule::RAnd:
        case Rule::ROr1:
        case Rule::ROr2: {
            bool right = rule == Rule::ROr2 || (rule == Rule::RAnd && k == 1);
            return sequent_of(ants, n, -1, {}, right ? right_of(goal) : left_of(goal));
        }
        case Rule::LAnd: return sequent_of(ants, n, pos, {left_of(x), right_of(x)}, goal);
        case Rule::LOr: return sequent_of(ants, n, pos, {k == 0 ? left_of(x) : right_of(x)}, goal);
        case Rule::LImpAtom: return sequent_of(ants, n, pos, {right_of(x)}, goal);
        case Rule::LImpAnd: {
            // (D ∧ E) → B gives D → (E → B).
            PyObject* de = left_of(x);
            Ref inner(implies(right_of(de), right_of(x)));
            if (!inner) return nullptr;
            Ref curried(implies(left_of(de), inner.get()));
            if (!curried) return nullptr;
            return sequent_of(ants, n, pos, {curried.get()}, goal);
        }
        case Rule::LImpOr: {
            PyObject* de = left_of(x);
            Ref d(implies(left_of(de), right_of(x)));
            if (!d) return nullptr;
            Ref e(implies(right_of(de), right_of(x)));
            if (!e) return nullptr;
            return sequent_of(ants, n, pos, {d.get(), e.get()}, goal);
        }
        case Rule::LImpImp: {
            // (D → E) → B: first E → B, D ⊢ E, then B ⊢ G.
            PyObject* de = left_of(x);
            if (k == 1) return sequent_of(ants, n, pos, {right_of(x)}, goal);
            Ref eb(implies(right_of(de), right_of(x)));
            if (!eb) return nullptr;
            return sequent_of(ants, n, pos, {eb.get(), left_of(de)}, right_of(de));
        }
        default:
            PyErr_SetString(PyExc_SystemError, "LJT: an axiom has no premises");
            return nullptr;
    }
}

PyObject* build_derivation(const std::vector<Step>& steps, PyObject* root, PyObject* const* ants, Py_ssize_t n,
                           PyObject* goal, bool untrack) {
    // Steps come in post-order, one per distinct sequent, so a conclusion's
    // index is above those of all its premises: going down from the root
    // gives every step its sequent (from the first conclusion that reaches
    // it) before its premises are made, going up gives every node its
    // premises. A step shared by several conclusions becomes one node that
    // all of them hold.
    const size_t count = steps.size();
    GcPause pause;
    WorkPoll poll(poll_signals);
    std::vector<Ref> seqs(count), nodes(count);
    seqs[count - 1] = Ref::borrow(root);
    for (size_t s = count; s-- > 0;) {
        const Step& st = steps[s];
        int np = premise_count(st.rule);
        if (np == 0) continue;
        PyObject* const* a = ants;
        Py_ssize_t an = n;
        PyObject* g = goal;
        if (s != count - 1) {
            PyObject* tuple = sequent_antecedents(seqs[s].get());
            a = PySequence_Fast_ITEMS(tuple);
            an = PyTuple_GET_SIZE(tuple);
            g = sequent_succedent(seqs[s].get());
        }
        if (!poll.spend(static_cast<uint64_t>(an + 1) * np)) return nullptr;
        for (int k = 0; k < np; ++k) {
            Ref& premise = seqs[st.premises[k]];
            if (premise) continue;
            premise = Ref(premise_sequent(st.rule, k, a, an, g, st.principal, untrack));
            if (!premise) return nullptr;
        }
    }
    const State& state_ = state();
    for (size_t s = 0; s < count; ++s) {
        const Step& st = steps[s];
        int np = premise_count(st.rule);
        if (!poll.spend(1 + np)) return nullptr;
        Ref premises(np == 0 ? Py_NewRef(state_.empty_tuple) : PyTuple_New(np));
        if (!premises) return nullptr;
        for (int k = 0; k < np; ++k) PyTuple_SET_ITEM(premises.get(), k, Py_NewRef(nodes[st.premises[k]].get()));
        // The root stays with the collector: it holds the caller's sequent.
        bool inner = untrack && s != count - 1;
        untracked(premises.get(), inner);
        nodes[s] = Ref(untracked(new_node(seqs[s].get(), state_.rule_names[static_cast<int>(st.rule)], premises.get()),
                                 inner));
        if (!nodes[s]) return nullptr;
        // Only the nodes hold the sequents from now on.
        seqs[s] = Ref();
    }
    return nodes[count - 1].release();
}

}  // namespace quorvel::ljt
