// Reachability on small dense graphs with bitset rows, for the closure and
// monotonicity fixpoints of Kripke models. No Python here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "quorvel/support/interrupt.h"

namespace quorvel::kripke {

// One bit row per node, `bits` columns each.
class BitRows {
public:
    BitRows(size_t rows, size_t bits) : words_((bits + 63) / 64), data_(rows * words_, 0) {}

    size_t words() const { return words_; }
    uint64_t* row(size_t r) { return data_.data() + r * words_; }
    const uint64_t* row(size_t r) const { return data_.data() + r * words_; }
    void set(size_t r, size_t b) { row(r)[b / 64] |= uint64_t{1} << (b % 64); }
    bool test(size_t r, size_t b) const { return (row(r)[b / 64] >> (b % 64)) & 1; }

private:
    size_t words_;
    std::vector<uint64_t> data_;
};

using Adjacency = std::vector<std::vector<uint32_t>>;

// Rewrites `bits` to the least solution of out[v] >= bits[v] and
// out[v] >= out[u] for every edge u -> v: each node receives the bits of
// every node that reaches it by a path of one edge or more. Strongly
// connected components are found iteratively (Tarjan) and the condensation
// is swept once in topological order, so the cost is O((n + e) * words).
// False, with `bits` half rewritten, once `poll` asks to stop.
bool propagate(const Adjacency& succ, BitRows& bits, InterruptPoll& poll);

}  // namespace quorvel::kripke
