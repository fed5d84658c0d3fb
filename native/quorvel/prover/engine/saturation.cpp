// Given-clause saturation in two rounds. First a set of support: the
// premises' clauses are usable from the start but never selected, so every
// inference involves a descendant of the negated goal. When that round runs
// out of its share of the limits, a second one starts afresh with every
// clause selectable and resolution restricted by literal selection (a
// negative literal of each clause that has one; all literals of the others),
// the negated goal's descendants ahead in the queue; a refutation must still
// descend from the negated goal. The system's falsum and verum atoms are read
// as the constants they stand for. Clauses stay the clausifier's values; the
// rules module's C++ entries resolve and factor them.
#include "quorvel/prover/engine/saturation.h"

#include <algorithm>
#include <chrono>
#include <set>
#include <tuple>
#include <vector>

#include "quorvel/prover/clausifier/api.h"
#include "quorvel/prover/engine/matching.h"
#include "quorvel/prover/proof/api.h"
#include "quorvel/prover/rules/api.h"
#include "quorvel/support/py/constructive.h"
#include "quorvel/support/py/ref.h"
#include "quorvel/support/py/interrupt.h"

namespace quorvel::engine {

namespace {

using py::Ref;
using Clock = std::chrono::steady_clock;

enum Rule { kPremise, kGoal, kResolution, kFactoring };
const char* const kRuleNames[] = {"premise", "negated_goal", "resolution", "factoring"};

// Every fifth selection takes the oldest clause, the others the lightest.
constexpr long long kAgePeriod = 5;
// The first round's share of the limits: one in kSupportShare.
constexpr long long kSupportShare = 5;

enum class Strategy { SetOfSupport, Selection };

struct Node {
    ClauseInfo info;
    Rule rule = kPremise;
    long long parents[2] = {-1, -1};
    long long birth = 0;  // the selection step that derived it
    bool dead = false;
    bool from_goal = false;  // the negated goal is among its ancestors
    // Per literal: whether resolution may use it (empty: every literal).
    std::vector<unsigned char> eligible;
};

using Entry = std::tuple<long long, uint64_t, size_t>;  // (weight or birth, key, node)

class Saturation {
public:
    Saturation(Strategy strategy, long long max_steps, Clock::time_point deadline)
        : strategy_(strategy), max_steps_(max_steps), interrupt_(py::signal_interrupt()), seen_(PySet_New(nullptr)),
          deadline_(deadline) {}
    ~Saturation() {
        for (Node& n : nodes_) Py_XDECREF(n.info.clause);
    }

    long long steps() const { return steps_; }

