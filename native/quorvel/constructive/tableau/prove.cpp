// TableauProver.prove: the native road (lower once, search on native state,
// lift the tree and the countermodel once) and the road through the
// prover's methods by name, taken when one of them is replaced or the input
// holds values the native search cannot answer for exactly as Python
// would (instances of Python subclasses of node classes, foreign objects).
#include <cstdint>
#include <limits>
#include <new>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "quorvel/constructive/kripke/api.h"
#include "quorvel/constructive/tableau/prover.h"
#include "quorvel/constructive/tableau/records.h"
#include "quorvel/constructive/tableau/search.h"
#include "quorvel/core/ast/api.h"
#include "quorvel/support/py/constructive.h"
#include "quorvel/support/py/interrupt.h"
#include "quorvel/support/py/lower.h"
#include "quorvel/support/py/printer.h"

namespace quorvel::tableau {
namespace {

using ast::Kind;

// Whether every object of the formulas is an instance of exactly a node
// class (so that the arena's structural equality is Python's equality).
bool plain_input(PyObject* target, PyObject* premises) {
    std::vector<PyObject*> stack;
    std::unordered_set<PyObject*> seen;
    stack.push_back(target);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(premises); ++i) stack.push_back(PyTuple_GET_ITEM(premises, i));
    while (!stack.empty()) {
        PyObject* o = stack.back();
        stack.pop_back();
        if (!seen.insert(o).second) continue;
        Kind k = ast::exact_kind_of(o);
        if (k == Kind::None || ast::is_term_kind(k) || k == Kind::Formula) return false;
        if (k == Kind::Not) {
            stack.push_back(ast::as_unary(o)->operand);
        } else if (ast::is_binary(k)) {
            stack.push_back(ast::as_binary(o)->left);
            stack.push_back(ast::as_binary(o)->right);
        }
    }
    return true;
}

// A bound read as a native integer; false when it is not an exact int.
bool bound_of(PyObject* self, PyObject* name, int64_t& out, bool& plain) {
    Ref v = getattr(self, name);
    if (!v) return false;
    if (!PyLong_CheckExact(v.get())) {
        plain = false;
        return true;
    }
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(v.get(), &overflow);
    if (x == -1 && PyErr_Occurred()) return false;
    out = overflow > 0 ? std::numeric_limits<int64_t>::max()
                       : overflow < 0 ? std::numeric_limits<int64_t>::min() : static_cast<int64_t>(x);
    return true;
}

bool set_counter(PyObject* self, size_t value) {
    Ref v(PyLong_FromSize_t(value));
    return v && setattr(self, names().node_counter, v.get());
}

// Python objects for the native result.
class Lift {
public:
    Lift(const Search& search, py::Lowering& lowering) : search_(search), lowering_(lowering) {}

    PyObject* world(uint32_t w) {
        if (worlds_.size() <= w) worlds_.resize(static_cast<size_t>(w) + 1);
        if (!worlds_[w]) worlds_[w] = Ref(kripke::api().new_numbered_world(static_cast<long>(w)));
        return worlds_[w].get();
    }

    PyObject* formula(FormulaId f) {
        if (formulas_.size() <= f) formulas_.resize(static_cast<size_t>(f) + 1);
        if (!formulas_[f]) formulas_[f] = Ref(lowering_.lift(f));
        return formulas_[f].get();
    }

    // Labels and clash texts repeat across a tree; each text is made once.
    Ref label(const ProofNode& n) {
        const Names& s = names();
        bool two_worlds = n.label == Label::FImp || n.label == Label::FNot;
        if (!two_worlds && n.label != Label::TImpF && n.label != Label::TImpT)
            return Ref::borrow(s.labels[static_cast<int>(n.label)]);
        uint64_t key = static_cast<uint64_t>(n.label) << 58 ^ static_cast<uint64_t>(n.formula_world) << 29 ^ n.world;
        auto it = texts_.find(key);
        if (it != texts_.end()) return it->second;
        Ref text = two_worlds ? Ref(PyUnicode_FromFormat("%s (w%u <= w%u)", n.label == Label::FImp ? "F_Imp" : "F_Not",
                                                         n.formula_world, n.world))
                              : Ref(PyUnicode_FromFormat("%s (w%u)", n.label == Label::TImpF ? "T_Imp_F" : "T_Imp_T",
                                                         n.world));
        if (text) texts_.emplace(key, text);
        return text;
    }

