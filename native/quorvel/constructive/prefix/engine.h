// The native prefix machinery: symbols as small ints, an undoable prefix
// substitution, the depth-first enumeration of unifiers and the
// admissibility test. Python-free; quorvel.constructive.prefix lowers its
// Python values onto it, and the resolution prover runs its search on it
// through the module's capsule (api.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "quorvel/support/interrupt.h"

namespace quorvel::prefix {

using Sym = uint32_t;
using Word = std::vector<Sym>;

enum class SymKind : uint8_t { Constant, Variable, Other };

// The kinds of the symbols of one problem, by symbol number.
using SymbolKinds = std::vector<SymKind>;

// A prefix substitution as an ordered list of entries, undoable to a mark.
//
// Entries keep the words they were bound to; what the substitution maps an
// entry to (its word as `bind` would have rewritten it) is `effective`: the
// stored word with every variable bound by a later entry replaced, again and
// again, by that entry's effective word. Entries made together at the start
// (`add_start`) count as made at one time and are not expanded into each
// other, as rewriting by later bindings never touches them either. `bind` is
// for variables that are not bound yet; it is what unification does.
class Substitution {
public:
    struct Entry {
        Sym key;
        uint32_t offset, length;  // the stored word in `words_`
        uint32_t time;            // kStartTime for start entries, else later
    };
    static constexpr uint32_t kUnbound = UINT32_MAX;
    static constexpr uint32_t kStartTime = 1;

    // Room for symbols 0..n-1.
    void resize_symbols(size_t n) {
        if (n > entry_of_.size()) entry_of_.resize(n, kUnbound);
    }
    size_t symbol_count() const { return entry_of_.size(); }

    // A start entry (key need not be a variable); its word is taken as given.
    void add_start(Sym key, std::span<const Sym> word, bool is_variable) {
        push(key, word, kStartTime);
        if (is_variable && entry_of_[key] == kUnbound) entry_of_[key] = static_cast<uint32_t>(entries_.size() - 1);
    }
    // Binds the unbound variable `var` to `word`.
    void bind(Sym var, std::span<const Sym> word) {
        push(var, word, static_cast<uint32_t>(entries_.size()) + kStartTime + 1);
        entry_of_[var] = static_cast<uint32_t>(entries_.size() - 1);
    }

    bool bound(Sym s) const { return s < entry_of_.size() && entry_of_[s] != kUnbound; }
    uint32_t entry_of(Sym s) const { return s < entry_of_.size() ? entry_of_[s] : kUnbound; }

    size_t size() const { return entries_.size(); }
    const Entry& entry(size_t i) const { return entries_[i]; }
    std::span<const Sym> stored(size_t i) const { return {words_.data() + entries_[i].offset, entries_[i].length}; }

    size_t mark() const { return entries_.size(); }
    void undo(size_t mark) {
        while (entries_.size() > mark) {
            const Entry& e = entries_.back();
            if (entry_of_[e.key] == entries_.size() - 1) entry_of_[e.key] = kUnbound;
            words_.resize(e.offset);
            entries_.pop_back();
        }
    }

    // Appends the effective word of entry i to `out`; with `limit`, as it
    // was when the substitution held only its first `limit` entries.
    void effective(size_t i, Word& out, size_t limit = SIZE_MAX) const {
        expand(stored(i), entries_[i].time, out, limit);
    }
    // Appends `word` with each bound variable replaced by its effective word,
    // in one pass (what PrefixSubstitution.apply does).
    void apply(std::span<const Sym> word, Word& out) const { expand(word, 0, out); }
    // A cycle of bound variables reachable from the variables of `roots`
    // (each bound to a word naming the next), as the list of its variables
    // with the first repeated at the end; empty when there is none.
    Word find_cycle(std::span<const Sym> roots) const;

private:
    void push(Sym key, std::span<const Sym> word, uint32_t time) {
        uint32_t offset = static_cast<uint32_t>(words_.size());
        words_.insert(words_.end(), word.begin(), word.end());
        entries_.push_back(Entry{key, offset, static_cast<uint32_t>(word.size()), time});
    }
    // Appends `word`, each variable bound by an entry made after time
    // `after` replaced by that entry's expansion; an explicit stack, as a
    // word may pass through many bindings.
    void expand(std::span<const Sym> word, uint32_t after, Word& out, size_t limit = SIZE_MAX) const {
        // The stack holds the rests of the words whose expansion is under way,
        // below the one being read; most words bind nothing and never push.
        stack_.clear();
        std::span<const Sym> rest = word;
        uint32_t time = after;
        for (;;) {
            while (!rest.empty()) {
                Sym s = rest.front();
                rest = rest.subspan(1);
                uint32_t e = entry_of(s);
                if (e != kUnbound && e < limit && entries_[e].time > time) {
                    stack_.push_back({rest, time});
                    rest = stored(e);
                    time = entries_[e].time;
                } else {
                    out.push_back(s);
                }
            }
            if (stack_.empty()) return;
            std::tie(rest, time) = stack_.back();
            stack_.pop_back();
        }
    }

