// The unifier enumeration and the admissibility test (engine.h).
#include "quorvel/constructive/prefix/engine.h"

#include <algorithm>
#include <span>

#include "quorvel/support/small_vector.h"

namespace quorvel::prefix {
namespace {

// The depth-first search of the unifiers, with its choice points on an
// explicit stack. A choice point is an unbound variable facing a different
// head: alternative 0 binds it to the empty word, alternative k to the
// first k symbols of the other word. Goals between choice points are
// rewritten in place: equal heads dropped, bound heads expanded, unbound
// heads facing an empty word bound to the empty word.
class DfsUnifier final : public Unifier {
public:
    DfsUnifier(const SymbolKinds& kinds, Substitution& subst, Interrupt& interrupt)
        : kinds_(kinds), subst_(subst), interrupt_(interrupt) {}

    void start(std::span<const Sym> w1, std::span<const Sym> w2, bool map_words) override {
        start_mark_ = subst_.mark();
        frames_.clear();
        pool_.clear();
        w1_.clear();
        w2_.clear();
        if (map_words) {
            subst_.apply(w1, w1_);
            subst_.apply(w2, w2_);
        } else {
            w1_.assign(w1.begin(), w1.end());
            w2_.assign(w2.begin(), w2.end());
        }
        i1_ = i2_ = 0;
        fresh_ = true;
        active_ = true;
    }

    Status next() override {
        if (!active_) return Status::Exhausted;
        bool have_goal = fresh_;
        fresh_ = false;
        for (;;) {
            if (have_goal) {
                Outcome r = solve();
                if (r == Outcome::Found) return Status::Found;
                if (r == Outcome::Interrupted) {
                    stop();
                    return Status::Interrupted;
                }
            }
            have_goal = false;
            while (!frames_.empty() && !(have_goal = resume(frames_.back()))) frames_.pop_back();
            if (!have_goal) {
                stop();
                return Status::Exhausted;
            }
        }
    }

    void stop() override {
        subst_.undo(start_mark_);
        frames_.clear();
        active_ = false;
    }

private:
    enum class Outcome { Found, Failed, Interrupted };

    struct Frame {
        Sym var;
        bool left;          // the variable heads w1 (else w2)
        bool done;
        uint32_t k;         // next alternative
        size_t mark;        // substitution state before any alternative
        size_t tail, tail_length, other, other_length;  // words in pool_
        size_t pool_end;
    };

    bool is_var(Sym s) const { return kinds_[s] == SymKind::Variable; }

    // Replaces w[i] (a bound variable) by its word, dropping w[..i).
    void expand_head(Word& w, size_t& i) {
        scratch_.clear();
        subst_.effective(subst_.entry_of(w[i]), scratch_);
        scratch_.insert(scratch_.end(), w.begin() + static_cast<ptrdiff_t>(i) + 1, w.end());
        w.swap(scratch_);
        i = 0;
    }

    // Maps w[i+1..) by the substitution into w.
    void rewrite_tail(Word& w, size_t& i) {
        scratch_.clear();
        subst_.apply(std::span<const Sym>(w).subspan(i + 1), scratch_);
        w.swap(scratch_);
        i = 0;
    }

    void open_frame(bool left) {
        Word& wv = left ? w1_ : w2_;
        size_t iv = left ? i1_ : i2_;
        Word& wo = left ? w2_ : w1_;
        size_t io = left ? i2_ : i1_;
        Frame f{wv[iv], left, false, 0, subst_.mark(), 0, 0, 0, 0, 0};
        f.tail = pool_.size();
        f.tail_length = wv.size() - iv - 1;
        pool_.insert(pool_.end(), wv.begin() + static_cast<ptrdiff_t>(iv) + 1, wv.end());
        f.other = pool_.size();
        f.other_length = wo.size() - io;
        pool_.insert(pool_.end(), wo.begin() + static_cast<ptrdiff_t>(io), wo.end());
        f.pool_end = pool_.size();
        frames_.push_back(f);
    }

    // Takes the frame's next alternative as the goal; false when it has none.
    bool resume(Frame& f) {
        subst_.undo(f.mark);
        if (f.done) return false;
        uint32_t k = f.k++;
        std::span<const Sym> tail(pool_.data() + f.tail, f.tail_length);
        std::span<const Sym> other(pool_.data() + f.other, f.other_length);
        Word& wv = f.left ? w1_ : w2_;
        Word& wo = f.left ? w2_ : w1_;
        wv.clear();
        wo.clear();
        if (k == 0) {
            subst_.bind(f.var, {});
            subst_.apply(tail, wv);
            wo.assign(other.begin(), other.end());
        } else {
            // Every longer prefix of the other word holds the variable too.
            if (k > f.other_length || other[k - 1] == f.var) {
                f.done = true;
                return false;
            }
            scratch_.clear();
            subst_.apply(other.first(k), scratch_);
            subst_.bind(f.var, scratch_);
            subst_.apply(tail, wv);
            subst_.apply(other.subspan(k), wo);
        }
        interrupt_.tick(wv.size() + wo.size());
        i1_ = i2_ = 0;
        return true;
    }

