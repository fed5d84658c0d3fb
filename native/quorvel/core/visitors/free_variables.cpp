// FreeVariableCollector.
//
// The walk adds each variable occurrence to one result set unless a
// quantifier around it binds an equal variable, instead of building a set at
// every node; the binders around are a stack, filtered by hash. A node with more than one holder is walked once per call
// and scope: met again under the same binders it adds nothing new.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "quorvel/core/visitors/nodes.h"
#include "quorvel/support/flat_map.h"
#include "quorvel/support/prefetch.h"
#include "quorvel/support/spare.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/ref.h"

namespace quorvel::visitors {

using py::Ref;

namespace {

constexpr unsigned kSignalInterval = 4096;

// ---------------------------------------------------------------------------
// Name dispatch

PyObject* visit_field(PyObject* self, PyObject* node, Field f) {
    Ref child(field(node, f));
    return child ? call_visit(self, child.get()) : nullptr;
}

PyObject* fv_variable(PyObject*, PyObject* node) {
    Ref set(PySet_New(nullptr));
    if (!set || PySet_Add(set.get(), node) < 0) return nullptr;
    return set.release();
}

PyObject* fv_constant(PyObject*, PyObject*) { return PySet_New(nullptr); }

// Every member of `part` added to `into`.
bool add_members(PyObject* into, PyObject* part) {
    if (PyAnySet_Check(part)) {
        PyObject* r = PyNumber_InPlaceOr(into, part);
        Py_XDECREF(r);
        return r != nullptr;
    }
    Ref r(PyObject_CallMethodObjArgs(into, state().s_update, part, nullptr));
    return static_cast<bool>(r);
}

PyObject* fv_app(PyObject* self, PyObject* node) {
    Ref res(PySet_New(nullptr));
    if (!res) return nullptr;
    Ref args(field(node, Field::Args));
    if (!args) return nullptr;
    Ref items(args_tuple(args.get()));
    if (!items) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        Ref part(call_visit(self, PyTuple_GET_ITEM(items.get(), i)));
        if (!part || !add_members(res.get(), part.get())) return nullptr;
    }
    return res.release();
}

PyObject* fv_union(PyObject* self, PyObject* node) {
    Ref l(visit_field(self, node, Field::Left));
    if (!l) return nullptr;
    Ref r(visit_field(self, node, Field::Right));
    if (!r) return nullptr;
    return PyNumber_Or(l.get(), r.get());
}

PyObject* fv_not(PyObject* self, PyObject* node) { return visit_field(self, node, Field::Operand); }

PyObject* fv_first_order(PyObject* self, PyObject* node) {
    Ref body(visit_field(self, node, Field::Body));
    if (!body) return nullptr;
    Ref var(field(node, Field::Variable));
    if (!var) return nullptr;
    Ref bound(PySet_New(nullptr));
    if (!bound || PySet_Add(bound.get(), var.get()) < 0) return nullptr;
    return PyNumber_Subtract(body.get(), bound.get());
}

PyObject* fv_second_order(PyObject* self, PyObject* node) { return visit_field(self, node, Field::Body); }

// ---------------------------------------------------------------------------
// Native walk

// The walk goes last child first, as the measures do (measure.cpp).
// The set is the same, but the order of its members is that of their first
// occurrences in the visitor's order, which are the last ones of the
// reversed walk: that walk keeps each free variable's last occurrence and
// adds them by falling position at the end. It gives up (`gave_up`, no error
// set), and the walk is made again in order, where the order of other code
// or of the first error could differ: at a variable without a key (whose
// hash and comparison may run other code), a bad node, an argument sequence
// that is no tuple, and a node met again, whose occurrences come earlier in
// the visitor's order than the ones the walk kept.
template <bool Reverse>
class FreeWalk {
public:
    FreeWalk() : seen_(Key{nullptr, 0}) {}

    bool gave_up = false;

    PyObject* run(PyObject* root) {
        result_ = Ref(PySet_New(nullptr));
        if (!result_) return nullptr;
        work_.push_back(Item{root, false});
        while (!work_.empty()) {
            Item it = work_.back();
            work_.pop_back();
            if (it.leave ? !leave(it.node) : !visit(it.node)) return nullptr;
        }
        if constexpr (Reverse) {
            if (!add_last_occurrences()) return nullptr;
        }
        return result_.release();
    }

private:
    struct Item {
        PyObject* node;
        bool leave;  // the end of a quantifier's scope
    };
    struct Key {
        PyObject* node;
        uint64_t scope;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        size_t operator()(const Key& k) const {
            return static_cast<size_t>(mix64(reinterpret_cast<uintptr_t>(k.node) ^ (k.scope * 0x9e3779b97f4a7c15ull)));
        }
    };

    bool give_up() {
        gave_up = true;
        return false;
    }

    // How many binders around have variable key `key`.
    uint32_t binders_with(uint64_t key) const {
        if (key < kSmallKeys) return small_binders_[key];
        const uint32_t* n = binder_keys_.find(key);
        return n ? *n : 0;
    }
    uint32_t& binder_count(uint64_t key) {
        return key < kSmallKeys ? small_binders_[key] : *binder_keys_.insert(key, 0).first;
    }

