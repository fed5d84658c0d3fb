// Backward proof search in LJT (G4ip) on hash-consed formulas.
//
// The thirteen rules are tried in their fixed order: the axioms, the
// invertible rules (which commit), then the disjunction on the right and the
// left implication over an implication, which backtrack. The search runs on
// its own stacks, so its depth is bounded by memory only, and it returns the
// derivation as a list of steps that the caller turns into Python objects.
// It includes no Python.
//
// It works in two passes. `decide` answers whether the search succeeds on a
// sequent, remembering the answers; `build` then walks the derivation the
// search returns, asking `decide` at each choice which alternative the
// search takes. So no step of a failed alternative is ever built, and the
// result is exactly the derivation the plain search finds.
//
// On a sequent of atoms, ⊥, ⊤, ∧, ∨ and → only, the search is complete: it
// succeeds exactly when the sequent is intuitionistically valid. When
// `decide` has searched such a sequent for a while without an answer, it
// drops that subsearch and asks the provability oracle instead, so a failed
// alternative costs a bounded search and one question, however deep its
// plain search would go.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "quorvel/constructive/ljt/interrupt.h"
#include "quorvel/constructive/ljt/provability.h"
#include "quorvel/constructive/ljt/sequent_table.h"
#include "quorvel/support/formula_arena.h"

namespace quorvel::ljt {

// In the order the search tries them.
enum class Rule : uint8_t { RTop, LBot, Ax, RImp, RAnd, LAnd, LOr, LImpAtom, LImpAnd, LImpOr, ROr1, ROr2, LImpImp };
inline constexpr int kRuleCount = 13;

// One node of a derivation. `principal` is the position of the principal
// antecedent for the left rules; `premises` index earlier steps (-1: none).
struct Step {
    Rule rule;
    uint32_t principal;
    int32_t premises[2];
};

// Number of premises of a node of each rule.
int premise_count(Rule r);

class Search {
public:
    // `opaque_atomic[n]` tells whether the opaque leaf numbered n counts as
    // atomic (it may then stand as X in "L_Imp_Atom"). `interrupted` is
    // polled after every slice of work (WorkPoll); when it returns true the
    // search stops.
    Search(FormulaArena& arena, std::vector<uint8_t> opaque_atomic, bool (*interrupted)(void*), void* context);

    enum class Outcome { Proved, Unprovable, Interrupted };

    // Searches antecedents ⊢ goal. On Proved, steps() holds exactly the
    // derivation in post-order (premises before their conclusion), root
    // last, with one step per distinct sequent: a sequent that occurs in
    // several places is derived once, and every conclusion above it points
    // to that step.
    Outcome run(const std::vector<FormulaId>& antecedents, FormulaId goal);
    const std::vector<Step>& steps() const { return steps_; }

private:
    // A sequent on the pool: antecedents pool_[begin, end) and a goal.
    struct Seq {
        uint32_t begin, end;
        FormulaId goal;
    };
    // The first rule that applies, unless only the backtracking rules are left.
    struct Pick {
        bool backtrack;
        Rule rule;
        uint32_t principal;  // absolute position in the pool
    };

    // A frame of pass one.
    enum class State : uint8_t { Start, Premise, ROr1, ROr2, ImpImp1, ImpImp2 };
    struct Frame {
        Seq seq;
        State state;
        Rule rule;            // the rule applied, once chosen
        uint32_t principal;   // its principal position, or the "L_Imp_Imp" candidate
        uint8_t next;         // premises already done
        bool choice;          // a premise the search chose (R_Or1, R_Or2, L_Imp_Imp)
        bool keyed;           // its answer goes into the cache
    };

    // Rule selection and premises, shared by both passes.
    Pick pick(const Seq& s);
    // Appends premise k of `rule` (principal at `principal`) of `s` to the pool.
    Seq premise(const Seq& s, Rule rule, int k, uint32_t principal);
    Seq copy(const Seq& s, uint32_t skip, std::initializer_list<FormulaId> extra, FormulaId goal);
    // The next "L_Imp_Imp" candidate at or after `from`, or kNone.
    uint32_t imp_imp_candidate(const Seq& s, uint32_t from) const;

