#include "quorvel/constructive/ljt/sat.h"

#include <algorithm>

namespace quorvel::sat {
namespace {

constexpr double kVarDecay = 0.95;
constexpr float kClauseDecay = 0.999f;
constexpr int64_t kRestartUnit = 100;

// The Luby sequence 1 1 2 1 1 2 4 1 1 2 ..., term i (from 0).
int64_t luby(uint64_t i) {
    uint64_t size = 1, seq = 0;
    while (size < i + 1) {
        ++seq;
        size = 2 * size + 1;
    }
    while (size - 1 != i) {
        size = (size - 1) >> 1;
        --seq;
        i %= size;
    }
    return int64_t{1} << seq;
}

}  // namespace

Var Solver::new_var() {
    Var v = num_vars();
    assigns_.push_back(kUndef);
    level_.push_back(0);
    reason_.push_back(kNoClause);
    phase_.push_back(1);  // false first: small models make small assumption sets
    seen_.push_back(0);
    var_activity_.push_back(0.0);
    heap_index_.push_back(-1);
    watches_.emplace_back();
    watches_.emplace_back();
    heap_insert(v);
    return v;
}

// ---- clauses ----

Solver::CRef Solver::alloc(std::span<const Lit> lits, bool is_learnt) {
    CRef c = static_cast<CRef>(mem_.size());
    mem_.push_back(static_cast<uint32_t>(lits.size()) << 2 | (is_learnt ? 2u : 0u));
    mem_.push_back(std::bit_cast<uint32_t>(0.0f));
    for (Lit p : lits) mem_.push_back(p.x);
    return c;
}

void Solver::attach(CRef c) {
    watches_[lit(c, 0).x].push_back(Watcher{c, lit(c, 1)});
    watches_[lit(c, 1).x].push_back(Watcher{c, lit(c, 0)});
}

bool Solver::add_clause(std::span<const Lit> lits) {
    if (!ok_) return false;
    // Only between searches, at level 0: drop false and repeated literals,
    // skip a clause that is already true or a tautology.
    std::vector<Lit>& c = add_scratch_;
    c.assign(lits.begin(), lits.end());
    std::sort(c.begin(), c.end());
    size_t j = 0;
    for (size_t i = 0; i < c.size(); ++i) {
        Lit p = c[i];
        if (value(p) == kTrue || (j > 0 && p == ~c[j - 1])) return true;
        if (value(p) == kFalse || (j > 0 && p == c[j - 1])) continue;
        c[j++] = p;
    }
    c.resize(j);
    if (c.empty()) return ok_ = false;
    if (c.size() == 1) {
        enqueue(c[0], kNoClause);
        return ok_ = propagate() == kNoClause;
    }
    CRef cr = alloc(c, false);
    clauses_.push_back(cr);
    attach(cr);
    return true;
}

// ---- assignment ----

void Solver::enqueue(Lit p, CRef reason) {
    Var v = p.var();
    assigns_[v] = p.negative() ? kFalse : kTrue;
    level_[v] = decision_level();
    reason_[v] = reason;
    trail_.push_back(p);
}

void Solver::cancel_until(uint32_t level) {
    if (decision_level() <= level) return;
    work_ += trail_.size() - trail_lim_[level];
    for (size_t i = trail_.size(); i-- > trail_lim_[level];) {
        Var v = trail_[i].var();
        assigns_[v] = kUndef;
        reason_[v] = kNoClause;
        phase_[v] = trail_[i].negative();
        if (heap_index_[v] < 0) heap_insert(v);
    }
    trail_.resize(trail_lim_[level]);
    trail_lim_.resize(level);
    qhead_ = trail_.size();
}

Solver::CRef Solver::propagate() {
    CRef conflict = kNoClause;
    while (qhead_ < trail_.size()) {
        Lit false_lit = ~trail_[qhead_++];
        std::vector<Watcher>& ws = watches_[false_lit.x];
        size_t i = 0, j = 0;
        const size_t n = ws.size();
        work_ += n + 1;
        while (i < n) {
            Watcher w = ws[i++];
            if (value(w.blocker) == kTrue) {
                ws[j++] = w;
                continue;
            }
            CRef c = w.cref;
            // Keep the false literal in slot 1.
            if (lit(c, 0) == false_lit) swap_lits(c, 0, 1);
            Lit first = lit(c, 0);
            Watcher kept{c, first};
            if (first != w.blocker && value(first) == kTrue) {
                ws[j++] = kept;
                continue;
            }
            bool moved = false;
            for (uint32_t k = 2, size = size_of(c); k < size; ++k) {
                if (value(lit(c, k)) != kFalse) {
                    swap_lits(c, 1, k);
                    watches_[lit(c, 1).x].push_back(kept);
                    moved = true;
                    break;
                }
            }
            if (moved) continue;
            ws[j++] = kept;
            if (value(first) == kFalse) {
                conflict = c;
                qhead_ = trail_.size();
                while (i < n) ws[j++] = ws[i++];
            } else {
                enqueue(first, c);
            }
        }
        ws.resize(j);
        if (conflict != kNoClause) break;
    }
    return conflict;
}

// ---- conflicts ----

void Solver::analyze(CRef conflict, std::vector<Lit>& out, uint32_t& backtrack_level) {
    out.clear();
    out.push_back(Lit{0});  // the asserting literal goes here
    int paths = 0;
    bool have_p = false;
    Lit p{0};
    size_t index = trail_.size();
    CRef c = conflict;
    do {
        if (learnt(c)) bump_clause(c);
        for (uint32_t k = have_p ? 1 : 0, size = size_of(c); k < size; ++k) {
            Lit q = lit(c, k);
            Var v = q.var();
            if (seen_[v] || level_[v] == 0) continue;
            bump_var(v);
            seen_[v] = 1;
            if (level_[v] >= decision_level())
                ++paths;
            else
                out.push_back(q);
        }
        while (!seen_[trail_[--index].var()]) {
        }
        p = trail_[index];
        have_p = true;
        c = reason_[p.var()];
        seen_[p.var()] = 0;
        --paths;
    } while (paths > 0);
    out[0] = ~p;

    // A literal whose reason lies wholly inside the clause is implied by
    // the others and can go.
    analyze_clear_.assign(out.begin(), out.end());
    size_t j = 1;
    for (size_t i = 1; i < out.size(); ++i) {
        CRef r = reason_[out[i].var()];
        bool redundant = r != kNoClause;
        for (uint32_t k = 1; redundant && k < size_of(r); ++k) {
            Var v = lit(r, k).var();
            if (!seen_[v] && level_[v] > 0) redundant = false;
        }
        if (!redundant) out[j++] = out[i];
    }
    out.resize(j);
    for (Lit q : analyze_clear_) seen_[q.var()] = 0;

    backtrack_level = 0;
    if (out.size() > 1) {
        size_t max_i = 1;
        for (size_t i = 2; i < out.size(); ++i)
            if (level_[out[i].var()] > level_[out[max_i].var()]) max_i = i;
        std::swap(out[1], out[max_i]);
        backtrack_level = level_[out[1].var()];
    }
}

void Solver::analyze_final(Lit failed) {
    // `failed` is an assumption found false: the assumptions that forced
    // its negation are the decisions reached backwards from it.
    core_.clear();
    core_.push_back(failed);
    if (decision_level() == 0) return;
    seen_[failed.var()] = 1;
    for (size_t i = trail_.size(); i-- > trail_lim_[0];) {
        Var v = trail_[i].var();
        if (!seen_[v]) continue;
        CRef r = reason_[v];
        if (r == kNoClause) {
            core_.push_back(trail_[i]);  // a decision below the search: an assumption
        } else {
            for (uint32_t k = 1; k < size_of(r); ++k)
                if (level_[lit(r, k).var()] > 0) seen_[lit(r, k).var()] = 1;
        }
        seen_[v] = 0;
    }
    seen_[failed.var()] = 0;
}

// ---- decisions ----

void Solver::bump_var(Var v) {
    if ((var_activity_[v] += var_inc_) > 1e100) {
        for (double& a : var_activity_) a *= 1e-100;
        var_inc_ *= 1e-100;
    }
    if (heap_index_[v] >= 0) heap_up(static_cast<uint32_t>(heap_index_[v]));
}

void Solver::bump_clause(CRef c) {
    float a = activity(c) + clause_inc_;
    set_activity(c, a);
    if (a > 1e20f) {
        for (CRef l : learnts_) set_activity(l, activity(l) * 1e-20f);
        clause_inc_ *= 1e-20f;
    }
}

void Solver::heap_insert(Var v) {
    heap_index_[v] = static_cast<int32_t>(heap_.size());
    heap_.push_back(v);
    heap_up(static_cast<uint32_t>(heap_.size() - 1));
}

void Solver::heap_up(uint32_t i) {
    Var v = heap_[i];
    while (i > 0) {
        uint32_t parent = (i - 1) / 2;
        if (var_activity_[heap_[parent]] >= var_activity_[v]) break;
        heap_[i] = heap_[parent];
        heap_index_[heap_[i]] = static_cast<int32_t>(i);
        i = parent;
    }
    heap_[i] = v;
    heap_index_[v] = static_cast<int32_t>(i);
}

void Solver::heap_down(uint32_t i) {
    Var v = heap_[i];
    const uint32_t n = static_cast<uint32_t>(heap_.size());
    for (;;) {
        uint32_t child = 2 * i + 1;
        if (child >= n) break;
        if (child + 1 < n && var_activity_[heap_[child + 1]] > var_activity_[heap_[child]]) ++child;
        if (var_activity_[heap_[child]] <= var_activity_[v]) break;
        heap_[i] = heap_[child];
        heap_index_[heap_[i]] = static_cast<int32_t>(i);
        i = child;
    }
    heap_[i] = v;
    heap_index_[v] = static_cast<int32_t>(i);
}

Var Solver::heap_pop() {
    Var top = heap_[0];
    heap_index_[top] = -1;
    Var last = heap_.back();
    heap_.pop_back();
    if (!heap_.empty()) {
        heap_[0] = last;
        heap_index_[last] = 0;
        heap_down(0);
    }
    return top;
}

Lit Solver::pick_branch() {
    while (!heap_.empty()) {
        Var v = heap_pop();
        if (assigns_[v] == kUndef) return phase_[v] ? Lit::neg(v) : Lit::pos(v);
    }
    return Lit{UINT32_MAX};
}

// ---- search ----

bool Solver::poll() {
    const uint64_t units = work_ + 1;
    work_ = 0;
    return poll_.spend(units);
}

Solver::Status Solver::search(int64_t conflict_budget, std::span<const Lit> assumptions) {
    int64_t conflicts = 0;
    for (;;) {
        if (!poll()) return Status::Stopped;
        CRef conflict = propagate();
        if (conflict != kNoClause) {
            ++conflicts;
            if (decision_level() == 0) {
                ok_ = false;
                core_.clear();
                return Status::Unsat;
            }
            uint32_t backtrack_level;
            analyze(conflict, learnt_clause_, backtrack_level);
            cancel_until(backtrack_level);
            if (learnt_clause_.size() == 1) {
                enqueue(learnt_clause_[0], kNoClause);
            } else {
                CRef c = alloc(learnt_clause_, true);
                learnts_.push_back(c);
                attach(c);
                bump_clause(c);
                enqueue(learnt_clause_[0], c);
            }
            var_inc_ /= kVarDecay;
            clause_inc_ /= kClauseDecay;
            continue;
        }
        if (conflicts >= conflict_budget) {
            cancel_until(0);
            return Status::Restart;
        }
        if (static_cast<double>(learnts_.size()) - static_cast<double>(trail_.size()) >= max_learnts_) reduce_db();
        Lit next{UINT32_MAX};
        while (decision_level() < assumptions.size()) {
            Lit a = assumptions[decision_level()];
            Value va = value(a);
            if (va == kTrue) {
                trail_lim_.push_back(static_cast<uint32_t>(trail_.size()));  // a level of its own
            } else if (va == kFalse) {
                analyze_final(a);
                return Status::Unsat;
            } else {
                next = a;
                break;
            }
        }
        if (next.x == UINT32_MAX) {
            next = pick_branch();
            if (next.x == UINT32_MAX) return Status::Sat;
        }
        trail_lim_.push_back(static_cast<uint32_t>(trail_.size()));
        enqueue(next, kNoClause);
    }
}

Solver::Result Solver::solve(std::span<const Lit> assumptions) {
    core_.clear();
    model_.clear();
    poll_.reset();
    if (!ok_) return Result::Unsat;
    if (wasted_ * 2 > mem_.size()) compact();
    max_learnts_ = std::max(max_learnts_, static_cast<double>(clauses_.size()) / 3 + 1000);
    Status status = Status::Restart;
    for (uint64_t restart = 0; status == Status::Restart; ++restart) {
        status = search(luby(restart) * kRestartUnit, assumptions);
        max_learnts_ *= 1.05;
    }
    if (status == Status::Sat) {
        model_.resize(num_vars());
        for (Var v = 0; v < num_vars(); ++v) model_[v] = assigns_[v] == kTrue;
    }
    cancel_until(0);
    switch (status) {
        case Status::Sat: return Result::Sat;
        case Status::Unsat: return Result::Unsat;
        default: return Result::Interrupted;
    }
}

// ---- clause database ----

void Solver::reduce_db() {
    // Keep the more active half of the learned clauses, and every clause
    // that is the reason of an assignment or has two literals.
    std::sort(learnts_.begin(), learnts_.end(), [this](CRef a, CRef b) { return activity(a) < activity(b); });
    size_t half = learnts_.size() / 2, j = 0;
    for (size_t i = 0; i < learnts_.size(); ++i) {
        CRef c = learnts_[i];
        Lit first = lit(c, 0);
        bool locked = value(first) == kTrue && reason_[first.var()] == c;
        if (i < half && !locked && size_of(c) > 2) {
            mem_[c] |= 1;
            wasted_ += 2 + size_of(c);
        } else {
            learnts_[j++] = c;
        }
    }
    learnts_.resize(j);
    for (std::vector<Watcher>& ws : watches_)
        std::erase_if(ws, [this](const Watcher& w) { return deleted(w.cref); });
}

void Solver::compact() {
    // At level 0 only: reasons are not needed there, so every clause can
    // move and the watches are made anew.
    std::vector<uint32_t> mem;
    mem.reserve(mem_.size() - wasted_);
    auto move = [&](std::vector<CRef>& list) {
        for (CRef& c : list) {
            CRef to = static_cast<CRef>(mem.size());
            mem.insert(mem.end(), mem_.begin() + c, mem_.begin() + c + 2 + size_of(c));
            c = to;
        }
    };
    move(clauses_);
    move(learnts_);
    mem_ = std::move(mem);
    wasted_ = 0;
    std::fill(reason_.begin(), reason_.end(), kNoClause);
    for (std::vector<Watcher>& ws : watches_) ws.clear();
    for (CRef c : clauses_) attach(c);
    for (CRef c : learnts_) attach(c);
}

}  // namespace quorvel::sat
