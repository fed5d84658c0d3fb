// Given-clause saturation with a set of support: the premises' clauses are
// usable from the start but never selected, so every inference involves a
// descendant of the negated goal. The system's falsum and verum atoms are
// read as the constants they stand for. Clauses stay the clausifier's values; the
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

struct Node {
    ClauseInfo info;
    Rule rule = kPremise;
    long long parents[2] = {-1, -1};
    long long birth = 0;  // the selection step that derived it
    bool dead = false;
};

using Entry = std::tuple<long long, uint64_t, size_t>;  // (weight or birth, key, node)

class Saturation {
public:
    Saturation(const Limits& limits)
        : limits_(limits), interrupt_(py::signal_interrupt()), seen_(PySet_New(nullptr)),
          deadline_(limits.deadline()) {}
    ~Saturation() {
        for (Node& n : nodes_) Py_XDECREF(n.info.clause);
    }

    int run(PyObject* premises, PyObject* goal, PyObject** dag, Outcome* why) {
        if (!seen_) return -1;
        // Premises: usable at once, with their factors.
        if (!add_inputs(premises, kPremise)) return -1;
        for (size_t i = 0; i < nodes_.size() && empty_ < 0; ++i) {
            if (nodes_[i].rule == kGoal) continue;
            if (!add_factors(i, true)) return -1;
        }
        if (empty_ < 0 && !add_inputs(goal, kGoal)) return -1;
        long long steps = 0;
        while (empty_ < 0 && !by_weight_.empty()) {
            if (steps >= limits_.max_steps) return *why = Outcome::StepLimit, 0;
            if (timed_out()) return *why = Outcome::Timeout, 0;
            if (PyErr_CheckSignals() < 0) return -1;
            size_t given = select(steps);
            ++steps;
            int r = process(given, steps);
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
            if (add(simplified.get(), rule, -1, -1, 0, rule == kPremise) == -1) return false;
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
        nodes_.push_back(std::move(n));
        size_t id = nodes_.size() - 1;
        Node& node = nodes_[id];
        if (!describe(node.info)) return -1;
        if (node.info.literals.empty()) {
            empty_ = static_cast<long long>(id);
            return static_cast<long long>(id);
        }
        int s = subsumed_by_active(id);
        if (s < 0) return -1;
        if (s) {
            node.dead = true;
            return -2;
        }
        if (active) {
            active_.push_back(id);
        } else {
            by_weight_.emplace(node.info.weight, node.info.key, id);
            by_age_.emplace(node.birth, node.info.key, id);
        }
        return static_cast<long long>(id);
    }

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
        by_weight_.erase({n.info.weight, n.info.key, id});
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
        if (!add_factors(given, false, step)) return -1;
        // Index loop: add() may grow active_ only for premises, never here.
        for (size_t k = 0; k < active_.size() && empty_ < 0; ++k) {
            size_t other = active_[k];
            if (nodes_[other].dead || nodes_[given].dead) continue;
            if (!may_clash(nodes_[given].info, nodes_[other].info)) continue;
            if (timed_out()) return 2;
            if (interrupt_.tick(nodes_[other].info.literals.size() + 1)) return -1;
            Ref derived(rules::api().resolve_clauses(nodes_[given].info.clause, nodes_[other].info.clause));
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

    Limits limits_;
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
    Saturation s(limits);
    return s.run(premises, goal, dag, why);
}

}  // namespace quorvel::engine
