// eliminate_implications, to_nnf, standardize_variables, drop_universals and
// distribute_cnf over the syntax-tree nodes themselves.
//
// Each walks with an explicit stack, so any depth works. A node with more
// than one holder (a shared sub-tree, as every equivalence makes) is
// rewritten once per call and context, and its result shared, so nested
// equivalences cost their number of objects, not their unfolded size. The
// exceptions are sub-trees whose every occurrence must differ: a quantifier
// gets a fresh variable at each place it occurs.
#include "quorvel/prover/clausifier/rewrite.h"

#include <utility>

#include "quorvel/core/substitutions/api.h"
#include "quorvel/prover/clausifier/state.h"
#include "quorvel/support/flat_map.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/ref.h"

namespace quorvel::clausifier {

using ast::Kind;
using py::Ref;

bool unsupported(const char* prefix, PyObject* o) {
    PyErr_Format(PyExc_ValueError, "%s%S", prefix, reinterpret_cast<PyObject*>(Py_TYPE(o)));
    return false;
}

PyObject* make_not(PyObject* operand) {
    const ast::Api& a = ast::api();
    return a.new_unary(a.types[static_cast<int>(Kind::Not)], operand);
}

PyObject* make_binary(Kind k, PyObject* left, PyObject* right) {
    const ast::Api& a = ast::api();
    return a.new_binary(a.types[static_cast<int>(k)], left, right);
}

PyObject* make_quantifier(Kind k, PyObject* variable, PyObject* body) {
    const ast::Api& a = ast::api();
    return a.new_quantifier(a.types[static_cast<int>(k)], variable, body);
}

namespace {

bool is_atom(Kind k) { return k == Kind::PredicateApp || k == Kind::Equality; }
bool shared(PyObject* o) { return Py_REFCNT(o) > 1; }

// ---------------------------------------------------------------------------
// A context-free rewrite: the result of a node depends on the node alone.
// `Rules` decides per node (enter) and builds from the children's results
// (leave).

struct Step {
    // enter: 0 leaf (result set), 1 compound (children set), -1 error.
    int code;
    PyObject* result;  // new reference, for a leaf
    int nkids;
    PyObject* kids[2];
};

template <class Rules>
PyObject* rewrite(PyObject* root, Rules& rules) {
    struct Item {
        PyObject* node;
        bool exit;
    };
    std::vector<Item> work{{root, false}};
    Results results;
    IdentityMap<PyObject*> memo;  // shared node -> its result (borrowed from `held`)
    Held held;
    Interrupts interrupts;
    while (!work.empty()) {
        Item it = work.back();
        work.pop_back();
        if (!interrupts.tick()) return nullptr;
        if (!it.exit) {
            if (shared(it.node))
                if (PyObject** found = memo.find(it.node)) {
                    results.push(Py_NewRef(*found));
                    continue;
                }
            Step s = rules.enter(it.node);
            if (s.code < 0) return nullptr;
            if (s.code == 0) {
                results.push(s.result);
                continue;
            }
            work.push_back({it.node, true});
            for (int i = s.nkids; i-- > 0;) work.push_back({s.kids[i], false});
            continue;
        }
        int n = rules.arity(it.node);
        PyObject* built = rules.leave(it.node, results.top(static_cast<size_t>(n)));
        results.drop(static_cast<size_t>(n));
        if (!built) return nullptr;
        if (shared(it.node)) memo.insert(it.node, held.keep(Py_NewRef(built)));
        results.push(built);
    }
    return results.pop();
}

Step leaf(PyObject* o) { return Step{0, Py_NewRef(o), 0, {}}; }
Step children(PyObject* a) { return Step{1, nullptr, 1, {a, nullptr}}; }
Step children(PyObject* a, PyObject* b) { return Step{1, nullptr, 2, {a, b}}; }
Step failed() { return Step{-1, nullptr, 0, {}}; }

int connective_arity(PyObject* o) {
    Kind k = ast::kind_of(o);
    return ast::is_binary(k) ? 2 : 1;
}

// ---------------------------------------------------------------------------
// eliminate_implications

struct Eliminate {
    Step enter(PyObject* o) {
        Kind k = ast::kind_of(o);
        if (is_atom(k)) return leaf(o);
        if (k == Kind::Not) return children(ast::as_unary(o)->operand);
        if (ast::is_binary(k)) return children(ast::as_binary(o)->left, ast::as_binary(o)->right);
        if (ast::is_first_order_quantifier(k)) return children(ast::as_quantifier(o)->body);
        unsupported("Unsupported formula node: ", o);
        return failed();
    }
    int arity(PyObject* o) { return connective_arity(o); }
    PyObject* leave(PyObject* o, PyObject** r) {
        Kind k = ast::kind_of(o);
        switch (k) {
            case Kind::Not:
                return make_not(r[0]);
            case Kind::Implies: {
                Ref na(make_not(r[0]));
                return na ? make_binary(Kind::Or, na.get(), r[1]) : nullptr;
            }
            case Kind::Iff: {
                Ref na(make_not(r[0]));
                Ref nb(make_not(r[1]));
                if (!na || !nb) return nullptr;
                Ref forward(make_binary(Kind::Or, na.get(), r[1]));
                Ref backward(make_binary(Kind::Or, nb.get(), r[0]));
                if (!forward || !backward) return nullptr;
                return make_binary(Kind::And, forward.get(), backward.get());
            }
            case Kind::And:
            case Kind::Or:
                return make_binary(k, r[0], r[1]);
            default:
                return make_quantifier(k, ast::as_quantifier(o)->variable, r[0]);
        }
    }
};

// ---------------------------------------------------------------------------
// to_nnf: the walk carries the polarity; (node, negated) is the context.

class Nnf {
public:
    PyObject* run(PyObject* root) {
        work_.push_back({root, false, false});
        if (!drain(work_, interrupts_, [&](const Item& it) { return it.exit ? leave(it) : enter(it); })) return nullptr;
        return results_.pop();
    }

private:
    struct Item {
        PyObject* node;
        bool negated;  // the node stands under a negation still to be pushed in
        bool exit;
    };
    struct Key {
        PyObject* node;
        bool negated;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        size_t operator()(const Key& k) const {
            return static_cast<size_t>(mix64(reinterpret_cast<uintptr_t>(k.node) ^ (k.negated ? 1 : 0)));
        }
    };

