// Capture-avoiding substitution over terms and formulas.
//
// The walk is iterative (an explicit work stack), so any depth works. A part
// in which nothing changes is returned as the same object, so substituting
// in a large formula allocates only along the paths to replaced variables. A
// node met again under the same bindings (a shared sub-tree) is rebuilt once.
//
// Under a quantifier over v the binding of v is hidden, and when a term that
// would be substituted into the body holds v free, v is renamed to a fresh
// variable first (an id above every id of the formula and of the terms).
#include <cstdint>
#include <vector>

#include "quorvel/core/substitutions/internal.h"
#include "quorvel/support/flat_map.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/ref.h"

namespace quorvel::substitutions {

using ast::Kind;
using py::Ref;

namespace {

bool has_no_free_variables(PyObject* fv) { return fv && PyAnySet_Check(fv) && PySet_GET_SIZE(fv) == 0; }

PyObject* unsupported(PyObject* o) {
    PyErr_Format(PyExc_TypeError, "Unsupported node in substitution: %S", reinterpret_cast<PyObject*>(Py_TYPE(o)));
    return nullptr;
}

class Substituter {
public:
    Substituter(PyObject* root, Bindings& bindings) : root_(root), b_(bindings), memo_(Key{nullptr, 0}) {}

    ~Substituter() {
        for (PyObject* r : results_) Py_DECREF(r);
        memo_.for_each([](const Key&, PyObject*& v) { Py_XDECREF(v); });
        for (PyObject* o : owned_) Py_DECREF(o);
    }

    PyObject* run() {
        work_.reserve(32);
        results_.reserve(32);
        work_.push_back(Item{root_, false});
        while (!work_.empty()) {
            Item it = work_.back();
            work_.pop_back();
            if (++steps_ % 4096 == 0 && PyErr_CheckSignals() < 0) return nullptr;
            if (!(it.exit ? leave(it.node) : enter(it.node))) return nullptr;
        }
        PyObject* r = results_.back();
        results_.pop_back();
        return r;
    }

private:
    struct Item {
        PyObject* node;
        bool exit;
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
    // What entering a quantifier changed, undone when it is left.
    struct Scope {
        uint64_t id;
        Py_ssize_t shadowed;  // entry made inactive, or -1
        bool renamed;         // an entry was pushed (the renaming)
        PyObject* variable;   // the quantifier's variable in the result
    };

    uint64_t scope() const { return scopes_.empty() ? 0 : scopes_.back().id; }

    void push_result(PyObject* owned) { results_.push_back(owned); }

    bool enter(PyObject* o) {
        Kind k = ast::kind_of(o);
        switch (k) {
            case Kind::Variable: {
                Py_ssize_t i = b_.find(o);
                if (i == -2) return false;
                push_result(Py_NewRef(i >= 0 ? b_[i].term : o));
                return true;
            }
            case Kind::Constant:
                push_result(Py_NewRef(o));
                return true;
            case Kind::FunctionApp:
            case Kind::PredicateApp: {
                PyObject* fv = k == Kind::FunctionApp ? ast::as_function_app(o)->free_vars
                                                      : ast::as_predicate_app(o)->free_vars;
                if (has_no_free_variables(fv)) {
                    push_result(Py_NewRef(o));
                    return true;
                }
                if (memo_hit(o)) return true;
                PyObject* args = k == Kind::FunctionApp ? ast::as_function_app(o)->args : ast::as_predicate_app(o)->args;
                Ref items(PySequence_Fast(args, "args must be a sequence"));
                if (!items) return false;
                work_.push_back(Item{o, true});
                Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
                for (Py_ssize_t i = n; i-- > 0;) work_.push_back(Item{PySequence_Fast_GET_ITEM(items.get(), i), false});
                if (items.get() != args) owned_.push_back(items.release());  // keeps list items alive
                return true;
            }
            case Kind::Equality:
                if (has_no_free_variables(ast::as_equality(o)->free_vars)) {
                    push_result(Py_NewRef(o));
                    return true;
                }
                if (memo_hit(o)) return true;
                work_.push_back(Item{o, true});
                work_.push_back(Item{ast::as_equality(o)->right, false});
                work_.push_back(Item{ast::as_equality(o)->left, false});
                return true;
            case Kind::Not:
            case Kind::And:
            case Kind::Or:
            case Kind::Implies:
            case Kind::Iff:
            case Kind::ForallPred:
            case Kind::ExistsPred:
            case Kind::ForallFunc:
            case Kind::ExistsFunc: {
                if (memo_hit(o)) return true;
                work_.push_back(Item{o, true});
                PyObject* kids[2];
                int n = ast::formula_children(o, k, kids);
                for (int i = n; i-- > 0;) work_.push_back(Item{kids[i], false});
                return true;
            }
            case Kind::Forall:
            case Kind::Exists:
                if (memo_hit(o)) return true;
                if (!enter_scope(o)) return false;
                work_.push_back(Item{o, true});
                work_.push_back(Item{ast::as_quantifier(o)->body, false});
                return true;
            default:
                unsupported(o);
                return false;
        }
    }