    std::vector<Entry> entries_;
    Word words_;
    std::vector<uint32_t> entry_of_;  // symbol -> entry binding it, for variables
    mutable std::vector<std::pair<std::span<const Sym>, uint32_t>> stack_;  // expand's scratch
};

inline Word Substitution::find_cycle(std::span<const Sym> roots) const {
    // Depth-first over bound variables, an edge from a variable to each bound
    // variable of its stored word; colour 1 marks the current path.
    std::vector<uint8_t> colour(entry_of_.size(), 0);
    struct Frame {
        Sym var;
        uint32_t next;
    };
    std::vector<Frame> path;
    for (Sym root : roots) {
        if (!bound(root) || colour[root]) continue;
        colour[root] = 1;
        path.push_back({root, 0});
        while (!path.empty()) {
            Frame& f = path.back();
            std::span<const Sym> w = stored(entry_of_[f.var]);
            if (f.next == w.size()) {
                colour[f.var] = 2;
                path.pop_back();
                continue;
            }
            Sym s = w[f.next++];
            if (!bound(s) || colour[s] == 2) continue;
            if (colour[s] == 1) {
                Word cycle;
                size_t i = 0;
                while (path[i].var != s) ++i;
                for (; i < path.size(); ++i) cycle.push_back(path[i].var);
                cycle.push_back(s);
                return cycle;
            }
            colour[s] = 1;
            path.push_back({s, 0});
        }
    }
    return {};
}

// Every unifier of two words, one at a time, in the fixed depth-first order:
// for an unbound variable facing a different head, first its binding to the
// empty word, then to the first 1, 2, ... symbols of the other word (up to
// the first that holds the variable itself), each bound to that prefix as
// the substitution maps it. Each unifier is the substitution's state between
// a `next()` that returned Found and the following call; bindings are undone
// when the enumeration moves on, and all of them once it is exhausted.
class Unifier {
public:
    enum class Status { Found, Exhausted, Interrupted };

    virtual ~Unifier() = default;
    // Begins the unifiers of w1 and w2 under the substitution's current state;
    // both words are first mapped by it unless `map_words` is false.
    virtual void start(std::span<const Sym> w1, std::span<const Sym> w2, bool map_words = true) = 0;
    virtual Status next() = 0;
    // Abandons the enumeration, undoing its bindings.
    virtual void stop() = 0;
};

// A new enumerator over `subst`, which must outlive it.
std::unique_ptr<Unifier> make_unifier(const SymbolKinds& kinds, Substitution& subst, Interrupt& interrupt);

// The admissibility test: the tree ordering (`order[s]`: the symbols right
// after s) together with an edge from every symbol of each bound word to its
// variable (but the variable itself) has no directed cycle. Symbols absent
// from `order` have no successors. Returns 1 (admissible), 0, or -1 when
// interrupted.
struct Ordering {
    std::vector<std::vector<Sym>> successors;  // by symbol number
};
int admissible(const Ordering& order, const Substitution& subst, Interrupt& interrupt);

// The cycle test alone over explicit edges (used by the Python-facing test,
// whose graph comes from arbitrary dictionaries). 1 acyclic, 0 cycle, -1
// interrupted.
int acyclic(const std::vector<std::vector<Sym>>& successors, Interrupt& interrupt);

}  // namespace quorvel::prefix