    bool memo_hit(const Item& it) {
        if (!shared(it.node)) return false;
        PyObject** found = memo_.find(Key{it.node, it.negated});
        if (!found) return false;
        results_.push(Py_NewRef(*found));
        return true;
    }

    void done(const Item& it, PyObject* owned) {
        if (shared(it.node)) memo_.insert(Key{it.node, it.negated}, held_.keep(Py_NewRef(owned)));
        results_.push(owned);
    }

    bool enter(const Item& it) {
        if (memo_hit(it)) return true;
        PyObject* o = it.node;
        Kind k = ast::kind_of(o);
        if (is_atom(k)) {
            if (!it.negated) {
                results_.push(Py_NewRef(o));
                return true;
            }
            PyObject* n = make_not(o);
            if (!n) return false;
            done(it, n);
            return true;
        }
        switch (k) {
            case Kind::Not: {
                PyObject* op = ast::as_unary(o)->operand;
                if (!it.negated) {
                    Kind ok = ast::kind_of(op);
                    if (is_atom(ok)) {
                        results_.push(Py_NewRef(o));  // the negated atom itself
                        return true;
                    }
                    work_.push_back({op, true, false});
                } else {
                    work_.push_back({op, false, false});  // double negation
                }
                return true;
            }
            case Kind::And:
            case Kind::Or:
                work_.push_back({o, it.negated, true});
                work_.push_back({ast::as_binary(o)->right, it.negated, false});
                work_.push_back({ast::as_binary(o)->left, it.negated, false});
                return true;
            case Kind::Forall:
            case Kind::Exists:
                work_.push_back({o, it.negated, true});
                work_.push_back({ast::as_quantifier(o)->body, it.negated, false});
                return true;
            case Kind::Implies:
            case Kind::Iff: {
                // Freed of implications at every depth first, then the same
                // rules apply.
                PyObject* e = rewrite(o, eliminate_);
                if (!e) return false;
                work_.push_back({held_.keep(e), it.negated, false});
                return true;
            }
            default:
                return unsupported(it.negated ? "Unsupported negated formula operand: " : "Unsupported formula node: ",
                                   o);
        }
    }

