// SubstitutionTransformer: replaces variables by terms, renaming first-order
// binders (and function-variable binders) that would capture a replacement.
//
// The native walk keeps one context per mapping met: the caller's, each
// mapping less a bound key, each one-entry renaming. A context computes the
// free variables of its replacement terms once (and counts, per variable,
// how many entries hold it), so the capture test at a quantifier is a
// lookup; the free variables of one replacement object are computed once
// per call.
#include <memory>
#include <vector>

#include "quorvel/core/visitors/function_binders.h"
#include "quorvel/core/visitors/nodes.h"
#include "quorvel/support/flat_map.h"
#include "quorvel/support/py/args.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/ref.h"
#include "quorvel/support/spare.h"

namespace quorvel::visitors {

using py::Ref;

namespace {

constexpr unsigned kSignalInterval = 4096;

PyObject* new_variable_like(PyObject* bound, PyObject* id) {
    Ref sort, kind;
    if (exact_kind(bound) == Kind::Variable) {
        sort = Ref::borrow(ast::as_variable(bound)->term.sort);
        kind = Ref::borrow(ast::as_variable(bound)->var_kind);
    } else {
        sort = Ref(PyObject_GetAttr(bound, state().s_sort));
        kind = Ref(PyObject_GetAttr(bound, state().s_kind));
        if (!sort || !kind) return nullptr;
    }
    return ast::api().new_variable(node_type(Kind::Variable), id, kind.get(), sort.get());
}

// max(v.id for v in variables) + 1, as Python's max picks it.
PyObject* next_id(PyObject* variables) {
    Ref it(PyObject_GetIter(variables));
    if (!it) return nullptr;
    Ref best;
    while (PyObject* v = PyIter_Next(it.get())) {
        Ref var(v);
        Ref id(exact_kind(v) == Kind::Variable ? Ref::borrow(ast::as_variable(v)->id)
                                               : Ref(PyObject_GetAttr(v, state().s_id)));
        if (!id) return nullptr;
        if (!best) {
            best = id;
            continue;
        }
        int gt = PyObject_RichCompareBool(id.get(), best.get(), Py_GT);
        if (gt < 0) return nullptr;
        if (gt) best = id;
    }
    if (PyErr_Occurred()) return nullptr;
    if (!best) return PyErr_Format(PyExc_ValueError, "max() arg is an empty sequence");
    return PyNumber_Add(best.get(), state().one);
}

bool update(PyObject* set, PyObject* members) {
    PyObject* r = PyNumber_InPlaceOr(set, members);
    Py_XDECREF(r);
    return r != nullptr;
}

// The walk may stand in for a transformer over `mapping`: a dict whose keys
// are all variables, with the collector and the transformer class unchanged.
int walkable_mapping(PyObject* mapping) {
    if (!PyDict_CheckExact(mapping)) return 0;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(mapping, &pos, &key, &value))
        if (exact_kind(key) != Kind::Variable) return 0;
    int a = class_walks(Visitor::FreeVariables);
    if (a <= 0) return a;
    return class_walks(Visitor::Substitution);
}

class Substitution {
public:
    ~Substitution() {
        for (PyObject* r : results_) Py_DECREF(r);
        value_free_.for_each([](const void*, PyObject*& s) { Py_XDECREF(s); });
        memo_.for_each([](const MemoKey&, PyObject*& r) { Py_XDECREF(r); });
    }

