#include "quorvel/constructive/kripke/graph.h"

#include <algorithm>

namespace quorvel::kripke {
namespace {

constexpr uint32_t kUnvisited = UINT32_MAX;

// Component of every node; components are numbered in the order Tarjan's
// algorithm completes them, which is a reverse topological order (an edge
// between two components goes from the higher number to the lower).
uint32_t components(const Adjacency& succ, std::vector<uint32_t>& comp) {
    size_t n = succ.size();
    std::vector<uint32_t> index(n, kUnvisited), low(n, 0);
    std::vector<char> on_stack(n, 0);
    std::vector<uint32_t> stack;
    struct Call {
        uint32_t v;
        uint32_t next;  // next successor to look at
    };
    std::vector<Call> calls;
    comp.assign(n, 0);
    uint32_t counter = 0, ncomp = 0;
    for (uint32_t root = 0; root < n; ++root) {
        if (index[root] != kUnvisited) continue;
        index[root] = low[root] = counter++;
        stack.push_back(root);
        on_stack[root] = 1;
        calls.push_back({root, 0});
        while (!calls.empty()) {
            Call& c = calls.back();
            uint32_t v = c.v;
            if (c.next < succ[v].size()) {
                uint32_t w = succ[v][c.next++];
                if (index[w] == kUnvisited) {
                    index[w] = low[w] = counter++;
                    stack.push_back(w);
                    on_stack[w] = 1;
                    calls.push_back({w, 0});
                } else if (on_stack[w]) {
                    low[v] = std::min(low[v], index[w]);
                }
                continue;
            }
            calls.pop_back();
            if (!calls.empty()) low[calls.back().v] = std::min(low[calls.back().v], low[v]);
            if (low[v] == index[v]) {
                uint32_t w;
                do {
                    w = stack.back();
                    stack.pop_back();
                    on_stack[w] = 0;
                    comp[w] = ncomp;
                } while (w != v);
                ++ncomp;
            }
        }
    }
    return ncomp;
}

}  // namespace

bool propagate(const Adjacency& succ, BitRows& bits, InterruptPoll& poll) {
    size_t n = succ.size();
    if (n == 0) return true;
    std::vector<uint32_t> comp;
    uint32_t ncomp = components(succ, comp);
    std::vector<std::vector<uint32_t>> members(ncomp);
    for (uint32_t v = 0; v < n; ++v) members[comp[v]].push_back(v);
    size_t words = bits.words();
    BitRows acc(ncomp, words * 64);
    // Sources first: a component's accumulator is complete before it is read.
    for (uint32_t c = ncomp; c-- > 0;) {
        uint64_t* a = acc.row(c);
        if (!poll.charge(words * members[c].size())) return false;
        for (uint32_t v : members[c]) {
            const uint64_t* b = bits.row(v);
            for (size_t i = 0; i < words; ++i) a[i] |= b[i];
        }
        for (uint32_t v : members[c]) {
            std::copy(a, a + words, bits.row(v));
            if (!poll.charge(words * succ[v].size())) return false;
            for (uint32_t w : succ[v]) {
                if (comp[w] == c) continue;
                uint64_t* t = acc.row(comp[w]);
                for (size_t i = 0; i < words; ++i) t[i] |= a[i];
            }
        }
    }
    return true;
}

}  // namespace quorvel::kripke