    bool memo_hit(PyObject* o) {
        if (Py_REFCNT(o) <= 1) return false;
        PyObject** found = memo_.find(Key{o, scope()});
        if (!found) return false;
        push_result(Py_NewRef(*found));
        return true;
    }

    void remember(PyObject* o, PyObject* result) {
        if (Py_REFCNT(o) <= 1) return;
        auto [slot, fresh] = memo_.insert(Key{o, scope()}, nullptr);
        if (fresh) *slot = Py_NewRef(result);
    }

    // Pops `n` results; true when any differs from the original children.
    bool changed_children(PyObject* const* originals, size_t n) const {
        size_t base = results_.size() - n;
        for (size_t i = 0; i < n; ++i)
            if (results_[base + i] != originals[i]) return true;
        return false;
    }

    void drop_results(size_t n) {
        for (size_t i = 0; i < n; ++i) {
            Py_DECREF(results_.back());
            results_.pop_back();
        }
    }

    bool leave(PyObject* o) {
        Kind k = ast::kind_of(o);
        const ast::Api& a = ast::api();
        PyObject* built = nullptr;
        if (ast::is_first_order_quantifier(k)) {
            Scope s = scopes_.back();
            PyObject* body = results_.back();
            bool same = body == ast::as_quantifier(o)->body && s.variable == ast::as_quantifier(o)->variable;
            leave_scope();
            if (same) {
                drop_results(1);
                built = Py_NewRef(o);
            } else {
                built = a.new_quantifier(a.types[static_cast<int>(k)], s.variable, body);
                drop_results(1);
                if (!built) return false;
            }
            Py_DECREF(s.variable);
        } else if (k == Kind::FunctionApp || k == Kind::PredicateApp) {
            PyObject* args = k == Kind::FunctionApp ? ast::as_function_app(o)->args : ast::as_predicate_app(o)->args;
            Ref items(PySequence_Fast(args, "args must be a sequence"));
            if (!items) return false;
            size_t n = static_cast<size_t>(PySequence_Fast_GET_SIZE(items.get()));
            if (!changed_children(PySequence_Fast_ITEMS(items.get()), n)) {
                drop_results(n);
                built = Py_NewRef(o);
            } else {
                PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(n));
                if (!tuple) return false;
                for (size_t i = n; i-- > 0;) {
                    PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), results_.back());
                    results_.pop_back();
                }
                if (k == Kind::FunctionApp) {
                    ast::FunctionAppObject* f = ast::as_function_app(o);
                    built = a.new_function_app(a.types[static_cast<int>(k)], f->func, f->arity, tuple, f->return_sort);
                } else {
                    ast::PredicateAppObject* p = ast::as_predicate_app(o);
                    built = a.new_predicate_app(a.types[static_cast<int>(k)], p->pred, p->arity, tuple);
                }
                Py_DECREF(tuple);
                if (!built) return false;
            }
        } else {
            PyObject* kids[2];
            int n = k == Kind::Equality ? 2 : ast::formula_children(o, k, kids);
            if (k == Kind::Equality) {
                kids[0] = ast::as_equality(o)->left;
                kids[1] = ast::as_equality(o)->right;
            }
            if (!changed_children(kids, static_cast<size_t>(n))) {
                drop_results(static_cast<size_t>(n));
                built = Py_NewRef(o);
            } else {
                PyTypeObject* type = a.types[static_cast<int>(k)];
                size_t base = results_.size() - static_cast<size_t>(n);
                PyObject** r = results_.data() + base;
                if (k == Kind::Equality) built = a.new_equality(type, r[0], r[1]);
                else if (k == Kind::Not) built = a.new_unary(type, r[0]);
                else if (ast::is_binary(k)) built = a.new_binary(type, r[0], r[1]);
                else built = a.new_quantifier(type, ast::as_quantifier(o)->variable, r[0]);
                drop_results(static_cast<size_t>(n));
                if (!built) return false;
            }
        }
        remember(o, built);
        push_result(built);
        return true;
    }