    PyObject* run(PyObject* mapping, PyObject* root) {
        if (!new_context(Ref::borrow(mapping))) return nullptr;
        if (!open(root, 0)) return nullptr;
        while (!frames_.empty())
            if (!step()) return nullptr;
        PyObject* r = results_.back();
        results_.pop_back();
        return r;
    }

private:
    struct Entry {
        PyObject* key;    // borrowed from the context's dict
        PyObject* value;
        PyObject* free;   // borrowed from value_free_; Py_None when its walk fails
    };
    struct Context {
        Ref dict;
        bool prepared = false;
        std::vector<Entry> entries;
        Ref counts;   // variable -> number of entries whose value holds it free
        Ref without;  // bound variable -> index of this context less that key
        // The dict by variable_key, read once, when every key has one
        // (equal keys are then equal variables, as the dict compares them).
        enum class Keyed : uint8_t { Unread, Yes, No } keyed = Keyed::Unread;
        FlatMap<uint64_t, PyObject*, VariableKeyHash> by_key{kNoVariableKey};
        bool free_keyed = true;  // once prepared: every replacement's walk succeeded, all its variables keyed
    };
    // A binder's key in a context: the binder tests of a keyed context
    // whose replacements hold keyed variables only compare keyed variables,
    // so their results hold for every binder of that key.
    struct BinderKey {
        uint64_t key;
        uint32_t ctx;
        bool operator==(const BinderKey&) const = default;
    };
    struct BinderKeyHash {
        size_t operator()(const BinderKey& k) const {
            return static_cast<size_t>(mix64(k.key ^ (uint64_t{k.ctx} << 60 | uint64_t{k.ctx} >> 4)));
        }
    };
    struct Frame {
        PyObject* node;
        Kind kind;
        uint32_t ctx;
        uint8_t phase = 0;
        bool shared = false;  // held elsewhere too, seen before any result refers to it
        Py_ssize_t next = 0;
        size_t base = 0;
        Ref kids;   // application arguments
        Ref held;   // a renamed body being substituted
        Ref fresh;  // the binder's new variable
    };
    struct MemoKey {
        PyObject* node;
        uint32_t ctx;
        bool operator==(const MemoKey&) const = default;
    };
    struct MemoHash {
        size_t operator()(const MemoKey& k) const {
            return static_cast<size_t>(mix64(reinterpret_cast<uintptr_t>(k.node) ^ (uint64_t{k.ctx} << 47)));
        }
    };

    bool new_context(Ref dict) {
        auto c = std::make_unique<Context>();
        c->dict = std::move(dict);
        contexts_.push_back(std::move(c));
        return true;
    }

    PyObject* free_of(PyObject* value) {
        if (PyObject** known = value_free_.find(value)) return *known;
        PyObject* set = walk_free_variables(value);
        if (!set) {
            PyErr_Clear();  // raised again where the first quantifier visits it
            set = Py_NewRef(Py_None);
        }
        value_free_.insert(value, set);
        held_.push_back(Ref::borrow(value));
        return set;
    }

    bool prepare(Context& c) {
        if (c.prepared) return true;
        c.counts = Ref(PyDict_New());
        if (!c.counts) return false;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(c.dict.get(), &pos, &key, &value)) {
            PyObject* free = free_of(value);
            c.entries.push_back(Entry{key, value, free});
            if (free == Py_None) {
                c.free_keyed = false;
                continue;
            }
            Ref it(PyObject_GetIter(free));
            if (!it) return false;
            while (PyObject* var = PyIter_Next(it.get())) {
                Ref held(var);
                if (variable_key(var) == kNoVariableKey) c.free_keyed = false;
                PyObject* n = PyDict_GetItemWithError(c.counts.get(), var);
                if (!n && PyErr_Occurred()) return false;
                Ref next(PyLong_FromSsize_t(n ? PyLong_AsSsize_t(n) + 1 : 1));
                if (!next || PyDict_SetItem(c.counts.get(), var, next.get()) < 0) return false;
            }
            if (PyErr_Occurred()) return false;
        }
        c.prepared = true;
        return true;
    }

    // Whether a replacement of a key other than `bound` holds `bound` free:
    // 1, 0, -1. Replacements that are no terms fail here, as a collector
    // visiting them fails.
    int captures(uint32_t ci, PyObject* bound) {
        Context& c = *contexts_[ci];
        if (!prepare(c)) return -1;
        for (const Entry& e : c.entries) {
            if (e.free != Py_None) continue;
            int ne = PyObject_RichCompareBool(e.key, bound, Py_NE);
            if (ne < 0) return -1;
            if (ne) {
                Py_XDECREF(walk_free_variables(e.value));
                if (!PyErr_Occurred()) unsupported(e.value);
                return -1;
            }
        }
        PyObject* n = PyDict_GetItemWithError(c.counts.get(), bound);
        if (!n) return PyErr_Occurred() ? -1 : 0;
        Py_ssize_t holders = PyLong_AsSsize_t(n);
        PyObject* own = PyDict_GetItemWithError(c.dict.get(), bound);
        if (!own && PyErr_Occurred()) return -1;
        if (own) {
            PyObject* free = free_of(own);
            int has = free == Py_None ? 0 : PySet_Contains(free, bound);
            if (has < 0) return -1;
            holders -= has;
        }
        return holders > 0;
    }

