// A small incremental CDCL SAT solver: two watched literals, activity-ordered
// decisions with saved phases, first-UIP learning, Luby restarts, and solving
// under assumptions with the subset of them that a refutation used.
//
// Clauses may be added between calls of `solve`; learned clauses stay, so a
// sequence of related questions gets cheaper as it goes. It includes no
// Python.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "quorvel/constructive/ljt/interrupt.h"

namespace quorvel::sat {

// NOTE: a variable is a plain index 0..n-1 and a literal packs it with its
// sign (2v for v, 2v + 1 for ¬v), so both can index arrays directly.
using Var = uint32_t;

struct Lit {
    uint32_t x;
    static constexpr Lit pos(Var v) { return {2 * v}; }
    static constexpr Lit neg(Var v) { return {2 * v + 1}; }
    constexpr Var var() const { return x >> 1; }
    constexpr bool negative() const { return x & 1; }
    constexpr Lit operator~() const { return {x ^ 1}; }
    constexpr bool operator==(const Lit&) const = default;
    constexpr auto operator<=>(const Lit&) const = default;
};

class Solver {
public:
    // ---- problem setup ----
    Var new_var();
    uint32_t num_vars() const { return static_cast<uint32_t>(assigns_.size()); }
    // Adds a clause over existing variables; false once the clauses are
    // unsatisfiable whatever the assumptions.
    bool add_clause(std::span<const Lit> lits);

    // ---- solving ----
    enum class Result { Sat, Unsat, Interrupted };
    Result solve(std::span<const Lit> assumptions);

    // ---- reading the answer ----
    // After Sat: the value of a variable in the model found.
    bool model_true(Var v) const { return model_[v]; }
    // After Unsat: the assumptions the refutation used (empty when the
    // clauses alone are unsatisfiable).
    const std::vector<Lit>& core() const { return core_; }

    // ---- resource limits ----
    // Polled after every slice of work (WorkPoll); when it returns true,
    // `solve` stops.
    void set_interrupt(bool (*interrupted)(void*), void* context) { poll_ = ljt::WorkPoll(interrupted, context); }

private:
    using CRef = uint32_t;
    static constexpr CRef kNoClause = UINT32_MAX;
    enum Value : uint8_t { kTrue = 0, kFalse = 1, kUndef = 2 };

    struct Watcher {
        CRef cref;
        Lit blocker;  // a literal of the clause; when true the clause is
                      // satisfied and need not be looked at
    };

    // Clauses live in one region: a header word (size << 2 | learnt << 1 |
    // deleted), an activity word, then the literals.
    uint32_t size_of(CRef c) const { return mem_[c] >> 2; }
    bool learnt(CRef c) const { return mem_[c] & 2; }
    bool deleted(CRef c) const { return mem_[c] & 1; }
    Lit lit(CRef c, uint32_t i) const { return Lit{mem_[c + 2 + i]}; }
    void set_lit(CRef c, uint32_t i, Lit p) { mem_[c + 2 + i] = p.x; }
    void swap_lits(CRef c, uint32_t i, uint32_t j) { std::swap(mem_[c + 2 + i], mem_[c + 2 + j]); }
    float activity(CRef c) const { return std::bit_cast<float>(mem_[c + 1]); }
    void set_activity(CRef c, float a) { mem_[c + 1] = std::bit_cast<uint32_t>(a); }
    CRef alloc(std::span<const Lit> lits, bool learnt);
    void attach(CRef c);

    Value value(Lit p) const {
        uint8_t v = assigns_[p.var()];
        return v == kUndef ? kUndef : static_cast<Value>(v ^ static_cast<uint8_t>(p.negative()));
    }
    uint32_t decision_level() const { return static_cast<uint32_t>(trail_lim_.size()); }
    void enqueue(Lit p, CRef reason);
    void cancel_until(uint32_t level);
    CRef propagate();
    void analyze(CRef conflict, std::vector<Lit>& out, uint32_t& backtrack_level);
    void analyze_final(Lit failed);
    Lit pick_branch();
    enum class Status { Sat, Unsat, Restart, Stopped };
    Status search(int64_t conflict_budget, std::span<const Lit> assumptions);
    void reduce_db();
    void compact();
    bool poll();

    // Decision order: a binary max-heap of variables by activity.
    void heap_insert(Var v);
    void heap_up(uint32_t i);
    void heap_down(uint32_t i);
    Var heap_pop();
    void bump_var(Var v);
    void bump_clause(CRef c);

    bool ok_ = true;
    std::vector<uint32_t> mem_;
    size_t wasted_ = 0;
    std::vector<CRef> clauses_, learnts_;
    std::vector<std::vector<Watcher>> watches_;  // by literal: clauses watching it

    std::vector<uint8_t> assigns_;   // by variable
    std::vector<uint32_t> level_;    // by variable
    std::vector<CRef> reason_;       // by variable
    std::vector<uint8_t> phase_;     // by variable: the sign last assigned
    std::vector<Lit> trail_;
    std::vector<uint32_t> trail_lim_;
    size_t qhead_ = 0;

    std::vector<double> var_activity_;
    double var_inc_ = 1.0;
    float clause_inc_ = 1.0f;
    std::vector<Var> heap_;
    std::vector<int32_t> heap_index_;  // by variable; -1 when not in the heap

    double max_learnts_ = 0;
    std::vector<uint8_t> seen_;          // by variable; scratch of analyze
    std::vector<Lit> analyze_clear_;     // scratch of analyze
    std::vector<Lit> learnt_clause_;     // scratch of search
    std::vector<Lit> add_scratch_;       // scratch of add_clause

    std::vector<uint8_t> model_;
    std::vector<Lit> core_;

    ljt::WorkPoll poll_;
    uint64_t work_ = 0;  // done since the last poll: watchers visited, assignments undone
};

}  // namespace quorvel::sat
