// The prefixed refutation search (search.h), one level per clause closed,
// on an explicit stack; the substitution is undone, not copied, when the
// search backs up.
#include "quorvel/constructive/resolution/search.h"

#include <algorithm>
#include <map>
#include <memory>
#include <span>
#include <unordered_map>

#include "quorvel/support/small_sort.h"

namespace quorvel::resolution {
namespace {

struct Candidate {
    uint32_t pos_lit, neg_lit;
};

class Search {
public:
    Search(const Problem& p, const Engine& e, prefix::Substitution& s, Interrupt& i)
        : p_(p), e_(e), subst_(s), interrupt_(i) {
        candidates_.resize(p.clauses.size());
        constant_.assign(p.clauses.size(), 0);
        for (size_t c = 0; c < p.clauses.size(); ++c) {
            const Clause& cl = p.clauses[c];
            for (uint32_t i1 = cl.first; i1 < cl.first + cl.count; ++i1) {
                const Literal& l = p.literals[i1];
                if ((l.atom == p.falsum && p.falsum != kNoAtom && l.polarity == 1) ||
                    (l.atom == p.verum && p.verum != kNoAtom && l.polarity == 0))
                    constant_[c] = 1;
                for (uint32_t j = i1 + 1; j < cl.first + cl.count; ++j) {
                    const Literal &a = p.literals[i1], &b = p.literals[j];
                    if (a.atom == b.atom && a.polarity != b.polarity)
                        candidates_[c].push_back(a.polarity == 1 ? Candidate{i1, j} : Candidate{j, i1});
                }
            }
        }
        // The distinct prefix words, each applied once per level. Literals
        // often share their word's place in Problem::words.
        std::unordered_map<uint64_t, uint32_t> by_place;
        std::map<std::span<const Sym>, uint32_t, WordLess> by_content;
        word_of_.resize(p.literals.size());
        for (size_t i = 0; i < p.literals.size(); ++i) {
            const Literal& l = p.literals[i];
            uint64_t place = (static_cast<uint64_t>(l.prefix) << 32) | l.length;
            auto known = by_place.find(place);
            if (known != by_place.end()) {
                word_of_[i] = known->second;
                continue;
            }
            std::span<const Sym> w(p.words.data() + l.prefix, l.length);
            auto [it, added] = by_content.emplace(w, static_cast<uint32_t>(words_.size()));
            if (added) words_.push_back(w);
            word_of_[i] = it->second;
            by_place.emplace(place, it->second);
        }
        applied_.resize(words_.size());
        stamp_.assign(words_.size(), 0);
    }

    int run(Derivation& out) {
        std::vector<uint32_t> all(p_.clauses.size());
        for (uint32_t c = 0; c < all.size(); ++c) all[c] = c;
        int r = enter(all, static_cast<uint32_t>(p_.clauses.size()));
        while (r == 0 && !levels_.empty()) r = advance();
        if (r < 0) return -1;
        if (r == 0) return 0;
        for (const Level& l : levels_) out.steps.push_back(l.step);
        out.empty_number = empty_number_;
        return 1;
    }

private:
    struct Level {
        std::vector<uint32_t> rest;  // the open clauses after the one being closed
        uint32_t clause;
        uint32_t counter;            // the last number this level handed out
        size_t candidate = 0;
        std::unique_ptr<prefix::Unifier> unifier;
        Step step{};
    };

    struct WordLess {
        bool operator()(std::span<const Sym> a, std::span<const Sym> b) const {
            return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
        }
    };

    // Word `w` under the current substitution, applied once per level.
    const std::vector<Sym>& applied(uint32_t w) {
        if (stamp_[w] != generation_) {
            stamp_[w] = generation_;
            applied_[w].clear();
            subst_.apply(words_[w], applied_[w]);
            interrupt_.tick(words_[w].size() + 1);
        }
        return applied_[w];
    }