    // ---- quantifier scopes ----

    bool enter_scope(PyObject* q) {
        PyObject* v = ast::as_quantifier(q)->variable;
        Scope s{scope(), -1, false, Py_NewRef(v)};
        Py_ssize_t i = b_.find(v);
        if (i == -2) return fail_scope(s);
        if (i >= 0) {
            b_[i].active = false;
            s.shadowed = i;
        }
        int capture = captures(v, ast::as_quantifier(q)->body);
        if (capture < 0) {
            restore(s);
            return fail_scope(s);
        }
        if (capture) {
            PyObject* fresh = fresh_variable(v);
            if (!fresh) {
                restore(s);
                return fail_scope(s);
            }
            owned_.push_back(fresh);
            if (!b_.add(v, fresh)) {
                restore(s);
                return fail_scope(s);
            }
            s.renamed = true;
            Py_SETREF(s.variable, Py_NewRef(fresh));
        }
        if (s.shadowed >= 0 || s.renamed) s.id = ++scope_count_;
        scopes_.push_back(s);
        return true;
    }

    bool fail_scope(Scope& s) {
        Py_DECREF(s.variable);
        return false;
    }

    void restore(const Scope& s) {
        if (s.renamed) b_.pop();
        if (s.shadowed >= 0) b_[static_cast<size_t>(s.shadowed)].active = true;
    }

    void leave_scope() {
        restore(scopes_.back());
        scopes_.pop_back();
    }

    // 1 when substituting into `body` under a binder of v would capture v.
    int captures(PyObject* v, PyObject* body) {
        if (!range_vars_) {
            range_vars_ = Ref(PySet_New(nullptr));
            if (!range_vars_) return -1;
            for (size_t i = 0; i < b_.size(); ++i) {
                Ref fv(ast::api().free_variables(b_[i].term));
                if (!fv) return -1;
                Ref merged(PyNumber_InPlaceOr(range_vars_.get(), fv.get()));
                if (!merged) return -1;
            }
        }
        int in_range = PySet_Contains(range_vars_.get(), v);
        if (in_range <= 0) return in_range;
        Ref body_vars(ast::api().free_variables(body));
        if (!body_vars) return -1;
        for (size_t i = 0; i < b_.size(); ++i) {
            const Bindings::Entry& e = b_[i];
            if (!e.active) continue;
            int used = PySet_Contains(body_vars.get(), e.var);
            if (used < 0) return -1;
            if (!used) continue;
            Ref fv(ast::api().free_variables(e.term));
            if (!fv) return -1;
            int holds = PySet_Contains(fv.get(), v);
            if (holds) return holds;
        }
        return 0;
    }

    PyObject* fresh_variable(PyObject* v) {
        if (next_id_ < 0) {
            long long top = -1;
            if (!max_variable_id(root_, top)) return nullptr;
            for (size_t i = 0; i < b_.size(); ++i) {
                long long t = -1;
                if (!max_variable_id(b_[i].term, t)) return nullptr;
                if (t > top) top = t;
                if (!max_variable_id(b_[i].var, t)) return nullptr;
                if (t > top) top = t;
            }
            next_id_ = top + 1;
        }
        Ref id(PyLong_FromLongLong(next_id_++));
        if (!id) return nullptr;
        const ast::Api& a = ast::api();
        ast::VariableObject* x = ast::as_variable(v);
        return a.new_variable(a.types[static_cast<int>(Kind::Variable)], id.get(), x->var_kind, x->term.sort);
    }

