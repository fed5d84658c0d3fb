// The prover's own terms and clauses (terms.cpp): hash-consed terms in a
// bank, clauses as sorted literal vectors, with unification, matching and
// subsumption over them. Nothing here calls Python but reading a
// clausifier Clause (its import and its signature), so the given-clause loop
// runs on native state.
#pragma once

#include <Python.h>

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "quorvel/support/py/ref.h"

namespace quorvel::engine {

// FNV-1a, for keys that must not depend on the string hash seed.
inline constexpr uint64_t kFnvOffset = 1469598103934665603ULL;
inline constexpr uint64_t kFnvPrime = 1099511628211ULL;
inline uint64_t fnv_step(uint64_t h, uint64_t byte_or_word) { return (h ^ byte_or_word) * kFnvPrime; }

// A term: a node of the bank (>= 0) or the variable -1 - t of its clause.
using TermId = int32_t;
inline bool is_var(TermId t) { return t < 0; }
inline int32_t var_of(TermId t) { return -1 - t; }
inline TermId var_term(int32_t v) { return -1 - v; }

// A literal: its atom's node times two, plus one when negative. The
// complement of a literal is lit ^ 1, and sorting puts the two side by side.
using Lit = int32_t;
inline TermId atom_of(Lit l) { return l >> 1; }
inline bool negative(Lit l) { return l & 1; }

struct TermNode {
    int32_t symbol;
    int32_t sort;  // of a term; -1 for an atom
    uint32_t arity;
    uint32_t first;   // its arguments in the bank's argument array
    uint32_t weight;  // symbols and variable occurrences
    bool ground;
    uint64_t symbols;  // a bit per symbol in it (mod 64)
};

struct NClause {
    std::vector<Lit> lits;          // sorted, no repeats
    std::vector<int32_t> var_sorts; // the sort of variable v at [v]
    long long weight = 0;
    // A bit per predicate symbol (mod 64) of the positive and the negative
    // literals, and per symbol anywhere: a clause subsumes only one whose
    // masks hold its own.
    uint64_t positive_symbols = 0, negative_symbols = 0, symbols = 0;
};

class TermBank {
public:
    TermBank() : keys_(PyDict_New()) {}
    TermBank(const TermBank&) = delete;
    TermBank& operator=(const TermBank&) = delete;

    const TermNode& node(TermId t) const { return nodes_[static_cast<size_t>(t)]; }
    const TermId* args(TermId t) const { return args_.data() + nodes_[static_cast<size_t>(t)].first; }
    int32_t symbol_of_atom(Lit l) const { return node(atom_of(l)).symbol; }
    // The sort of `t` in a clause whose variables have the sorts `var_sorts`.
    int32_t sort_of(TermId t, const int32_t* var_sorts) const {
        return is_var(t) ? var_sorts[var_of(t)] : node(t).sort;
    }
    uint32_t weight(TermId t) const { return is_var(t) ? 1 : node(t).weight; }

    // The node of symbol(args), made once.
    TermId make(int32_t symbol, int32_t sort, const TermId* args, uint32_t arity);

    // The native form of a clausifier Clause: false with an exception set.
    // Symbols, sorts and constants are told apart as Python equality does.
    bool import(PyObject* clause, NClause& out);

    // Fills the derived fields of a clause whose literals and sorts are set,
    // sorting the literals and dropping repeats; false for a tautology.
    bool finish(NClause& c) const;

private:
    // The id of a key object (a tuple naming a symbol, a sort or an opaque
    // term), given in the order keys first appear; -1 with an exception set.
    int32_t intern(PyObject* key);
    bool import_atom(PyObject* atom, PyObject* vars, NClause& out, TermId& result);

    std::vector<TermNode> nodes_;
    std::vector<TermId> args_;
    std::unordered_multimap<uint64_t, TermId> table_;
    py::Ref keys_;  // key -> id
    int32_t next_key_ = 0;
};

// Bindings for unifying a literal of one clause (bank 0) with one of
// another (bank 1, which may be the same clause for factoring).
class Unifier {
public:
    struct Ref {
        TermId t;
        int bank;
    };

    explicit Unifier(TermBank& bank) : bank_(bank) {}
    // Starts afresh for a literal of `a` and one of `b`; with `same_clause`,
    // bank 1 is bank 0 (factoring). The clauses must outlive the attempt.
    void start(const NClause& a, const NClause& b, bool same_clause);
    // Extends the bindings to unify the two terms; a failure leaves them
    // half made, so a unifier serves one attempt.
    bool unify(TermId a, int bank_a, TermId b, int bank_b);
    // The instance of term t of bank `bank` under the bindings, its
    // variables renumbered in the order first met into `out` (whose
    // var_sorts grows with them).
    TermId instance(TermId t, int bank, NClause& out);

private:
    size_t slot(TermId var, int bank) const { return static_cast<size_t>(offset_[bank] + var_of(var)); }
    Ref deref(Ref r) const;
    int32_t sort_of(Ref r) const;
    bool occurs(size_t slot, Ref r);

    TermBank& bank_;
    const NClause* clauses_[2] = {nullptr, nullptr};
    int32_t offset_[2] = {0, 0};
    std::vector<Ref> bound_;  // t == kUnbound: free
    std::vector<int32_t> renamed_;  // a variable's number in the instance, or -1
    // Work stacks, kept between attempts.
    std::vector<std::pair<Ref, Ref>> todo_;
    std::vector<Ref> occurs_;
    std::vector<std::pair<Ref, bool>> frames_;
    std::vector<TermId> done_;
};

// A literal's text, read as numbers (names by their text, variables by
// their ids), and a clause's, its literals' sorted: an order of literals and
// clauses that no string hash seed moves. False with an exception set.
bool literal_signature(PyObject* literal, std::vector<uint64_t>& out);
bool clause_signature(PyObject* clause, std::vector<std::vector<uint64_t>>& out);

// A Knuth-Bendix order on the terms and atoms of one clause: every symbol
// and variable weighs one, symbols rank by their number in the bank. It is
// stable under substitution, so a literal smaller than another of its
// clause stays smaller in every instance.
class AtomOrder {
public:
    explicit AtomOrder(const TermBank& bank) : bank_(bank) {}
    bool greater(TermId s, TermId t);

private:
    bool occurs(TermId var, TermId t);
    // Whether each variable occurs in s at least as often as in t.
    bool variables_dominate(TermId s, TermId t);

    const TermBank& bank_;
    std::vector<TermId> stack_;
    std::vector<int32_t> balance_;
};

// Whether some substitution maps every literal of `general` onto a literal
// of `specific`, where `general` has no more literals.
bool subsumes(const TermBank& bank, const NClause& general, const NClause& specific);

}  // namespace quorvel::engine
