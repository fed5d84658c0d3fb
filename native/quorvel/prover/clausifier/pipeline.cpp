// to_cnf in one native walk.
//
// The six rewriting steps are fused: the walk pushes negations inward as it
// goes (an implication or equivalence read by its polarity), numbers each
// quantifier it meets in the order the renaming step would, replaces each
// existential by its Skolem term and drops each universal, and applies the
// bindings of the quantifiers above an atom to that atom alone. Its result is
// the quantifier-free negation normal form as a native DAG over literal
// numbers, which is distributed into clauses natively (clauses.cpp); only the
// atoms, literals and clauses of the answer become Python objects. The
// clauses are exactly those of the step-by-step pipeline, in its order, with
// the same Skolem names and registrations.
//
// The walk visits the formula as the steps' tree: a shared sub-formula is
// walked once per polarity and quantifier scope when it holds no quantifier,
// and at every place otherwise, since each place gets its own variables.
#include <vector>

#include "quorvel/core/substitutions/api.h"
#include "quorvel/prover/clausifier/clause_set.h"
#include "quorvel/prover/clausifier/nnf_dag.h"
#include "quorvel/prover/clausifier/rewrite.h"
#include "quorvel/prover/clausifier/skolem.h"
#include "quorvel/prover/clausifier/state.h"
#include "quorvel/support/flat_map.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/ref.h"

namespace quorvel::clausifier {

using ast::Kind;
using py::Ref;

namespace {

bool is_atom(Kind k) { return k == Kind::PredicateApp || k == Kind::Equality; }

// What the first step would refuse, checked before anything is numbered or
// registered: a failing call leaves counters and signature as they were.
bool check_supported(PyObject* root) {
    std::vector<PyObject*> stack{root};
    IdentityMap<bool> seen;
    Interrupts interrupts;
    while (!stack.empty()) {
        PyObject* o = stack.back();
        stack.pop_back();
        if (!interrupts.tick()) return false;
        if (Py_REFCNT(o) > 1 && !seen.insert(o, true).second) continue;
        Kind k = ast::kind_of(o);
        if (is_atom(k)) continue;
        if (k == Kind::Not) {
            stack.push_back(ast::as_unary(o)->operand);
        } else if (ast::is_binary(k)) {
            stack.push_back(ast::as_binary(o)->right);
            stack.push_back(ast::as_binary(o)->left);
        } else if (ast::is_first_order_quantifier(k)) {
            stack.push_back(ast::as_quantifier(o)->body);
        } else {
            return unsupported("Unsupported formula node: ", o);
        }
    }
    // Then what the renaming would refuse.
    stack.assign(1, root);
    IdentityMap<bool> seen_again;
    while (!stack.empty()) {
        PyObject* o = stack.back();
        stack.pop_back();
        if (Py_REFCNT(o) > 1 && !seen_again.insert(o, true).second) continue;
        Kind k = ast::kind_of(o);
        if (ast::is_first_order_quantifier(k)) {
            PyObject* v = ast::as_quantifier(o)->variable;
            if (ast::kind_of(v) != Kind::Variable) {
                PyErr_Format(PyExc_TypeError, "quantified variable must be a Variable, got %S",
                             reinterpret_cast<PyObject*>(Py_TYPE(v)));
                return false;
            }
        }
        PyObject* kids[2];
        int n = ast::formula_children(o, k, kids);
        for (int i = n; i-- > 0;) stack.push_back(kids[i]);
    }
    return true;
}

class Walk {
public:
    Walk(PyObject* root, PyObject* signature, long long first_id, Lifter& lifter, NnfDag& dag)
        : next_id_(first_id), lifter_(lifter), dag_(dag), skolem_(root, signature), memo_(Key{nullptr, false, 0}) {}

