// Reading clauses off formulas: formula_to_clauses for a formula already in
// conjunctive normal form, and the distribution step of to_cnf, which goes
// straight from a quantifier-free negation normal form to clauses.
//
// Distribution by clause lists: the clauses of a conjunction are those of
// its parts in order, those of a disjunction the unions of one clause of
// each part, the first part varying slowest -- exactly the clauses, in the
// order, that distribute_cnf followed by formula_to_clauses gives. A union
// that is a tautology is dropped at once: every clause built from it would
// be one too. Shared sub-formulas get their clause list once.
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "quorvel/prover/clausifier/clause_set.h"
#include "quorvel/prover/clausifier/nnf_dag.h"
#include "quorvel/prover/clausifier/rewrite.h"
#include "quorvel/prover/clausifier/state.h"
#include "quorvel/support/flat_map.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/ref.h"

namespace quorvel::clausifier {

using ast::Kind;
using py::Ref;

namespace {

bool is_atom(Kind k) { return k == Kind::PredicateApp || k == Kind::Equality; }

bool literal_of(Lifter& lifter, PyObject* node, Kind k, Lit& out) {
    if (is_atom(k)) return lifter.literal(node, false, out);
    PyObject* operand = ast::as_unary(node)->operand;
    if (!is_atom(ast::kind_of(operand))) {
        PyErr_SetNone(PyExc_AssertionError);
        return false;
    }
    return lifter.literal(operand, true, out);
}

}  // namespace

PyObject* lift_all(Lifter& lifter, const ClausePool& pool, const std::vector<ClauseId>& ids) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(ids.size())));
    if (!list) return nullptr;
    Interrupts interrupts;
    for (size_t i = 0; i < ids.size(); ++i) {
        if (!interrupts.tick(pool.length(ids[i]) + 1)) return nullptr;
        PyObject* c = lifter.clause(pool, ids[i]);
        if (!c) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), c);
    }
    return list.release();
}

namespace {

// ---------------------------------------------------------------------------
// The memory a clause list would take, checked before it is built: more
// than the machine has is a MemoryError now rather than an exhausted
// machine later.

double physical_memory() {
    static const double bytes = [] {
        long pages = sysconf(_SC_PHYS_PAGES), size = sysconf(_SC_PAGESIZE);
        return pages > 0 && size > 0 ? static_cast<double>(pages) * static_cast<double>(size) : 1e18;
    }();
    return bytes;
}

// Bytes per clause beyond its literals: pool entry, list slot, and the
// Clause and frozenset objects made at the end.
constexpr double kClauseBytes = 16 + 8 + 48 + 216;
constexpr double kLiteralBytes = 4 + 16;

bool fits(double clauses, double literals) {
    if (clauses * kClauseBytes + literals * kLiteralBytes <= physical_memory()) return true;
    PyErr_NoMemory();
    return false;
}

// ---------------------------------------------------------------------------

class Distributor {
public:
    Distributor(const NnfDag& dag, ClausePool& pool) : dag_(dag), pool_(pool) {}

    bool run(uint32_t root, std::vector<ClauseId>& out) {
        lists_.assign(dag_.size(), std::vector<ClauseId>());
        solved_.assign(dag_.size(), false);
        if (!solve(root)) return false;
        out = std::move(lists_[root]);
        return true;
    }

private:
    struct Frame {
        uint32_t node;
        size_t first_part;  // into parts_
        size_t nparts;
        size_t next;        // parts started so far
    };

    // The parts of the maximal tree of the node's connective, left to right,
    // stopping at shared nodes (they get their own list).
    void flatten(uint32_t node, std::vector<uint32_t>& out) {
        NnfDag::Op op = dag_[node].op;
        scratch_.assign(1, node);
        bool top = true;
        while (!scratch_.empty()) {
            uint32_t n = scratch_.back();
            scratch_.pop_back();
            if (dag_[n].op == op && (top || !dag_.shared(n))) {
                scratch_.push_back(dag_[n].b);
                scratch_.push_back(dag_[n].a);
            } else {
                out.push_back(n);
            }
            top = false;
        }
    }

    bool solve(uint32_t root) {
        std::vector<Frame> stack;
        auto start = [&](uint32_t n) {
            if (solved_[n]) return;
            if (dag_[n].op == NnfDag::Op::Literal) {
                std::vector<Lit> one{dag_[n].a};
                ClauseId c;
                pool_.add_literals(one, c);
                lists_[n].push_back(c);
                solved_[n] = true;
                return;
            }
            size_t first = parts_.size();
            flatten(n, parts_);
            stack.push_back(Frame{n, first, parts_.size() - first, 0});
        };
        start(root);
        while (!stack.empty()) {
            Frame& f = stack.back();
            if (f.next < f.nparts) {
                uint32_t part = parts_[f.first_part + f.next++];
                start(part);  // may grow the stack: f is not used after this
                continue;
            }
            Frame done = f;
            stack.pop_back();
            const uint32_t* parts = parts_.data() + done.first_part;
            std::vector<ClauseId> result;
            bool ok = dag_[done.node].op == NnfDag::Op::And ? conjoin(parts, done.nparts, result)
                                                            : disjoin(parts, done.nparts, result);
            if (!ok) return false;
            for (size_t i = 0; i < done.nparts; ++i)
                if (!dag_.shared(parts[i])) std::vector<ClauseId>().swap(lists_[parts[i]]);
            parts_.resize(done.first_part);
            lists_[done.node] = std::move(result);
            solved_[done.node] = true;
        }
        return true;
    }

