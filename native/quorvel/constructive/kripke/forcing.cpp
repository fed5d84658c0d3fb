// KripkeModel.evaluate: intuitionistic forcing, M, w |= A.
//
// The cases are tried in the fixed order falsum, verum, atom, Not, And, Or,
// Implies, Iff, anything else (false). The walk is iterative, and within one
// call every (subformula object, world) pair is decided once: the result
// of a sub-evaluation depends only on the model, which evaluation never
// changes. Worlds are numbered by identity: equal but distinct world
// objects are decided separately, with the same results.
// When a subclass overrides `evaluate`, each sub-evaluation is a call of
// self.evaluate instead, without memo, as plain recursion would do it.
#include <vector>

#include "quorvel/constructive/kripke/intern.h"
#include "quorvel/constructive/kripke/model.h"
#include "quorvel/core/ast/api.h"
#include "quorvel/support/py/constructive.h"
#include "quorvel/support/py/interrupt.h"

namespace quorvel::kripke {
namespace {

using ast::Kind;

enum class Class : uint8_t { False, True, Atom, Not, And, Or, Implies, Iff, Other };

constexpr int kPushed = 2;

class Forcing {
public:
    Forcing(PyObject* self, bool own_succ, bool own_eval) : self_(self), own_succ_(own_succ), own_eval_(own_eval) {}

    int run(PyObject* formula, PyObject* world) {
        int64_t f = formula_index(formula);
        if (f < 0) return -1;
        int64_t w = world_index(world);
        if (w < 0) return -1;
        bool result = false;
        int r = child(static_cast<uint32_t>(f), static_cast<uint32_t>(w), result, /*top=*/true);
        if (r < 0) return -1;
        if (r != kPushed) return result;
        py::SignalPoll poll;
        while (!stack_.empty()) {
            if (!poll.charge()) return -1;
            r = resume(result);
            if (r < 0) return -1;
            if (r == kPushed) continue;
            Frame done = stack_.back();
            stack_.pop_back();
            remember(done.f, done.w, r == 1);
            result = r == 1;
        }
        return result;
    }

private:
    struct FormulaInfo {
        Class cls;
        PyObject* a = nullptr;  // operand / left / first implication (borrowed)
        PyObject* b = nullptr;  // right / second implication
        int64_t ia = -1, ib = -1;
        std::vector<int8_t> memo;  // per world: -1 unknown, 0, 1
    };
    struct WorldInfo {
        bool succ_ready = false;
        bool vset_ready = false;
        std::vector<uint32_t> succ;
        Ref vset;  // the valuation set, or NULL when the world has no entry
    };
    struct Frame {
        uint32_t f, w;
        uint8_t stage;
        uint32_t i;  // index into the successors
    };

    int64_t formula_index(PyObject* o) {
        uint32_t known = index_.find(o);
        if (known != AddressIndex::kMissing) return known;
        FormulaInfo info{};
        int r = py::is_falsum(o);
        if (r < 0) return -1;
        if (r) {
            info.cls = Class::False;
        } else if ((r = py::is_verum(o)) != 0) {
            if (r < 0) return -1;
            info.cls = Class::True;
        } else if (py::is_atomic(o)) {
            info.cls = Class::Atom;
        } else {
            Kind k = ast::kind_of(o);
            switch (k) {
                case Kind::Not:
                    info.cls = Class::Not;
                    info.a = ast::as_unary(o)->operand;
                    break;
                case Kind::And:
                case Kind::Or:
                case Kind::Implies:
                    info.cls = k == Kind::And ? Class::And : k == Kind::Or ? Class::Or : Class::Implies;
                    info.a = ast::as_binary(o)->left;
                    info.b = ast::as_binary(o)->right;
                    break;
                case Kind::Iff: {
                    // Both implications are built before either is evaluated.
                    const ast::Api& api = ast::api();
                    PyTypeObject* implies = api.types[static_cast<int>(Kind::Implies)];
                    auto* b = ast::as_binary(o);
                    Ref there(api.new_binary(implies, b->left, b->right));
                    if (!there) return -1;
                    Ref back(api.new_binary(implies, b->right, b->left));
                    if (!back) return -1;
                    info.cls = Class::Iff;
                    info.a = there.get();
                    info.b = back.get();
                    keep_.push_back(std::move(there));
                    keep_.push_back(std::move(back));
                    break;
                }
                default: info.cls = Class::Other; break;
            }
        }
        auto n = static_cast<int64_t>(formulas_.size());
        formulas_.push_back(std::move(info));
        objects_.push_back(o);
        index_.insert(o, static_cast<uint32_t>(n));
        return n;
    }