    Ref signed_formula(const ProofNode& n) {
        uint64_t key = static_cast<uint64_t>(n.formula) << 33 ^ static_cast<uint64_t>(n.formula_world) << 1 ^ n.sign;
        auto it = signed_.find(key);
        if (it != signed_.end()) return it->second;
        PyObject* f = formula(n.formula);
        PyObject* w = world(n.formula_world);
        if (!f || !w) return Ref();
        Ref sf(new_signed_formula(n.sign ? state().sign_true : state().sign_false, f, w));
        if (sf) signed_.emplace(key, sf);
        return sf;
    }

    Ref clash_text(const ProofNode& n) {
        switch (n.clash) {
            case Clash::Falsum: return Ref(PyUnicode_FromFormat("Falsum bot asserted TRUE at w%u", n.clash_world));
            case Clash::Verum: return Ref(PyUnicode_FromFormat("Verum top asserted FALSE at w%u", n.clash_world));
            default: break;
        }
        PyObject* f = formula(n.clash_formula);
        if (!f) return Ref();
        Ref text(py::format_node(f, py::Notation::Infix));
        if (!text) return Ref();
        return Ref(PyUnicode_FromFormat("Complementary clash on %U at w%u", text.get(), n.clash_world));
    }

    // The TableauNode tree, built from the leaves up (children come after
    // their parent in the vector), so no depth recurses.
    Ref tree() {
        const auto& nodes = search_.nodes();
        std::vector<Ref> made(nodes.size());
        for (size_t k = nodes.size(); k-- > 0;) {
            const ProofNode& n = nodes[k];
            Ref id(PyLong_FromSize_t(k + 1));
            Ref sf = signed_formula(n);
            PyObject* node_world = world(n.world);
            Ref text = label(n);
            if (!id || !sf || !node_world || !text) return Ref();
            Ref node(new_node(id.get(), sf.get(), text.get(), node_world));
            if (!node) return Ref();
            PyObject** fields = as_node(node.get())->fields;
            for (uint32_t c : n.children) {
                if (c == kNoNode) break;
                if (PyList_Append(fields[kChildren], made[c].get()) < 0) return Ref();
                made[c] = Ref();
            }
            if (n.closed) Py_SETREF(fields[kIsClosed], Py_NewRef(Py_True));
            if (n.clash != Clash::None) {
                uint64_t key = static_cast<uint64_t>(n.clash_formula) << 34 ^ static_cast<uint64_t>(n.clash_world) << 2 ^
                               static_cast<uint64_t>(n.clash);
                auto it = clashes_.find(key);
                Ref clash = it != clashes_.end() ? it->second : clash_text(n);
                if (!clash) return Ref();
                if (it == clashes_.end()) clashes_.emplace(key, clash);
                Py_SETREF(fields[kClashDetails], clash.release());
            }
            made[k] = node;
        }
        return made[0];
    }

