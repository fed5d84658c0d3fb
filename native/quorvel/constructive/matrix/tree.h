// The native polar formula tree and its matrix paths. Python-free: the
// matrix module fills a NativeTree while it decomposes the Python formulas
// (formula_tree.cpp), and the resolution prover reads it, and its paths,
// through the module's capsule (api.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "quorvel/constructive/prefix/engine.h"
#include "quorvel/support/interrupt.h"

namespace quorvel::matrix {

using prefix::Sym;
using prefix::SymKind;

enum class PosType : uint8_t { Alpha, Beta, Phi, Psi, Atom };

inline constexpr uint32_t kNone = UINT32_MAX;

// The shape that path enumeration needs of any tree of positions.
struct PathNode {
    PosType type;
    uint32_t first_child;  // into the owner's `children`
    uint32_t child_count;
};

struct NativePosition {
    PosType type;
    uint8_t polarity;
    uint32_t formula;      // the leaf's formula number (equal formulas, equal numbers)
    uint32_t last_symbol;  // the prefix is the path of tree symbols from c0 to this one
    uint32_t symbol;       // the symbol this position introduced, or kNone
    uint32_t parent;       // index, or kNone
    uint32_t first_child;
    uint32_t child_count;
};

// A built tree. Positions are indexed by id - 1 (ids are given in pre-order);
// symbols by creation order, 0 being c0, which is also their order as keys of
// the tree ordering.
struct NativeTree {
    std::vector<NativePosition> positions;
    std::vector<uint32_t> children;
    std::vector<uint32_t> completed;  // the order of the Python `positions` list
    std::vector<uint32_t> leaves;     // in order of making
    uint32_t root = kNone;

    std::vector<SymKind> symbol_kinds;
    std::vector<uint32_t> symbol_parent;  // kNone for c0
    std::vector<uint32_t> symbol_number;  // the k of "ck" / "Vk"
    std::vector<uint32_t> symbol_depth;   // prefix length ending in the symbol
    prefix::Ordering order;               // successors in insertion order
    uint32_t const_counter = 0, var_counter = 0;

    // The prefix ending in `last` (c0 first), appended to `out`.
    void prefix_word(uint32_t last, std::vector<Sym>& out) const {
        size_t start = out.size();
        out.resize(start + symbol_depth[last]);
        for (uint32_t s = last, i = symbol_depth[last]; s != kNone; s = symbol_parent[s]) out[start + --i] = s;
    }
};

// Every matrix path, flattened: path i is leaves[offsets[i] .. offsets[i+1]),
// each entry a node index.
struct PathSet {
    std::vector<uint32_t> leaves;
    std::vector<size_t> offsets{0};
    size_t size() const { return offsets.size() - 1; }
};

// The paths of `root` over `nodes` (with their `children` lists), in the
// fixed order: ALPHA lists its children's paths one after another, BETA and
// PSI join one path of each child, PHI one path of either child of each
// consecutive pair; a leaf is its own path. `nodes` must form no cycle
// (each reached once per parent). Throws std::bad_alloc when the result
// would exceed `budget` bytes; false when interrupted.
bool matrix_paths(const std::vector<PathNode>& nodes, const std::vector<uint32_t>& children, uint32_t root,
                  size_t budget, Interrupt& interrupt, PathSet& out);

// The PathNode view of a native tree.
std::vector<PathNode> path_nodes(const NativeTree& tree);

}  // namespace quorvel::matrix