    int run(PyObject* premises, PyObject* goal, PyObject** dag, Outcome* why) {
        if (!seen_) return -1;
        if (strategy_ == Strategy::SetOfSupport) {
            // Premises: usable at once, with their factors.
            if (!add_inputs(premises, kPremise)) return -1;
            for (size_t i = 0; i < nodes_.size() && empty_ < 0; ++i) {
                if (nodes_[i].rule == kGoal) continue;
                if (!add_factors(i, true)) return -1;
            }
        } else if (!add_inputs(premises, kPremise)) {
            return -1;
        }
        if (empty_ < 0 && !add_inputs(goal, kGoal)) return -1;
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
    bool add_inputs(PyObject* list, Rule rule) {
        Ref seq(PySequence_Fast(list, "clauses must be a sequence"));
        if (!seq) return false;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()) && empty_ < 0; ++i) {
            PyObject* c = PySequence_Fast_GET_ITEM(seq.get(), i);
            if (!PyObject_TypeCheck(c, clausifier::api().clause_type))
                return PyErr_SetString(PyExc_TypeError, "the clausifier returned a value that is no Clause"), false;
            Ref simplified(without_constants(c));
            if (!simplified) return false;
            if (simplified.get() == Py_None) continue;
            bool active = rule == kPremise && strategy_ == Strategy::SetOfSupport;
            if (add(simplified.get(), rule, -1, -1, 0, active) == -1) return false;
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

    // Adds a clause unless it is a tautology, known, or subsumed by an active
    // clause. Returns its node, -2 when dropped, -1 on error.
    long long add(PyObject* clause, Rule rule, long long p1, long long p2, long long birth, bool active) {
        if (clausifier::as_clause(clause)->tautology) return -2;
        int known = PySet_Contains(seen_.get(), clause);
        if (known < 0) return -1;
        if (known) return -2;
        if (PySet_Add(seen_.get(), clause) < 0) return -1;
        Node n;
        n.info.clause = Py_NewRef(clause);
        n.rule = rule;
        n.parents[0] = p1;
        n.parents[1] = p2;
        n.birth = birth;
        n.from_goal = rule == kGoal || (p1 >= 0 && nodes_[p1].from_goal) || (p2 >= 0 && nodes_[p2].from_goal);
        nodes_.push_back(std::move(n));
        size_t id = nodes_.size() - 1;
        Node& node = nodes_[id];
        if (!describe(node.info)) return -1;
        if (node.info.literals.empty()) {
            // A refutation of the premises alone proves nothing of the goal.
            if (!node.from_goal && rule != kPremise) return node.dead = true, -2;
            empty_ = static_cast<long long>(id);
            return static_cast<long long>(id);
        }
        int s = subsumed_by_active(id);
        if (s < 0) return -1;
        if (s) {
            node.dead = true;
            return -2;
        }
        if (strategy_ == Strategy::Selection) select_literal(node);
        if (active) {
            active_.push_back(id);
        } else {
            by_weight_.emplace(priority(node), node.info.key, id);
            by_age_.emplace(node.birth, node.info.key, id);
        }
        return static_cast<long long>(id);
    }

    // The queue weight: a clause off the negated goal's descent weighs more,
    // so the search stays near the goal while the premises still take part.
    static long long priority(const Node& n) { return n.from_goal ? n.info.weight : 2 * n.info.weight + 4; }

    // Marks the one negative literal resolution may use, when there is one:
    // the heaviest, the first of equals.
    static void select_literal(Node& n) {
        const ClauseInfo& c = n.info;
        long long best = -1;
        for (size_t i = 0; i < c.literals.size(); ++i)
            if (c.negative[i] && (best < 0 || c.literal_weights[i] > c.literal_weights[best])) best = static_cast<long long>(i);
        if (best < 0) return;
        n.eligible.assign(c.literals.size(), 0);
        n.eligible[best] = 1;
    }

    static const unsigned char* eligible_of(const Node& n) { return n.eligible.empty() ? nullptr : n.eligible.data(); }

    // Past the deadline the clause counts as not subsumed: deleting it is
    // only an economy, and the loop stops at its next check.
    int subsumed_by_active(size_t id) {
        for (size_t a : active_) {
            if (nodes_[a].dead) continue;
            if (interrupt_.tick()) return -1;
            if (timed_out()) return 0;
            int s = subsumes(nodes_[a].info, nodes_[id].info);
            if (s) return s;
        }
        return 0;
    }

    size_t select(long long steps) {
        Entry e;
        if (steps % kAgePeriod == kAgePeriod - 1) {
            e = *by_age_.begin();
        } else {
            e = *by_weight_.begin();
        }
        size_t id = std::get<2>(e);
        const Node& n = nodes_[id];
        by_weight_.erase({priority(n), n.info.key, id});
        by_age_.erase({n.birth, n.info.key, id});
        return id;
    }

    bool timed_out() const { return Clock::now() >= deadline_; }

    // 1 done, 2 out of time, -1 error.
    int process(size_t given, long long step) {
        int s = subsumed_by_active(given);
        if (s < 0) return -1;
        if (s) {
            nodes_[given].dead = true;
            return 1;
        }
        for (size_t a : active_) {
            if (nodes_[a].dead) continue;
            if (interrupt_.tick()) return -1;
            if (timed_out()) return 2;
            int r = subsumes(nodes_[given].info, nodes_[a].info);
            if (r < 0) return -1;
            if (r) nodes_[a].dead = true;
        }
        std::erase_if(active_, [&](size_t a) { return nodes_[a].dead; });
        active_.push_back(given);
        // With a literal selected, factoring is left out: the selected
        // literal is resolved away first.
        if (nodes_[given].eligible.empty() && !add_factors(given, false, step)) return -1;
        // Index loop: add() may grow active_ only for premises, never here.
        for (size_t k = 0; k < active_.size() && empty_ < 0; ++k) {
            size_t other = active_[k];
            if (nodes_[other].dead || nodes_[given].dead) continue;
            if (!may_clash(nodes_[given].info, nodes_[other].info)) continue;
            if (timed_out()) return 2;
            if (interrupt_.tick(nodes_[other].info.literals.size() + 1)) return -1;
            Ref derived(rules::api().resolve_clauses_on(nodes_[given].info.clause, nodes_[other].info.clause,
                                                        eligible_of(nodes_[given]), eligible_of(nodes_[other])));
            if (!derived || !take(derived.get(), kResolution, given, other, step)) return -1;
        }
        return 1;
    }

    bool add_factors(size_t id, bool active, long long step = 0) {
        Ref derived(rules::api().factor_clause(nodes_[id].info.clause));
        return derived && take(derived.get(), kFactoring, id, -1, step, active);
    }

    // Adds the clauses of a rules result: a list of (clause, mgu, ...) tuples.
    bool take(PyObject* results, Rule rule, long long p1, long long p2, long long step, bool active = false) {
        Ref seq(PySequence_Fast(results, "rule results must be a sequence"));
        if (!seq) return false;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()) && empty_ < 0; ++i) {
            PyObject* entry = PySequence_Fast_GET_ITEM(seq.get(), i);
            PyObject* clause = PyTuple_Check(entry) && PyTuple_GET_SIZE(entry) > 0 ? PyTuple_GET_ITEM(entry, 0) : entry;
            if (add(clause, rule, p1, p2, step, active) == -1) return false;
        }
        return true;
    }