    bool leave(const Item& it) {
        PyObject* o = it.node;
        Kind k = ast::kind_of(o);
        PyObject* built;
        if (ast::is_binary(k)) {
            Kind out = !it.negated ? k : k == Kind::And ? Kind::Or : Kind::And;
            PyObject** r = results_.top(2);
            built = make_binary(out, r[0], r[1]);
            results_.drop(2);
        } else {
            Kind out = !it.negated ? k : k == Kind::Forall ? Kind::Exists : Kind::Forall;
            built = make_quantifier(out, ast::as_quantifier(o)->variable, *results_.top(1));
            results_.drop(1);
        }
        if (!built) return false;
        done(it, built);
        return true;
    }

    std::vector<Item> work_;
    Results results_;
    FlatMap<Key, PyObject*, KeyHash> memo_{Key{nullptr, false}};
    Held held_;
    Eliminate eliminate_;
    Interrupts interrupts_;
};

// ---------------------------------------------------------------------------
// standardize_variables

class Standardize {
public:
    explicit Standardize(long long first_id) : next_id_(first_id) {}

    PyObject* run(PyObject* root) {
        work_.push_back({root, false, 0});
        if (!drain(work_, interrupts_, [&](const Item& it) { return it.exit ? leave(it) : enter(it); })) return nullptr;
        return results_.pop();
    }

private:
    struct Item {
        PyObject* node;
        bool exit;
        long long drawn;  // the counter when the node was entered
    };
    struct Key {
        PyObject* node;
        uint64_t scope;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        size_t operator()(const Key& k) const {
            return static_cast<size_t>(mix64(reinterpret_cast<uintptr_t>(k.node) + k.scope * 0x9e3779b97f4a7c15ull));
        }
    };

    uint64_t scope() const { return scopes_.empty() ? 0 : scopes_.back(); }

    bool enter(const Item& it) {
        PyObject* o = it.node;
        if (shared(o))
            if (PyObject** found = memo_.find(Key{o, scope()})) {
                results_.push(Py_NewRef(*found));
                return true;
            }
        Kind k = ast::kind_of(o);
        if (is_atom(k)) {
            if (vars_.empty()) {
                results_.push(Py_NewRef(o));
                return true;
            }
            substitutions::Pairs pairs{vars_.data(), repls_.data(), vars_.size(), nullptr};
            PyObject* r = substitutions::api().substitute_formula_pairs(o, &pairs);
            if (!r) return false;
            remember(o, r);
            results_.push(r);
            return true;
        }
        if (k == Kind::Not) {
            work_.push_back({o, true, next_id_});
            work_.push_back({ast::as_unary(o)->operand, false, 0});
            return true;
        }
        if (ast::is_binary(k)) {
            work_.push_back({o, true, next_id_});
            work_.push_back({ast::as_binary(o)->right, false, 0});
            work_.push_back({ast::as_binary(o)->left, false, 0});
            return true;
        }
        if (ast::is_first_order_quantifier(k)) {
            PyObject* v = ast::as_quantifier(o)->variable;
            if (ast::kind_of(v) != Kind::Variable) {
                PyErr_Format(PyExc_TypeError, "quantified variable must be a Variable, got %S",
                             reinterpret_cast<PyObject*>(Py_TYPE(v)));
                return false;
            }
            Ref id(PyLong_FromLongLong(next_id_++));
            if (!id) return false;
            const ast::Api& a = ast::api();
            PyObject* fresh = a.new_variable(a.types[static_cast<int>(Kind::Variable)], id.get(),
                                             ast::as_variable(v)->var_kind, ast::as_variable(v)->term.sort);
            if (!fresh) return false;
            held_.keep(fresh);
            vars_.push_back(v);
            repls_.push_back(fresh);
            scopes_.push_back(++scope_count_);
            work_.push_back({o, true, next_id_ - 1});
            work_.push_back({ast::as_quantifier(o)->body, false, 0});
            return true;
        }
        return unsupported("Unsupported formula: ", o);
    }