    int64_t world_index(PyObject* o) {
        uint32_t n = worlds_.number(o);
        if (info_.size() < worlds_.size()) info_.resize(worlds_.size());
        return n;
    }

    // The successors of world `w`: accessible_worlds(w), computed once.
    const std::vector<uint32_t>* successors(uint32_t w) {
        if (!info_[w].succ_ready) {
            std::vector<uint32_t> succ;
            PyObject* world = worlds_.object(w);
            Ref set;
            if (own_succ_) {
                if (!relations_ && !(relations_ = Ref(get(self_, state().s_relations)))) return nullptr;
                int c = contains(relations_.get(), world);
                if (c < 0) return nullptr;
                if (c && !(set = Ref(get_item(relations_.get(), world)))) return nullptr;
                if (!c) succ.push_back(w);
            } else if (!(set = Ref(call_accessible_worlds(self_, world)))) {
                return nullptr;
            }
            if (set) {
                members_.clear();
                Ref keep;
                if (!members_of(set.get(), members_, keep)) return nullptr;
                for (PyObject* m : members_) succ.push_back(static_cast<uint32_t>(world_index(m)));
            }
            info_[w].succ = std::move(succ);
            info_[w].succ_ready = true;
        }
        return &info_[w].succ;
    }

    // `formula in valuations[world]`; no entry, no atom.
    int atom(uint32_t w, PyObject* formula) {
        if (!info_[w].vset_ready) {
            if (!valuations_ && !(valuations_ = Ref(get(self_, state().s_valuations)))) return -1;
            PyObject* world = worlds_.object(w);
            int c = contains(valuations_.get(), world);
            if (c < 0) return -1;
            if (c && !(info_[w].vset = Ref(get_item(valuations_.get(), world)))) return -1;
            info_[w].vset_ready = true;
        }
        PyObject* set = info_[w].vset.get();
        return set ? contains(set, formula) : 0;
    }

    void remember(uint32_t f, uint32_t w, bool value) {
        if (!own_eval_) return;
        std::vector<int8_t>& memo = formulas_[f].memo;
        if (memo.size() <= w) memo.resize(worlds_.size(), -1);
        memo[w] = value;
    }

    // Evaluates formula `f` at world `w`: 0/1 at once (a leaf, a known
    // result, or a call of an overriding evaluate), kPushed when a frame was
    // pushed, -1 on error.
    int child(uint32_t f, uint32_t w, bool& result, bool top = false) {
        Class cls = formulas_[f].cls;
        int r;
        if (!own_eval_ && !top) {
            r = call_evaluate(self_, objects_[f], worlds_.object(w));
            if (r >= 0) result = r == 1;
            return r;
        }
        switch (cls) {
            case Class::False: r = 0; break;
            case Class::True: r = 1; break;
            case Class::Other: r = 0; break;
            case Class::Atom: r = atom(w, objects_[f]); break;
            default: {
                const std::vector<int8_t>& memo = formulas_[f].memo;
                if (w < memo.size() && memo[w] >= 0) {
                    r = memo[w];
                    break;
                }
                stack_.push_back({f, w, 0, 0});
                return kPushed;
            }
        }
        if (r >= 0) result = r == 1;
        return r;
    }

