#include "quorvel/constructive/ljt/provability.h"

#include <algorithm>
#include <stdexcept>

namespace quorvel::ljt {
namespace {

using sat::Lit;
using sat::Var;

constexpr Var kNoVar = UINT32_MAX;
constexpr uint8_t kPositive = 1;
constexpr uint8_t kNegative = 2;

}  // namespace

Provability::Provability(const FormulaArena& arena, bool (*interrupted)(void*), void* context)
    : arena_(arena), poll_(interrupted, context) {
    solver_.set_interrupt(interrupted, context);
    add({Lit::neg(var_of(arena_.falsum()))});
    add({Lit::pos(var_of(arena_.verum()))});
}

Var Provability::var_of(FormulaId f) {
    if (f >= var_.size()) {
        var_.resize(arena_.size(), kNoVar);
        defined_.resize(arena_.size(), 0);
    }
    if (var_[f] == kNoVar) var_[f] = solver_.new_var();
    return var_[f];
}

void Provability::add(std::initializer_list<Lit> clause) { solver_.add_clause(clause); }

void Provability::define(FormulaId root, bool positive) {
    define_stack_.assign(1, {root, positive});
    while (!define_stack_.empty()) {
        auto [f, pos] = define_stack_.back();
        define_stack_.pop_back();
        Var x = var_of(f);
        const uint8_t bit = pos ? kPositive : kNegative;
        if (defined_[f] & bit) continue;
        defined_[f] |= bit;
        const Op op = arena_.op(f);
        if (op == Op::Atom || op == Op::Falsum || op == Op::Verum) continue;
        if (op != Op::And && op != Op::Or && op != Op::Implies)
            throw std::logic_error("LJT: only atoms, falsum, verum, and, or and implies have a decided provability");
        const FormulaId l = arena_.left(f), r = arena_.right(f);
        const Var a = var_of(l), b = var_of(r);
        switch (op) {
            case Op::And:
                if (pos) {
                    add({Lit::neg(a), Lit::neg(b), Lit::pos(x)});
                } else {
                    add({Lit::neg(x), Lit::pos(a)});
                    add({Lit::neg(x), Lit::pos(b)});
                }
                define_stack_.push_back({l, pos});
                break;
            case Op::Or:
                if (pos) {
                    add({Lit::neg(a), Lit::pos(x)});
                    add({Lit::neg(b), Lit::pos(x)});
                } else {
                    add({Lit::neg(x), Lit::pos(a), Lit::pos(b)});
                }
                define_stack_.push_back({l, pos});
                break;
            default:  // Implies: its left side has the other polarity
                if (pos) {
                    implications_.push_back(Implication{a, b, x});
                    add({Lit::neg(b), Lit::pos(x)});
                } else {
                    add({Lit::neg(x), Lit::neg(a), Lit::pos(b)});
                }
                define_stack_.push_back({l, !pos});
                break;
        }
        define_stack_.push_back({r, pos});
    }
}

int Provability::provable(std::span<const FormulaId> antecedents, FormulaId goal) {
    for (FormulaId f : antecedents) define(f, false);
    define(goal, true);
    std::vector<Lit> assumptions;
    assumptions.reserve(antecedents.size());
    for (FormulaId f : antecedents) assumptions.push_back(Lit::pos(var_of(f)));
    return prove(std::move(assumptions), var_of(goal));
}

int Provability::minimize(Lit not_goal) {
    // Drop each assumption in turn while the rest still refute ¬goal: the
    // smaller the clause learned from a proof, the more questions it
    // answers.
    for (size_t i = core_.size(); i-- > 0;) {
        trial_.clear();
        for (size_t j = 0; j < core_.size(); ++j)
            if (j != i) trial_.push_back(core_[j]);
        trial_.push_back(not_goal);
        sat::Solver::Result r = solver_.solve(trial_);
        if (r == sat::Solver::Result::Interrupted) return -1;
        if (r == sat::Solver::Result::Sat) continue;
        std::vector<Lit> kept;
        for (Lit p : solver_.core())
            if (p != not_goal) kept.push_back(p);
        core_ = std::move(kept);
        i = std::min(i, core_.size());
    }
    return 0;
}

int Provability::learn(Lit not_goal, Lit premise, Var conclusion) {
    // M, a ⊢ b was proved from the core M' ∪ {a}: so M' ⊢ a → b, and with
    // (a → b) → c, M' ⊢ c.
    core_.clear();
    for (Lit p : solver_.core())
        if (p != not_goal) core_.push_back(p);
    if (minimize(not_goal) < 0) return -1;
    learned_.clear();
    for (Lit p : core_)
        if (p != premise) learned_.push_back(~p);
    learned_.push_back(Lit::pos(conclusion));
    solver_.add_clause(learned_);
    return 0;
}

int Provability::prove(std::vector<Lit> assumptions, Var goal) {
    struct Frame {
        std::vector<Lit> assumptions;
        Var goal;
        std::vector<uint8_t> model;  // the solver's model, by variable
        // The model of the last world built above this one: a countermodel
        // of an earlier question, which answers every later one it also
        // refutes (it forces their a and not their b).
        std::vector<uint8_t> cover;
        size_t next = 0;             // the next implication clause to look at
        Lit premise{0};              // the clause (a → b) → c whose a, b the
        Var conclusion = 0;          // frame above decides: a and c
    };
    std::vector<Frame> frames;
    frames.push_back(Frame{std::move(assumptions), goal});
    bool ask = true;  // false: the top frame goes on with the model it has
    poll_.reset();
    for (;;) {
        if (ask) {
            Frame& f = frames.back();
            const Lit not_goal = Lit::neg(f.goal);
            f.assumptions.push_back(not_goal);
            sat::Solver::Result r = solver_.solve(f.assumptions);
            f.assumptions.pop_back();
            if (r == sat::Solver::Result::Interrupted) return -1;
            if (r == sat::Solver::Result::Unsat) {
                if (frames.size() == 1) return 1;
                const Frame& parent = frames[frames.size() - 2];
                if (learn(not_goal, parent.premise, parent.conclusion) < 0) return -1;
                frames.pop_back();
                continue;  // the parent asks the solver again
            }
            const uint32_t n = solver_.num_vars();
            if (!poll_.spend(n)) return -1;
            f.model.resize(n);
            for (Var v = 0; v < n; ++v) f.model[v] = solver_.model_true(v);
            f.cover.clear();
            f.next = 0;
        }
        // The next clause (a → b) → c that the model leaves open: is
        // M, a ⊢ b?
        Frame& f = frames.back();
        ask = false;
        while (f.next < implications_.size()) {
            if (!poll_.spend(1)) return -1;
            const Implication& im = implications_[f.next++];
            if (f.model[im.a] || f.model[im.c]) continue;
            if (!f.cover.empty() && f.cover[im.a] && !f.cover[im.b]) continue;
            if (!poll_.spend(f.model.size())) return -1;
            std::vector<Lit> child;
            for (Var v = 0; v < f.model.size(); ++v)
                if (f.model[v]) child.push_back(Lit::pos(v));
            child.push_back(Lit::pos(im.a));
            f.premise = Lit::pos(im.a);
            f.conclusion = im.c;
            frames.push_back(Frame{std::move(child), im.b});  // `f` is invalid from here
            ask = true;
            break;
        }
        if (ask) continue;
        // No open clause is provable: a countermodel, which the frame below
        // keeps as its cover.
        if (frames.size() == 1) return 0;
        frames[frames.size() - 2].cover = std::move(frames.back().model);
        frames.pop_back();
    }
}

}  // namespace quorvel::ljt