    // The reversed walk's add: keyed variables under keyed binders only.
    bool note(PyObject* var) {
        uint64_t key = variable_key(var);
        if (key == kNoVariableKey) return give_up();
        if (plain_binders_ && binders_with(key)) return true;
        Occurrence here{occurrences_++, var};
        if (key < kSmallKeys) {
            small_last_[key] = here;
            small_noted_ |= uint64_t{1} << key;
            return true;
        }
        auto [last, fresh] = last_.insert(key, here);
        if (!fresh) *last = here;
        return true;
    }

    bool add_last_occurrences() {
        std::vector<Occurrence> found;
        found.reserve(last_.size() + static_cast<size_t>(__builtin_popcountll(small_noted_)));
        for (uint64_t m = small_noted_; m; m &= m - 1) found.push_back(small_last_[__builtin_ctzll(m)]);
        last_.for_each([&](uint64_t, const Occurrence& o) { found.push_back(o); });
        std::sort(found.begin(), found.end(), [](const Occurrence& a, const Occurrence& b) { return a.at > b.at; });
        for (const Occurrence& o : found)
            if (PySet_Add(result_.get(), o.var) < 0) return false;
        return true;
    }

    // Adds a variable unless a quantifier around it binds an equal one.
    bool add(PyObject* var) {
        if constexpr (Reverse) return note(var);
        // A keyed variable under keyed binders only is decided natively:
        // bound when a binder has its key, and added to the set only the
        // first time, the later adds changing nothing.
        if (plain_binders_ == binders_.size()) {
            uint64_t key = variable_key(var);
            if (key != kNoVariableKey) {
                if (plain_binders_ && binders_with(key)) return true;
                if (!added_.insert(key, true).second) return true;
                return PySet_Add(result_.get(), var) == 0;
            }
        }
        if (!binders_.empty()) {
            if (!hash_binders()) return false;
            Py_hash_t h = PyObject_Hash(var);
            if (h == -1) return false;
            const uint32_t* n = binder_hashes_.find(h);
            if (n && *n)
                for (size_t i = binders_.size(); i-- > 0;) {
                    if (binders_[i].hash != h) continue;
                    int eq = PyObject_RichCompareBool(binders_[i].var, var, Py_EQ);
                    if (eq) return eq > 0;
                }
        }
        return PySet_Add(result_.get(), var) == 0;
    }

    // A keyed binder's hash (which cannot fail) is taken only when a
    // variable without a key is first met in its scope.
    bool enter(PyObject* var) {
        uint64_t key = variable_key(var);
        if (Reverse && key == kNoVariableKey) return give_up();
        if (key != kNoVariableKey) {
            unhashed_.push_back(binders_.size());
            binders_.push_back(Binder{var, -1, key});
            ++plain_binders_;
            ++binder_count(key);
        } else {
            Py_hash_t h = PyObject_Hash(var);
            if (h == -1) return false;
            binders_.push_back(Binder{var, h, key});
            ++*binder_hashes_.insert(h, 0).first;
        }
        scopes_.push_back(++scope_count_);
        return true;
    }

    bool hash_binders() {
        for (size_t i : unhashed_) {
            Binder& b = binders_[i];
            b.hash = PyObject_Hash(b.var);
            if (b.hash == -1) return false;
            ++*binder_hashes_.insert(b.hash, 0).first;
        }
        unhashed_.clear();
        return true;
    }

    bool leave(PyObject*) {
        const Binder& b = binders_.back();
        if (b.hash == -1) {
            unhashed_.pop_back();  // the last one pushed
        } else {
            --*binder_hashes_.find(b.hash);
        }
        if (b.key != kNoVariableKey) {
            --plain_binders_;
            --binder_count(b.key);
        }
        binders_.pop_back();
        scopes_.pop_back();
        return true;
    }

    // A compound node already walked under the same binders adds nothing.
    bool seen_before(PyObject* o) {
        if (Py_REFCNT(o) <= 1) return false;
        return !seen_.insert(Key{o, scopes_.empty() ? 0 : scopes_.back()}, true).second;
    }

    // Stacks the children of a term or atom. Plain leaves that would be
    // visited next anyway (the leading ones, or in a reversed walk the
    // trailing ones) are taken here, in the walk's order, without the trip
    // through the stack.
    bool expand(PyObject* const* kids, Py_ssize_t n) {
        if constexpr (Reverse) {
            Py_ssize_t end = n;
            for (; end > 0 && plain_leaf(kids[end - 1]); --end)
                if (exact_kind(kids[end - 1]) == Kind::Variable && !add(kids[end - 1])) return false;
            for (Py_ssize_t i = 0; i < end; ++i) work_.push_back(Item{kids[i], false});
        } else {
            Py_ssize_t first = 0;
            for (; first < n && plain_leaf(kids[first]); ++first)
                if (exact_kind(kids[first]) == Kind::Variable && !add(kids[first])) return false;
            for (Py_ssize_t i = n; i-- > first;) work_.push_back(Item{kids[i], false});
        }
        return true;
    }