    // The steps of the refutation: the empty clause's ancestors in the order
    // they were derived.
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
            const Node& n = nodes_[id];
            Py_ssize_t premises[2];
            size_t count = 0;
            for (long long p : n.parents)
                if (p >= 0) premises[count++] = index[p];
            index[id] = proof::api().add_step(dag.get(), n.info.clause, names[n.rule].get(), premises, count);
            if (index[id] < 0) return nullptr;
        }
        return dag.release();
    }

    Strategy strategy_;
    long long max_steps_;
    long long steps_ = 0;
    Interrupt interrupt_;
    Ref seen_;
    Clock::time_point deadline_;
    std::vector<Node> nodes_;
    std::vector<size_t> active_;
    std::set<Entry> by_weight_, by_age_;
    long long empty_ = -1;
};

}  // namespace

int saturate(PyObject* premises, PyObject* goal, const Limits& limits, PyObject** dag, Outcome* why) {
    const Clock::time_point deadline = limits.deadline();
    const Clock::time_point now = Clock::now();
    // The set of support's share: a fifth of the time left and of the steps
    // (at least one step each way the limit allows).
    const Clock::time_point first_deadline = now + (deadline - now) / kSupportShare;
    const long long first_steps = std::max(1LL, limits.max_steps / kSupportShare);
    long long used = 0;
    {
        Saturation sos(Strategy::SetOfSupport, first_steps, first_deadline);
        int r = sos.run(premises, goal, dag, why);
        // Saturated: with a set of support no refutation exists but one of
        // the premises alone, which is no proof of the goal.
        if (r != 0 || *why == Outcome::Saturated) return r;
        used = sos.steps();
    }
    if (used >= limits.max_steps) return *why = Outcome::StepLimit, 0;
    Saturation selection(Strategy::Selection, limits.max_steps - used, deadline);
    return selection.run(premises, goal, dag, why);
}

}  // namespace quorvel::engine