    // The new variable for `bound`: one above every id among the body's free
    // variables, the other replacements' free variables and the keys.
    PyObject* fresh_for(uint32_t ci, PyObject* bound, PyObject* body) {
        Context& c = *contexts_[ci];
        Ref all(walk_free_variables(body));
        if (!all) return nullptr;
        for (const Entry& e : c.entries) {
            int ne = PyObject_RichCompareBool(e.key, bound, Py_NE);
            if (ne < 0) return nullptr;
            if (ne && !update(all.get(), e.free)) return nullptr;
            if (PySet_Add(all.get(), e.key) < 0) return nullptr;
        }
        Ref id(next_id(all.get()));
        return id ? new_variable_like(bound, id.get()) : nullptr;
    }

    // The key of `bound` when the binder tests in context `ci` may be
    // remembered by it, else kNoVariableKey; false on error.
    bool binder_key(uint32_t ci, PyObject* bound, uint64_t& out) {
        out = kNoVariableKey;
        uint64_t key = variable_key(bound);
        if (key == kNoVariableKey) return true;
        Context& c = *contexts_[ci];
        if (!by_keys(c)) return true;
        if (!prepare(c)) return false;
        if (c.free_keyed) out = key;
        return true;
    }

    int remembered_captures(uint32_t ci, PyObject* bound, uint64_t key) {
        if (key == kNoVariableKey) return captures(ci, bound);
        if (const int8_t* known = captures_.find(BinderKey{key, ci})) return *known;
        int r = captures(ci, bound);
        if (r >= 0) captures_.insert(BinderKey{key, ci}, static_cast<int8_t>(r));
        return r;
    }

    int64_t remembered_without(uint32_t ci, PyObject* bound, uint64_t key) {
        if (key == kNoVariableKey) return without(ci, bound);
        if (const int64_t* known = without_.find(BinderKey{key, ci})) return *known;
        int64_t r = without(ci, bound);
        if (r >= 0) without_.insert(BinderKey{key, ci}, r);
        return r;
    }