    // Pass one: 1 if the search succeeds on premise k of `rule` applied to
    // `s`, 0 if not, -1 when interrupted.
    int decide(const Seq& s, Rule rule, int k, uint32_t principal, bool choice);
    int decide_loop(size_t base);
    void decide_start(size_t fi);
    void decide_resume(size_t fi, bool r);
    void decide_backtrack(size_t fi, uint32_t from);
    void decide_finish(bool r);
    bool decide_by_oracle();
    void decide_push(size_t fi, Rule rule, int k, State state, bool choice);

    // Pass two, on a sequent the search proves.
    bool build(const Seq& root);

    bool atomic(FormulaId f) const;
    bool pure(const Seq& s) const;
    // The oracle's answer on a pure sequent: 1, 0, or -1 when interrupted.
    int provable(const Seq& s);
    FormulaId implies(FormulaId a, FormulaId b);
    void sync_purity();
    // Spends `units` of work; false once interrupted.
    bool poll(uint64_t units);

    // Classical truth tables, one bit per valuation (every valuation for few
    // atoms, a fixed sample of them otherwise). A sequent that some valuation
    // falsifies is not even classically valid, so it has no derivation; the
    // test runs where the search makes a choice, since the invertible rules
    // keep a sequent classically equivalent to the choice above it.
    void setup_tables();
    bool sync_tables();
    bool classically_refuted(const Seq& s);

    // Answers of `decide`. A sequent of atoms, ⊥, ⊤, ∧, ∨ and → only is
    // keyed by the set of its antecedents: the search is complete there, so
    // success is intuitionistic consequence, which ignores order and
    // repetition. Any other sequent is keyed as it stands.
    void make_key(const Seq& s);
    std::span<const uint32_t> key_rest() const { return std::span<const uint32_t>(key_).subspan(1); }
    // The antecedents of a sequent on the pool: with its goal, the key of
    // the sequent as it stands, for the steps of pass two.
    std::span<const FormulaId> antecedents(const Seq& s) const {
        return std::span<const FormulaId>(pool_.data() + s.begin, s.end - s.begin);
    }
    int lookup(const Seq& s);  // 1 proved, 0 refuted, -1 unknown
    void remember(const Seq& s, bool proved);

    FormulaArena& arena_;
    std::vector<uint8_t> opaque_atomic_;
    bool (*interrupted_)(void*);
    void* context_;

    std::vector<FormulaId> pool_;
    std::vector<Frame> frames_;  // pass one
    std::vector<Step> steps_;
    std::vector<uint8_t> pure_;  // by FormulaId
    std::vector<uint32_t> stamp_;  // by FormulaId: epoch_ when an antecedent of the sequent pick() reads
    uint32_t epoch_ = 0;
    std::unique_ptr<Provability> provability_;  // made at the first pure question
    // The lowest frame of pass one that is pure, and when its search began.
    size_t budgeted_ = SIZE_MAX;
    uint64_t budget_start_ = 0;

    uint32_t words_ = 0;  // 64-bit words per table; 0: no tables
    uint64_t last_mask_ = ~0ull;
    uint32_t atoms_seen_ = 0;
    bool exact_ = false;
    std::vector<uint64_t> tables_;  // words_ per FormulaId

    std::vector<uint32_t> key_;  // scratch: the key of the sequent at hand
    uint64_t key_hash_ = 0;
    SequentTable answers_;
    // Pass two: the step already built for each sequent, so that a sequent
    // met again is derived by the same step, not by a copy of it.
    SequentTable built_;

    uint64_t ticks_ = 0;  // steps of pass one, for the oracle's budget
    // The steps the budgeted frame may take before the oracle answers for
    // it, and whether the next frame budgeted is the whole question (the
    // first pure frame of pass one), which gets one more per formula.
    uint64_t plain_steps_ = 0;
    bool whole_question_ = false;
    WorkPoll poll_;
    // Between frames of pass one: whether the top frame is returning, and
    // with what.
    bool returning_ = false;
    bool result_ = false;
    bool cacheable_ = true;  // false while finishing a frame the cache answered
};

}  // namespace quorvel::ljt
