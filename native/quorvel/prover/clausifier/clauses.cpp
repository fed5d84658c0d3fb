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
    explicit Distributor(Lifter& lifter) : lifter_(lifter) {}

    // The clause ids of `root`; false with an exception set.
    bool run(PyObject* root, std::vector<ClauseId>& out) {
        uint32_t r;
        if (!solve(root, r)) return false;
        out = std::move(lists_[r]);
        return true;
    }

    const ClausePool& pool() const { return pool_; }

private:
    struct Frame {
        PyObject* node;
        Kind kind;
        size_t first_part;  // into parts_
        size_t nparts;
        size_t next;        // parts solved so far
    };

    // Clause lists, by number; a node's number once solved.
    uint32_t new_list() {
        lists_.emplace_back();
        kept_.push_back(false);
        return static_cast<uint32_t>(lists_.size() - 1);
    }

    void keep(PyObject* node, uint32_t list) {
        done_.insert(node, list);
        kept_[list] = true;
    }

    // The parts of the maximal tree of `kind` under `node`, left to right,
    // stopping at shared nodes (they get their own list).
    void flatten(PyObject* node, Kind kind, std::vector<PyObject*>& out) {
        scratch_.assign(1, node);
        bool top = true;
        while (!scratch_.empty()) {
            PyObject* o = scratch_.back();
            scratch_.pop_back();
            if (ast::kind_of(o) == kind && (top || Py_REFCNT(o) <= 1)) {
                scratch_.push_back(ast::as_binary(o)->right);
                scratch_.push_back(ast::as_binary(o)->left);
            } else {
                out.push_back(o);
            }
            top = false;
        }
    }

    // A leaf's list, or false.
    bool leaf(PyObject* o, Kind k, uint32_t& out) {
        Lit l;
        if (!literal_of(lifter_, o, k, l)) return false;
        std::vector<Lit> one{l};
        ClauseId c;
        pool_.add_literals(one, c);
        out = new_list();
        lists_[out].push_back(c);
        return true;
    }

    bool solve(PyObject* root, uint32_t& out) {
        std::vector<Frame> stack;
        std::vector<uint32_t> solved;  // lists of finished parts, in order
        auto start = [&](PyObject* o) -> int {  // 1 pushed a frame, 0 solved, -1 error
            if (Py_REFCNT(o) > 1)
                if (const uint32_t* known = done_.find(o)) {
                    solved.push_back(*known);
                    return 0;
                }
            Kind k = ast::kind_of(o);
            if (is_atom(k) || k == Kind::Not) {
                uint32_t l;
                if (!leaf(o, k, l)) return -1;
                if (Py_REFCNT(o) > 1) keep(o, l);
                solved.push_back(l);
                return 0;
            }
            if (k != Kind::And && k != Kind::Or) {
                unsupported("Unsupported formula in CNF distribution: ", o);
                return -1;
            }
            size_t first = parts_.size();
            flatten(o, k, parts_);
            stack.push_back(Frame{o, k, first, parts_.size() - first, 0});
            return 1;
        };
        if (start(root) < 0) return false;
        while (!stack.empty()) {
            Frame& f = stack.back();
            if (f.next < f.nparts) {
                PyObject* part = parts_[f.first_part + f.next++];
                if (start(part) < 0) return false;
                continue;
            }
            Frame done = f;
            stack.pop_back();
            const uint32_t* parts = solved.data() + solved.size() - done.nparts;
            uint32_t result = new_list();
            bool ok = done.kind == Kind::And ? conjoin(parts, done.nparts, lists_[result])
                                             : disjoin(parts, done.nparts, lists_[result]);
            if (!ok) return false;
            release(parts, done.nparts);
            solved.resize(solved.size() - done.nparts);
            parts_.resize(done.first_part);
            if (Py_REFCNT(done.node) > 1) keep(done.node, result);
            solved.push_back(result);
        }
        out = solved.back();
        return true;
    }

    // Frees the lists of parts that no other node can ask for again.
    void release(const uint32_t* parts, size_t n) {
        for (size_t i = 0; i < n; ++i)
            if (!kept_[parts[i]]) std::vector<ClauseId>().swap(lists_[parts[i]]);
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
            double count = static_cast<double>(acc.size()) * static_cast<double>(part->size());
            double acc_lits = 0, part_lits = 0;
            for (ClauseId c : acc) acc_lits += static_cast<double>(pool_.length(c));
            for (ClauseId c : *part) part_lits += static_cast<double>(pool_.length(c));
            double lits = acc_lits * static_cast<double>(part->size()) + part_lits * static_cast<double>(acc.size());
            if (!fits(count + static_cast<double>(pool_.size()), lits)) return false;
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

    Lifter& lifter_;
    ClausePool pool_;
    std::vector<std::vector<ClauseId>> lists_;
    IdentityMap<uint32_t> done_;  // shared node -> its list
    std::vector<bool> kept_;      // by list: asked for again through done_
    std::vector<PyObject*> parts_, scratch_;
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

PyObject* distributed_clauses(PyObject* formula) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        Lifter lifter;
        Distributor d(lifter);
        std::vector<ClauseId> ids;
        if (!d.run(formula, ids)) return nullptr;
        return lift_all(lifter, d.pool(), ids);
    });
}

PyObject* to_cnf(PyObject* formula, PyObject* signature) {
    Ref e(eliminate_implications(formula));
    if (!e) return nullptr;
    Ref n(to_nnf(e.get()));
    if (!n) return nullptr;
    e = Ref();
    Ref s(standardize_variables(n.get()));
    if (!s) return nullptr;
    n = Ref();
    Ref k(skolemize(s.get(), signature));
    if (!k) return nullptr;
    s = Ref();
    Ref d(drop_universals(k.get()));
    if (!d) return nullptr;
    k = Ref();
    return distributed_clauses(d.get());
}

PyObject* negate_and_clausify(PyObject* formula, PyObject* signature) {
    Ref negation(make_not(formula));
    if (!negation) return nullptr;
    return to_cnf(negation.get(), signature);
}

}  // namespace quorvel::clausifier