    bool conjoin(const uint32_t* parts, size_t n, std::vector<ClauseId>& out) {
        double total = 0;
        for (size_t i = 0; i < n; ++i) total += static_cast<double>(lists_[parts[i]].size());
        if (!fits(total, 0)) return false;
        out.reserve(static_cast<size_t>(total));
        for (size_t i = 0; i < n; ++i) {
            const std::vector<ClauseId>& l = lists_[parts[i]];
            out.insert(out.end(), l.begin(), l.end());
        }
        return interrupts_.tick(static_cast<uint64_t>(total));
    }

    bool disjoin(const uint32_t* parts, size_t n, std::vector<ClauseId>& out) {
        // Parts of one clause only add literals to every union: merge them
        // into one clause first, so a long disjunction of literals costs
        // linear time.
        std::vector<Lit> common;
        std::vector<const std::vector<ClauseId>*> several;
        for (size_t i = 0; i < n; ++i) {
            const std::vector<ClauseId>& l = lists_[parts[i]];
            if (l.empty()) return true;  // a part without clauses: no union at all
            if (l.size() == 1) {
                common.insert(common.end(), pool_.begin(l[0]), pool_.end(l[0]));
            } else {
                several.push_back(&l);
            }
        }
        if (!interrupts_.tick(common.size())) return false;
        // The whole product, before tautologies are dropped (as distributing
        // the formula would build it), must fit.
        double count = 1, longest = static_cast<double>(common.size());
        for (const std::vector<ClauseId>* part : several) {
            count *= static_cast<double>(part->size());
            size_t most = 0;
            for (ClauseId c : *part) most = std::max(most, pool_.length(c));
            longest += static_cast<double>(most);
        }
        if (!fits(count, count * longest)) return false;
        ClauseId base;
        if (!pool_.add_literals(common, base)) return true;  // a tautology
        std::vector<ClauseId> acc{base}, next;
        for (const std::vector<ClauseId>* part : several) {
            next.clear();
            for (ClauseId a : acc)
                for (ClauseId b : *part) {
                    if (!interrupts_.tick(pool_.length(a) + pool_.length(b))) return false;
                    ClauseId c;
                    if (pool_.add_union(a, b, c)) next.push_back(c);
                }
            acc.swap(next);
            if (acc.empty()) return true;
        }
        out = std::move(acc);
        return true;
    }

    const NnfDag& dag_;
    ClausePool& pool_;
    std::vector<std::vector<ClauseId>> lists_;  // by node
    std::vector<bool> solved_;
    std::vector<uint32_t> parts_, scratch_;
    Interrupts interrupts_;
};

}  // namespace

PyObject* formula_to_clauses(PyObject* formula) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        Lifter lifter;
        ClausePool pool;
        Interrupts interrupts;
        // The conjuncts, left to right.
        std::vector<PyObject*> conjuncts, stack{formula};
        while (!stack.empty()) {
            PyObject* o = stack.back();
            stack.pop_back();
            if (!interrupts.tick()) return nullptr;
            if (ast::kind_of(o) == Kind::And) {
                stack.push_back(ast::as_binary(o)->right);
                stack.push_back(ast::as_binary(o)->left);
            } else {
                conjuncts.push_back(o);
            }
        }
        std::vector<ClauseId> ids;
        std::vector<Lit> lits;
        for (PyObject* conjunct : conjuncts) {
            lits.clear();
            stack.assign(1, conjunct);
            while (!stack.empty()) {
                PyObject* o = stack.back();
                stack.pop_back();
                if (!interrupts.tick()) return nullptr;
                Kind k = ast::kind_of(o);
                if (k == Kind::Or) {
                    stack.push_back(ast::as_binary(o)->right);
                    stack.push_back(ast::as_binary(o)->left);
                    continue;
                }
                if (k != Kind::Not && !is_atom(k)) {
                    unsupported("Unexpected formula inside clause: ", o);
                    return nullptr;
                }
                Lit l;
                if (!literal_of(lifter, o, k, l)) return nullptr;
                lits.push_back(l);
            }
            ClauseId c;
            if (pool.add_literals(lits, c)) ids.push_back(c);
        }
        return lift_all(lifter, pool, ids);
    });
}

bool distribute(const NnfDag& dag, uint32_t root, ClausePool& pool, std::vector<ClauseId>& out) {
    return Distributor(dag, pool).run(root, out);
}

}  // namespace quorvel::clausifier
