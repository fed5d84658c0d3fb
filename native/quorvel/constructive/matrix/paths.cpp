// Matrix paths (tree.h). Each node's paths are ropes: a path of a join is
// one concatenation node over the two paths it joins, so joining costs
// O(1) per path and leaves are shared; ropes are flattened once, into the
// result. Nodes are visited in post-order with an explicit stack, and a
// node's list of paths is dropped as soon as its last parent has used it.
// The budget counts ropes and joined lists as they are made (never less),
// which bounds the peak from above.
#include <algorithm>
#include <new>

#include "quorvel/constructive/matrix/tree.h"
#include "quorvel/support/memory_budget.h"

namespace quorvel::matrix {
namespace {

constexpr uint32_t kLeafTag = UINT32_MAX;

struct Rope {
    uint32_t a, b;    // leaf: a == kLeafTag, b = node; else the two halves
    uint64_t length;  // leaves in the path
};

class PathBuilder {
public:
    PathBuilder(const std::vector<PathNode>& nodes, const std::vector<uint32_t>& children, size_t budget,
                Interrupt& interrupt)
        : nodes_(nodes), children_(children), budget_(budget), interrupt_(interrupt) {
        ropes_.push_back(Rope{0, 0, 0});  // rope 0: the empty path
    }

    bool run(uint32_t root, PathSet& out) {
        if (!count_parents(root) || !check_size(root)) return false;
        lists_.resize(nodes_.size());
        if (!post_order(root, [&](uint32_t node) { return combine(node); })) return false;
        return flatten(lists_[root], out);
    }

private:
    static uint64_t add(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }
    static uint64_t mul(uint64_t a, uint64_t b) {
        uint64_t r;
        return __builtin_mul_overflow(a, b, &r) ? UINT64_MAX : r;
    }

    // The number of paths and of leaf entries over all of them, counted
    // (saturating) before anything is built: a result past the budget is a
    // MemoryError up front, not after the joins have taken the memory.
    bool check_size(uint32_t root) {
        struct Size {
            uint64_t paths, leaves;
        };
        std::vector<Size> size(nodes_.size(), Size{0, 0});
        auto join = [](Size a, Size b) {
            return Size{mul(a.paths, b.paths), add(mul(a.leaves, b.paths), mul(b.leaves, a.paths))};
        };
        bool ok = post_order(root, [&](uint32_t v) {
            const PathNode& n = nodes_[v];
            auto child = [&](uint32_t i) { return size[children_[n.first_child + i]]; };
            Size r{1, 0};
            switch (n.type) {
                case PosType::Atom: r = {1, 1}; break;
                case PosType::Alpha:
                    if (n.child_count) r = {0, 0};
                    for (uint32_t i = 0; i < n.child_count; ++i)
                        r = {add(r.paths, child(i).paths), add(r.leaves, child(i).leaves)};
                    break;
                case PosType::Beta:
                case PosType::Psi:
                    if (n.child_count) r = child(0);
                    for (uint32_t i = 1; i < n.child_count; ++i) r = join(r, child(i));
                    break;
                case PosType::Phi:
                    for (uint32_t k = 0; k + 1 < n.child_count; k += 2)
                        r = join(r, Size{add(child(k).paths, child(k + 1).paths),
                                         add(child(k).leaves, child(k + 1).leaves)});
                    break;
            }
            size[v] = r;
            return !interrupt_.tick(n.child_count + 1);
        });
        if (!ok) return false;
        // Per path a list (native offsets and a Python list object), per leaf
        // entry a native index and a Python slot.
        uint64_t bytes = add(mul(size[root].paths, kPathBytes), mul(size[root].leaves, kLeafBytes));
        if (bytes > budget_) throw std::bad_alloc();
        return true;
    }

    // Calls visit(node) once for every node reachable from `root`, children
    // before parents, with an explicit stack; false as soon as visit is.
    template <class Visit>
    bool post_order(uint32_t root, Visit visit) {
        std::vector<uint8_t>& done = marks_;
        done.assign(nodes_.size(), 0);
        std::vector<Frame>& stack = frames_;
        stack.assign(1, Frame{root, 0});
        while (!stack.empty()) {
            Frame& f = stack.back();
            const PathNode& n = nodes_[f.node];
            uint32_t kids = n.type == PosType::Atom ? 0 : n.child_count;
            if (f.next < kids) {
                uint32_t c = children_[n.first_child + f.next++];
                if (!done[c]) stack.push_back({c, 0});
                continue;
            }
            uint32_t v = f.node;
            stack.pop_back();
            if (done[v]) continue;
            done[v] = 1;
            if (!visit(v)) return false;
        }
        return true;
    }

    static constexpr uint64_t kPathBytes = 8 + 16 + 64;
    static constexpr uint64_t kLeafBytes = 4 + 8;

    // Parent counts over the reachable nodes, so that lists can be released.
    bool count_parents(uint32_t root) {
        parents_.assign(nodes_.size(), 0);
        std::vector<uint8_t>& seen = marks_;
        seen.assign(nodes_.size(), 0);
        std::vector<uint32_t>& stack = stack_;
        stack.assign(1, root);
        seen[root] = 1;
        while (!stack.empty()) {
            uint32_t v = stack.back();
            stack.pop_back();
            const PathNode& n = nodes_[v];
            if (n.type == PosType::Atom) continue;
            for (uint32_t i = 0; i < n.child_count; ++i) {
                uint32_t c = children_[n.first_child + i];
                ++parents_[c];
                if (!seen[c]) {
                    seen[c] = 1;
                    stack.push_back(c);
                }
            }
            if (interrupt_.tick(n.child_count + 1)) return false;
        }
        return true;
    }