    // The context of `ci` less the key `bound` (itself when no key is bound).
    int64_t without(uint32_t ci, PyObject* bound) {
        Context* c = contexts_[ci].get();
        int has = PyDict_Contains(c->dict.get(), bound);
        if (has <= 0) return has < 0 ? -1 : ci;
        if (!c->without && !(c->without = Ref(PyDict_New()))) return -1;
        PyObject* known = PyDict_GetItemWithError(c->without.get(), bound);
        if (known) return PyLong_AsLong(known);
        if (PyErr_Occurred()) return -1;
        Ref inner(PyDict_New());
        if (!inner) return -1;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(c->dict.get(), &pos, &key, &value)) {
            int ne = PyObject_RichCompareBool(key, bound, Py_NE);
            if (ne < 0) return -1;
            if (ne && PyDict_SetItem(inner.get(), key, value) < 0) return -1;
        }
        auto index = static_cast<uint32_t>(contexts_.size());
        Ref number(PyLong_FromUnsignedLong(index));
        if (!number || PyDict_SetItem(c->without.get(), bound, number.get()) < 0) return -1;
        new_context(std::move(inner));
        return index;
    }

    void push_result(PyObject* owned) { results_.push_back(owned); }

    // Whether every key of `c` has a variable key (read once, on first use).
    static bool by_keys(Context& c) {
        if (c.keyed == Context::Keyed::Unread) read_keys(c);
        return c.keyed == Context::Keyed::Yes;
    }

    static void read_keys(Context& c) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(c.dict.get(), &pos, &key, &value)) {
            uint64_t k = variable_key(key);
            if (k == kNoVariableKey) {
                c.keyed = Context::Keyed::No;
                return;
            }
            c.by_key.insert(k, value);
        }
        c.keyed = Context::Keyed::Yes;
    }

    // Whether context `ci` is read by key and has no entries.
    bool no_keys(uint32_t ci) {
        Context& c = *contexts_[ci];
        return by_keys(c) && c.by_key.size() == 0;
    }

    bool open(PyObject* o, uint32_t ci) {
        if (++steps_ % kSignalInterval == 0 && PyErr_CheckSignals() < 0) return false;
        Kind k = exact_kind(o);
        if (k == Kind::None) return unsupported(o), false;
        if (k == Kind::Variable) {
            Context& c = *contexts_[ci];
            if (by_keys(c)) {
                uint64_t key = variable_key(o);
                if (key != kNoVariableKey) {
                    PyObject* const* v = c.by_key.find(key);
                    push_result(Py_NewRef(v ? *v : o));
                    return true;
                }
            }
            PyObject* v = PyDict_GetItemWithError(c.dict.get(), o);
            if (!v && PyErr_Occurred()) return false;
            push_result(Py_NewRef(v ? v : o));
            return true;
        }
        if (k == Kind::Constant) {
            push_result(Py_NewRef(o));
            return true;
        }
        if (ast::as_node(o)->subtree & ast::kPlainQuantifierFree && no_keys(ci)) {
            // Nothing in it to replace and no quantifier to rebuild.
            push_result(Py_NewRef(o));
            return true;
        }
        bool shared = Py_REFCNT(o) > 1;
        bool touched = false;
        bool plain = k <= Kind::Equality && plain_atom(o, k, ci, touched);
        if (plain && !touched) {
            // Shared or not, its walk gives the node itself back.
            push_result(Py_NewRef(o));
            return true;
        }
        if (shared) {
            if (PyObject** known = memo_.find(MemoKey{o, ci})) {
                push_result(Py_NewRef(*known));
                return true;
            }
        } else if (plain) {
            return substitute_atom(o, k, ci);
        }
        // Bring the children in while the frame is set up.
        if (ast::is_binary(k)) {
            __builtin_prefetch(ast::as_binary(o)->left);
            __builtin_prefetch(ast::as_binary(o)->right);
        } else if (k == Kind::Not) {
            __builtin_prefetch(ast::as_unary(o)->operand);
        } else if (ast::is_quantifier(k)) {
            __builtin_prefetch(ast::as_quantifier(o)->variable);
            __builtin_prefetch(ast::as_quantifier(o)->body);
        }
        Frame f{o, k, ci};
        f.shared = shared;
        f.base = results_.size();
        if (k == Kind::FunctionApp || k == Kind::PredicateApp) {
            f.kids = Ref(args_tuple(k == Kind::FunctionApp ? ast::as_function_app(o)->args
                                                           : ast::as_predicate_app(o)->args));
            if (!f.kids) return false;
        }
        frames_.push_back(std::move(f));
        return true;
    }

    // Applications and equations held once, over variables and constants
    // and applications of those held once, in a keyed context whose keys
    // are met by key only: the walk of such a term or atom runs no user code
    // and meets no shared node, so it is done here without frames, in the
    // same order and with the same rebuilds.
    // The children of a term or atom, in place; false for arguments that
    // are no tuple.
    static bool term_kids(PyObject* o, Kind k, PyObject* const*& kids, Py_ssize_t& n) {
        if (k == Kind::Equality) {
            n = 2;
            kids = &ast::as_equality(o)->left;
            return true;
        }
        PyObject* args = k == Kind::FunctionApp ? ast::as_function_app(o)->args : ast::as_predicate_app(o)->args;
        if (!PyTuple_CheckExact(args)) return false;
        n = PyTuple_GET_SIZE(args);
        kids = &PyTuple_GET_ITEM(args, 0);
        return true;
    }

    // Also sets `touched` when a variable of the term or atom is a key of
    // the context; when none is, its walk rebuilds nothing and gives `o`
    // back, so it is not walked.
    bool plain_atom(PyObject* o, Kind k, uint32_t ci, bool& touched) {
        Context& c = *contexts_[ci];
        if (!by_keys(c)) return false;
        PyObject* const* kids;
        Py_ssize_t n;
        if (!term_kids(o, k, kids, n)) return false;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* a = kids[i];
            Kind ak = exact_kind(a);
            if (ak == Kind::Constant) continue;
            if (ak == Kind::Variable) {
                uint64_t key = variable_key(a);
                if (key == kNoVariableKey) return false;
                touched = touched || c.by_key.find(key);
                continue;
            }
            if (ak != Kind::FunctionApp || Py_REFCNT(a) > 1) return false;
            PyObject* const* inner;
            Py_ssize_t m;
            if (!term_kids(a, ak, inner, m)) return false;
            for (Py_ssize_t j = 0; j < m; ++j) {
                Kind bk = exact_kind(inner[j]);
                if (bk == Kind::Constant) continue;
                uint64_t key = bk == Kind::Variable ? variable_key(inner[j]) : kNoVariableKey;
                if (key == kNoVariableKey) return false;
                touched = touched || c.by_key.find(key);
            }
        }
        return true;
    }

    // The result of a leaf of a plain atom, pushed.
    bool substitute_leaf(PyObject* a, const Context& c) {
        if (++steps_ % kSignalInterval == 0 && PyErr_CheckSignals() < 0) return false;
        if (exact_kind(a) == Kind::Variable) {
            PyObject* const* v = c.by_key.find(variable_key(a));
            push_result(Py_NewRef(v ? *v : a));
        } else {
            push_result(Py_NewRef(a));
        }
        return true;
    }

    // Rebuilds `o` from the results above `base`, which it replaces.
    bool rebuild_top(PyObject* o, Kind k, PyObject* const* olds, size_t base, Py_ssize_t n) {
        Kept kept;
        if (k == Kind::FunctionApp) {
            kept.symbol = ast::as_function_app(o)->func;
            kept.arity = ast::as_function_app(o)->arity;
            kept.return_sort = ast::as_function_app(o)->return_sort;
        } else if (k == Kind::PredicateApp) {
            kept.symbol = ast::as_predicate_app(o)->pred;
            kept.arity = ast::as_predicate_app(o)->arity;
        }
        PyObject* r = rebuild(k, o, kept, olds, results_.data() + base, n);
        if (!r) return false;
        for (size_t i = base; i < results_.size(); ++i) Py_DECREF(results_[i]);
        results_.resize(base);
        push_result(r);
        return true;
    }

    bool substitute_atom(PyObject* o, Kind k, uint32_t ci) {
        const Context& c = *contexts_[ci];
        PyObject* const* kids;
        Py_ssize_t n;
        term_kids(o, k, kids, n);  // a tuple: plain_atom saw to it
        size_t base = results_.size();
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* a = kids[i];
            if (exact_kind(a) != Kind::FunctionApp) {
                if (!substitute_leaf(a, c)) return false;
                continue;
            }
            if (++steps_ % kSignalInterval == 0 && PyErr_CheckSignals() < 0) return false;
            PyObject* const* inner;
            Py_ssize_t m;
            term_kids(a, Kind::FunctionApp, inner, m);
            size_t inner_base = results_.size();
            for (Py_ssize_t j = 0; j < m; ++j)
                if (!substitute_leaf(inner[j], c)) return false;
            if (!rebuild_top(a, Kind::FunctionApp, inner, inner_base, m)) return false;
        }
        return rebuild_top(o, k, kids, base, n);
    }

    // Ends the top frame with `owned` (NULL on error).
    bool finish(PyObject* owned) {
        if (!owned) return false;
        Frame& f = frames_.back();
        for (size_t i = f.base; i < results_.size(); ++i) Py_DECREF(results_[i]);
        results_.resize(f.base);
        if (f.shared) {
            auto [slot, fresh] = memo_.insert(MemoKey{f.node, f.ctx}, nullptr);
            if (fresh) {
                *slot = Py_NewRef(owned);
                held_.push_back(Ref::borrow(f.node));
            }
        }
        frames_.pop_back();
        push_result(owned);
        return true;
    }

    PyObject* last() { return results_.back(); }

    bool step() {
        size_t top = frames_.size() - 1;
        Frame& f = frames_[top];
        PyObject* o = f.node;
        Kind k = f.kind;
        switch (k) {
            case Kind::FunctionApp:
            case Kind::PredicateApp: {
                Py_ssize_t n = PyTuple_GET_SIZE(f.kids.get());
                if (f.next < n) return open(PyTuple_GET_ITEM(f.kids.get(), f.next++), f.ctx);
                Kept kept;
                if (k == Kind::FunctionApp) {
                    kept.symbol = ast::as_function_app(o)->func;
                    kept.arity = ast::as_function_app(o)->arity;
                    kept.return_sort = ast::as_function_app(o)->return_sort;
                } else {
                    kept.symbol = ast::as_predicate_app(o)->pred;
                    kept.arity = ast::as_predicate_app(o)->arity;
                }
                PyObject** olds = &PyTuple_GET_ITEM(f.kids.get(), 0);
                return finish(rebuild(k, o, kept, olds, results_.data() + f.base, n));
            }
            case Kind::Equality:
            case Kind::And:
            case Kind::Or:
            case Kind::Implies:
            case Kind::Iff: {
                PyObject* olds[2];
                if (k == Kind::Equality) {
                    olds[0] = ast::as_equality(o)->left;
                    olds[1] = ast::as_equality(o)->right;
                } else {
                    olds[0] = ast::as_binary(o)->left;
                    olds[1] = ast::as_binary(o)->right;
                }
                if (f.next < 2) return open(olds[f.next++], f.ctx);
                return finish(rebuild(k, o, Kept{}, olds, results_.data() + f.base, 2));
            }
            case Kind::Not: {
                PyObject* old = ast::as_unary(o)->operand;
                if (f.next < 1) {
                    ++f.next;
                    return open(old, f.ctx);
                }
                return finish(rebuild(k, o, Kept{}, &old, results_.data() + f.base, 1));
            }
            case Kind::Forall:
            case Kind::Exists: return quantifier_step(top);
            default: return second_order_step(top);
        }
    }

    bool quantifier_step(size_t top) {
        Frame& f = frames_[top];
        auto* q = ast::as_quantifier(f.node);
        switch (f.phase) {
            case 0: {
                if (no_keys(f.ctx) && exact_kind(q->variable) != Kind::None &&
                    ast::as_node(q->variable)->subtree & ast::kPlainQuantifierFree) {
                    // No entry to test for capture or to drop: the capture
                    // test would only hash the binder, whose hash is kept.
                    frames_[top].phase = 1;
                    return open(q->body, f.ctx);
                }
                uint64_t key;
                if (!binder_key(f.ctx, q->variable, key)) return false;
                int capture = remembered_captures(f.ctx, q->variable, key);
                if (capture < 0) return false;
                if (!capture) {
                    int64_t inner = remembered_without(f.ctx, q->variable, key);
                    if (inner < 0) return false;
                    frames_[top].phase = 1;
                    return open(q->body, static_cast<uint32_t>(inner));
                }
                Ref fresh(fresh_for(f.ctx, q->variable, q->body));
                if (!fresh) return false;
                Ref renaming(PyDict_New());
                if (!renaming || PyDict_SetItem(renaming.get(), q->variable, fresh.get()) < 0) return false;
                auto ri = static_cast<uint32_t>(contexts_.size());
                new_context(std::move(renaming));
                Frame& g = frames_[top];
                g.fresh = std::move(fresh);
                g.phase = 2;
                return open(q->body, ri);
            }
            case 1: {
                if (!expect_formula(last())) return false;
                return finish(ast::api().new_quantifier(node_type(f.kind), q->variable, last()));
            }
            case 2: {
                PyObject* renamed = last();
                if (!expect_formula(renamed)) return false;
                f.held = Ref(renamed);
                results_.pop_back();
                f.phase = 3;
                return open(f.held.get(), f.ctx);
            }
            default: {
                if (!expect_formula(last())) return false;
                return finish(ast::api().new_quantifier(node_type(f.kind), f.fresh.get(), last()));
            }
        }
    }

    bool second_order_step(size_t top) {
        Frame& f = frames_[top];
        auto* q = ast::as_quantifier(f.node);
        switch (f.phase) {
            case 0: {
                int capture = 0;
                if (f.kind == Kind::ForallFunc || f.kind == Kind::ExistsFunc) {
                    Ref values(PyDict_Values(contexts_[f.ctx]->dict.get()));
                    if (!values) return false;
                    capture = applied_in(q->variable, values.get());
                    if (capture < 0) return false;
                    if (capture) {
                        PyObject *fresh, *renamed;
                        if (!rename_binder(q->variable, q->body, values.get(), &fresh, &renamed)) return false;
                        Frame& g = frames_[top];
                        g.fresh = Ref(fresh);
                        g.held = Ref(renamed);
                        g.phase = 3;
                        return open(renamed, g.ctx);
                    }
                }
                f.phase = 1;
                return open(q->body, f.ctx);
            }
            case 1: {
                Kept kept;
                kept.variable = q->variable;
                PyObject* old = q->body;
                return finish(rebuild(f.kind, f.node, kept, &old, results_.data() + f.base, 1));
            }
            default: {
                if (!expect_formula(last())) return false;
                return finish(ast::api().new_quantifier(node_type(f.kind), f.fresh.get(), last()));
            }
        }
    }

    std::vector<std::unique_ptr<Context>> contexts_;
    std::vector<Frame> frames_;
    SpareLease<Frame, (size_t{1} << 16) * sizeof(Frame)> frames_lease_{frames_};
    std::vector<PyObject*> results_;  // owned
    IdentityMap<PyObject*> value_free_;
    FlatMap<MemoKey, PyObject*, MemoHash> memo_{MemoKey{nullptr, 0}};
    FlatMap<BinderKey, int8_t, BinderKeyHash> captures_{BinderKey{kNoVariableKey, 0}};
    FlatMap<BinderKey, int64_t, BinderKeyHash> without_{BinderKey{kNoVariableKey, 0}};
    std::vector<Ref> held_;  // memo and cache keys, kept alive for the call
    unsigned steps_ = 0;
};

