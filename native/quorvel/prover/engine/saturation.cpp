// Given-clause saturation in two rounds. First a set of support: the
// premises' clauses are usable from the start but never selected, so every
// inference involves a descendant of the negated goal. When that round runs
// out of its share of the limits, a second one starts afresh with every
// clause selectable and resolution restricted by literal selection (a
// negative literal of each clause that has one; the literals of the others
// that are maximal in an atom order), the negated goal's descendants ahead
// in the queue; a refutation must still
// descend from the negated goal. The system's falsum and verum atoms are read
// as the constants they stand for.
//
// The search runs on the engine's own clauses (terms.h). The proof is then
// replayed through the rules module: each step's conclusion is the
// clausifier Clause that resolve_clauses or factor_clause derives from the
// step's premises, so the ProofDAG holds only what those rules give.
#include "quorvel/prover/engine/saturation.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <set>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "quorvel/prover/clausifier/api.h"
#include "quorvel/prover/engine/terms.h"
#include "quorvel/prover/proof/api.h"
#include "quorvel/prover/rules/api.h"
#include "quorvel/support/py/constructive.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/interrupt.h"
#include "quorvel/support/py/ref.h"

namespace quorvel::engine {

namespace {

using py::Ref;
using Clock = std::chrono::steady_clock;

enum Rule { kPremise, kGoal, kResolution, kFactoring };
const char* const kRuleNames[] = {"premise", "negated_goal", "resolution", "factoring"};

// Every fifth selection takes the oldest clause, the others the lightest.
constexpr long long kAgePeriod = 5;
// The first round's share of the limits: one in kSupportShare. The second
// round, ordered and with selection, finds most proofs; the first is kept
// short, for the few that a goal-directed search finds at once.
constexpr long long kSupportShare = 20;

enum class Strategy { SetOfSupport, Selection };

struct Node {
    NClause c;
    Ref clause;  // the clausifier's Clause of an input clause
    Rule rule = kPremise;
    long long parents[2] = {-1, -1};
    long long birth = 0;  // the selection step that derived it
    bool dead = false;
    bool from_goal = false;  // the negated goal is among its ancestors
    int32_t selected = -1;   // the one literal resolution may use, or -1: all
    // Without a selected literal: a bit per literal resolution may use, or
    // 0 for all of them.
    uint64_t maximal = 0;
};

using Entry = std::pair<long long, size_t>;  // (weight or birth, node)

// The literal's key in the indexes: its predicate symbol and sign.
size_t key_of(const TermBank& bank, Lit l) { return static_cast<size_t>(bank.symbol_of_atom(l)) * 2 + negative(l); }

uint64_t lits_hash(const NClause& c) {
    uint64_t h = kFnvOffset;
    for (Lit l : c.lits) h = fnv_step(h, static_cast<uint32_t>(l));
    for (int32_t s : c.var_sorts) h = fnv_step(h, static_cast<uint32_t>(s));
    return h;
}

class Saturation {
public:
    Saturation(Strategy strategy, long long max_steps, Clock::time_point deadline)
        : strategy_(strategy), max_steps_(max_steps), interrupt_(py::signal_interrupt()), deadline_(deadline) {}

    long long steps() const { return steps_; }