    // Closed by falsum at polarity 1, verum at polarity 0, or two literals of
    // one atom at opposite polarities (a candidate pair) whose prefixes are
    // equal under the substitution.
    bool closed(uint32_t c) {
        if (constant_[c]) return true;
        interrupt_.tick(p_.clauses[c].count);
        for (const Candidate& cand : candidates_[c]) {
            uint32_t a = word_of_[cand.pos_lit], b = word_of_[cand.neg_lit];
            if (a == b || applied(a) == applied(b)) return true;
        }
        return false;
    }

    // A new level over `remaining`, its counter at `counter`. 1 when it
    // completes the refutation, 0 when it was pushed or failed at once
    // (nothing pushed), -1 when interrupted. `remaining` (which may be a
    // level's) is read before any level is pushed.
    int enter(const std::vector<uint32_t>& remaining, uint32_t counter) {
        ++generation_;  // the substitution changed since the last level
        std::vector<uint32_t>& open = open_;
        open.clear();
        for (uint32_t c : remaining)
            if (!closed(c)) open.push_back(c);
        if (interrupt_.stopped()) return -1;
        if (open.empty()) {
            int a = e_.admissible(p_.ordering(), subst_, interrupt_);
            if (a < 0) return -1;
            if (a == 0) return 0;
            empty_number_ = counter + 1;
            return 1;
        }
        stable_sort_small(open.begin(), open.end(),
                          [&](uint32_t x, uint32_t y) { return candidates_[x].size() < candidates_[y].size(); });
        if (candidates_[open[0]].empty()) return 0;
        Level l;
        l.clause = open[0];
        l.rest.assign(open.begin() + 1, open.end());
        l.counter = counter;
        l.unifier = e_.make_unifier(p_.kinds, subst_, interrupt_);
        start_candidate(l);
        levels_.push_back(std::move(l));
        return 0;
    }

    void start_candidate(Level& l) {
        const Candidate& cand = candidates_[l.clause][l.candidate];
        const Literal &pos = p_.literals[cand.pos_lit], &neg = p_.literals[cand.neg_lit];
        l.unifier->start({p_.words.data() + pos.prefix, pos.length}, {p_.words.data() + neg.prefix, neg.length});
    }

    // The top level's next admissible unifier, and a level below it; pops
    // the level when it has none left. Same results as enter().
    int advance() {
        Level& l = levels_.back();
        for (;;) {
            prefix::Unifier::Status s = l.unifier->next();
            if (s == prefix::Unifier::Status::Interrupted) return -1;
            if (s == prefix::Unifier::Status::Exhausted) {
                if (++l.candidate < candidates_[l.clause].size()) {
                    start_candidate(l);
                    continue;
                }
                levels_.pop_back();
                return 0;
            }
            int a = e_.admissible(p_.ordering(), subst_, interrupt_);
            if (a < 0) return -1;
            if (a == 0) continue;
            const Candidate& cand = candidates_[l.clause][l.candidate];
            l.step = Step{l.clause, cand.pos_lit, cand.neg_lit, ++l.counter, subst_.size()};
            // May push a level: `l` is not used after this. On 0 without a
            // new level the caller comes back here for the next unifier.
            return enter(l.rest, l.counter);
        }
    }

    const Problem& p_;
    const Engine& e_;
    prefix::Substitution& subst_;
    Interrupt& interrupt_;
    std::vector<std::vector<Candidate>> candidates_;
    std::vector<Level> levels_;
    std::vector<uint32_t> open_;               // enter()'s scratch
    std::vector<uint8_t> constant_;            // per clause: closed by falsum or verum
    std::vector<uint32_t> word_of_;            // per literal: its word's number
    std::vector<std::span<const Sym>> words_;  // the distinct words
    std::vector<std::vector<Sym>> applied_;    // each under the substitution at stamp_
    std::vector<uint64_t> stamp_;
    uint64_t generation_ = 0;
    uint32_t empty_number_ = 0;
};

}  // namespace

int search(const Problem& problem, const Engine& engine, prefix::Substitution& subst, Interrupt& interrupt,
           Derivation& out) {
    return Search(problem, engine, subst, interrupt).run(out);
}

}  // namespace quorvel::resolution