    // KripkeModel(worlds, relations, valuations) with what the literal
    // sequence of add_world, add_relation and add_valuation builds from a
    // branch whose relation is already reflexive, transitive and a tree
    // order, and whose true formulas are monotone: the same worlds in the
    // same order, the same successor sets, and at each world the atoms true
    // there.
    Ref countermodel() {
        uint32_t n = search_.world_count();
        Ref worlds(PyList_New(0));
        Ref relations(PyDict_New());
        Ref valuations(PyDict_New());
        if (!worlds || !relations || !valuations) return Ref();
        for (uint32_t w = 0; w < n; ++w) {
            PyObject* wo = world(w);
            if (!wo || PyList_Append(worlds.get(), wo) < 0) return Ref();
            Ref succ(PySet_New(nullptr));
            if (!succ) return Ref();
            for (uint32_t v : search_.successors(w)) {
                PyObject* vo = world(v);
                if (!vo || PySet_Add(succ.get(), vo) < 0) return Ref();
            }
            if (PyDict_SetItem(relations.get(), wo, succ.get()) < 0) return Ref();
            Ref atoms(PySet_New(nullptr));
            if (!atoms) return Ref();
            for (FormulaId f : search_.true_formulas(w)) {
                Op op = lowering_.arena().op(f);
                if (op != Op::Atom && op != Op::Opaque) continue;
                PyObject* fo = formula(f);
                if (!fo) return Ref();
                if (op == Op::Opaque && !py::is_atomic(fo)) continue;
                if (PySet_Add(atoms.get(), fo) < 0) return Ref();
            }
            if (PyDict_SetItem(valuations.get(), wo, atoms.get()) < 0) return Ref();
        }
        PyObject* argv[] = {worlds.get(), relations.get(), valuations.get()};
        return Ref(PyObject_Vectorcall(reinterpret_cast<PyObject*>(kripke::api().model_type), argv, 3, nullptr));
    }

private:
    const Search& search_;
    py::Lowering& lowering_;
    std::vector<Ref> worlds_;
    std::vector<Ref> formulas_;
    std::unordered_map<uint64_t, Ref> texts_, signed_, clashes_;
};

PyObject* prove_natively(PyObject* self, PyObject* target, PyObject* premises, Bounds bounds) {
    if (!set_counter(self, 0)) return nullptr;
    FormulaArena arena;
    py::Lowering lowering(arena);
    std::vector<FormulaId> lowered;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(premises); ++i) {
        FormulaId f;
        if (!lowering.lower(PyTuple_GET_ITEM(premises, i), f)) return nullptr;
        lowered.push_back(f);
    }
    FormulaId goal;
    if (!lowering.lower(target, goal)) return nullptr;
    Closure closure(arena);
    Search search(closure, bounds);
    Search::Outcome outcome;
    try {
        py::SignalPoll poll;
        outcome = search.run(lowered, goal, poll);
    } catch (const std::bad_alloc&) {
        set_counter(self, search.nodes().size());
        PyErr_NoMemory();
        return nullptr;
    }
    if (!set_counter(self, search.nodes().size()) || outcome == Search::Outcome::Interrupted) return nullptr;

    bool closed = outcome == Search::Outcome::Closed;
    // The tree is built of new acyclic objects only; letting the collector
    // run over the growing heap for each batch of them would cost more than
    // the search.
    struct PauseCollector {
        int was_enabled = PyGC_Disable();
        ~PauseCollector() {
            if (was_enabled) PyGC_Enable();
        }
    } pause;
    Lift lift(search, lowering);
    Ref root = lift.tree();
    if (!root) return nullptr;
    Ref tree(new_tree(root.get()));
    if (!tree) return nullptr;
    Ref model = closed ? Ref::borrow(Py_None) : lift.countermodel();
    if (!model) return nullptr;
    return new_result(closed ? Py_True : Py_False, tree.get(), model.get(), target, premises);
}