    PyObject* root_;
    Bindings& b_;
    std::vector<Item> work_;
    std::vector<PyObject*> results_;   // new references
    std::vector<PyObject*> owned_;     // kept until the walk ends
    std::vector<Scope> scopes_;
    FlatMap<Key, PyObject*, KeyHash> memo_;
    Ref range_vars_;
    uint64_t scope_count_ = 0;
    long long next_id_ = -1;
    uint64_t steps_ = 0;
};

bool check_mapping(PyObject* mapping) {
    if (PyDict_Check(mapping)) return true;
    PyErr_Format(PyExc_TypeError, "substitution must be a dict from Variable to term, got %S",
                 reinterpret_cast<PyObject*>(Py_TYPE(mapping)));
    return false;
}

PyObject* with_dict(PyObject* node, PyObject* mapping) {
    if (!check_mapping(mapping)) return nullptr;
    Bindings b;
    if (!b.fill_from_dict(mapping)) return nullptr;
    return apply(node, b);
}

PyObject* with_pairs(PyObject* node, const Pairs* pairs) {
    Bindings b;
    for (size_t i = 0; i < pairs->n; ++i) {
        if (pairs->hashes) {
            b.add(pairs->vars[i], pairs->terms[i], pairs->hashes[i]);
        } else if (!b.add(pairs->vars[i], pairs->terms[i])) {
            return nullptr;
        }
    }
    return apply(node, b);
}

// Small terms, the common case (atoms of clauses, Skolem terms), are rebuilt
// by a direct descent without the general walk: variables, constants and
// applications of at most kSmallArity arguments, at most kSmallDepth deep.
// The depth bound keeps this descent's stack small whatever the input; a
// larger term goes to the general walk. `fits` is cleared (with no
// exception set) when the term is not small.
constexpr int kSmallDepth = 12;
constexpr Py_ssize_t kSmallArity = 8;

PyObject* small_term(PyObject* t, Bindings& b, int depth, bool& fits) {
    Kind k = ast::exact_kind_of(t);
    if (k == Kind::Variable) {
        Py_ssize_t j = b.find(t);
        if (j == -2) return nullptr;
        return Py_NewRef(j >= 0 ? b[static_cast<size_t>(j)].term : t);
    }
    if (k == Kind::Constant) return Py_NewRef(t);
    if (k != Kind::FunctionApp) {
        fits = false;
        return nullptr;
    }
    ast::FunctionAppObject* f = ast::as_function_app(t);
    if (has_no_free_variables(f->free_vars)) return Py_NewRef(t);
    if (depth >= kSmallDepth || !PyTuple_CheckExact(f->args) || PyTuple_GET_SIZE(f->args) > kSmallArity) {
        fits = false;
        return nullptr;
    }
    Py_ssize_t n = PyTuple_GET_SIZE(f->args);
    PyObject* parts[kSmallArity];
    bool changed = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        parts[i] = small_term(PyTuple_GET_ITEM(f->args, i), b, depth + 1, fits);
        if (!parts[i]) {
            for (Py_ssize_t j = 0; j < i; ++j) Py_DECREF(parts[j]);
            return nullptr;
        }
        changed = changed || parts[i] != PyTuple_GET_ITEM(f->args, i);
    }
    if (!changed) {
        for (Py_ssize_t i = 0; i < n; ++i) Py_DECREF(parts[i]);
        return Py_NewRef(t);
    }
    PyObject* tuple = PyTuple_New(n);
    if (!tuple) {
        for (Py_ssize_t i = 0; i < n; ++i) Py_DECREF(parts[i]);
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(tuple, i, parts[i]);
    const ast::Api& a = ast::api();
    PyObject* built = a.new_function_app(a.types[static_cast<int>(k)], f->func, f->arity, tuple, f->return_sort);
    Py_DECREF(tuple);
    return built;
}

