// Intuitionistic provability of sequents built from atoms, ⊥, ⊤, ∧, ∨ and →,
// decided on the SAT solver.
//
// Each formula is named by a variable, and definitions tie a name to its
// parts in the direction its polarity needs: an assumed formula implies its
// structure, a formula to prove is implied by it. Such definitions add
// nothing a question could tell apart, so all of them can stay for every
// later question. Every definition is a clause over variables, where
// classical and intuitionistic consequence agree, except that a positive
// implication a → b named c gives the implication clause (a → b) → c (with
// the clause b → c), which the solver does not see.
//
// `provable` decides A ⊢ q like this: the solver either refutes A, ¬q
// (proved) or gives a model M. For each implication clause that M leaves open
// (neither a nor c true in M) it asks, recursively, whether M, a ⊢ b; when so,
// it learns the clause M' → c, M' the part of M that the proof used, and asks
// the solver again. When no open clause is provable, M as a root world below
// the countermodels of the open clauses is a Kripke countermodel of A ⊢ q;
// a countermodel found for one open clause serves as well for every later
// one whose a it makes true and whose b false, which is then not asked.
// Each recursive question assumes strictly more variables, so the recursion
// depth is bounded by their number; it runs on its own stack.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "quorvel/constructive/ljt/interrupt.h"
#include "quorvel/constructive/ljt/sat.h"
#include "quorvel/support/formula_arena.h"

namespace quorvel::ljt {

class Provability {
public:
    // `interrupted` is polled after every slice of work (WorkPoll).
    Provability(const FormulaArena& arena, bool (*interrupted)(void*), void* context);

    // 1 when antecedents ⊢ goal holds intuitionistically, 0 when it does not,
    // -1 when interrupted.
    int provable(std::span<const FormulaId> antecedents, FormulaId goal);

private:
    struct Implication {
        sat::Var a, b, c;  // (a → b) → c
    };

    sat::Var var_of(FormulaId f);
    // Adds the definitions of `f` and its parts for the given polarity.
    void define(FormulaId f, bool positive);
    void add(std::initializer_list<sat::Lit> clause);
    int prove(std::vector<sat::Lit> assumptions, sat::Var goal);
    // After a refutation of ¬goal under assumptions from a model M and a
    // premise a: learns the clause M' → conclusion. -1 when interrupted.
    int learn(sat::Lit not_goal, sat::Lit premise, sat::Var conclusion);
    // Shrinks core_ to assumptions that still refute ¬goal; -1 when interrupted.
    int minimize(sat::Lit not_goal);

    const FormulaArena& arena_;
    sat::Solver solver_;
    std::vector<sat::Var> var_;       // by FormulaId
    std::vector<uint8_t> defined_;    // by FormulaId: the polarities defined
    std::vector<Implication> implications_;
    std::vector<std::pair<FormulaId, bool>> define_stack_;  // scratch of define
    std::vector<sat::Lit> learned_;                        // scratch of prove
    std::vector<sat::Lit> core_, trial_;                   // scratch of minimize
    WorkPoll poll_;
};

}  // namespace quorvel::ljt
