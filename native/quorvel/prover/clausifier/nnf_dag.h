// A quantifier-free formula in negation normal form as a native DAG over
// literal numbers (clause_set.h): what to_cnf distributes into clauses.
#pragma once

#include <cstdint>
#include <vector>

#include "quorvel/prover/clausifier/clause_set.h"

namespace quorvel::clausifier {

class NnfDag {
public:
    enum class Op : uint8_t { Literal, And, Or };
    struct Node {
        Op op;
        uint32_t a;  // the literal, or the left part
        uint32_t b;  // the right part
    };

    uint32_t literal(Lit l) {
        if (l >= literal_nodes_.size()) literal_nodes_.resize(l + 1, kNone);
        uint32_t& n = literal_nodes_[l];
        if (n == kNone) n = add(Node{Op::Literal, l, 0});
        return n;
    }
    uint32_t binary(Op op, uint32_t left, uint32_t right) {
        ++parents_[left];
        ++parents_[right];
        return add(Node{op, left, right});
    }
    // A node reached once more (a shared result placed again).
    void share(uint32_t n) { ++parents_[n]; }

    const Node& operator[](uint32_t n) const { return nodes_[n]; }
    bool shared(uint32_t n) const { return parents_[n] > 1; }
    size_t size() const { return nodes_.size(); }

private:
    static constexpr uint32_t kNone = UINT32_MAX;
    uint32_t add(Node n) {
        nodes_.push_back(n);
        parents_.push_back(0);
        return static_cast<uint32_t>(nodes_.size() - 1);
    }

    std::vector<Node> nodes_;
    std::vector<uint32_t> parents_;
    std::vector<uint32_t> literal_nodes_;
};

// The clauses of `root` in order, as distributing the formula and reading
// its conjuncts would give them, tautologies dropped (clauses.cpp). False
// with MemoryError or KeyboardInterrupt set.
bool distribute(const NnfDag& dag, uint32_t root, ClausePool& pool, std::vector<ClauseId>& out);

// The Python list of Clause values of `ids`. New reference or NULL.
PyObject* lift_all(Lifter& lifter, const ClausePool& pool, const std::vector<ClauseId>& ids);

}  // namespace quorvel::clausifier
