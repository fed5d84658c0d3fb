// A fast path of KripkeModel.evaluate: forcing decided for whole sets of
// worlds at once. The worlds reachable from the start world are read once,
// and each subformula gets the bitset of the reachable worlds that force it
// (computed on demand, a conjunction's right side only when its left side
// holds somewhere, and so on). Truth at the start world is then one bit.
//
// Used only when no step can run user code, so that evaluating more pairs
// than the pointwise definition would is unobservable: the model's
// containers are exact dicts and sets, every world reached is an exact
// World of an int and a str, and the formula is built from the exact node
// classes over propositional atoms (and leaves that are never forced).
// Otherwise the pointwise engine (forcing.cpp) runs.
#include <algorithm>
#include <vector>

#include "quorvel/constructive/kripke/graph.h"
#include "quorvel/constructive/kripke/intern.h"
#include "quorvel/constructive/kripke/model.h"
#include "quorvel/core/ast/api.h"
#include "quorvel/support/py/constructive.h"
#include "quorvel/support/py/interrupt.h"

namespace quorvel::kripke {
namespace {

using ast::Kind;

enum class Op : uint8_t { False, True, Atom, Not, And, Or, Implies, Iff };

// Beyond these sizes the bitsets cost more than pointwise forcing saves.
constexpr size_t kMaxWorlds = 4096;
constexpr size_t kMaxTruthWords = size_t{1} << 22;

bool plain_world(PyObject* o) {
    if (Py_TYPE(o) != state().api.world_type) return false;
    auto* w = as_world(o);
    return PyLong_CheckExact(w->id) && PyUnicode_CheckExact(w->name);
}

// An atom whose equality and hash are the node's own: P with no arguments.
bool plain_atom(PyObject* o) {
    auto* p = ast::as_predicate_app(o);
    return PyUnicode_CheckExact(p->pred) && PyLong_CheckExact(p->arity) && PyTuple_CheckExact(p->args) &&
           PyTuple_GET_SIZE(p->args) == 0;
}

class SetForcing {
public:
    explicit SetForcing(PyObject* self) : self_(self) {}

    // 0/1, -1 with an exception, or kNotApplicable (nothing done, no error).
    int run(PyObject* formula, PyObject* world) {
        int r = read_formula(formula);
        if (r != 0) return r;
        // Below two levels of Not/Implies the pointwise engine reads at most
        // the start world's successors, far less than the whole cone.
        if (nodes_[root_].modal < 2) return kNotApplicable;
        r = read_worlds(world);
        if (r != 0) return r;
        n_ = worlds_.size();
        words_ = (n_ + 63) / 64;
        if (n_ > kMaxWorlds || nodes_.size() * words_ > kMaxTruthWords) return kNotApplicable;
        succ_bits_ = BitRows(n_, n_);
        for (size_t q = 0; q < n_; ++q)
            for (uint32_t s : succ_[q]) succ_bits_.set(q, s);
        if ((class_count_ && !atom_truth()) || !compute()) return -1;
        return static_cast<int>(truth_[root_][0] & 1);  // the start world is number 0
    }

private:
    struct Node {
        Op op;
        PyObject* obj;
        uint32_t a = 0, b = 0;
        uint32_t modal = 0;  // nesting of Not, Implies and Iff
    };

