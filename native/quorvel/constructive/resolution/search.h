// The prefixed refutation search on native clauses. Python-free: the
// binding layer lowers the initial clauses (prefixes as symbol numbers,
// atoms as numbers) and the tree ordering, runs the search, and builds
// Python records only for the derivation it finds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "quorvel/constructive/prefix/engine.h"

namespace quorvel::resolution {

using prefix::Sym;

inline constexpr uint32_t kNoAtom = UINT32_MAX;

struct Literal {
    uint32_t prefix, length;  // the prefix word in Problem::words
    uint8_t polarity;
    uint32_t atom;            // equal atoms, equal numbers
};

struct Clause {
    uint32_t first, count;    // literals in Problem::literals, in a fixed order
};

struct Problem {
    std::vector<Sym> words;
    std::vector<Literal> literals;
    std::vector<Clause> clauses;
    prefix::SymbolKinds kinds;
    prefix::Ordering order;
    const prefix::Ordering* shared_order = nullptr;  // kept by the caller, in place of `order`
    const prefix::Ordering& ordering() const { return shared_order ? *shared_order : order; }
    uint32_t falsum = kNoAtom;  // the atom numbers of falsum and verum, if present
    uint32_t verum = kNoAtom;
};

// One resolution step of the branch found.
struct Step {
    uint32_t clause;            // the clause closed
    uint32_t pos_lit, neg_lit;  // its literals (indices into Problem::literals)
    uint32_t number;            // the step's number ("s" + number)
    size_t entries;             // the substitution's entries at this step
};

struct Derivation {
    std::vector<Step> steps;
    uint32_t empty_number = 0;  // the empty-clause step's number
};

// The machinery of the prefix module the search runs on.
struct Engine {
    std::unique_ptr<prefix::Unifier> (*make_unifier)(const prefix::SymbolKinds&, prefix::Substitution&, Interrupt&);
    int (*admissible)(const prefix::Ordering&, const prefix::Substitution&, Interrupt&);
};

// Depth first, in the fixed order: the open clause with the fewest
// candidates first (stable), its candidates in literal order, the unifiers
// of each in the unifier's order, each one admissible. A clause instance is
// closed by falsum at polarity 1, by verum at polarity 0, or by two literals
// of one atom, opposite polarities and equal prefixes. On success `subst`
// holds the final substitution and `out` the branch. 1 found, 0 not, -1
// interrupted.
int search(const Problem& problem, const Engine& engine, prefix::Substitution& subst, Interrupt& interrupt,
           Derivation& out);

}  // namespace quorvel::resolution
