// A cheap test run before the unifier is asked (unifiable.cpp): most
// candidate pairs of a rule have no unifier, and turning those away here
// costs no unifier, no dict and no renamed clause.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "quorvel/support/flat_map.h"

namespace quorvel::rules {

// Decides, for two terms or two atoms, whether a unifier may exist. Each
// side is read as one clause's: the variables of side 0 are never those of
// side 1, as after renaming one clause apart from the other. One test is
// reused across the pairs of a rule's call so its tables are allocated once.
class UnifiabilityTest {
public:
    // 0 when `a` (of side_a) and `b` (of side_b) have no unifier, 1 when
    // they may have one, -1 with an exception set.
    int operator()(PyObject* a, unsigned side_a, PyObject* b, unsigned side_b);

private:
    struct Term {
        PyObject* node;
        unsigned side;
    };
    using Key = const void*;  // a variable of a side
    struct Binding {
        Key var;
        Term term;
        uint32_t stamp;  // the occurs walk that last followed it
    };

    static Key key(const Term& t) {
        return reinterpret_cast<Key>(reinterpret_cast<uintptr_t>(t.node) | t.side);
    }
    Binding* bound(Key var);
    void bind(Key var, const Term& term);
    Term deref(Term t);
    int occurs(Key var, const Term& term);
    int step(const Term& s, const Term& t);
    bool tick() { return ++steps_ % 4096 != 0 || PyErr_CheckSignals() == 0; }

    std::vector<Binding> bindings_;
    std::optional<IdentityMap<uint32_t>> index_;  // var -> binding, once there are many
    std::vector<std::pair<Term, Term>> pairs_;
    std::vector<Term> walk_;
    uint32_t stamp_ = 0;
    unsigned steps_ = 0;
};

}  // namespace quorvel::rules