    bool run(PyObject* root, uint32_t& out) {
        work_.push_back(Item{root, false, Exit::None, 0});
        if (!drain(work_, interrupts_, [&](const Item& it) { return it.exit == Exit::None ? enter(it) : leave(it); }))
            return false;
        out = results_.back();
        return true;
    }

private:
    enum class Exit : uint8_t { None, And, Or, Scope };
    struct Item {
        PyObject* node;
        bool negated;
        Exit exit;
        uint64_t drawn;  // quantifiers numbered when the node was entered
    };
    struct Key {
        PyObject* node;
        bool negated;
        uint64_t scope;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        size_t operator()(const Key& k) const {
            return static_cast<size_t>(
                mix64(reinterpret_cast<uintptr_t>(k.node) ^ (k.scope * 0x9e3779b97f4a7c15ull) ^ (k.negated ? 1 : 0)));
        }
    };

    uint64_t scope() const { return scopes_.empty() ? 0 : scopes_.back(); }
    uint64_t drawn() const { return static_cast<uint64_t>(next_id_); }

    void push_children(PyObject* o, bool negated, Exit exit, PyObject* left, bool left_negated, PyObject* right,
                       bool right_negated) {
        work_.push_back(Item{o, negated, exit, drawn()});
        work_.push_back(Item{right, right_negated, Exit::None, 0});
        work_.push_back(Item{left, left_negated, Exit::None, 0});
    }

    bool enter(const Item& it) {
        PyObject* o = it.node;
        bool neg = it.negated;
        if (Py_REFCNT(o) > 1)
            if (uint32_t* found = memo_.find(Key{o, neg, scope()})) {
                dag_.share(*found);
                results_.push_back(*found);
                return true;
            }
        Kind k = ast::kind_of(o);
        if (is_atom(k)) return atom(o, neg);
        switch (k) {
            case Kind::Not:
                work_.push_back(Item{ast::as_unary(o)->operand, !neg, Exit::None, 0});
                return true;
            case Kind::And:
            case Kind::Or: {
                Exit e = (k == Kind::And) != neg ? Exit::And : Exit::Or;
                push_children(o, neg, e, ast::as_binary(o)->left, neg, ast::as_binary(o)->right, neg);
                return true;
            }
            case Kind::Implies:
                // A -> B is ~A | B; its negation A & ~B.
                push_children(o, neg, neg ? Exit::And : Exit::Or, ast::as_binary(o)->left, !neg,
                              ast::as_binary(o)->right, neg);
                return true;
            case Kind::Iff: {
                // A <-> B is (~A | B) & (~B | A); its negation
                // (A & ~B) | (B & ~A). The halves are read as the two
                // implications, in this order.
                PyObject* a = ast::as_binary(o)->left;
                PyObject* b = ast::as_binary(o)->right;
                Exit outer = neg ? Exit::Or : Exit::And;
                Exit inner = neg ? Exit::And : Exit::Or;
                work_.push_back(Item{o, neg, outer, drawn()});
                // Second half first on the stack: it is walked last.
                work_.push_back(Item{o, neg, inner, 0});
                work_.push_back(Item{a, neg, Exit::None, 0});
                work_.push_back(Item{b, !neg, Exit::None, 0});
                work_.push_back(Item{o, neg, inner, 0});
                work_.push_back(Item{b, neg, Exit::None, 0});
                work_.push_back(Item{a, !neg, Exit::None, 0});
                return true;
            }
            default:  // Forall, Exists (checked before the walk)
                return quantifier(o, (k == Kind::Forall) != neg);
        }
    }

