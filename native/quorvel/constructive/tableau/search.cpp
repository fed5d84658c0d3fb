#include "quorvel/constructive/tableau/search.h"

#include <algorithm>
#include <new>

namespace quorvel::tableau {
namespace {

constexpr int idx(Rule r) { return static_cast<int>(r); }

constexpr uint64_t pack(FormulaId f, uint32_t successor) { return static_cast<uint64_t>(f) << 32 | successor; }
constexpr FormulaId formula_of(uint64_t item) { return static_cast<FormulaId>(item >> 32); }
constexpr uint32_t successor_of(uint64_t item) { return static_cast<uint32_t>(item); }

// The rules that act once per successor of their world.
constexpr bool per_successor(int r) { return r == idx(Rule::TNot) || r == idx(Rule::TImp); }

}  // namespace

Closure::Closure(FormulaArena& arena) : falsum_(arena.falsum()), verum_(arena.verum()) {
    // Only implications are interned here, so no new equivalence appears.
    size_t given = arena.size();
    std::vector<std::pair<FormulaId, FormulaId>> implications(given);
    for (FormulaId f = 0; f < given; ++f) {
        if (arena.op(f) != Op::Iff) continue;
        FormulaId l = arena.left(f), r = arena.right(f);
        FormulaId imp1 = arena.binary(Op::Implies, l, r);
        FormulaId imp2 = arena.binary(Op::Implies, r, l);
        implications[f] = {imp1, imp2};
    }
    info_.resize(arena.size());
    for (FormulaId f = 0; f < arena.size(); ++f) {
        FormulaInfo& i = info_[f];
        const FormulaNode& n = arena[f];
        switch (n.op) {
            case Op::Not:
                i.a = n.a;
                i.t_rule = idx(Rule::TNot);
                i.f_rule = idx(Rule::FNot);
                break;
            case Op::And:
                i.a = n.a, i.b = n.b;
                i.t_rule = idx(Rule::TAnd);
                i.f_rule = idx(Rule::FAnd);
                break;
            case Op::Or:
                i.a = n.a, i.b = n.b;
                i.t_rule = idx(Rule::TOr);
                i.f_rule = idx(Rule::FOr);
                break;
            case Op::Implies:
                i.a = n.a, i.b = n.b;
                // An implication to falsum is a negation of its left side.
                if (n.b == falsum_) {
                    i.t_rule = idx(Rule::TNot);
                    i.f_rule = idx(Rule::FNot);
                } else {
                    i.t_rule = idx(Rule::TImp);
                    i.f_rule = idx(Rule::FImp);
                }
                break;
            case Op::Iff:
                i.a = n.a, i.b = n.b;
                i.imp1 = implications[f].first;
                i.imp2 = implications[f].second;
                i.t_rule = idx(Rule::TIff);
                i.f_rule = idx(Rule::FIff);
                break;
            default:
                break;
        }
    }
}

Search::Search(const Closure& closure, Bounds bounds)
    : closure_(closure), bounds_(bounds), words_((closure.size() + 63) / 64) {}

Search::~Search() {
    // Destroying the sets would walk every one of their nodes only to hand
    // it back to pool_, which frees its blocks whole anyway. The items are
    // plain integers, so each set may end by having an empty one built over
    // it instead.
    for (WorldData& w : worlds_)
        for (PendingSet& p : w.pending) new (&p) PendingSet(&pool_);
}

std::vector<FormulaId> Search::true_formulas(uint32_t w) const {
    std::vector<FormulaId> out;
    const uint64_t* row = &t_bits_[static_cast<size_t>(w) * words_];
    for (size_t i = 0; i < words_; ++i)
        for (uint64_t bits = row[i]; bits; bits &= bits - 1)
            out.push_back(static_cast<FormulaId>(i * 64 + static_cast<size_t>(__builtin_ctzll(bits))));
    return out;
}

void Search::insert(int r, uint32_t w, uint64_t item) {
    worlds_[w].pending[r].insert(item);
    ++pending_count_[r];
    ++work_;
    trail_.push_back({Undo::Insert, static_cast<uint8_t>(r), w, item});
}

void Search::set_true(uint32_t w, FormulaId f) {
    t_bits_[static_cast<size_t>(w) * words_ + (f >> 6)] |= uint64_t{1} << (f & 63);
    trail_.push_back({Undo::SetTrue, 0, w, f});
    if (f == closure_.falsum() || test(f_bits_, w, f)) clashes_.emplace_back(w, f);
    int r = closure_[f].t_rule;
    if (r == kNoRule) return;
    if (per_successor(r)) {
        // Index loop: insert() does not touch succ, but keep no iterator
        // across the pushes into other vectors anyway.
        const auto& succ = worlds_[w].succ;
        for (size_t i = 0; i < succ.size(); ++i) insert(r, w, pack(f, succ[i]));
    } else {
        insert(r, w, pack(f, 0));
    }
}

void Search::set_false(uint32_t w, FormulaId f) {
    f_bits_[static_cast<size_t>(w) * words_ + (f >> 6)] |= uint64_t{1} << (f & 63);
    trail_.push_back({Undo::SetFalse, 0, w, f});
    if (f == closure_.verum() || test(t_bits_, w, f)) clashes_.emplace_back(w, f);
    int r = closure_[f].f_rule;
    if (r != kNoRule) insert(r, w, pack(f, 0));
}

void Search::add_true(uint32_t w, FormulaId f) {
    const auto& succ = worlds_[w].succ;
    for (size_t i = 0; i < succ.size(); ++i)
        if (!test(t_bits_, succ[i], f)) set_true(succ[i], f);
}

void Search::add_false(uint32_t w, FormulaId f) {
    if (!test(f_bits_, w, f)) set_false(w, f);
}

uint32_t Search::new_world_above(uint32_t w) {
    uint32_t n = static_cast<uint32_t>(worlds_.size());
    worlds_.emplace_back(n, &pool_);
    t_bits_.resize(t_bits_.size() + words_, 0);
    f_bits_.resize(f_bits_.size() + words_, 0);
    trail_.push_back({Undo::World, 0, n, 0});
    // Every world that sees w now sees n; its true negations and
    // implications get a candidate for n.
    for (uint32_t u = 0; u < n; ++u) {
        auto& succ = worlds_[u].succ;
        ++work_;
        if (!std::binary_search(succ.begin(), succ.end(), w)) continue;
        work_ += words_;
        succ.push_back(n);
        trail_.push_back({Undo::Succ, 0, u, 0});
        for (FormulaId f : true_formulas(u)) {
            int r = closure_[f].t_rule;
            if (per_successor(r)) insert(r, u, pack(f, n));
        }
    }
    // Monotonicity: n receives what is true at every world that sees it.
    for (uint32_t u = 0; u < n; ++u) {
        const auto& succ = worlds_[u].succ;
        ++work_;
        if (succ.back() != n) continue;
        work_ += words_;
        for (FormulaId f : true_formulas(u))
            if (!test(t_bits_, n, f)) set_true(n, f);
    }
    return n;
}

void Search::undo_to(size_t mark) {
    work_ += trail_.size() - mark;
    while (trail_.size() > mark) {
        TrailEntry e = trail_.back();
        trail_.pop_back();
        switch (e.kind) {
            case Undo::SetTrue:
                t_bits_[static_cast<size_t>(e.world) * words_ + (e.item >> 6)] &= ~(uint64_t{1} << (e.item & 63));
                break;
            case Undo::SetFalse:
                f_bits_[static_cast<size_t>(e.world) * words_ + (e.item >> 6)] &= ~(uint64_t{1} << (e.item & 63));
                break;
            case Undo::Insert:
                worlds_[e.world].pending[e.rule].erase(e.item);
                --pending_count_[e.rule];
                break;
            case Undo::Fire:
                worlds_[e.world].pending[e.rule].insert(e.item);
                ++pending_count_[e.rule];
                break;
            case Undo::Succ:
                worlds_[e.world].succ.pop_back();
                break;
            case Undo::World:
                worlds_.pop_back();
                t_bits_.resize(t_bits_.size() - words_);
                f_bits_.resize(f_bits_.size() - words_);
                break;
        }
    }
    // The state at any mark was free of clashes.
    clashes_.clear();
}

bool Search::find_candidate(int& rule, uint32_t& world, uint64_t& item) {
    bool may_create = static_cast<int64_t>(worlds_.size()) < bounds_.max_worlds;
    for (int r = 0; r < kRuleCount; ++r) {
        if (!pending_count_[r]) continue;
        if ((r == idx(Rule::FImp) || r == idx(Rule::FNot)) && !may_create) continue;
        for (uint32_t w = 0; w < worlds_.size(); ++w) {
            auto& v = worlds_[w].pending[r];
            ++work_;
            if (v.empty()) continue;
            rule = r;
            world = w;
            item = *v.begin();
            v.erase(v.begin());
            --pending_count_[r];
            trail_.push_back({Undo::Fire, static_cast<uint8_t>(r), w, item});
            return true;
        }
    }
    return false;
}

uint32_t Search::make_node(Label label, bool sign, FormulaId f, uint32_t formula_world, uint32_t world,
                           uint32_t parent) {
    uint32_t id = static_cast<uint32_t>(nodes_.size());
    ProofNode n;
    n.label = label;
    n.sign = sign;
    n.formula = f;
    n.formula_world = formula_world;
    n.world = world;
    nodes_.push_back(n);
    if (parent != kNoNode) {
        ProofNode& p = nodes_[parent];
        p.children[p.children[0] == kNoNode ? 0 : 1] = id;
    }
    return id;
}

void Search::record_clash(uint32_t node) {
    uint32_t w = clashes_[0].first;
    for (const auto& c : clashes_) w = std::min(w, c.first);
    ProofNode& n = nodes_[node];
    n.clash_world = w;
    if (test(t_bits_, w, closure_.falsum())) {
        n.clash = Clash::Falsum;
        n.clash_formula = closure_.falsum();
    } else if (test(f_bits_, w, closure_.verum())) {
        n.clash = Clash::Verum;
        n.clash_formula = closure_.verum();
    } else {
        // The first formula of the intersection at w, in id order.
        n.clash = Clash::Complementary;
        n.clash_formula = UINT32_MAX;
        for (const auto& c : clashes_)
            if (c.first == w && test(t_bits_, w, c.second) && test(f_bits_, w, c.second))
                n.clash_formula = std::min(n.clash_formula, c.second);
    }
}

void Search::apply_right(const Frame& fr, uint32_t& node) {
    const FormulaInfo& i = closure_[fr.formula];
    switch (static_cast<Rule>(fr.rule)) {
        case Rule::FAnd:
            add_false(fr.world, i.b);
            node = make_node(Label::FAndR, false, i.b, fr.world, fr.world, fr.node);
            break;
        case Rule::TOr:
            add_true(fr.world, i.b);
            node = make_node(Label::TOrR, true, i.b, fr.world, fr.world, fr.node);
            break;
        case Rule::TImp:
            add_true(fr.world, i.b);
            node = make_node(Label::TImpT, true, i.b, fr.world, fr.world, fr.node);
            break;
        default:  // FIff
            add_false(fr.world, i.imp2);
            node = make_node(Label::FIffR, false, i.imp2, fr.world, fr.world, fr.node);
            break;
    }
}

Search::Outcome Search::run(const std::vector<FormulaId>& premises, FormulaId target, InterruptPoll& poll) {
    worlds_.emplace_back(0, &pool_);
    t_bits_.assign(words_, 0);
    f_bits_.assign(words_, 0);
    for (FormulaId p : premises) add_true(0, p);
    add_false(0, target);

    uint32_t node = make_node(Label::Target, false, target, 0, 0, kNoNode);
    int64_t depth = 1;
    Outcome outcome = Outcome::Open;
    for (;;) {
        if (!poll.charge(1 + work_)) return Outcome::Interrupted;
        work_ = 0;

        if (!clashes_.empty()) {
            record_clash(node);
        } else if (depth >= bounds_.max_depth || static_cast<int64_t>(worlds_.size()) > bounds_.max_worlds) {
            break;  // a bound leaves the branch open
        } else {
            int r;
            uint32_t w;
            uint64_t item;
            if (!find_candidate(r, w, item)) break;  // saturated
            FormulaId f = formula_of(item);
            const FormulaInfo& i = closure_[f];
            uint32_t parent = node;
            switch (static_cast<Rule>(r)) {
                case Rule::TAnd:
                    node = make_node(Label::TAnd, true, f, w, w, parent);
                    add_true(w, i.a);
                    add_true(w, i.b);
                    break;
                case Rule::FOr:
                    node = make_node(Label::FOr, false, f, w, w, parent);
                    add_false(w, i.a);
                    add_false(w, i.b);
                    break;
                case Rule::TNot: {
                    uint32_t s = successor_of(item);
                    node = make_node(Label::TNot, true, f, w, s, parent);
                    add_false(s, i.a);
                    break;
                }
                case Rule::FImp:
                case Rule::FNot: {
                    bool imp = r == idx(Rule::FImp);
                    uint32_t n = new_world_above(w);
                    add_true(n, i.a);
                    add_false(n, imp ? i.b : closure_.falsum());
                    node = make_node(imp ? Label::FImp : Label::FNot, false, f, w, n, parent);
                    break;
                }
                case Rule::TIff:
                    add_true(w, i.imp1);
                    add_true(w, i.imp2);
                    node = make_node(Label::TIff, true, f, w, w, parent);
                    break;
                default: {
                    // A branching rule: the key is taken (trail mark after
                    // it), then the left branch is expanded in place.
                    uint32_t at = r == idx(Rule::TImp) ? successor_of(item) : w;
                    frames_.push_back(Frame{parent, at, f, depth, trail_.size(), static_cast<Rule>(r), false});
                    switch (static_cast<Rule>(r)) {
                        case Rule::FAnd:
                            add_false(at, i.a);
                            node = make_node(Label::FAndL, false, i.a, at, at, parent);
                            break;
                        case Rule::TOr:
                            add_true(at, i.a);
                            node = make_node(Label::TOrL, true, i.a, at, at, parent);
                            break;
                        case Rule::TImp:
                            add_false(at, i.a);
                            node = make_node(Label::TImpF, false, i.a, at, at, parent);
                            break;
                        default:  // FIff
                            add_false(at, i.imp1);
                            node = make_node(Label::FIffL, false, i.imp1, at, at, parent);
                            break;
                    }
                }
            }
            ++depth;
            continue;
        }

        // The branch closed at `node`: resume the innermost branching rule
        // whose right branch is still to come.
        while (!frames_.empty() && frames_.back().right_done) frames_.pop_back();
        if (frames_.empty()) {
            outcome = Outcome::Closed;
            break;
        }
        Frame& fr = frames_.back();
        fr.right_done = true;
        undo_to(fr.mark);
        apply_right(fr, node);
        depth = fr.depth + 1;
    }

    // A node is closed when it closed by a clash or all its children are
    // closed; children come after their parent in the vector.
    for (size_t k = nodes_.size(); k-- > 0;) {
        ProofNode& n = nodes_[k];
        if (n.children[0] == kNoNode) {
            n.closed = n.clash != Clash::None;
        } else {
            n.closed = nodes_[n.children[0]].closed && (n.children[1] == kNoNode || nodes_[n.children[1]].closed);
        }
    }
    // A branching node whose left branch stayed open has one child; that
    // child is open, so the rule above already leaves the node open.
    return outcome;
}

}  // namespace quorvel::tableau
