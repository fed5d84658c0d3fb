// Clauses as sorted runs of literal numbers, and their lifting into Literal
// and Clause objects.
//
// Atoms are numbered by equality (equal atoms share a number); literal
// 2a is atom a, 2a + 1 its negation, so the two literals of one atom sit
// side by side in a sorted clause and a tautology shows as such a pair.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "quorvel/support/flat_map.h"

namespace quorvel::clausifier {

using Lit = uint32_t;
using ClauseId = uint32_t;

class ClausePool {
public:
    // The literals of clause c.
    const Lit* begin(ClauseId c) const { return lits_.data() + start_[c]; }
    const Lit* end(ClauseId c) const { return lits_.data() + start_[c] + length_[c]; }
    size_t length(ClauseId c) const { return length_[c]; }
    size_t size() const { return start_.size(); }

    // Adds the union of clauses a and b; false (nothing added) when the
    // union holds an atom with both signs.
    bool add_union(ClauseId a, ClauseId b, ClauseId& out);
    // Adds sorted, duplicate-free literals given in any order; false when
    // they form a tautology.
    bool add_literals(std::vector<Lit>& lits, ClauseId& out);

private:
    bool commit(size_t first, ClauseId& out);

    std::vector<Lit> lits_;
    std::vector<uint64_t> start_;
    std::vector<uint32_t> length_;
};

// Numbers atoms and makes the Python values of literals and clauses.
class Lifter {
public:
    Lifter() = default;
    Lifter(const Lifter&) = delete;
    Lifter& operator=(const Lifter&) = delete;
    ~Lifter();

    // The literal of `atom` with the given sign; false with an exception.
    bool literal(PyObject* atom, bool negative, Lit& out);
    // The Clause of pool clause c (cached: the same id gives the same
    // object). New reference or NULL.
    PyObject* clause(const ClausePool& pool, ClauseId c);

private:
    PyObject* literal_object(Lit l);

    PyObject* numbers_ = nullptr;           // atom -> number, by equality
    IdentityMap<uint32_t> by_object_;       // atom object -> number
    std::vector<PyObject*> atoms_;          // strong references
    std::vector<PyObject*> literal_objects_;  // by literal, lazily
    std::vector<PyObject*> clause_objects_;   // by clause id, lazily
    std::vector<PyObject*> members_;          // scratch: one clause's literals
};

}  // namespace quorvel::clausifier
