// Hash-consed propositional formulas for the provers' native searches.
//
// A formula is a 32-bit index into the arena; structurally equal formulas get
// the same index, so equality is one integer comparison and a formula can key
// a bitset or a hash table directly. Atoms are small integers handed out by
// whoever lowers formulas into the arena (support/py/lower.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "quorvel/support/flat_map.h"

namespace quorvel {

using FormulaId = uint32_t;

enum class Op : uint8_t {
    Atom,     // a = atom number
    Falsum,
    Verum,
    Not,      // a = operand
    And,      // a = left, b = right
    Or,
    Implies,
    Iff,
    Opaque,   // a formula the provers do not look into; a = its number
};

struct FormulaNode {
    Op op;
    uint32_t a;
    uint32_t b;
};

class FormulaArena {
public:
    FormulaArena() {
        falsum_ = intern(Op::Falsum, 0, 0);
        verum_ = intern(Op::Verum, 0, 0);
    }

    FormulaId falsum() const { return falsum_; }
    FormulaId verum() const { return verum_; }
    FormulaId atom(uint32_t number) { return intern(Op::Atom, number, 0); }
    FormulaId opaque(uint32_t number) { return intern(Op::Opaque, number, 0); }
    FormulaId negation(FormulaId f) { return intern(Op::Not, f, 0); }
    FormulaId binary(Op op, FormulaId left, FormulaId right) { return intern(op, left, right); }

    const FormulaNode& operator[](FormulaId f) const { return nodes_[f]; }
    Op op(FormulaId f) const { return nodes_[f].op; }
    FormulaId left(FormulaId f) const { return nodes_[f].a; }
    FormulaId right(FormulaId f) const { return nodes_[f].b; }
    size_t size() const { return nodes_.size(); }

    FormulaId intern(Op op, uint32_t a, uint32_t b) {
        auto [id, fresh] = index_.insert(Key{op, a, b}, static_cast<FormulaId>(nodes_.size()));
        if (fresh) nodes_.push_back(FormulaNode{op, a, b});
        return *id;
    }

private:
    struct Key {
        Op op;
        uint32_t a, b;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        size_t operator()(const Key& k) const {
            return static_cast<size_t>(mix64((static_cast<uint64_t>(k.a) << 32 | k.b) ^
                                             (static_cast<uint64_t>(k.op) << 59)));
        }
    };
    static constexpr Key kEmpty{static_cast<Op>(UINT8_MAX), 0, 0};  // no node has this op

    std::vector<FormulaNode> nodes_;
    FlatMap<Key, FormulaId, KeyHash> index_{kEmpty};
    FormulaId falsum_ = 0;
    FormulaId verum_ = 0;
};

}  // namespace quorvel