    int run(PyObject* premises, PyObject* goal, PyObject** dag, Outcome* why) {
        bool sos = strategy_ == Strategy::SetOfSupport;
        // With a set of support the premises are usable at once, with their factors.
        if (!add_inputs(premises, kPremise, sos) || interrupted_) return -1;
        if (sos)
            for (size_t i = 0; i < nodes_.size() && empty_ < 0; ++i)
                if (!nodes_[i].dead && !add_factors(i, true, 0)) return -1;
        if (empty_ < 0 && (!add_inputs(goal, kGoal, false) || interrupted_)) return -1;
        while (empty_ < 0 && !by_weight_.empty()) {
            if (steps_ >= max_steps_) return *why = Outcome::StepLimit, 0;
            if (timed_out()) return *why = Outcome::Timeout, 0;
            if (PyErr_CheckSignals() < 0) return -1;
            size_t given = select(steps_);
            ++steps_;
            int r = process(given, steps_);
            if (r < 0) return -1;
            if (r == 2) return *why = Outcome::Timeout, 0;
        }
        if (empty_ < 0) return *why = Outcome::Saturated, 0;
        *dag = build_dag();
        if (!*dag) return -1;
        *why = Outcome::Proved;
        return 1;
    }

private:
    bool add_inputs(PyObject* list, Rule rule, bool active) {
        Ref seq(PySequence_Fast(list, "clauses must be a sequence"));
        if (!seq) return false;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()) && empty_ < 0; ++i) {
            PyObject* c = PySequence_Fast_GET_ITEM(seq.get(), i);
            if (!PyObject_TypeCheck(c, clausifier::api().clause_type))
                return PyErr_SetString(PyExc_TypeError, "the clausifier returned a value that is no Clause"), false;
            Ref simplified(without_constants(c));
            if (!simplified) return false;
            if (simplified.get() == Py_None || clausifier::as_clause(simplified.get())->tautology) continue;
            NClause nc;
            if (!bank_.import(simplified.get(), nc)) return false;
            long long id = add(std::move(nc), rule, -1, -1, 0, active);
            if (id >= 0) nodes_[id].clause = std::move(simplified);
        }
        return true;
    }