    // Only results that drew no identifier may stand at a second place.
    void remember(PyObject* o, PyObject* result) {
        if (shared(o)) memo_.insert(Key{o, scope()}, held_.keep(Py_NewRef(result)));
    }

    bool leave(const Item& it) {
        PyObject* o = it.node;
        Kind k = ast::kind_of(o);
        PyObject* built;
        if (k == Kind::Not) {
            built = make_not(*results_.top(1));
            results_.drop(1);
        } else if (ast::is_binary(k)) {
            PyObject** r = results_.top(2);
            built = make_binary(k, r[0], r[1]);
            results_.drop(2);
        } else {
            PyObject* fresh = repls_.back();
            vars_.pop_back();
            repls_.pop_back();
            scopes_.pop_back();
            built = make_quantifier(k, fresh, *results_.top(1));
            results_.drop(1);
        }
        if (!built) return false;
        if (next_id_ == it.drawn) remember(o, built);
        results_.push(built);
        return true;
    }

    long long next_id_;
    std::vector<Item> work_;
    Results results_;
    std::vector<PyObject*> vars_, repls_;  // the renaming environment, innermost last
    std::vector<uint64_t> scopes_;
    uint64_t scope_count_ = 0;
    FlatMap<Key, PyObject*, KeyHash> memo_{Key{nullptr, 0}};
    Held held_;
    Interrupts interrupts_;
};

// ---------------------------------------------------------------------------
// drop_universals

struct DropUniversals {
    Step enter(PyObject* o) {
        Kind k = ast::kind_of(o);
        if (is_atom(k)) return leaf(o);
        if (k == Kind::Not) return children(ast::as_unary(o)->operand);
        if (k == Kind::And || k == Kind::Or) return children(ast::as_binary(o)->left, ast::as_binary(o)->right);
        if (ast::is_first_order_quantifier(k)) return children(ast::as_quantifier(o)->body);
        unsupported("Unsupported formula: ", o);
        return failed();
    }
    int arity(PyObject* o) { return connective_arity(o); }
    PyObject* leave(PyObject* o, PyObject** r) {
        Kind k = ast::kind_of(o);
        if (k == Kind::Forall) return Py_NewRef(r[0]);
        if (k == Kind::Exists) return make_quantifier(k, ast::as_quantifier(o)->variable, r[0]);
        if (k == Kind::Not) return make_not(r[0]);
        return make_binary(k, r[0], r[1]);
    }
};

// ---------------------------------------------------------------------------
// distribute_cnf

// The distribution of (x ∨ y) for distributed x and y: split the left side
// while it is a conjunction, then the right side; otherwise a new Or. The
// same pair met again (shared sub-trees) is built once.
class Merge {
public:
    PyObject* run(PyObject* x, PyObject* y) {
        work_.push_back({x, y, Kind::None});
        while (!work_.empty()) {
            Item it = work_.back();
            work_.pop_back();
            if (!interrupts_.tick()) return nullptr;
            if (it.exit != Kind::None) {
                PyObject** r = results_.top(2);
                PyObject* built = make_binary(Kind::And, r[0], r[1]);
                results_.drop(2);
                if (!built) return nullptr;
                // The pair's sides are results of this call: hold them, so
                // that their addresses are not reused while they key the memo.
                held_.keep(Py_NewRef(it.x));
                held_.keep(Py_NewRef(it.y));
                memo_.insert({it.x, it.y}, held_.keep(Py_NewRef(built)));
                results_.push(built);
                continue;
            }
            if (PyObject** found = memo_.find({it.x, it.y})) {
                results_.push(Py_NewRef(*found));
                continue;
            }
            if (ast::kind_of(it.x) == Kind::And) {
                ast::BinaryObject* a = ast::as_binary(it.x);
                work_.push_back({it.x, it.y, Kind::And});
                work_.push_back({a->right, it.y, Kind::None});
                work_.push_back({a->left, it.y, Kind::None});
            } else if (ast::kind_of(it.y) == Kind::And) {
                ast::BinaryObject* b = ast::as_binary(it.y);
                work_.push_back({it.x, it.y, Kind::And});
                work_.push_back({it.x, b->right, Kind::None});
                work_.push_back({it.x, b->left, Kind::None});
            } else {
                PyObject* built = make_binary(Kind::Or, it.x, it.y);
                if (!built) return nullptr;
                results_.push(built);
            }
        }
        return results_.pop();
    }

private:
    struct Item {
        PyObject* x;
        PyObject* y;
        Kind exit;  // And: build the conjunction of the two results
    };
    using Pair = std::pair<PyObject*, PyObject*>;
    struct PairHash {
        size_t operator()(const Pair& p) const {
            return static_cast<size_t>(mix64(reinterpret_cast<uintptr_t>(p.first) * 31 + reinterpret_cast<uintptr_t>(p.second)));
        }
    };