    bool push_args(PyObject* args) {
        if (Reverse && !PyTuple_Check(args)) return give_up();
        PyObject* const* items;
        Py_ssize_t n;
        return argument_items(args, items, n, held_) && expand(items, n);
    }

    bool visit(PyObject* o) {
        if (++steps_ % kSignalInterval == 0 && PyErr_CheckSignals() < 0) return false;
        if (Reverse) prefetch_below(o);
        Kind k = exact_kind(o);
        switch (k) {
            case Kind::None: return Reverse ? give_up() : (unsupported(o), false);
            case Kind::Variable: return add(o);
            case Kind::Constant: return true;
            default: break;
        }
        if (seen_before(o)) return Reverse ? give_up() : true;
        switch (k) {
            case Kind::FunctionApp: return push_args(ast::as_function_app(o)->args);
            case Kind::PredicateApp: return push_args(ast::as_predicate_app(o)->args);
            case Kind::Equality: return expand(&ast::as_equality(o)->left, 2);  // left, right
            case Kind::Not: work_.push_back(Item{ast::as_unary(o)->operand, false}); return true;
            case Kind::Forall:
            case Kind::Exists:
                if (!enter(ast::as_quantifier(o)->variable)) return false;
                work_.push_back(Item{o, true});
                work_.push_back(Item{ast::as_quantifier(o)->body, false});
                return true;
            default:
                if (ast::is_binary(k)) {
                    PyObject* first = ast::as_binary(o)->left;
                    PyObject* second = ast::as_binary(o)->right;
                    if (Reverse) std::swap(first, second);
                    work_.push_back(Item{second, false});
                    work_.push_back(Item{first, false});
                } else {
                    work_.push_back(Item{ast::as_quantifier(o)->body, false});
                }
                return true;
        }
    }

    struct Binder {
        PyObject* var;
        Py_hash_t hash;
        uint64_t key;  // variable_key, or kNoVariableKey
    };
    std::vector<size_t> unhashed_;  // binders whose hash is not in binder_hashes_, innermost last
    SpareLease<size_t> unhashed_lease_{unhashed_};
    struct HashOf {
        size_t operator()(Py_hash_t h) const { return static_cast<size_t>(mix64(static_cast<uint64_t>(h))); }
    };

    Ref result_;
    std::vector<Binder> binders_;  // the variables of the quantifiers around
    SpareLease<Binder> binders_lease_{binders_};
    FlatMap<Py_hash_t, uint32_t, HashOf> binder_hashes_{-1};  // hash -> binders of that hash; -1 is no hash
    size_t plain_binders_ = 0;  // binders with a key
    // Keys below kSmallKeys (ids below 16) are counted and noted in place.
    static constexpr uint64_t kSmallKeys = 64;
    FlatMap<uint64_t, uint32_t, VariableKeyHash> binder_keys_{kNoVariableKey};  // key -> binders with it
    uint32_t small_binders_[kSmallKeys] = {};
    FlatMap<uint64_t, bool, VariableKeyHash> added_{kNoVariableKey};  // keys of variables in the result
    struct Occurrence {
        uint64_t at;  // place in the reversed walk
        PyObject* var;
    };
    FlatMap<uint64_t, Occurrence, VariableKeyHash> last_{kNoVariableKey};  // reversed walk: key -> last free occurrence
    Occurrence small_last_[kSmallKeys];  // the same for small keys, where small_noted_ has their bit
    uint64_t small_noted_ = 0;
    uint64_t occurrences_ = 0;
    std::vector<uint64_t> scopes_;
    SpareLease<uint64_t> scopes_lease_{scopes_};
    uint64_t scope_count_ = 0;
    std::vector<Item> work_;
    SpareLease<Item> work_lease_{work_};
    std::vector<Ref> held_;
    FlatMap<Key, bool, KeyHash> seen_;
    unsigned steps_ = 0;
};

}  // namespace

PyObject* walk_free_variables(PyObject* node) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        FreeWalk<true> reversed;
        if (PyObject* r = reversed.run(node)) return r;
        return reversed.gave_up ? FreeWalk<false>().run(node) : nullptr;
    });
}

PyObject* collect_free_variables(PyObject* node) {
    int walks = class_walks(Visitor::FreeVariables);
    if (walks < 0) return nullptr;
    if (walks) return walk_free_variables(node);
    Ref collector(PyObject_CallNoArgs(state().classes[static_cast<int>(Visitor::FreeVariables)]));
    return collector ? call_visit(collector.get(), node) : nullptr;
}

const Method kFreeVariableMethods[kNodeKinds] = {
    fv_variable,     fv_constant,     fv_app,          fv_app,         fv_union,       fv_not,
    fv_union,        fv_union,        fv_union,        fv_union,       fv_first_order, fv_first_order,
    fv_second_order, fv_second_order, fv_second_order, fv_second_order,
};

}  // namespace quorvel::visitors