    uint32_t rope(uint32_t a, uint32_t b) {
        if (a == 0) return b;
        if (b == 0) return a;
        account(sizeof(Rope));
        ropes_.push_back(Rope{a, b, ropes_[a].length + ropes_[b].length});
        return static_cast<uint32_t>(ropes_.size() - 1);
    }

    void account(size_t bytes) {
        used_ += bytes;
        if (used_ > budget_ || ropes_.size() >= kLeafTag - 1) throw std::bad_alloc();
    }

    // The list of `child` for its parent; the parent that uses it last may
    // take it over.
    std::vector<uint32_t> take(uint32_t child) {
        if (--parents_[child] == 0) return std::move(lists_[child]);
        return lists_[child];
    }

    std::vector<uint32_t> join(const std::vector<uint32_t>& left, const std::vector<uint32_t>& right) {
        checked_size(left.size(), right.size() * (sizeof(Rope) + sizeof(uint32_t)), used_, budget_);
        std::vector<uint32_t> out;
        out.reserve(left.size() * right.size());
        account(left.size() * right.size() * sizeof(uint32_t));
        for (uint32_t p1 : left) {
            for (uint32_t p2 : right) out.push_back(rope(p1, p2));
            if (interrupt_.tick(right.size())) return {};
        }
        return out;
    }

    bool combine(uint32_t node) {
        const PathNode& n = nodes_[node];
        std::vector<uint32_t>& result = lists_[node];
        auto child = [&](uint32_t i) { return children_[n.first_child + i]; };
        switch (n.type) {
            case PosType::Atom:
                account(sizeof(Rope) + sizeof(uint32_t));
                ropes_.push_back(Rope{kLeafTag, node, 1});
                result.push_back(static_cast<uint32_t>(ropes_.size() - 1));
                break;
            case PosType::Alpha:
                for (uint32_t i = 0; i < n.child_count; ++i) {
                    std::vector<uint32_t> paths = take(child(i));
                    if (result.empty()) {
                        result = std::move(paths);
                    } else {
                        result.insert(result.end(), paths.begin(), paths.end());
                    }
                    if (interrupt_.tick(paths.size() + 1)) return false;
                }
                if (result.empty()) result.push_back(0);
                break;
            case PosType::Beta:
            case PosType::Psi:
                if (n.child_count == 0) {
                    result.push_back(0);
                    break;
                }
                result = take(child(0));
                for (uint32_t i = 1; i < n.child_count; ++i) {
                    std::vector<uint32_t> paths = take(child(i));
                    result = join(result, paths);
                    if (interrupt_.stopped()) return false;
                }
                break;
            case PosType::Phi: {
                result.push_back(0);
                uint32_t pairs = n.child_count / 2;
                for (uint32_t k = 0; k < pairs; ++k) {
                    std::vector<uint32_t> pair = take(child(2 * k));
                    std::vector<uint32_t> second = take(child(2 * k + 1));
                    pair.insert(pair.end(), second.begin(), second.end());
                    result = join(result, pair);
                    if (interrupt_.stopped()) return false;
                }
                // An unpaired last child takes no part, but its list is still released.
                if (n.child_count % 2) take(child(n.child_count - 1));
                break;
            }
        }
        return !interrupt_.tick();
    }

    bool flatten(const std::vector<uint32_t>& paths, PathSet& out) {
        uint64_t total = 0;
        for (uint32_t p : paths) total += ropes_[p].length;
        checked_size(static_cast<size_t>(total), sizeof(uint32_t), paths.size() * sizeof(size_t) + used_, budget_);
        out.leaves.clear();
        out.offsets.assign(1, 0);
        out.leaves.reserve(static_cast<size_t>(total));
        out.offsets.reserve(paths.size() + 1);
        std::vector<uint32_t>& stack = stack_;
        for (uint32_t p : paths) {
            stack.assign(1, p);
            while (!stack.empty()) {
                uint32_t r = stack.back();
                stack.pop_back();
                const Rope& rope = ropes_[r];
                if (r == 0) continue;
                if (rope.a == kLeafTag) {
                    out.leaves.push_back(rope.b);
                } else {
                    stack.push_back(rope.b);
                    stack.push_back(rope.a);
                }
            }
            out.offsets.push_back(out.leaves.size());
            if (interrupt_.tick(ropes_[p].length + 1)) return false;
        }
        return true;
    }

    const std::vector<PathNode>& nodes_;
    const std::vector<uint32_t>& children_;
    size_t budget_;
    Interrupt& interrupt_;
    size_t used_ = 0;
    std::vector<Rope> ropes_;
    std::vector<std::vector<uint32_t>> lists_;
    std::vector<uint32_t> parents_;
    // Scratch of the walks, one walk at a time.
    struct Frame {
        uint32_t node, next;
    };
    std::vector<uint8_t> marks_;
    std::vector<Frame> frames_;
    std::vector<uint32_t> stack_;
};

}  // namespace

bool matrix_paths(const std::vector<PathNode>& nodes, const std::vector<uint32_t>& children, uint32_t root,
                  size_t budget, Interrupt& interrupt, PathSet& out) {
    return PathBuilder(nodes, children, budget, interrupt).run(root, out);
}

std::vector<PathNode> path_nodes(const NativeTree& tree) {
    std::vector<PathNode> nodes;
    nodes.reserve(tree.positions.size());
    for (const NativePosition& p : tree.positions) nodes.push_back(PathNode{p.type, p.first_child, p.child_count});
    return nodes;
}

}  // namespace quorvel::matrix