    std::vector<Item> work_;
    Results results_;
    FlatMap<Pair, PyObject*, PairHash> memo_{Pair{nullptr, nullptr}};
    Held held_;
    Interrupts interrupts_;
};

struct Distribute {
    Step enter(PyObject* o) {
        Kind k = ast::kind_of(o);
        if (is_atom(k) || k == Kind::Not) return leaf(o);
        if (k == Kind::And || k == Kind::Or) return children(ast::as_binary(o)->left, ast::as_binary(o)->right);
        unsupported("Unsupported formula in CNF distribution: ", o);
        return failed();
    }
    int arity(PyObject*) { return 2; }
    PyObject* leave(PyObject* o, PyObject** r) {
        if (ast::kind_of(o) == Kind::And) return make_binary(Kind::And, r[0], r[1]);
        return merge.run(r[0], r[1]);
    }
    Merge merge;
};

}  // namespace

PyObject* eliminate_implications(PyObject* formula) {
    return py::guard<PyObject*>(nullptr, [&] {
        Eliminate rules;
        return rewrite(formula, rules);
    });
}

PyObject* to_nnf(PyObject* formula) {
    return py::guard<PyObject*>(nullptr, [&] { return Nnf().run(formula); });
}

PyObject* standardize_variables(PyObject* formula) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        // The variable collection first: it refuses what is no node at all.
        Ref free(ast::api().free_variables(formula));
        if (!free) return nullptr;
        long long top = -1;
        if (substitutions::api().max_variable_id(formula, &top) < 0) return nullptr;
        return Standardize(top < 0 ? 1 : top + 1).run(formula);
    });
}

PyObject* drop_universals(PyObject* formula) {
    return py::guard<PyObject*>(nullptr, [&] {
        DropUniversals rules;
        return rewrite(formula, rules);
    });
}

PyObject* distribute_cnf(PyObject* formula) {
    return py::guard<PyObject*>(nullptr, [&] {
        Distribute rules;
        return rewrite(formula, rules);
    });
}

}  // namespace quorvel::clausifier