    // Numbers the formula DAG (children before parents); kNotApplicable
    // for anything but exact connectives over plain leaves.
    int read_formula(PyObject* root) {
        struct Frame {
            PyObject* o;
            bool expanded;
        };
        std::vector<Frame> stack{{root, false}};
        while (!stack.empty()) {
            auto [o, expanded] = stack.back();
            if (index_.find(o) != AddressIndex::kMissing) {
                stack.pop_back();
                continue;
            }
            Kind k = ast::exact_kind_of(o);
            PyObject* kids[2] = {nullptr, nullptr};
            if (k == Kind::Not) {
                kids[0] = ast::as_unary(o)->operand;
            } else if (ast::is_binary(k)) {
                kids[0] = ast::as_binary(o)->left;
                kids[1] = ast::as_binary(o)->right;
            } else if (k == Kind::None || (k == Kind::PredicateApp && !plain_atom(o)) || ast::is_term_kind(k) ||
                       k == Kind::Formula) {
                return kNotApplicable;
            }
            if (!expanded && kids[0]) {
                stack.back().expanded = true;
                for (PyObject* kid : kids)
                    if (kid) stack.push_back({kid, false});
                continue;
            }
            stack.pop_back();
            Node node{Op::False, o};
            switch (k) {
                case Kind::PredicateApp: {
                    int f = py::is_falsum(o), t = f ? 0 : py::is_verum(o);
                    if (f < 0 || t < 0) return -1;
                    node.op = f ? Op::False : t ? Op::True : Op::Atom;
                    if (node.op == Op::Atom) {
                        int64_t c = atom_class(o);
                        if (c < 0) return -1;
                        node.a = static_cast<uint32_t>(c);
                    }
                    break;
                }
                case Kind::Not:
                    node.op = Op::Not;
                    node.a = index_.find(kids[0]);
                    break;
                case Kind::And:
                case Kind::Or:
                case Kind::Implies:
                    node.op = k == Kind::And ? Op::And : k == Kind::Or ? Op::Or : Op::Implies;
                    node.a = index_.find(kids[0]);
                    node.b = index_.find(kids[1]);
                    break;
                case Kind::Iff: {
                    // (L => R) & (R => L), as two implication nodes of their own.
                    const ast::Api& api = ast::api();
                    PyTypeObject* implies = api.types[static_cast<int>(Kind::Implies)];
                    uint32_t l = index_.find(kids[0]), r = index_.find(kids[1]);
                    Ref there(api.new_binary(implies, kids[0], kids[1]));
                    if (!there) return -1;
                    Ref back(api.new_binary(implies, kids[1], kids[0]));
                    if (!back) return -1;
                    node.op = Op::Iff;
                    uint32_t modal = std::max(nodes_[l].modal, nodes_[r].modal) + 1;
                    node.a = add({Op::Implies, there.get(), l, r, modal});
                    node.b = add({Op::Implies, back.get(), r, l, modal});
                    keep_.push_back(std::move(there));
                    keep_.push_back(std::move(back));
                    break;
                }
                default: break;  // equations and quantified formulas: forced nowhere
            }
            if (node.op == Op::Not || node.op == Op::Implies) {
                uint32_t inner = nodes_[node.a].modal;
                if (node.op == Op::Implies) inner = std::max(inner, nodes_[node.b].modal);
                node.modal = inner + 1;
            } else if (node.op == Op::And || node.op == Op::Or || node.op == Op::Iff) {
                node.modal = std::max(nodes_[node.a].modal, nodes_[node.b].modal);
            }
            index_.insert(o, add(node));
        }
        root_ = index_.find(root);
        return 0;
    }

    // Plain atoms are equal exactly when their names are: one class per name.
    int64_t atom_class(PyObject* atom) {
        if (!by_name_ && !(by_name_ = Ref(PyDict_New()))) return -1;
        PyObject* name = ast::as_predicate_app(atom)->pred;
        PyObject* known = PyDict_GetItemWithError(by_name_.get(), name);
        if (!known && PyErr_Occurred()) return -1;
        uint32_t c;
        if (known) {
            c = static_cast<uint32_t>(PyLong_AsUnsignedLong(known));
        } else {
            c = static_cast<uint32_t>(class_count_++);
            Ref number(PyLong_FromUnsignedLong(c));
            if (!number || PyDict_SetItem(by_name_.get(), name, number.get()) < 0) return -1;
            representative_.push_back(atom);
        }
        if (by_identity_.find(atom) == AddressIndex::kMissing) by_identity_.insert(atom, c);
        return c;
    }

