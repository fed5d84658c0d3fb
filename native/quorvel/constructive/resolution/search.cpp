// The prefixed refutation search (search.h), one level per clause closed,
// on an explicit stack; the substitution is undone, not copied, when the
// search backs up.
#include "quorvel/constructive/resolution/search.h"

#include <algorithm>
#include <memory>

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
        for (size_t c = 0; c < p.clauses.size(); ++c) {
            const Clause& cl = p.clauses[c];
            for (uint32_t i1 = cl.first; i1 < cl.first + cl.count; ++i1)
                for (uint32_t j = i1 + 1; j < cl.first + cl.count; ++j) {
                    const Literal &a = p.literals[i1], &b = p.literals[j];
                    if (a.atom == b.atom && a.polarity != b.polarity)
                        candidates_[c].push_back(a.polarity == 1 ? Candidate{i1, j} : Candidate{j, i1});
                }
        }
    }

    int run(Derivation& out) {
        std::vector<uint32_t> all(p_.clauses.size());
        for (uint32_t c = 0; c < all.size(); ++c) all[c] = c;
        int r = enter(std::move(all), static_cast<uint32_t>(p_.clauses.size()));
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

    bool closed(uint32_t c) {
        const Clause& cl = p_.clauses[c];
        words_.resize(cl.count);
        for (uint32_t k = 0; k < cl.count; ++k) {
            const Literal& l = p_.literals[cl.first + k];
            if ((l.atom == p_.falsum && p_.falsum != kNoAtom && l.polarity == 1) ||
                (l.atom == p_.verum && p_.verum != kNoAtom && l.polarity == 0))
                return true;
            words_[k].clear();
            subst_.apply({p_.words.data() + l.prefix, l.length}, words_[k]);
            interrupt_.tick(l.length + 1);
        }
        for (uint32_t a = 0; a < cl.count; ++a)
            for (uint32_t b = a + 1; b < cl.count; ++b) {
                const Literal &x = p_.literals[cl.first + a], &y = p_.literals[cl.first + b];
                if (x.atom == y.atom && x.polarity != y.polarity && words_[a] == words_[b]) return true;
            }
        return false;
    }

    // A new level over `remaining`, its counter at `counter`. 1 when it
    // completes the refutation, 0 when it was pushed or failed at once
    // (nothing pushed), -1 when interrupted.
    int enter(std::vector<uint32_t> remaining, uint32_t counter) {
        std::vector<uint32_t> open;
        for (uint32_t c : remaining)
            if (!closed(c)) open.push_back(c);
        if (interrupt_.stopped()) return -1;
        if (open.empty()) {
            int a = e_.admissible(p_.order, subst_, interrupt_);
            if (a < 0) return -1;
            if (a == 0) return 0;
            empty_number_ = counter + 1;
            return 1;
        }
        std::stable_sort(open.begin(), open.end(),
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
            int a = e_.admissible(p_.order, subst_, interrupt_);
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
    std::vector<std::vector<Sym>> words_;
    uint32_t empty_number_ = 0;
};

}  // namespace

int search(const Problem& problem, const Engine& engine, prefix::Substitution& subst, Interrupt& interrupt,
           Derivation& out) {
    return Search(problem, engine, subst, interrupt).run(out);
}

}  // namespace quorvel::resolution