    Outcome solve() {
        for (;;) {
            if (interrupt_.tick()) return Outcome::Interrupted;
            while (i1_ < w1_.size() && i2_ < w2_.size() && w1_[i1_] == w2_[i2_]) ++i1_, ++i2_;
            bool end1 = i1_ == w1_.size(), end2 = i2_ == w2_.size();
            if (end1 && end2) return Outcome::Found;
            if (end1 || end2) {
                Word& w = end1 ? w2_ : w1_;
                size_t& i = end1 ? i2_ : i1_;
                Sym h = w[i];
                if (!is_var(h)) return Outcome::Failed;
                if (subst_.bound(h)) {
                    expand_head(w, i);
                } else {
                    subst_.bind(h, {});
                    rewrite_tail(w, i);
                }
                continue;
            }
            Sym s1 = w1_[i1_], s2 = w2_[i2_];
            if (kinds_[s1] == SymKind::Constant && kinds_[s2] == SymKind::Constant) return Outcome::Failed;
            if (is_var(s1)) {
                if (subst_.bound(s1)) {
                    expand_head(w1_, i1_);
                } else {
                    open_frame(true);
                    resume(frames_.back());
                }
                continue;
            }
            if (is_var(s2)) {
                if (subst_.bound(s2)) {
                    expand_head(w2_, i2_);
                } else {
                    open_frame(false);
                    resume(frames_.back());
                }
                continue;
            }
            return Outcome::Failed;
        }
    }

    const SymbolKinds& kinds_;
    Substitution& subst_;
    Interrupt& interrupt_;
    std::vector<Frame> frames_;
    Word pool_;
    Word w1_, w2_, scratch_;
    size_t i1_ = 0, i2_ = 0;
    size_t start_mark_ = 0;
    bool fresh_ = false, active_ = false;
};

}  // namespace

std::unique_ptr<Unifier> make_unifier(const SymbolKinds& kinds, Substitution& subst, Interrupt& interrupt) {
    return std::make_unique<DfsUnifier>(kinds, subst, interrupt);
}

namespace {

// The cycle test over `n` nodes whose successors successors(v) gives as a
// range; 1 acyclic, 0 cycle, -1 interrupted.
template <class Successors>
int acyclic_over(size_t n, Successors successors, Interrupt& interrupt) {
    SmallVector<uint8_t, 64> colour;
    colour.assign(n, 0);
    struct Frame {
        Sym node;
        uint32_t next;
    };
    SmallVector<Frame, 32> path;
    for (Sym root = 0; root < n; ++root) {
        if (colour[root]) continue;
        colour[root] = 1;
        path.push_back({root, 0});
        while (!path.empty()) {
            if (interrupt.tick()) return -1;
            Frame& f = path.back();
            auto succ = successors(f.node);
            if (f.next == succ.size()) {
                colour[f.node] = 2;
                path.pop_back();
                continue;
            }
            Sym v = succ[f.next++];
            if (colour[v] == 1) return 0;
            if (colour[v] == 0) {
                colour[v] = 1;
                path.push_back({v, 0});
            }
        }
    }
    return 1;
}

}  // namespace

int acyclic(const std::vector<std::vector<Sym>>& successors, Interrupt& interrupt) {
    return acyclic_over(
        successors.size(), [&](Sym v) { return std::span<const Sym>(successors[v]); }, interrupt);
}

int admissible(const Ordering& order, const Substitution& subst, Interrupt& interrupt) {
    // The ordering's edges and, for each variable's binding, an edge from
    // every other symbol of its word to the variable, as one flat adjacency:
    // edges[first[v] .. first[v + 1]) are the successors of v.
    size_t n = std::max(order.successors.size(), subst.symbol_count());
    struct Edge {
        Sym from, to;
    };
    SmallVector<Edge, 32> bound;
    Word word;
    for (size_t i = 0; i < subst.size(); ++i) {
        Sym var = subst.entry(i).key;
        if (subst.entry_of(var) != i) continue;  // not a variable's binding
        word.clear();
        subst.effective(i, word);
        for (Sym s : word) {
            if (s == var) continue;
            bound.push_back({s, var});
            n = std::max<size_t>(n, s + 1);
        }
        if (interrupt.tick(word.size())) return -1;
    }
    SmallVector<uint32_t, 64> first;
    first.assign(n + 1, 0);
    for (size_t s = 0; s < order.successors.size(); ++s)
        first[s + 1] = static_cast<uint32_t>(order.successors[s].size());
    for (const Edge& e : bound) ++first[e.from + 1];
    for (size_t v = 0; v < n; ++v) first[v + 1] += first[v];
    SmallVector<Sym, 64> edges;
    edges.assign(first[n], 0);
    SmallVector<uint32_t, 64> fill;
    fill.assign(n, 0);
    for (size_t v = 0; v < n; ++v) fill[v] = first[v];
    for (size_t s = 0; s < order.successors.size(); ++s)
        for (Sym t : order.successors[s]) edges[fill[s]++] = t;
    for (const Edge& e : bound) edges[fill[e.from]++] = e.to;
    return acyclic_over(
        n, [&](Sym v) { return std::span<const Sym>(edges.data() + first[v], first[v + 1] - first[v]); },
        interrupt);
}

}  // namespace quorvel::prefix