PyObject* run_substitution(PyObject* mapping, PyObject* node) {
    return py::guard<PyObject*>(nullptr, [&] { return Substitution().run(mapping, node); });
}

PyObject* mapping_of(PyObject* self) { return PyObject_GetAttr(self, state().s_mapping); }

const char* const kInitNames[] = {"mapping"};
const py::Signature kInit{"SubstitutionTransformer.__init__", kInitNames, 1, 1, 0, true};

}  // namespace

PyObject* substitution_init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* mapping = nullptr;
    if (!py::parse_vector(kInit, args, PyVectorcall_NARGS(nargs), kwnames, &mapping)) return nullptr;
    if (PyObject_SetAttr(self, state().s_mapping, mapping) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* walk_substitution(PyObject* self, PyObject* node, bool& declined) {
    Ref mapping(mapping_of(self));
    if (!mapping) {
        PyErr_Clear();
        declined = true;
        return nullptr;
    }
    int ok = walkable_mapping(mapping.get());
    if (ok <= 0) {
        declined = ok == 0;
        return nullptr;
    }
    return run_substitution(mapping.get(), node);
}

PyObject* substitute_with(PyObject* mapping, PyObject* node) {
    int ok = walkable_mapping(mapping);
    if (ok < 0) return nullptr;
    if (ok) return run_substitution(mapping, node);
    PyObject* cls = state().classes[static_cast<int>(Visitor::Substitution)];
    Ref inner(PyObject_CallOneArg(cls, mapping));
    return inner ? call_visit(inner.get(), node) : nullptr;
}

PyObject* substitution_visit_variable(PyObject* self, PyObject* node) {
    Ref mapping(mapping_of(self));
    if (!mapping) return nullptr;
    if (PyDict_CheckExact(mapping.get())) {
        PyObject* v = PyDict_GetItemWithError(mapping.get(), node);
        if (!v && PyErr_Occurred()) return nullptr;
        return Py_NewRef(v ? v : node);
    }
    return PyObject_CallMethodObjArgs(mapping.get(), state().s_get, node, node, nullptr);
}

PyObject* substitution_visit_quantifier(PyObject* self, PyObject* node, Kind k) {
    Ref bound(field(node, Field::Variable));
    if (!bound) return nullptr;
    Ref mapping(mapping_of(self));
    if (!mapping) return nullptr;
    Ref items(PyMapping_Items(mapping.get()));
    if (!items) return nullptr;
    Ref replacement_free(PySet_New(nullptr));
    if (!replacement_free) return nullptr;
    Py_ssize_t n = PyList_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        int ne = PyObject_RichCompareBool(PyTuple_GET_ITEM(item, 0), bound.get(), Py_NE);
        if (ne < 0) return nullptr;
        if (!ne) continue;
        Ref free(collect_free_variables(PyTuple_GET_ITEM(item, 1)));
        if (!free || !update(replacement_free.get(), free.get())) return nullptr;
    }
    int capture = PySet_Contains(replacement_free.get(), bound.get());
    if (capture < 0) return nullptr;
    Ref body(field(node, Field::Body));
    if (!body) return nullptr;
    if (capture) {
        Ref all(collect_free_variables(body.get()));
        if (!all) return nullptr;
        Ref keys(PyMapping_Keys(mapping.get()));
        if (!keys) return nullptr;
        if (!update(all.get(), replacement_free.get())) return nullptr;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i)
            if (PySet_Add(all.get(), PyList_GET_ITEM(keys.get(), i)) < 0) return nullptr;
        Ref id(next_id(all.get()));
        if (!id) return nullptr;
        Ref fresh(new_variable_like(bound.get(), id.get()));
        if (!fresh) return nullptr;
        Ref renaming(PyDict_New());
        if (!renaming || PyDict_SetItem(renaming.get(), bound.get(), fresh.get()) < 0) return nullptr;
        Ref renamed(substitute_with(renaming.get(), body.get()));
        if (!renamed) return nullptr;
        if (!expect_formula(renamed.get())) return nullptr;
        Ref new_body(call_visit(self, renamed.get()));
        if (!new_body) return nullptr;
        if (!expect_formula(new_body.get())) return nullptr;
        return ast::api().new_quantifier(node_type(k), fresh.get(), new_body.get());
    }
    Ref inner(PyDict_New());
    if (!inner) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        int ne = PyObject_RichCompareBool(PyTuple_GET_ITEM(item, 0), bound.get(), Py_NE);
        if (ne < 0) return nullptr;
        if (ne && PyDict_SetItem(inner.get(), PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1)) < 0)
            return nullptr;
    }
    Ref new_body(substitute_with(inner.get(), body.get()));
    if (!new_body) return nullptr;
    if (!expect_formula(new_body.get())) return nullptr;
    return ast::api().new_quantifier(node_type(k), bound.get(), new_body.get());
}

PyObject* substitution_visit_function_quantifier(PyObject* self, PyObject* node, Kind k) {
    Ref binder(field(node, Field::Variable));
    if (!binder) return nullptr;
    Ref mapping(mapping_of(self));
    if (!mapping) return nullptr;
    Ref values(PyMapping_Values(mapping.get()));
    if (!values) return nullptr;
    int capture = applied_in(binder.get(), values.get());
    if (capture < 0) return nullptr;
    if (!capture) return kTransformerMethods[static_cast<int>(k)](self, node);
    Ref body(field(node, Field::Body));
    if (!body) return nullptr;
    PyObject *fresh_raw, *renamed_raw;
    if (!rename_binder(binder.get(), body.get(), values.get(), &fresh_raw, &renamed_raw)) return nullptr;
    Ref fresh(fresh_raw), renamed(renamed_raw);
    Ref new_body(call_visit(self, renamed.get()));
    if (!new_body) return nullptr;
    if (!expect_formula(new_body.get())) return nullptr;
    return ast::api().new_quantifier(node_type(k), fresh.get(), new_body.get());
}

}  // namespace quorvel::visitors