    // The clause with falsum and verum read as constants: None when a literal
    // is true, else the clause less its false literals (the clause itself
    // when it has none). Inferences never bring the constants back.
    static PyObject* without_constants(PyObject* clause) {
        Ref list(PySequence_List(clausifier::as_clause(clause)->literals));
        if (!list) return nullptr;
        Ref kept(PySet_New(nullptr));
        if (!kept) return nullptr;
        bool dropped = false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
            PyObject* lit = PyList_GET_ITEM(list.get(), i);
            PyObject* atom = clausifier::as_literal(lit)->atom;
            int positive = PyObject_IsTrue(clausifier::as_literal(lit)->positive);
            int bot = positive < 0 ? -1 : py::is_falsum(atom);
            int top = bot < 0 ? -1 : py::is_verum(atom);
            if (top < 0) return nullptr;
            if ((top && positive) || (bot && !positive)) Py_RETURN_NONE;
            if (top || bot) {
                dropped = true;
                continue;
            }
            if (PySet_Add(kept.get(), lit) < 0) return nullptr;
        }
        if (!dropped) return Py_NewRef(clause);
        Ref frozen(PyFrozenSet_New(kept.get()));
        return frozen ? clausifier::api().new_clause(frozen.get()) : nullptr;
    }

    // The clause with its variables numbered in the order its sorted
    // literals meet them, so that equal clauses come out equal.
    NClause renumbered(const NClause& c) {
        Unifier& u = unifier_;
        u.start(c, c, true);
        NClause out;
        for (Lit l : c.lits) out.lits.push_back(u.instance(atom_of(l), 0, out) * 2 + negative(l));
        bank_.finish(out);
        return out;
    }

    // Adds a clause unless it is a tautology, known, or subsumed by an active
    // clause. Returns its node, -2 when dropped.
    long long add(NClause c, Rule rule, long long p1, long long p2, long long birth, bool active) {
        if (!bank_.finish(c)) return -2;
        c = renumbered(c);
        uint64_t h = lits_hash(c);
        auto [lo, hi] = seen_.equal_range(h);
        for (auto it = lo; it != hi; ++it) {
            const NClause& o = nodes_[it->second].c;
            if (o.lits == c.lits && o.var_sorts == c.var_sorts) return -2;
        }
        bool from_goal = rule == kGoal || (p1 >= 0 && nodes_[p1].from_goal) || (p2 >= 0 && nodes_[p2].from_goal);
        // A refutation of the premises alone proves nothing of the goal.
        if (c.lits.empty() && !from_goal && rule != kPremise) return -2;
        if (!c.lits.empty() && subsumed_by_active(c)) return -2;
        size_t id = nodes_.size();
        nodes_.emplace_back();
        Node& node = nodes_.back();
        node.c = std::move(c);
        node.rule = rule;
        node.parents[0] = p1;
        node.parents[1] = p2;
        node.birth = birth;
        node.from_goal = from_goal;
        seen_.emplace(h, id);
        if (node.c.lits.empty()) {
            empty_ = static_cast<long long>(id);
            return static_cast<long long>(id);
        }
        if (strategy_ == Strategy::Selection) select_literal(node);
        if (active) {
            activate(id);
        } else {
            by_weight_.emplace(priority(node), id);
            by_age_.emplace(node.birth, id);
        }
        return static_cast<long long>(id);
    }

    // The queue weight: a clause off the negated goal's descent weighs more,
    // so the search stays near the goal while the premises still take part.
    static long long priority(const Node& n) { return n.from_goal ? n.c.weight : 2 * n.c.weight + 4; }

    // Marks the one negative literal resolution may use, when there is one:
    // the lightest, the first of equals. In a clause of the Kripke frame,
    // such as ~p(x) | ~R(x,y) | p(y), that is the atom that is no
    // accessibility, and the search chains forward from the facts on p
    // instead of instancing the clause at every R fact. A clause without
    // a negative literal resolves only on its literals that no other of
    // it exceeds in the atom order (all of them past 64 literals).
    void select_literal(Node& n) {
        uint32_t best_weight = 0;
        for (size_t i = 0; i < n.c.lits.size(); ++i) {
            Lit l = n.c.lits[i];
            uint32_t w = bank_.node(atom_of(l)).weight;
            if (negative(l) && (n.selected < 0 || w < best_weight)) {
                n.selected = static_cast<int32_t>(i);
                best_weight = w;
            }
        }
        if (n.selected >= 0 || n.c.lits.size() < 2 || n.c.lits.size() > 64) return;
        for (size_t i = 0; i < n.c.lits.size(); ++i) {
            bool dominated = false;
            for (size_t j = 0; j < n.c.lits.size() && !dominated; ++j)
                dominated = j != i && order_.greater(atom_of(n.c.lits[j]), atom_of(n.c.lits[i]));
            if (!dominated) n.maximal |= uint64_t{1} << i;
        }
    }

    bool eligible(const Node& n, size_t i) const {
        if (n.selected >= 0) return static_cast<size_t>(n.selected) == i;
        return n.maximal == 0 || (n.maximal >> i & 1);
    }

    template <class T>
    static std::vector<T>& slot(std::vector<std::vector<T>>& index, size_t key) {
        if (index.size() <= key) index.resize(key + 1);
        return index[key];
    }

    // A literal's key refined by the symbol at the head of its first
    // argument (0: a variable there, or no argument). An instance of a
    // literal whose first argument is no variable has the literal's own
    // refined key.
    uint64_t fine_key_of(Lit l) const {
        TermId atom = atom_of(l);
        uint64_t head = 0;
        if (bank_.node(atom).arity > 0) {
            TermId first = bank_.args(atom)[0];
            if (!is_var(first)) head = static_cast<uint64_t>(bank_.node(first).symbol) + 1;
        }
        return (static_cast<uint64_t>(key_of(bank_, l)) << 32) | head;
    }
    static uint64_t coarse(uint64_t fine) { return fine & ~uint64_t{0xffffffff}; }

    // The key under `index` with the shortest list among the refined keys
    // of c's literals (a literal with a variable first has only its plain
    // key): any literal of a clause serves, the least common one best.
    uint64_t least_common(const NClause& c, const std::unordered_map<uint64_t, std::vector<size_t>>& index) const {
        uint64_t best = 0;
        size_t best_size = 0;
        for (size_t i = 0; i < c.lits.size(); ++i) {
            uint64_t f = fine_key_of(c.lits[i]);
            auto it = index.find(f);
            size_t n = it == index.end() ? 0 : it->second.size();
            if (i == 0 || n < best_size) best = f, best_size = n;
        }
        return best;
    }

    // Enters an active clause in the indexes: its eligible literals for
    // resolution, one literal's key for forward subsumption, all its
    // literals' keys for backward subsumption.
    void activate(size_t id) {
        const NClause& c = nodes_[id].c;
        for (size_t i = 0; i < c.lits.size(); ++i) {
            size_t k = key_of(bank_, c.lits[i]);
            if (eligible(nodes_[id], i)) slot(resolvable_, k).emplace_back(id, i);
            uint64_t fine = fine_key_of(c.lits[i]);
            for (uint64_t f : {coarse(fine), fine}) {
                std::vector<size_t>& list = containing_[f];
                if (list.empty() || list.back() != id) list.push_back(id);
            }
        }
        subsumers_[least_common(c, subsumers_)].push_back(id);
    }

    // Whether an active clause subsumes `c`: only one filed under the
    // refined or the plain key of a literal of c. Past
    // the deadline the clause counts as not subsumed: deleting it is only
    // an economy, and the loop stops at its next check.
    bool subsumed_by_active(const NClause& c) {
        std::vector<uint64_t>& seen = scanned_;
        seen.clear();
        for (Lit l : c.lits) {
            uint64_t fine = fine_key_of(l);
            for (uint64_t f : {coarse(fine), fine}) {
                if (std::find(seen.begin(), seen.end(), f) != seen.end()) continue;
                seen.push_back(f);
                auto it = subsumers_.find(f);
                if (it == subsumers_.end()) continue;
                for (size_t a : it->second) {
                    if (nodes_[a].dead) continue;
                    if (interrupt_.tick()) interrupted_ = true;
                    if (interrupted_ || timed_out()) return false;
                    if (subsumes(bank_, nodes_[a].c, c)) return true;
                }
            }
        }
        return false;
    }

    size_t select(long long steps) {
        Entry e = steps % kAgePeriod == kAgePeriod - 1 ? *by_age_.begin() : *by_weight_.begin();
        size_t id = e.second;
        const Node& n = nodes_[id];
        by_weight_.erase({priority(n), id});
        by_age_.erase({n.birth, id});
        return id;
    }

    bool timed_out() const { return Clock::now() >= deadline_; }

    // 1 done, 2 out of time, -1 error.
    int process(size_t given, long long step) {
        if (subsumed_by_active(nodes_[given].c)) {
            nodes_[given].dead = true;
            return 1;
        }
        if (interrupted_) return -1;
        // Backward subsumption: an active clause the given one subsumes
        // holds an instance of each of its literals.
        const NClause& g = nodes_[given].c;
        auto found = containing_.find(least_common(g, containing_));
        if (found != containing_.end())
            for (size_t a : found->second) {
                if (nodes_[a].dead) continue;
                if (interrupt_.tick()) return -1;
                if (timed_out()) return 2;
                if (subsumes(bank_, nodes_[given].c, nodes_[a].c)) nodes_[a].dead = true;
            }
        activate(given);
        // With a literal selected, factoring is left out: the selected
        // literal is resolved away first.
        if (nodes_[given].selected < 0 && !add_factors(given, false, step)) return -1;
        // Index loop: the resolvents go to the queue, so the index the loop
        // reads does not grow under it.
        const size_t n = nodes_[given].c.lits.size();
        for (size_t i = 0; i < n && empty_ < 0; ++i) {
            if (!eligible(nodes_[given], i)) continue;
            size_t k = key_of(bank_, nodes_[given].c.lits[i]) ^ 1;
            if (k >= resolvable_.size()) continue;
            for (size_t e = 0; e < resolvable_[k].size() && empty_ < 0; ++e) {
                auto [other, j] = resolvable_[k][e];
                if (nodes_[other].dead || nodes_[given].dead) continue;
                if (interrupt_.tick(nodes_[other].c.lits.size() + 1)) return -1;
                if (timed_out()) return 2;
                resolve(given, i, other, j, step);
                if (interrupted_) return -1;
            }
        }
        return interrupted_ ? -1 : 1;
    }

    void resolve(size_t given, size_t i, size_t other, size_t j, long long step) {
        const NClause& a = nodes_[given].c;
        const NClause& b = nodes_[other].c;
        Unifier& u = unifier_;
        u.start(a, b, false);
        if (!u.unify(atom_of(a.lits[i]), 0, atom_of(b.lits[j]), 1)) return;
        NClause r;
        for (size_t x = 0; x < a.lits.size(); ++x)
            if (x != i) r.lits.push_back(u.instance(atom_of(a.lits[x]), 0, r) * 2 + negative(a.lits[x]));
        for (size_t x = 0; x < b.lits.size(); ++x)
            if (x != j) r.lits.push_back(u.instance(atom_of(b.lits[x]), 1, r) * 2 + negative(b.lits[x]));
        add(std::move(r), kResolution, static_cast<long long>(given), static_cast<long long>(other), step, false);
    }

    // Every factor of two literals of equal sign and symbol; with a set of
    // support over all literals, with selection over the positive ones of a
    // clause that has no negative one (no other clause reaches here).
    bool add_factors(size_t id, bool active, long long step) {
        const size_t n = nodes_[id].c.lits.size();
        for (size_t i = 0; i < n && empty_ < 0; ++i)
            for (size_t j = i + 1; j < n && empty_ < 0; ++j) {
                const NClause& c = nodes_[id].c;
                if (key_of(bank_, c.lits[i]) != key_of(bank_, c.lits[j])) continue;
                if (interrupt_.tick(n)) return false;
                Unifier& u = unifier_;
                u.start(c, c, true);
                if (!u.unify(atom_of(c.lits[i]), 0, atom_of(c.lits[j]), 0)) continue;
                NClause f;
                for (Lit l : c.lits) f.lits.push_back(u.instance(atom_of(l), 0, f) * 2 + negative(l));
                add(std::move(f), kFactoring, static_cast<long long>(id), -1, step, active);
            }
        return !interrupted_;
    }

    // The clausifier Clause among `derived` (a rules result: a list of
    // (clause, ...) tuples) that is a variant of node `id`'s clause; NULL
    // with an exception set when there is none.
    PyObject* replayed(PyObject* derived, size_t id) {
        if (!derived) return nullptr;
        Ref seq(PySequence_Fast(derived, "rule results must be a sequence"));
        if (!seq) return nullptr;
        const NClause& want = nodes_[id].c;
        // Of several variants the one first by signature: the rules' results
        // come in the order of the clauses' sets.
        PyObject* best = nullptr;
        std::vector<std::vector<uint64_t>> best_signature, signature;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
            PyObject* entry = PySequence_Fast_GET_ITEM(seq.get(), i);
            PyObject* clause = PyTuple_Check(entry) && PyTuple_GET_SIZE(entry) > 0 ? PyTuple_GET_ITEM(entry, 0) : entry;
            NClause got;
            if (!bank_.import(clause, got)) return nullptr;
            if (!bank_.finish(got) || got.lits.size() != want.lits.size()) continue;
            if (!subsumes(bank_, got, want) || !subsumes(bank_, want, got)) continue;
            if (!clause_signature(clause, signature)) return nullptr;
            if (!best || signature < best_signature) best = clause, best_signature.swap(signature);
        }
        if (best) return Py_NewRef(best);
        PyErr_SetString(PyExc_RuntimeError, "the prover's inference is not among those of the rules module");
        return nullptr;
    }

    // The steps of the refutation: the empty clause's ancestors in the order
    // they were derived, each conclusion derived again by the rules module.
    PyObject* build_dag() {
        std::vector<char> used(nodes_.size(), 0);
        std::vector<long long> todo{empty_};
        while (!todo.empty()) {
            long long id = todo.back();
            todo.pop_back();
            if (id < 0 || used[id]) continue;
            used[id] = 1;
            for (long long p : nodes_[id].parents) todo.push_back(p);
        }
        Ref dag(proof::api().new_dag());
        if (!dag) return nullptr;
        Ref names[4];
        for (int r = 0; r < 4; ++r)
            if (!(names[r] = Ref(PyUnicode_InternFromString(kRuleNames[r])))) return nullptr;
        std::vector<Py_ssize_t> index(nodes_.size(), -1);
        for (size_t id = 0; id < nodes_.size(); ++id) {
            if (!used[id]) continue;
            Node& n = nodes_[id];
            if (n.rule == kResolution) {
                Ref d(rules::api().resolve_clauses(nodes_[n.parents[0]].clause.get(), nodes_[n.parents[1]].clause.get()));
                n.clause = Ref(replayed(d.get(), id));
            } else if (n.rule == kFactoring) {
                Ref d(rules::api().factor_clause(nodes_[n.parents[0]].clause.get()));
                n.clause = Ref(replayed(d.get(), id));
            }
            if (!n.clause) return nullptr;
            Py_ssize_t premises[2];
            size_t count = 0;
            for (long long p : n.parents)
                if (p >= 0) premises[count++] = index[p];
            index[id] = proof::api().add_step(dag.get(), n.clause.get(), names[n.rule].get(), premises, count);
            if (index[id] < 0) return nullptr;
        }
        return dag.release();
    }

    Strategy strategy_;
    long long max_steps_;
    long long steps_ = 0;
    Interrupt interrupt_;
    Clock::time_point deadline_;
    TermBank bank_;
    Unifier unifier_{bank_};  // one attempt at a time
    AtomOrder order_{bank_};
    std::deque<Node> nodes_;  // references stay valid as it grows
    std::unordered_multimap<uint64_t, size_t> seen_;
    // By literal key: (active clause, eligible literal).
    std::vector<std::vector<std::pair<size_t, size_t>>> resolvable_;
    // By plain and by refined key: the active clauses holding a literal of
    // it; by refined key: the active clauses filed there for subsumption.
    std::unordered_map<uint64_t, std::vector<size_t>> containing_, subsumers_;
    std::vector<uint64_t> scanned_;
    bool interrupted_ = false;  // a signal's exception is set
    std::set<Entry> by_weight_, by_age_;
    long long empty_ = -1;
};

}  // namespace

int saturate(PyObject* premises, PyObject* goal, const Limits& limits, PyObject** dag, Outcome* why) {
    return py::guard<int>(-1, [&]() -> int {
        const Clock::time_point deadline = limits.deadline();
        const Clock::time_point now = Clock::now();
        // The set of support's share: a twentieth of the time left and of the
        // steps (at least one step).
        const Clock::time_point first_deadline = now + (deadline - now) / kSupportShare;
        const long long first_steps = std::max(1LL, limits.max_steps / kSupportShare);
        long long used = 0;
        {
            Saturation sos(Strategy::SetOfSupport, first_steps, first_deadline);
            int r = sos.run(premises, goal, dag, why);
            // Saturated: with a set of support no refutation exists but one
            // of the premises alone, which is no proof of the goal.
            if (r != 0 || *why == Outcome::Saturated) return r;
            used = sos.steps();
        }
        if (used >= limits.max_steps) return *why = Outcome::StepLimit, 0;
        Saturation selection(Strategy::Selection, limits.max_steps - used, deadline);
        return selection.run(premises, goal, dag, why);
    });
}

}  // namespace quorvel::engine