// The rank of every formula the native search would know, for the order of
// the Python-level road; NULL (no error) when the input cannot be lowered.
Ref ranks_of(PyObject* target, PyObject* premises) {
    FormulaArena arena;
    py::Lowering lowering(arena);
    FormulaId f;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(premises); ++i)
        if (!lowering.lower(PyTuple_GET_ITEM(premises, i), f)) {
            PyErr_Clear();
            return Ref();
        }
    if (!lowering.lower(target, f)) {
        PyErr_Clear();
        return Ref();
    }
    Closure closure(arena);
    Ref ranks(PyDict_New());
    if (!ranks) return Ref();
    for (FormulaId id = 0; id < arena.size(); ++id) {
        Ref o(lowering.lift(id));
        Ref rank(PyLong_FromUnsignedLong(id));
        if (!o || !rank) return Ref();
        int has = PyDict_Contains(ranks.get(), o.get());
        if (has < 0 || (!has && PyDict_SetItem(ranks.get(), o.get(), rank.get()) < 0)) {
            PyErr_Clear();
            return Ref();
        }
    }
    return ranks;
}

// The steps of prove as written, through the methods by name.
PyObject* prove_by_methods(PyObject* self, PyObject* target, PyObject* premises) {
    Order order;
    if (Ref ranks = ranks_of(target, premises)) order.set_ranks(ranks.get());
    if (PyErr_Occurred()) return nullptr;
    auto* prover = reinterpret_cast<ProverObject*>(self);
    Order* outer = prover->order;
    prover->order = &order;
    struct Restore {
        ProverObject* p;
        Order* o;
        ~Restore() { p->order = o; }
    } restore{prover, outer};

    if (!set_counter(self, 0)) return nullptr;
    Ref w0(kripke::api().new_numbered_world(0));
    if (!w0) return nullptr;
    Ref st(new_branch_state());
    if (!st || !branch_add_world(st.get(), w0.get())) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(premises); ++i)
        if (!branch_add_true(st.get(), w0.get(), PyTuple_GET_ITEM(premises, i))) return nullptr;
    if (!branch_add_false(st.get(), w0.get(), target)) return nullptr;
    Ref id = call_next_node_id(self);
    if (!id) return nullptr;
    Ref sf(new_signed_formula(state().sign_false, target, w0.get()));
    if (!sf) return nullptr;
    Ref root(new_node(id.get(), sf.get(), names().target_label, w0.get()));
    if (!root) return nullptr;
    Ref one(PyLong_FromLong(1));
    if (!one) return nullptr;
    int own = is_own(self, Method::ExpandBranch);
    if (own < 0) return nullptr;
    Ref outcome;
    if (own) {
        outcome = Ref(expand_branch(self, st.get(), root.get(), one.get()));
    } else {
        PyObject* argv[] = {self, st.get(), root.get(), one.get()};
        Ref kw(PyTuple_Pack(3, names().state, names().node, names().depth));
        if (!kw) return nullptr;
        outcome = Ref(PyObject_VectorcallMethod(names().expand_branch, argv, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                kw.get()));
    }
    if (!outcome) return nullptr;
    Ref closed, open;
    if (!unpack_pair(outcome.get(), closed, open)) return nullptr;
    if (!node_set(root.get(), kIsClosed, closed.get())) return nullptr;
    Ref tree(new_tree(root.get()));
    if (!tree) return nullptr;
    int t = truth(closed.get());
    if (t < 0) return nullptr;
    Ref model = !t && open.get() != Py_None ? call_extract_countermodel(self, open.get()) : Ref::borrow(Py_None);
    if (!model) return nullptr;
    return new_result(closed.get(), tree.get(), model.get(), target, premises);
}

}  // namespace

PyObject* prove(PyObject* self, PyObject* target, PyObject* premises) {
    bool plain = true;
    for (Method m : {Method::ExpandBranch, Method::CheckClash, Method::NextNodeId, Method::ExtractCountermodel}) {
        int own = is_own(self, m);
        if (own < 0) return nullptr;
        plain = plain && own;
    }
    Bounds bounds;
    if (!bound_of(self, names().max_depth, bounds.max_depth, plain)) return nullptr;
    if (!bound_of(self, names().max_worlds, bounds.max_worlds, plain)) return nullptr;
    if (plain && plain_input(target, premises)) return prove_natively(self, target, premises, bounds);
    return prove_by_methods(self, target, premises);
}

}  // namespace quorvel::tableau
