// The labelled tableau search on native state: formulas are arena ids,
// worlds are small integers, and the proof tree is a flat vector of nodes.
//
// The search reproduces the Python-level expansion step exactly: the same
// clash test, bounds, rule order, applied-rule keys, world numbering and
// left-first branching, with the set orders the module fixes (formulas by
// arena id, successors by world number). It runs depth first with an explicit
// stack and one branch state that is changed in place and rolled back along
// a trail, which is exact because the search ends at the first open leaf: a
// right branch is only ever built from the parent state of a closed left one.
#pragma once

#include <array>
#include <cstdint>
#include <memory_resource>
#include <set>
#include <vector>

#include "quorvel/support/formula_arena.h"
#include "quorvel/support/interrupt.h"

namespace quorvel::tableau {

inline constexpr uint32_t kNoNode = UINT32_MAX;

// The ten rules, in the order the expansion tries them.
enum class Rule : uint8_t { TAnd, FOr, TNot, FImp, FNot, FAnd, TOr, TImp, TIff, FIff };
inline constexpr int kRuleCount = 10;
inline constexpr int8_t kNoRule = -1;

// The rule label of a tree node.
enum class Label : uint8_t {
    Target, TAnd, FOr, TNot, FImp, FNot, FAndL, FAndR, TOrL, TOrR, TImpF, TImpT, TIff, FIffL, FIffR,
};

enum class Clash : uint8_t { None, Falsum, Verum, Complementary };

// What the rules need to know of one formula.
struct FormulaInfo {
    int8_t t_rule = kNoRule;  // rule on the formula signed true
    int8_t f_rule = kNoRule;  // rule on the formula signed false
    FormulaId a = 0;          // left side, or the negated formula of a negation
    FormulaId b = 0;          // right side
    FormulaId imp1 = 0;       // of an Iff: left -> right
    FormulaId imp2 = 0;       // of an Iff: right -> left
};

// The formulas one proof can meet: everything in the arena, plus the two
// implications of every equivalence, interned up front so that no formula
// is created during the search and the id order is fixed before it starts.
class Closure {
public:
    explicit Closure(FormulaArena& arena);
    const FormulaInfo& operator[](FormulaId f) const { return info_[f]; }
    size_t size() const { return info_.size(); }
    FormulaId falsum() const { return falsum_; }
    FormulaId verum() const { return verum_; }

private:
    std::vector<FormulaInfo> info_;
    FormulaId falsum_, verum_;
};

struct ProofNode {
    FormulaId formula = 0;
    uint32_t formula_world = 0;  // the world of the signed formula
    uint32_t world = 0;          // the node's own world
    uint32_t children[2] = {kNoNode, kNoNode};
    FormulaId clash_formula = 0;
    uint32_t clash_world = 0;
    Label label = Label::Target;
    bool sign = false;  // true: signed true
    bool closed = false;
    Clash clash = Clash::None;
};

struct Bounds {
    int64_t max_depth = 100;
    int64_t max_worlds = 50;
};

class Search {
public:
    enum class Outcome { Closed, Open, Interrupted };

    Search(const Closure& closure, Bounds bounds);
    ~Search();
    Search(const Search&) = delete;
    Search& operator=(const Search&) = delete;

    // Proves `target` from `premises`. Node i of nodes() has id i + 1.
    // Each step charges `poll` with the work it did.
    Outcome run(const std::vector<FormulaId>& premises, FormulaId target, InterruptPoll& poll);

    const std::vector<ProofNode>& nodes() const { return nodes_; }

    // The branch state after run(): that of the first open branch when the
    // outcome is Open. Worlds are numbered 0 .. world_count() - 1.
    uint32_t world_count() const { return static_cast<uint32_t>(worlds_.size()); }
    const std::vector<uint32_t>& successors(uint32_t w) const { return worlds_[w].succ; }
    bool is_true(uint32_t w, FormulaId f) const { return test(t_bits_, w, f); }
    // The formulas signed true at w, in id order.
    std::vector<FormulaId> true_formulas(uint32_t w) const;

private:
    // Pending items come from one pool: a long search holds tens of
    // millions of them, and handing each back to malloc made tearing the
    // state down (after Ctrl-C, say) take a tenth of the search's time.
    using PendingSet = std::pmr::set<uint64_t>;
    struct WorldData {
        WorldData(uint32_t self, std::pmr::memory_resource* pool)
            : succ{self}, pending{PendingSet(pool), PendingSet(pool), PendingSet(pool), PendingSet(pool),
                                  PendingSet(pool), PendingSet(pool), PendingSet(pool), PendingSet(pool),
                                  PendingSet(pool), PendingSet(pool)} {}
        std::vector<uint32_t> succ;  // ascending; the world itself included
        // Candidates of each rule at this world whose applied-rule key is
        // not yet taken; the next to fire is the smallest. An item packs
        // (formula << 32 | successor), so items order as the scan visits them.
        std::array<PendingSet, kRuleCount> pending;
        static_assert(kRuleCount == 10, "one pool-bound set per rule above");
    };
    enum class Undo : uint8_t { SetTrue, SetFalse, Insert, Fire, Succ, World };
    struct TrailEntry {
        Undo kind;
        uint8_t rule;
        uint32_t world;
        uint64_t item;
    };
    // A branching rule whose right branch is still to be built.
    struct Frame {
        uint32_t node;
        uint32_t world;  // w, or the successor w' of T_Imp
        FormulaId formula;
        int64_t depth;
        size_t mark;  // trail length once the key was taken
        Rule rule;
        bool right_done;
    };

    bool test(const std::vector<uint64_t>& bits, uint32_t w, FormulaId f) const {
        return bits[static_cast<size_t>(w) * words_ + (f >> 6)] >> (f & 63) & 1;
    }
    void set_true(uint32_t w, FormulaId f);
    void set_false(uint32_t w, FormulaId f);
    void add_true(uint32_t w, FormulaId f);   // at w and its successors
    void add_false(uint32_t w, FormulaId f);  // at w only
    uint32_t new_world_above(uint32_t w);
    void insert(int r, uint32_t w, uint64_t item);
    void undo_to(size_t mark);

    bool find_candidate(int& rule, uint32_t& world, uint64_t& item);
    uint32_t make_node(Label label, bool sign, FormulaId f, uint32_t formula_world, uint32_t world, uint32_t parent);
    void record_clash(uint32_t node);
    void apply_right(const Frame& frame, uint32_t& node);

    const Closure& closure_;
    Bounds bounds_;
    size_t words_;
    std::pmr::unsynchronized_pool_resource pool_;  // outlives worlds_
    std::vector<WorldData> worlds_;
    std::vector<uint64_t> t_bits_, f_bits_;  // world-major bitsets
    std::array<size_t, kRuleCount> pending_count_{};
    // (world, formula) of each addition since the last test that made a
    // clash; the state before them had none, so these are all the clashes.
    std::vector<std::pair<uint32_t, FormulaId>> clashes_;
    std::vector<TrailEntry> trail_;
    std::vector<Frame> frames_;
    std::vector<ProofNode> nodes_;
    std::vector<uint64_t> scratch_;
    // Work since the last charge: a step that adds a world above many
    // others costs thousands of times what a plain step costs.
    uint64_t work_ = 0;
};

}  // namespace quorvel::tableau