    // Numbers the quantifier, as renaming apart would, then binds its
    // variable: a universal to the new variable, an existential to its
    // Skolem term over the universals around it.
    bool quantifier(PyObject* o, bool universal) {
        PyObject* v = ast::as_quantifier(o)->variable;
        Ref id(PyLong_FromLongLong(next_id_++));
        if (!id) return false;
        const ast::Api& a = ast::api();
        PyObject* fresh = a.new_variable(a.types[static_cast<int>(Kind::Variable)], id.get(),
                                         ast::as_variable(v)->var_kind, ast::as_variable(v)->term.sort);
        if (!fresh) return false;
        held_.keep(fresh);
        PyObject* bound = fresh;
        if (universal) {
            universals_.push_back(fresh);
        } else {
            PyObject* term = skolem_.make(fresh, universals_);
            if (!term) return false;
            bound = held_.keep(term);
        }
        Py_hash_t h = PyObject_Hash(v);
        if (h == -1) return false;
        vars_.push_back(v);
        terms_.push_back(bound);
        hashes_.push_back(h);
        scopes_.push_back(++scope_count_);
        work_.push_back(Item{o, universal, Exit::Scope, drawn()});
        bool neg = (ast::kind_of(o) == Kind::Forall) != universal;
        work_.push_back(Item{ast::as_quantifier(o)->body, neg, Exit::None, 0});
        return true;
    }

    bool atom(PyObject* o, bool neg) {
        PyObject* final_atom = o;
        if (!vars_.empty()) {
            substitutions::Pairs pairs{vars_.data(), terms_.data(), vars_.size(), hashes_.data()};
            PyObject* r = substitutions::api().substitute_formula_pairs(o, &pairs);
            if (!r) return false;
            final_atom = held_.keep(r);
        }
        Lit l;
        if (!lifter_.literal(final_atom, neg, l)) return false;
        uint32_t n = dag_.literal(l);
        results_.push_back(n);
        return true;
    }

    bool leave(const Item& it) {
        uint32_t result;
        if (it.exit == Exit::Scope) {
            if (it.negated) universals_.pop_back();  // `negated` carries "universal" here
            vars_.pop_back();
            terms_.pop_back();
            hashes_.pop_back();
            scopes_.pop_back();
            return true;  // the body's result stands for the quantifier
        }
        uint32_t right = results_.back();
        results_.pop_back();
        uint32_t left = results_.back();
        results_.pop_back();
        result = dag_.binary(it.exit == Exit::And ? NnfDag::Op::And : NnfDag::Op::Or, left, right);
        // The item of an equivalence's half carries drawn 0 and is never
        // remembered; the whole one is.
        if (it.drawn != 0 && drawn() == it.drawn && Py_REFCNT(it.node) > 1)
            memo_.insert(Key{it.node, it.negated, scope()}, result);
        results_.push_back(result);
        return true;
    }

    long long next_id_;
    Lifter& lifter_;
    NnfDag& dag_;
    SkolemTerms skolem_;
    std::vector<Item> work_;
    std::vector<uint32_t> results_;
    std::vector<PyObject*> vars_, terms_;  // input variable -> its replacement, innermost last
    std::vector<Py_hash_t> hashes_;       // hash of each of vars_
    std::vector<PyObject*> universals_;   // the new universal variables around, outermost first
    std::vector<uint64_t> scopes_;
    uint64_t scope_count_ = 0;
    FlatMap<Key, uint32_t, KeyHash> memo_;
    Held held_;
    Interrupts interrupts_;
};

}  // namespace

PyObject* to_cnf(PyObject* formula, PyObject* signature) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!check_supported(formula)) return nullptr;
        long long top = -1;
        if (substitutions::api().max_variable_id(formula, &top) < 0) return nullptr;
        Lifter lifter;
        NnfDag dag;
        uint32_t root;
        if (!Walk(formula, signature, top < 0 ? 1 : top + 1, lifter, dag).run(formula, root)) return nullptr;
        ClausePool pool;
        std::vector<ClauseId> ids;
        if (!distribute(dag, root, pool, ids)) return nullptr;
        return lift_all(lifter, pool, ids);
    });
}

PyObject* negate_and_clausify(PyObject* formula, PyObject* signature) {
    Ref negation(make_not(formula));
    if (!negation) return nullptr;
    return to_cnf(negation.get(), signature);
}

}  // namespace quorvel::clausifier