// An atom or term of small terms, rebuilt by small_term; NULL with `handled`
// false (and no exception) when it is not of that shape.
PyObject* flat(PyObject* node, Bindings& bindings, bool& handled) {
    handled = false;
    bool fits = true;
    Kind k = ast::exact_kind_of(node);
    PyObject* built = nullptr;
    if (k == Kind::PredicateApp) {
        ast::PredicateAppObject* p = ast::as_predicate_app(node);
        if (!PyTuple_CheckExact(p->args) || PyTuple_GET_SIZE(p->args) > kSmallArity) return nullptr;
        if (has_no_free_variables(p->free_vars)) {
            handled = true;
            return Py_NewRef(node);
        }
        Py_ssize_t n = PyTuple_GET_SIZE(p->args);
        PyObject* parts[kSmallArity];
        bool changed = false;
        for (Py_ssize_t i = 0; i < n; ++i) {
            parts[i] = small_term(PyTuple_GET_ITEM(p->args, i), bindings, 0, fits);
            if (!parts[i]) {
                for (Py_ssize_t j = 0; j < i; ++j) Py_DECREF(parts[j]);
                handled = fits;  // an error, or not small: the general walk
                return nullptr;
            }
            changed = changed || parts[i] != PyTuple_GET_ITEM(p->args, i);
        }
        handled = true;
        if (!changed) {
            for (Py_ssize_t i = 0; i < n; ++i) Py_DECREF(parts[i]);
            return Py_NewRef(node);
        }
        PyObject* tuple = PyTuple_New(n);
        if (!tuple) {
            for (Py_ssize_t i = 0; i < n; ++i) Py_DECREF(parts[i]);
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(tuple, i, parts[i]);
        const ast::Api& a = ast::api();
        built = a.new_predicate_app(a.types[static_cast<int>(k)], p->pred, p->arity, tuple);
        Py_DECREF(tuple);
        return built;
    }
    if (k == Kind::Equality) {
        ast::EqualityObject* e = ast::as_equality(node);
        PyObject* left = small_term(e->left, bindings, 0, fits);
        if (!left) {
            handled = fits;
            return nullptr;
        }
        PyObject* right = small_term(e->right, bindings, 0, fits);
        if (!right) {
            Py_DECREF(left);
            handled = fits;
            return nullptr;
        }
        handled = true;
        if (left == e->left && right == e->right) {
            Py_DECREF(left);
            Py_DECREF(right);
            return Py_NewRef(node);
        }
        const ast::Api& a = ast::api();
        built = a.new_equality(a.types[static_cast<int>(k)], left, right);
        Py_DECREF(left);
        Py_DECREF(right);
        return built;
    }
    if (k == Kind::FunctionApp || k == Kind::Variable || k == Kind::Constant) {
        PyObject* r = small_term(node, bindings, 0, fits);
        handled = r != nullptr || fits;
        return r;
    }
    return nullptr;
}

}  // namespace

PyObject* apply(PyObject* node, Bindings& bindings) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        if (bindings.empty()) {
            if (ast::kind_of(node) == Kind::None) return unsupported(node);
            return Py_NewRef(node);
        }
        bool handled;
        PyObject* r = flat(node, bindings, handled);
        if (handled) return r;
        return Substituter(node, bindings).run();
    });
}

PyObject* substitute_term(PyObject* term, PyObject* mapping) {
    if (!ast::is_term(term)) {
        PyErr_Format(PyExc_TypeError, "substitute_term expects a term, got %S",
                     reinterpret_cast<PyObject*>(Py_TYPE(term)));
        return nullptr;
    }
    return with_dict(term, mapping);
}

PyObject* substitute_formula(PyObject* formula, PyObject* mapping) {
    if (!ast::is_formula(formula)) {
        PyErr_Format(PyExc_TypeError, "substitute_formula expects a formula, got %S",
                     reinterpret_cast<PyObject*>(Py_TYPE(formula)));
        return nullptr;
    }
    return with_dict(formula, mapping);
}

PyObject* substitute_term_pairs(PyObject* term, const Pairs* pairs) {
    return py::guard<PyObject*>(nullptr, [&] { return with_pairs(term, pairs); });
}

PyObject* substitute_formula_pairs(PyObject* formula, const Pairs* pairs) {
    return py::guard<PyObject*>(nullptr, [&] { return with_pairs(formula, pairs); });
}

}  // namespace quorvel::substitutions
