// Clause subsumption and symbol weight over the clausifier's Clause values,
// read straight from the node layout (no Python calls but node equality).
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

namespace quorvel::engine {

// A clause taken apart once for the loop: its literals in a fixed order and
// what the queue and the subsumption test need.
struct ClauseInfo {
    PyObject* clause = nullptr;            // strong reference
    std::vector<PyObject*> literals;       // borrowed from the clause's set
    // Per literal, in the order of `literals`: symbols and sign.
    std::vector<long long> literal_weights;
    std::vector<unsigned char> negative;
    long long weight = 0;                  // symbols in all literals
    uint64_t key = 0;                      // hash-seed independent fingerprint
    // A bit per predicate symbol (a hash of it, mod 64) of the positive and
    // of the negative literals: two clauses whose masks share no bit have no
    // complementary pair, and a clause subsumes only one whose masks hold its own.
    uint64_t positive_symbols = 0;
    uint64_t negative_symbols = 0;
};

// Whether `a` and `b` may have a complementary pair of literals (false: surely not).
inline bool may_clash(const ClauseInfo& a, const ClauseInfo& b) {
    return (a.positive_symbols & b.negative_symbols) | (a.negative_symbols & b.positive_symbols);
}

// Fills `info` from its clause; false with an exception set.
bool describe(ClauseInfo& info);

// 1 when some substitution maps every literal of `general` onto a literal of
// `specific` (and `general` has no more literals), 0 not, -1 error.
int subsumes(const ClauseInfo& general, const ClauseInfo& specific);

}  // namespace quorvel::engine