    // The worlds where each atom class holds: a small valuation set is walked,
    // its members matched by identity, then by name (a set holding anything
    // but exact nodes is asked instead); a large one is asked about every
    // class.
    bool atom_truth() {
        class_truth_.assign(class_count_, std::vector<uint64_t>(words_, 0));
        std::vector<PyObject*> members;
        for (size_t q = 0; q < n_; ++q) {
            PyObject* set = vsets_[q].get();
            if (!set) continue;
            uint64_t bit = uint64_t{1} << (q % 64);
            // Asking the set costs a lookup per class, walking it one per member.
            bool ask = class_count_ <= static_cast<size_t>(PySet_GET_SIZE(set));
            members.clear();
            Ref keep;
            if (!ask && !members_of(set, members, keep)) return false;
            for (PyObject* m : members) {
                uint32_t c = by_identity_.find(m);
                if (c == AddressIndex::kMissing) {
                    Kind k = ast::exact_kind_of(m);
                    if (k == Kind::None || (k == Kind::PredicateApp && !plain_atom(m))) {
                        ask = true;
                        break;
                    }
                    if (k != Kind::PredicateApp) continue;  // another node class is never equal
                    PyObject* known = PyDict_GetItemWithError(by_name_.get(), ast::as_predicate_app(m)->pred);
                    if (!known) {
                        if (PyErr_Occurred()) return false;
                        continue;
                    }
                    c = static_cast<uint32_t>(PyLong_AsUnsignedLong(known));
                }
                class_truth_[c][q / 64] |= bit;
            }
            if (!ask) continue;
            for (size_t c = 0; c < class_count_; ++c) {
                int in = PySet_Contains(set, representative_[c]);
                if (in < 0) return false;
                if (in) class_truth_[c][q / 64] |= bit;
                else class_truth_[c][q / 64] &= ~bit;
            }
        }
        return true;
    }

    uint32_t add(const Node& node) {
        nodes_.push_back(node);
        return static_cast<uint32_t>(nodes_.size() - 1);
    }

    // The worlds reachable from `start` (number 0) and their successors.
    int read_worlds(PyObject* start) {
        if (!plain_world(start)) return kNotApplicable;
        relations_ = Ref(get(self_, state().s_relations));
        valuations_ = Ref(get(self_, state().s_valuations));
        if (!relations_ || !valuations_) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
            PyErr_Clear();  // the pointwise engine raises it if the formula needs it
            return kNotApplicable;
        }
        if (!PyDict_CheckExact(relations_.get()) || !PyDict_CheckExact(valuations_.get())) return kNotApplicable;
        worlds_.number(start);
        std::vector<PyObject*> members;
        for (size_t q = 0; q < worlds_.size(); ++q) {
            PyObject* w = worlds_.object(q);
            succ_.emplace_back();
            PyObject* set = PyDict_GetItemWithError(relations_.get(), w);
            if (!set) {
                if (PyErr_Occurred()) return -1;
                succ_[q].push_back(static_cast<uint32_t>(q));  // no entry: sees itself
                continue;
            }
            if (!PyAnySet_CheckExact(set)) return kNotApplicable;
            members.clear();
            Ref keep;
            if (!members_of(set, members, keep)) return -1;
            if (worlds_.size() > kMaxWorlds) return kNotApplicable;
            for (PyObject* m : members) {
                if (!plain_world(m)) return kNotApplicable;
                succ_[q].push_back(worlds_.number(m));
            }
        }
        for (size_t q = 0; q < worlds_.size(); ++q) {
            PyObject* set = PyDict_GetItemWithError(valuations_.get(), worlds_.object(q));
            if (!set && PyErr_Occurred()) return -1;
            if (set && !PyAnySet_CheckExact(set)) return kNotApplicable;
            vsets_.push_back(Ref::borrow(set));
        }
        return 0;
    }

    std::vector<uint64_t> all() const {
        std::vector<uint64_t> row(words_, ~uint64_t{0});
        if (n_ % 64) row.back() = (uint64_t{1} << (n_ % 64)) - 1;
        return row;
    }
    static bool none(const std::vector<uint64_t>& row) {
        for (uint64_t x : row)
            if (x) return false;
        return true;
    }

    // `out` = worlds all of whose successors lie in `allowed`.
    void box(const std::vector<uint64_t>& allowed, std::vector<uint64_t>& out) const {
        out.assign(words_, 0);
        for (size_t q = 0; q < n_; ++q) {
            const uint64_t* s = succ_bits_.row(q);
            bool ok = true;
            for (size_t i = 0; i < words_ && ok; ++i) ok = (s[i] & ~allowed[i]) == 0;
            if (ok) out[q / 64] |= uint64_t{1} << (q % 64);
        }
    }

