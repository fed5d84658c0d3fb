// The prefixed refutation search (search.h), one level per clause closed,
// on an explicit stack; the substitution is undone, not copied, when the
// search backs up.
#include "quorvel/constructive/resolution/search.h"

#include <algorithm>
#include <memory>
#include <span>
#include <utility>

#include "quorvel/support/flat_map.h"
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
        constant_.assign(p.clauses.size(), 0);
        candidate_first_.reserve(p.clauses.size() + 1);
        for (size_t c = 0; c < p.clauses.size(); ++c) {
            candidate_first_.push_back(static_cast<uint32_t>(candidates_.size()));
            const Clause& cl = p.clauses[c];
            for (uint32_t i1 = cl.first; i1 < cl.first + cl.count; ++i1) {
                const Literal& l = p.literals[i1];
                if ((l.atom == p.falsum && p.falsum != kNoAtom && l.polarity == 1) ||
                    (l.atom == p.verum && p.verum != kNoAtom && l.polarity == 0))
                    constant_[c] = 1;
                if (interrupt_.tick(cl.first + cl.count - i1)) return;  // run() reports it
                for (uint32_t j = i1 + 1; j < cl.first + cl.count; ++j) {
                    const Literal &a = p.literals[i1], &b = p.literals[j];
                    if (a.atom == b.atom && a.polarity != b.polarity)
                        candidates_.push_back(a.polarity == 1 ? Candidate{i1, j} : Candidate{j, i1});
                }
            }
        }
        candidate_first_.push_back(static_cast<uint32_t>(candidates_.size()));
        number_words();
        if (interrupt_.stopped()) return;
        applied_at_.resize(words_.size());
        stamp_.assign(words_.size(), 0);
        // A branch closes each clause at most once.
        levels_.reserve(p.clauses.size());
        open_.reserve(p.clauses.size());
        rest_.reserve(p.clauses.size());
    }

    int run(Derivation& out) {
        if (interrupt_.stopped()) return -1;  // while the candidates were listed
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
        uint32_t rest, rest_count;  // the open clauses after the one being closed, in rest_
        uint32_t clause;
        uint32_t counter;           // the last number this level handed out
        uint32_t candidate;         // in candidates_
        prefix::Unifier* unifier;   // the pool's, for this depth
        Step step{};
    };

    struct WordHash {
        size_t operator()(uint64_t h) const { return static_cast<size_t>(h); }
    };

    // Numbers the distinct prefix words (word_of_, words_), each applied
    // once per level. Literals often share their word's place in
    // Problem::words; other equal words are found by their content.
    void number_words() {
        FlatMap<uint64_t, uint32_t, PointerHash> by_place(UINT64_MAX);
        FlatMap<uint64_t, uint32_t, WordHash> by_content(0);  // content hash (never 0) -> latest word
        std::vector<uint32_t> same_hash;                     // per word: the one before it with its hash
        word_of_.resize(p_.literals.size());
        for (size_t i = 0; i < p_.literals.size(); ++i) {
            const Literal& l = p_.literals[i];
            if (interrupt_.tick(l.length + 1)) return;
            uint64_t place = (static_cast<uint64_t>(l.prefix) << 32) | l.length;
            if (const uint32_t* known = by_place.find(place)) {
                word_of_[i] = *known;
                continue;
            }
            std::span<const Sym> w(p_.words.data() + l.prefix, l.length);
            uint64_t h = 0x9e3779b97f4a7c15ull;
            for (Sym sym : w) h = mix64(h ^ sym);
            h |= 1;
            uint32_t* head = by_content.insert(h, kNone).first;
            uint32_t found = kNone;
            for (uint32_t k = *head; k != kNone && found == kNone; k = same_hash[k])
                if (std::equal(w.begin(), w.end(), words_[k].begin(), words_[k].end())) found = k;
            if (found == kNone) {
                found = static_cast<uint32_t>(words_.size());
                words_.push_back(w);
                same_hash.push_back(*head);
                *head = found;
            }
            word_of_[i] = found;
            by_place.insert(place, found);
        }
    }

    uint32_t candidate_count(uint32_t c) const { return candidate_first_[c + 1] - candidate_first_[c]; }

    // Where word `w` under the current substitution lies in applied_, made
    // once per level.
    std::pair<uint32_t, uint32_t> applied(uint32_t w) {
        if (stamp_[w] != generation_) {
            stamp_[w] = generation_;
            uint32_t start = static_cast<uint32_t>(applied_.size());
            subst_.apply(words_[w], applied_);
            applied_at_[w] = {start, static_cast<uint32_t>(applied_.size()) - start};
            interrupt_.tick(words_[w].size() + 1);
        }
        return applied_at_[w];
    }

    bool equal_applied(uint32_t a, uint32_t b) {
        auto [ia, na] = applied(a);
        auto [ib, nb] = applied(b);  // may move applied_: read it after both
        return na == nb && std::equal(applied_.begin() + ia, applied_.begin() + ia + na, applied_.begin() + ib);
    }

    // Closed by falsum at polarity 1, verum at polarity 0, or two literals of
    // one atom at opposite polarities (a candidate pair) whose prefixes are
    // equal under the substitution.
    bool closed(uint32_t c) {
        if (constant_[c]) return true;
        interrupt_.tick(p_.clauses[c].count);
        for (uint32_t k = candidate_first_[c]; k < candidate_first_[c + 1]; ++k) {
            const Candidate& cand = candidates_[k];
            uint32_t a = word_of_[cand.pos_lit], b = word_of_[cand.neg_lit];
            if (a == b || equal_applied(a, b)) return true;
        }
        return false;
    }

    // A new level over `remaining`, its counter at `counter`. 1 when it
    // completes the refutation, 0 when it was pushed or failed at once
    // (nothing pushed), -1 when interrupted. `remaining` (which may be a
    // level's, in rest_) is read before any level is pushed.
    int enter(std::span<const uint32_t> remaining, uint32_t counter) {
        ++generation_;  // the substitution changed since the last level
        applied_.clear();
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
                          [&](uint32_t x, uint32_t y) { return candidate_count(x) < candidate_count(y); });
        if (candidate_count(open[0]) == 0) return 0;
        size_t depth = levels_.size();
        if (unifiers_.size() == depth) unifiers_.push_back(e_.make_unifier(p_.kinds, subst_, interrupt_));
        Level l;
        l.clause = open[0];
        l.rest = static_cast<uint32_t>(rest_.size());
        l.rest_count = static_cast<uint32_t>(open.size() - 1);
        rest_.insert(rest_.end(), open.begin() + 1, open.end());
        l.counter = counter;
        l.candidate = candidate_first_[l.clause];
        l.unifier = unifiers_[depth].get();
        start_candidate(l);
        levels_.push_back(l);
        return 0;
    }

    void start_candidate(Level& l) {
        const Candidate& cand = candidates_[l.candidate];
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
                if (++l.candidate < candidate_first_[l.clause + 1]) {
                    start_candidate(l);
                    continue;
                }
                rest_.resize(l.rest);
                levels_.pop_back();
                return 0;
            }
            int a = e_.admissible(p_.ordering(), subst_, interrupt_);
            if (a < 0) return -1;
            if (a == 0) continue;
            const Candidate& cand = candidates_[l.candidate];
            l.step = Step{l.clause, cand.pos_lit, cand.neg_lit, ++l.counter, subst_.size()};
            // May push a level: `l` is not used after this (nor its rest,
            // once read). On 0 without a new level the caller comes back
            // here for the next unifier.
            return enter({rest_.data() + l.rest, l.rest_count}, l.counter);
        }
    }

    const Problem& p_;
    const Engine& e_;
    prefix::Substitution& subst_;
    Interrupt& interrupt_;
    static constexpr uint32_t kNone = UINT32_MAX;
    std::vector<Candidate> candidates_;        // clause c's from candidate_first_[c] to [c + 1]
    std::vector<uint32_t> candidate_first_;
    std::vector<Level> levels_;
    std::vector<uint32_t> rest_;               // the levels' open clauses, a stack
    std::vector<std::unique_ptr<prefix::Unifier>> unifiers_;  // one per depth reached, reused
    std::vector<uint32_t> open_;               // enter()'s scratch
    std::vector<uint8_t> constant_;            // per clause: closed by falsum or verum
    std::vector<uint32_t> word_of_;            // per literal: its word's number
    std::vector<std::span<const Sym>> words_;  // the distinct words
    std::vector<Sym> applied_;                 // this level's words under the substitution
    std::vector<std::pair<uint32_t, uint32_t>> applied_at_;  // per word: its place there, valid at stamp_
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