    int64_t child_index(uint32_t f, bool second) {
        FormulaInfo& info = formulas_[f];
        int64_t& slot = second ? info.ib : info.ia;
        if (slot >= 0) return slot;
        PyObject* o = second ? info.b : info.a;
        int64_t n = formula_index(o);
        if (n < 0) return -1;
        (second ? formulas_[f].ib : formulas_[f].ia) = n;
        return n;
    }

    // Runs the top frame on with `last`, the result of its latest child.
    // 0/1 when the frame is decided, kPushed when it pushed a child, -1.
    int resume(bool last) {
        for (;;) {
            Frame& fr = stack_.back();
            uint32_t f = fr.f, w = fr.w;
            Class cls = formulas_[f].cls;
            bool result = false;
            int r;
            switch (cls) {
                case Class::And:
                case Class::Or:
                case Class::Iff: {
                    // left first; And/Iff stop on false, Or on true.
                    bool stop_on = cls == Class::Or;
                    if (fr.stage == 0) {
                        fr.stage = 1;
                        int64_t a = child_index(f, false);
                        if (a < 0) return -1;
                        r = child(static_cast<uint32_t>(a), w, result);
                    } else if (fr.stage == 1) {
                        if (last == stop_on) return stop_on;
                        fr.stage = 2;
                        int64_t b = child_index(f, true);
                        if (b < 0) return -1;
                        r = child(static_cast<uint32_t>(b), w, result);
                    } else {
                        return last;
                    }
                    break;
                }
                case Class::Not:
                case Class::Implies: {
                    // Scan the successors: the operand (Not) must fail at
                    // each; where the antecedent (Implies) holds, the
                    // consequent must hold too.
                    const std::vector<uint32_t>* succ = successors(w);
                    if (!succ) return -1;
                    Frame& top = stack_.back();
                    if (top.stage == 2) {
                        if (cls == Class::Not) {
                            if (last) return 0;
                            ++top.i;
                        } else if (!last) {
                            ++top.i;
                        } else {
                            top.stage = 3;
                            int64_t b = child_index(f, true);
                            if (b < 0) return -1;
                            uint32_t at = (*succ)[top.i];
                            r = child(static_cast<uint32_t>(b), at, result);
                            break;
                        }
                    } else if (top.stage == 3) {
                        if (!last) return 0;
                        ++top.i;
                    }
                    if (top.i >= succ->size()) return 1;
                    top.stage = 2;
                    uint32_t at = (*succ)[top.i];
                    int64_t a = child_index(f, false);
                    if (a < 0) return -1;
                    r = child(static_cast<uint32_t>(a), at, result);
                    break;
                }
                default: return -1;  // leaves never get a frame
            }
            if (r < 0 || r == kPushed) return r;
            last = result;  // decided at once: go on with this frame
        }
    }

    PyObject* self_;
    bool own_succ_, own_eval_;
    Ref relations_, valuations_;
    IdentityNumbers worlds_;
    std::vector<PyObject*> members_;  // scratch for successors()
    std::vector<WorldInfo> info_;
    AddressIndex index_;  // formula object -> index
    std::vector<FormulaInfo> formulas_;
    std::vector<PyObject*> objects_;
    std::vector<Ref> keep_;  // the implications built for Iff
    std::vector<Frame> stack_;
};

}  // namespace

int evaluate(PyObject* self, PyObject* formula, PyObject* world) {
    int own_eval = is_own(self, Method::Evaluate);
    if (own_eval < 0) return -1;
    int own_succ = is_own(self, Method::AccessibleWorlds);
    if (own_succ < 0) return -1;
    try {
        if (own_eval && own_succ) {
            int r = evaluate_by_sets(self, formula, world);
            if (r != kNotApplicable) return r;
        }
        Forcing forcing(self, own_succ == 1, own_eval == 1);
        return forcing.run(formula, world);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
}

}  // namespace quorvel::kripke