    // Truth sets on demand, post-order with an explicit stack.
    bool compute() {
        truth_.assign(nodes_.size(), {});
        std::vector<char> done(nodes_.size(), 0);
        struct Frame {
            uint32_t node;
            uint8_t stage;
        };
        std::vector<Frame> stack{{root_, 0}};
        py::SignalPoll poll;
        size_t work = 0;  // of the last step: a box costs n_ * words_
        while (!stack.empty()) {
            if (!poll.charge(1 + work)) return false;
            work = words_;
            Frame& fr = stack.back();
            uint32_t i = fr.node;
            if (done[i]) {
                stack.pop_back();
                continue;
            }
            Node& nd = nodes_[i];
            std::vector<uint64_t> t;
            if (nd.op == Op::False || nd.op == Op::True || nd.op == Op::Atom) {
                if (nd.op == Op::True) t = all();
                else if (nd.op == Op::Atom) t = class_truth_[nd.a];
                else t.assign(words_, 0);
            } else if (fr.stage == 0) {  // the first operand
                fr.stage = 1;
                if (!done[nd.a]) {
                    stack.push_back({nd.a, 0});
                    continue;
                }
            }
            if (fr.stage == 1) {  // the second operand, when it can matter
                const std::vector<uint64_t>& a = truth_[nd.a];
                bool need = nd.op == Op::And || nd.op == Op::Iff ? !none(a)
                            : nd.op == Op::Or                    ? a != all()
                            : nd.op == Op::Implies               ? !none(a)
                                                                 : false;
                fr.stage = need ? 2 : 3;
                if (need && !done[nd.b]) {
                    stack.push_back({nd.b, 0});
                    continue;
                }
            }
            if (fr.stage >= 2) {
                const std::vector<uint64_t>& a = truth_[nd.a];
                bool with_b = fr.stage == 2;
                switch (nd.op) {
                    case Op::Not: {
                        std::vector<uint64_t> outside(words_);
                        for (size_t k = 0; k < words_; ++k) outside[k] = ~a[k];
                        box(outside, t);
                        work += n_ * words_;
                        break;
                    }
                    case Op::And:
                    case Op::Iff:
                        t.assign(words_, 0);
                        if (with_b)
                            for (size_t k = 0; k < words_; ++k) t[k] = a[k] & truth_[nd.b][k];
                        break;
                    case Op::Or:
                        t = a;
                        if (with_b)
                            for (size_t k = 0; k < words_; ++k) t[k] |= truth_[nd.b][k];
                        break;
                    case Op::Implies: {
                        // Where the antecedent holds, the consequent must.
                        std::vector<uint64_t> allowed(words_);
                        for (size_t k = 0; k < words_; ++k)
                            allowed[k] = ~a[k] | (with_b ? truth_[nd.b][k] : 0);
                        box(allowed, t);
                        work += n_ * words_;
                        break;
                    }
                    default: break;
                }
            }
            truth_[i] = std::move(t);
            done[i] = 1;
            stack.pop_back();
        }
        return true;
    }

    PyObject* self_;
    Ref relations_, valuations_;
    IdentityNumbers worlds_;
    std::vector<std::vector<uint32_t>> succ_;
    std::vector<Ref> vsets_;
    size_t n_ = 0, words_ = 0;
    BitRows succ_bits_{0, 0};
    AddressIndex index_;
    std::vector<Node> nodes_;
    Ref by_name_;                      // atom name -> class number
    AddressIndex by_identity_;               // atom object of the formula -> class number
    std::vector<PyObject*> representative_;  // one atom per class (borrowed from the formula)
    size_t class_count_ = 0;
    std::vector<std::vector<uint64_t>> class_truth_;
    std::vector<Ref> keep_;
    uint32_t root_ = 0;
    std::vector<std::vector<uint64_t>> truth_;
};

}  // namespace

int evaluate_by_sets(PyObject* self, PyObject* formula, PyObject* world) {
    SetForcing f(self);
    return f.run(formula, world);
}

}  // namespace quorvel::kripke
