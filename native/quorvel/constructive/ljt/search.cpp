#include "quorvel/constructive/ljt/search.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <span>
#include <stdexcept>

namespace quorvel::ljt {
namespace {

constexpr uint32_t kNone = UINT32_MAX;
constexpr size_t kNoFrame = SIZE_MAX;
// Antecedent words on the stacks before the search gives up with bad_alloc
// (MemoryError) instead of leaving it to the allocator: 1 GiB.
constexpr size_t kMaxPool = size_t{1} << 28;
// Answers kept before the cache is emptied and refilled; the cache only
// saves work, so forgetting it never changes an answer.
constexpr size_t kMaxKeyWords = size_t{1} << 25;
constexpr size_t kMaxEntries = size_t{1} << 22;
// Words of the sequents that pass two remembers for sharing: 256 MiB.
constexpr size_t kMaxSharedWords = size_t{1} << 26;
// Steps the plain search may spend on a pure sequent before the oracle
// answers for it (on the question itself, one more per formula): most
// questions are settled in far fewer, and an exponential one costs no more
// than this.
constexpr uint64_t kPlainSteps = 1024;
// Truth tables: exact up to this many atoms, else this many words of sampled
// valuations; no tables past kMaxTableWords words in all.
constexpr uint32_t kExactAtoms = 12;
constexpr uint32_t kSampleWords = 16;
constexpr size_t kMaxTableWords = size_t{1} << 23;

uint64_t splitmix(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// What the truth tables treat as an atom: anything but ⊥, ⊤, ∧, ∨, →.
bool is_table_atom(Op op) {
    return op != Op::And && op != Op::Or && op != Op::Implies && op != Op::Falsum && op != Op::Verum;
}

}  // namespace

int premise_count(Rule r) {
    switch (r) {
        case Rule::RTop:
        case Rule::LBot:
        case Rule::Ax: return 0;
        case Rule::RAnd:
        case Rule::LOr:
        case Rule::LImpImp: return 2;
        default: return 1;
    }
}

Search::Search(FormulaArena& arena, std::vector<uint8_t> opaque_atomic, bool (*interrupted)(void*), void* context)
    : arena_(arena),
      opaque_atomic_(std::move(opaque_atomic)),
      interrupted_(interrupted),
      context_(context),
      poll_(interrupted, context) {}

bool Search::poll(uint64_t units) { return poll_.spend(units); }

bool Search::atomic(FormulaId f) const {
    switch (arena_.op(f)) {
        case Op::Atom:
        case Op::Falsum:
        case Op::Verum: return true;
        case Op::Opaque: {
            uint32_t n = arena_[f].a;
            return n < opaque_atomic_.size() && opaque_atomic_[n];
        }
        default: return false;
    }
}

bool Search::pure(const Seq& s) const {
    if (!pure_[s.goal]) return false;
    for (uint32_t i = s.begin; i < s.end; ++i)
        if (!pure_[pool_[i]]) return false;
    return true;
}

int Search::provable(const Seq& s) {
    if (!provability_) provability_ = std::make_unique<Provability>(arena_, interrupted_, context_);
    return provability_->provable(std::span<const FormulaId>(pool_.data() + s.begin, s.end - s.begin), s.goal);
}

void Search::sync_purity() {
    // Parts are interned before what is built over them, so a part's flag
    // is always known when its parent's is computed.
    for (size_t f = pure_.size(); f < arena_.size(); ++f) {
        const FormulaNode& n = arena_[static_cast<FormulaId>(f)];
        bool pure;
        switch (n.op) {
            case Op::Atom:
            case Op::Falsum:
            case Op::Verum: pure = true; break;
            case Op::And:
            case Op::Or:
            case Op::Implies: pure = pure_[n.a] && pure_[n.b]; break;
            default: pure = false;
        }
        pure_.push_back(pure);
    }
}

FormulaId Search::implies(FormulaId a, FormulaId b) {
    FormulaId f = arena_.binary(Op::Implies, a, b);
    if (f >= pure_.size()) sync_purity();
    return f;
}

// ---- rules ----

Search::Pick Search::pick(const Seq& s) {
    // One pass notes the first antecedent each rule would take; the rules
    // are then tried in their order.
    const FormulaId g = s.goal;
    if (g == arena_.verum()) return {false, Rule::RTop, 0};
    if (stamp_.size() < arena_.size()) stamp_.resize(arena_.size(), 0);
    if (++epoch_ == 0) {
        std::fill(stamp_.begin(), stamp_.end(), 0);
        epoch_ = 1;
    }
    uint32_t ax = kNone, land = kNone, lor = kNone, imp_and = kNone, imp_or = kNone;
    bool imp_atom = false;  // some implication may be taken by "L_Imp_Atom"
    for (uint32_t i = s.begin; i < s.end; ++i) {
        const FormulaId a = pool_[i];
        if (a == arena_.falsum()) return {false, Rule::LBot, 0};
        stamp_[a] = epoch_;
        if (a == g && ax == kNone) ax = i;
        switch (arena_.op(a)) {
            case Op::And:
                if (land == kNone) land = i;
                break;
            case Op::Or:
                if (lor == kNone) lor = i;
                break;
            case Op::Implies: {
                const FormulaId x = arena_.left(a);
                const Op xo = arena_.op(x);
                if (xo == Op::And && imp_and == kNone) imp_and = i;
                if (xo == Op::Or && imp_or == kNone) imp_or = i;
                imp_atom = imp_atom || atomic(x);
                break;
            }
            default: break;
        }
    }
    if (ax != kNone) return {false, Rule::Ax, 0};
    if (arena_.op(g) == Op::Implies) return {false, Rule::RImp, 0};
    if (arena_.op(g) == Op::And) return {false, Rule::RAnd, 0};
    if (land != kNone) return {false, Rule::LAnd, land};
    if (lor != kNone) return {false, Rule::LOr, lor};
    if (imp_atom) {
        for (uint32_t i = s.begin; i < s.end; ++i) {
            const FormulaId a = pool_[i];
            if (arena_.op(a) != Op::Implies) continue;
            const FormulaId x = arena_.left(a);
            // ⊤ → B is B, whether or not ⊤ stands among the antecedents.
            if (atomic(x) && (stamp_[x] == epoch_ || x == arena_.verum())) return {false, Rule::LImpAtom, i};
        }
    }
    if (imp_and != kNone) return {false, Rule::LImpAnd, imp_and};
    if (imp_or != kNone) return {false, Rule::LImpOr, imp_or};
    return {true, Rule::ROr1, 0};
}

uint32_t Search::imp_imp_candidate(const Seq& s, uint32_t from) const {
    for (uint32_t i = from; i < s.end; ++i) {
        FormulaId a = pool_[i];
        if (arena_.op(a) == Op::Implies && arena_.op(arena_.left(a)) == Op::Implies) return i;
    }
    return kNone;
}

Search::Seq Search::copy(const Seq& s, uint32_t skip, std::initializer_list<FormulaId> extra, FormulaId goal) {
    size_t n = (s.end - s.begin) - (skip == kNone ? 0 : 1) + extra.size();
    if (pool_.size() + n > kMaxPool) throw std::bad_alloc();
    uint32_t begin = static_cast<uint32_t>(pool_.size());
    // Geometric growth: a reserve of exactly size + n would copy the whole
    // pool on every deeper frame.
    if (pool_.capacity() < pool_.size() + n) pool_.reserve(std::max(pool_.size() + n, 2 * pool_.capacity()));
    for (uint32_t i = s.begin; i < s.end; ++i)
        if (i != skip) pool_.push_back(pool_[i]);
    for (FormulaId e : extra) pool_.push_back(e);
    return Seq{begin, static_cast<uint32_t>(pool_.size()), goal};
}

Search::Seq Search::premise(const Seq& s, Rule rule, int k, uint32_t p) {
    const FormulaId g = s.goal;
    switch (rule) {
        case Rule::RImp: return copy(s, kNone, {arena_.left(g)}, arena_.right(g));
        case Rule::RAnd: return copy(s, kNone, {}, k == 0 ? arena_.left(g) : arena_.right(g));
        case Rule::ROr1: return copy(s, kNone, {}, arena_.left(g));
        case Rule::ROr2: return copy(s, kNone, {}, arena_.right(g));
        default: break;
    }
    const FormulaId x = pool_[p];
    const FormulaId l = arena_.left(x), b = arena_.right(x);
    switch (rule) {
        case Rule::LAnd: return copy(s, p, {l, b}, g);
        case Rule::LOr: return copy(s, p, {k == 0 ? l : b}, g);
        case Rule::LImpAtom: return copy(s, p, {b}, g);
        case Rule::LImpAnd: {
            FormulaId inner = implies(arena_.right(l), b);
            return copy(s, p, {implies(arena_.left(l), inner)}, g);
        }
        case Rule::LImpOr: {
            FormulaId d = implies(arena_.left(l), b);
            FormulaId e = implies(arena_.right(l), b);
            return copy(s, p, {d, e}, g);
        }
        case Rule::LImpImp:
            if (k == 1) return copy(s, p, {b}, g);
            return copy(s, p, {implies(arena_.right(l), b), arena_.left(l)}, arena_.right(l));
        default: throw std::logic_error("LJT: an axiom has no premises");
    }
}

// ---- pass one: does the search succeed? ----

int Search::decide(const Seq& s, Rule rule, int k, uint32_t principal, bool choice) {
    size_t base = frames_.size();
    Seq c = premise(s, rule, k, principal);
    frames_.push_back(Frame{c, State::Start, rule, 0, 0, choice, true});
    returning_ = false;
    return decide_loop(base);
}

int Search::decide_loop(size_t base) {
    while (frames_.size() > base) {
        const Seq& top = frames_.back().seq;
        ++ticks_;
        if (!poll(1 + top.end - top.begin)) return -1;
        if (budgeted_ != kNoFrame && ticks_ - budget_start_ > plain_steps_ && !decide_by_oracle()) return -1;
        if (frames_.size() <= base) break;
        size_t fi = frames_.size() - 1;
        if (returning_)
            decide_resume(fi, result_);
        else
            decide_start(fi);
    }
    return result_ ? 1 : 0;
}

void Search::decide_push(size_t fi, Rule rule, int k, State state, bool choice) {
    frames_[fi].state = state;
    Seq c = premise(frames_[fi].seq, rule, k, frames_[fi].principal);
    frames_.push_back(Frame{c, State::Start, rule, 0, 0, choice, true});
    returning_ = false;
}

bool Search::decide_by_oracle() {
    // The plain search of the budgeted frame gives way: its subsearch is
    // dropped, and the oracle answers for it.
    const size_t fi = budgeted_;
    budgeted_ = kNoFrame;
    frames_.resize(fi + 1);
    pool_.resize(frames_[fi].seq.end);
    int r = provable(frames_[fi].seq);
    if (r < 0) return false;
    frames_[fi].keyed = true;
    cacheable_ = true;
    decide_finish(r == 1);
    return true;
}

void Search::decide_finish(bool r) {
    if (frames_.size() - 1 == budgeted_) budgeted_ = kNoFrame;
    const Frame& f = frames_.back();
    if (cacheable_ && f.keyed) remember(f.seq, r);
    pool_.resize(f.seq.begin);
    frames_.pop_back();
    returning_ = true;
    cacheable_ = true;
    result_ = r;
}

void Search::decide_start(size_t fi) {
    const Seq s = frames_[fi].seq;
    const Pick p = pick(s);
    if (!p.backtrack && premise_count(p.rule) == 0) {
        cacheable_ = false;  // an axiom is found faster than a key
        return decide_finish(true);
    }
    // Only where the search may choose: a chain of invertible rules leads
    // to such a sequent (or an axiom) in a few steps, so keying every
    // sequent of the chain would cost more than it saves.
    if (frames_[fi].choice || p.backtrack) {
        int known = lookup(s);
        if (known >= 0) {
            cacheable_ = false;
            return decide_finish(known == 1);
        }
    } else {
        frames_[fi].keyed = false;
    }
    if (frames_[fi].choice && classically_refuted(s)) {
        cacheable_ = false;  // the tables answer about as fast as the cache
        return decide_finish(false);
    }
    if (budgeted_ == kNoFrame && pure(s)) {
        budgeted_ = fi;
        budget_start_ = ticks_;
        // The question itself may take a plain search as long as it is:
        // one that fails in a step or two per formula answers before the
        // oracle would have set up its clauses.
        plain_steps_ = kPlainSteps + (whole_question_ ? arena_.size() : 0);
        whole_question_ = false;
    }
    Frame& f = frames_[fi];
    if (!p.backtrack) {
        f.rule = p.rule;
        f.principal = p.principal;
        f.next = 0;
        return decide_push(fi, p.rule, 0, State::Premise, false);
    }
    if (arena_.op(s.goal) == Op::Or) return decide_push(fi, Rule::ROr1, 0, State::ROr1, true);
    decide_backtrack(fi, s.begin);
}

void Search::decide_backtrack(size_t fi, uint32_t from) {
    uint32_t i = imp_imp_candidate(frames_[fi].seq, from);
    if (i == kNone) return decide_finish(false);
    frames_[fi].rule = Rule::LImpImp;
    frames_[fi].principal = i;
    decide_push(fi, Rule::LImpImp, 0, State::ImpImp1, true);
}

void Search::decide_resume(size_t fi, bool r) {
    Frame& f = frames_[fi];
    switch (f.state) {
        case State::Premise:
            if (!r) return decide_finish(false);
            if (++f.next < premise_count(f.rule)) return decide_push(fi, f.rule, f.next, State::Premise, false);
            return decide_finish(true);
        case State::ROr1:
            if (r) return decide_finish(true);
            return decide_push(fi, Rule::ROr2, 0, State::ROr2, true);
        case State::ROr2:
            if (r) return decide_finish(true);
            return decide_backtrack(fi, f.seq.begin);
        case State::ImpImp1:
            if (!r) return decide_backtrack(fi, f.principal + 1);
            // The second premise follows from the first's conclusion
            // classically, so the tables have nothing to add there.
            return decide_push(fi, Rule::LImpImp, 1, State::ImpImp2, false);
        case State::ImpImp2:
            if (r) return decide_finish(true);
            return decide_backtrack(fi, f.principal + 1);
        case State::Start:
            return;  // unreachable: a frame in Start has no child
    }
}

// ---- pass two: the derivation ----

bool Search::build(const Seq& root) {
    struct Node {
        Seq seq;
        Rule rule;
        uint32_t principal;
        int next;
        int32_t found[2];
        uint32_t entry;  // in built_, or kNone
    };
    std::vector<Node> stack;
    int32_t done = -1;  // the step of the subtree just finished
    // A new entry of `s` in built_, its step still to come (no premise
    // sequent equals its conclusion, so nothing looks the entry up before);
    // kNone past the bound, where a sequent met again is derived anew: the
    // same derivation, only not shared.
    auto reserve = [&](const Seq& s, uint64_t h) -> uint32_t {
        if (built_.words() >= kMaxSharedWords) return kNone;
        return built_.insert(s.goal, antecedents(s), h, kNone);
    };
    // Records the step just made as the derivation of the sequent at
    // `s.begin` of the pool, which it then drops.
    auto finish = [&](const Seq& s, uint32_t entry) {
        if (steps_.size() >= INT32_MAX) throw std::bad_alloc();
        done = static_cast<int32_t>(steps_.size() - 1);
        if (entry != kNone) built_.set(entry, static_cast<uint32_t>(done));
        pool_.resize(s.begin);
    };
    // Finds the step of a sequent the search proves: one built before, a
    // leaf, or a node pushed to be built; false when interrupted.
    auto enter = [&](const Seq& s) -> bool {
        if (!poll(1 + s.end - s.begin)) return false;
        const uint64_t h = SequentTable::hash(s.goal, antecedents(s));
        int64_t known = built_.find(s.goal, antecedents(s), h);
        if (known >= 0 && known != kNone) {
            done = static_cast<int32_t>(known);
            pool_.resize(s.begin);
            return true;
        }
        const uint32_t entry = reserve(s, h);
        Pick p = pick(s);
        if (!p.backtrack) {
            if (premise_count(p.rule) == 0) {
                steps_.push_back(Step{p.rule, 0, {-1, -1}});
                finish(s, entry);
                return true;
            }
            stack.push_back(Node{s, p.rule, p.principal, 0, {-1, -1}, entry});
            return true;
        }
        if (arena_.op(s.goal) == Op::Or) {
            for (Rule r : {Rule::ROr1, Rule::ROr2}) {
                int d = decide(s, r, 0, 0, true);
                if (d < 0) return false;
                if (d) {
                    stack.push_back(Node{s, r, 0, 0, {-1, -1}, entry});
                    return true;
                }
            }
        }
        for (uint32_t i = imp_imp_candidate(s, s.begin); i != kNone; i = imp_imp_candidate(s, i + 1)) {
            int d = decide(s, Rule::LImpImp, 0, i, true);
            if (d > 0) d = decide(s, Rule::LImpImp, 1, i, false);
            if (d < 0) return false;
            if (d) {
                stack.push_back(Node{s, Rule::LImpImp, i, 0, {-1, -1}, entry});
                return true;
            }
        }
        throw std::logic_error("LJT: a sequent the search proves has no derivation");
    };
    if (!enter(root)) return false;
    while (!stack.empty()) {
        Node& n = stack.back();
        if (done >= 0) {
            n.found[n.next++] = done;
            done = -1;
        }
        if (n.next < premise_count(n.rule)) {
            Seq c = premise(n.seq, n.rule, n.next, n.principal);
            if (!enter(c)) return false;
            continue;
        }
        steps_.push_back(Step{n.rule, n.principal - n.seq.begin, {n.found[0], n.found[1]}});
        const Seq s = n.seq;
        const uint32_t entry = n.entry;
        stack.pop_back();
        finish(s, entry);
    }
    return true;
}

Search::Outcome Search::run(const std::vector<FormulaId>& antecedents, FormulaId goal) {
    pool_ = antecedents;
    frames_.clear();
    budgeted_ = kNoFrame;
    steps_.clear();
    built_.clear();
    poll_.reset();
    whole_question_ = true;
    sync_purity();
    setup_tables();
    Seq root{0, static_cast<uint32_t>(pool_.size()), goal};
    frames_.push_back(Frame{copy(root, kNone, {}, goal), State::Start, Rule::RTop, 0, 0, true, true});
    returning_ = false;
    cacheable_ = true;
    int d = decide_loop(0);
    if (d < 0) return Outcome::Interrupted;
    if (d == 0) return Outcome::Unprovable;
    return build(root) ? Outcome::Proved : Outcome::Interrupted;
}

// ---- classical truth tables ----

void Search::setup_tables() {
    uint32_t atoms = 0;
    for (size_t f = 0; f < arena_.size(); ++f)
        if (is_table_atom(arena_.op(static_cast<FormulaId>(f)))) ++atoms;
    exact_ = atoms <= kExactAtoms;
    words_ = exact_ ? std::max<uint32_t>(1, (1u << atoms) / 64) : kSampleWords;
    last_mask_ = exact_ && atoms < 6 ? (uint64_t{1} << (1u << atoms)) - 1 : ~0ull;
    atoms_seen_ = 0;
    tables_.clear();
}

bool Search::sync_tables() {
    if (words_ == 0) return false;
    size_t have = tables_.size() / words_;
    if (have >= arena_.size()) return true;
    if (arena_.size() * words_ > kMaxTableWords) {
        words_ = 0;
        tables_ = {};
        return false;
    }
    tables_.resize(arena_.size() * words_);
    for (size_t f = have; f < arena_.size(); ++f) {
        const FormulaNode& n = arena_[static_cast<FormulaId>(f)];
        uint64_t* t = &tables_[f * words_];
        const uint64_t* a = &tables_[static_cast<size_t>(n.a) * words_];
        const uint64_t* b = &tables_[static_cast<size_t>(n.b) * words_];
        switch (n.op) {
            case Op::Falsum: std::fill(t, t + words_, 0); break;
            case Op::Verum: std::fill(t, t + words_, ~0ull); break;
            case Op::And:
                for (uint32_t w = 0; w < words_; ++w) t[w] = a[w] & b[w];
                break;
            case Op::Or:
                for (uint32_t w = 0; w < words_; ++w) t[w] = a[w] | b[w];
                break;
            case Op::Implies:
                for (uint32_t w = 0; w < words_; ++w) t[w] = ~a[w] | b[w];
                break;
            default: {
                // Every other formula is an atom of its own to the tables;
                // atom i is bit i of the valuation's number.
                uint32_t i = atoms_seen_++;
                uint64_t seed = 0x5EED0000ull + i;
                for (uint32_t w = 0; w < words_; ++w) {
                    if (!exact_) {
                        t[w] = splitmix(seed);
                    } else if (i < 6) {
                        uint64_t run = (uint64_t{1} << (1u << i)) - 1;  // 2^i ones
                        uint64_t pattern = 0;
                        for (uint32_t j = 0; j < 64; j += 2u << i) pattern |= run << ((1u << i) + j);
                        t[w] = pattern;
                    } else {
                        t[w] = (w >> (i - 6)) & 1 ? ~0ull : 0;
                    }
                }
            }
        }
    }
    return true;
}

bool Search::classically_refuted(const Seq& s) {
    if (!sync_tables()) return false;
    poll(static_cast<uint64_t>(words_) * (1 + s.end - s.begin));
    const uint64_t* g = &tables_[static_cast<size_t>(s.goal) * words_];
    for (uint32_t w = 0; w < words_; ++w) {
        uint64_t acc = ~g[w];
        for (uint32_t i = s.begin; i < s.end && acc; ++i) acc &= tables_[static_cast<size_t>(pool_[i]) * words_ + w];
        if (w == words_ - 1) acc &= last_mask_;
        if (acc) return true;
    }
    return false;
}

// ---- answers of pass one ----

void Search::make_key(const Seq& s) {
    key_.clear();
    const bool by_set = pure(s);
    key_.push_back(s.goal);
    key_.push_back(by_set ? 0 : 1);
    key_.insert(key_.end(), pool_.begin() + s.begin, pool_.begin() + s.end);
    if (by_set) {
        std::sort(key_.begin() + 2, key_.end());
        key_.erase(std::unique(key_.begin() + 2, key_.end()), key_.end());
    }
    poll(key_.size());
    key_hash_ = SequentTable::hash(key_[0], key_rest());
}

int Search::lookup(const Seq& s) {
    if (answers_.entries() == 0) return -1;
    make_key(s);
    int64_t v = answers_.find(key_[0], key_rest(), key_hash_);
    return v < 0 ? -1 : static_cast<int>(v);
}

void Search::remember(const Seq& s, bool proved) {
    make_key(s);
    if (answers_.words() + key_.size() > kMaxKeyWords || answers_.entries() >= kMaxEntries) answers_.clear();
    answers_.insert(key_[0], key_rest(), key_hash_, proved ? 1 : 0);
}

}  // namespace quorvel::ljt
