// canonicalize_bound_variables: bound variables renamed 0, 1, 2, ... in the
// order their quantifiers are entered, skipping the identifiers of free
// variables.
//
// The walk uses an explicit stack. The environment (bound variable ->
// canonical variable) is one dict updated on entering a quantifier and
// restored on leaving it, which equals copying it per quantifier but costs
// nothing per level. A shared quantifier-free sub-tree renamed under the same
// bindings is rebuilt once and reused.
#include <unordered_map>
#include <vector>

#include "quorvel/core/ast/internal.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/interrupt.h"
#include "quorvel/support/py/ref.h"

namespace quorvel::ast {
namespace {

using py::Ref;

class Renaming {
public:
    ~Renaming() {
        for (auto& r : results_) Py_DECREF(r.node);
        for (auto& f : stack_) release(f);
        for (auto& [key, node] : memo_) Py_DECREF(node);
        Py_XDECREF(env_);
        Py_XDECREF(reserved_);
    }

    PyObject* run(PyObject* root) {
        PyObject* free = free_variables(root);
        if (!free) return nullptr;
        reserved_ = PySet_New(nullptr);
        if (!reserved_) return Py_DECREF(free), nullptr;
        PyObject* it = PyObject_GetIter(free);
        Py_DECREF(free);
        if (!it) return nullptr;
        while (PyObject* v = PyIter_Next(it)) {
            PyObject* id = kind_of(v) == Kind::Variable ? Py_NewRef(as_variable(v)->id) : PyObject_GetAttrString(v, "id");
            Py_DECREF(v);
            if (!id || PySet_Add(reserved_, id) < 0) {
                Py_XDECREF(id);
                Py_DECREF(it);
                return nullptr;
            }
            Py_DECREF(id);
        }
        Py_DECREF(it);
        if (PyErr_Occurred()) return nullptr;
        env_ = PyDict_New();
        if (!env_) return nullptr;

        if (!open(root, false)) return nullptr;
        while (!stack_.empty()) {
            // Every quantifier met takes its own identifier, so a shared
            // sub-tree under quantifiers is rebuilt at each occurrence: the
            // result of a deep DAG can be exponential, and only Ctrl-C ends it.
            if (!poll_.charge()) return nullptr;
            Frame& f = stack_.back();
            if (f.next < f.count) {
                PyObject* child = f.seq ? PySequence_Fast_ITEMS(f.seq)[f.next] : f.children[f.next];
                bool term = f.seq ? true : f.term_children;
                ++f.next;
                if (!open(child, term)) return nullptr;
                continue;
            }
            if (!close()) return nullptr;
        }
        Result r = results_.back();
        results_.pop_back();
        return r.node;
    }

private:
    struct Frame {
        PyObject* node;
        Kind kind;          // Kind::None for a second-order quantifier
        bool term;
        int count = 0;
        int next = 0;
        PyObject* seq = nullptr;        // owned argument sequence
        PyObject* children[2] = {nullptr, nullptr};
        bool term_children = false;
        PyObject* held = nullptr;       // owned: a body or binder read by attribute
        PyObject* binder = nullptr;     // owned: the quantifier's variable
        PyObject* canonical = nullptr;  // owned: its canonical variable
        PyObject* shadowed = nullptr;   // owned: env's earlier entry for it
        uint64_t outer_scope = 0;
    };
    struct Result {
        PyObject* node;  // owned
        bool quantified;  // a first-order quantifier was renamed inside
    };
    struct Key {
        PyObject* node;
        uint64_t scope;
        bool term;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        size_t operator()(const Key& k) const {
            auto x = reinterpret_cast<uintptr_t>(k.node) ^ (k.scope * 0x9E3779B97F4A7C15ull) ^ k.term;
            return static_cast<size_t>(x ^ (x >> 29));
        }
    };

    static void release(Frame& f) {
        Py_XDECREF(f.seq);
        Py_XDECREF(f.held);
        Py_XDECREF(f.binder);
        Py_XDECREF(f.canonical);
        Py_XDECREF(f.shadowed);
    }

    bool push(PyObject* owned, bool quantified = false) {
        results_.push_back(Result{owned, quantified});
        return true;
    }

    // The next identifier that is not reserved, as a new int.
    PyObject* next_id() {
        for (;;) {
            PyObject* id = PyLong_FromUnsignedLongLong(current_++);
            if (!id) return nullptr;
            int taken = PySet_Contains(reserved_, id);
            if (taken == 0) return id;
            Py_DECREF(id);
            if (taken < 0) return nullptr;
        }
    }

    bool open(PyObject* o, bool term) {
        if (Py_REFCNT(o) > 1) {
            if (auto it = memo_.find(Key{o, scope_, term}); it != memo_.end()) return push(Py_NewRef(it->second));
        }
        Kind k = kind_of(o);
        Frame f{o, k, term};
        if (term) {
            if (k == Kind::Variable) {
                if (PyDict_GET_SIZE(env_) == 0) return push(Py_NewRef(o));
                PyObject* renamed = PyDict_GetItemWithError(env_, o);
                if (!renamed && PyErr_Occurred()) return false;
                return push(Py_NewRef(renamed ? renamed : o));
            }
            if (k != Kind::FunctionApp) return push(Py_NewRef(o));  // constants and foreign objects
            return open_args(f, as_function_app(o)->args);
        }
        switch (k) {
            case Kind::PredicateApp:
                return open_args(f, as_predicate_app(o)->args);
            case Kind::Equality:
                f.count = 2;
                f.children[0] = as_equality(o)->left;
                f.children[1] = as_equality(o)->right;
                f.term_children = true;
                break;
            case Kind::Not:
                f.count = 1;
                f.children[0] = as_unary(o)->operand;
                break;
            case Kind::And:
            case Kind::Or:
            case Kind::Implies:
            case Kind::Iff:
                f.count = 2;
                f.children[0] = as_binary(o)->left;
                f.children[1] = as_binary(o)->right;
                break;
            case Kind::Forall:
            case Kind::Exists:
                if (!enter_quantifier(f)) return release(f), false;
                f.count = 1;
                f.children[0] = as_quantifier(o)->body;
                break;
            default: {
                int so = is_second_order_by_name(o);
                if (so < 0) return false;
                if (!so) return raise_with_class("Unsupported Formula node: ", o), false;
                f.kind = Kind::None;
                bool ours = is_second_order_quantifier(exact_kind_of(o));
                f.binder = ours ? Py_NewRef(as_quantifier(o)->variable) : PyObject_GetAttrString(o, "variable");
                if (!f.binder) return false;
                f.held = ours ? Py_NewRef(as_quantifier(o)->body) : PyObject_GetAttrString(o, "body");
                if (!f.held) return release(f), false;
                f.count = 1;
                f.children[0] = f.held;
            }
        }
        stack_.push_back(f);
        return true;
    }

    bool open_args(Frame& f, PyObject* args) {
        f.seq = PySequence_Fast(args, "args must be a sequence");
        if (!f.seq) return false;
        f.count = static_cast<int>(PySequence_Fast_GET_SIZE(f.seq));
        stack_.push_back(f);
        return true;
    }

    // Takes the fresh identifier, builds the canonical variable and binds it
    // in the environment, remembering what it shadows.
    bool enter_quantifier(Frame& f) {
        PyObject* var = as_quantifier(f.node)->variable;
        f.binder = Py_NewRef(var);
        Ref id(next_id());
        if (!id) return false;
        Ref sort, var_kind;
        if (kind_of(var) == Kind::Variable) {
            sort = Ref::borrow(as_variable(var)->term.sort);
            var_kind = Ref::borrow(as_variable(var)->var_kind);
        } else {
            sort = Ref(PyObject_GetAttrString(var, "sort"));
            if (!sort) return false;
            var_kind = Ref(PyObject_GetAttrString(var, "kind"));
            if (!var_kind) return false;
        }
        f.canonical = new_variable(type_of_kind(Kind::Variable), id.get(), var_kind.get(), sort.get());
        if (!f.canonical) return false;
        PyObject* old = PyDict_GetItemWithError(env_, var);
        if (!old && PyErr_Occurred()) return false;
        f.shadowed = Py_XNewRef(old);
        if (PyDict_SetItem(env_, var, f.canonical) < 0) return false;
        f.outer_scope = scope_;
        scope_ = ++scopes_;
        return true;
    }

    bool leave_quantifier(Frame& f) {
        scope_ = f.outer_scope;
        if (f.shadowed) return PyDict_SetItem(env_, f.binder, f.shadowed) == 0;
        return PyDict_DelItem(env_, f.binder) == 0;
    }

    bool close() {
        Frame f = stack_.back();
        stack_.pop_back();
        bool first_order = f.kind == Kind::Forall || f.kind == Kind::Exists;
        bool quantified = first_order;
        size_t base = results_.size() - f.count;
        for (size_t i = base; i < results_.size(); ++i) quantified |= results_[i].quantified;
        PyObject* built = build(f, &results_[base]);
        for (size_t i = base; i < results_.size(); ++i) Py_DECREF(results_[i].node);
        results_.resize(base);
        if (first_order && !leave_quantifier(f)) Py_CLEAR(built);
        release(f);
        if (!built) return false;
        if (!quantified && Py_REFCNT(f.node) > 1) memo_.emplace(Key{f.node, scope_, f.term}, Py_NewRef(built));
        return push(built, quantified);
    }

    PyObject* build(Frame& f, Result* parts) {
        PyTypeObject* type = Py_TYPE(f.node);
        switch (f.kind) {
            case Kind::FunctionApp:
            case Kind::PredicateApp: {
                Ref args(PyTuple_New(f.count));
                if (!args) return nullptr;
                for (int i = 0; i < f.count; ++i) PyTuple_SET_ITEM(args.get(), i, Py_NewRef(parts[i].node));
                if (f.kind == Kind::FunctionApp) {
                    FunctionAppObject* fa = as_function_app(f.node);
                    return new_function_app(type, fa->func, fa->arity, args.get(), fa->return_sort);
                }
                PredicateAppObject* pa = as_predicate_app(f.node);
                return new_predicate_app(type, pa->pred, pa->arity, args.get());
            }
            case Kind::Equality:
                return new_equality(type, parts[0].node, parts[1].node);
            case Kind::Not:
                return new_unary(type, parts[0].node);
            case Kind::And:
            case Kind::Or:
            case Kind::Implies:
            case Kind::Iff:
                return new_binary(type, parts[0].node, parts[1].node);
            case Kind::Forall:
            case Kind::Exists:
                return new_quantifier(type, f.canonical, parts[0].node);
            default: {  // second-order quantifier of any module, by keyword
                if (is_second_order_quantifier(exact_kind_of(f.node)))
                    return new_quantifier(type, f.binder, parts[0].node);
                Ref kwargs(Py_BuildValue("{sOsO}", "variable", f.binder, "body", parts[0].node));
                if (!kwargs) return nullptr;
                Ref empty(PyTuple_New(0));
                if (!empty) return nullptr;
                return PyObject_Call(reinterpret_cast<PyObject*>(type), empty.get(), kwargs.get());
            }
        }
    }

    PyObject* reserved_ = nullptr;  // identifiers of the free variables
    PyObject* env_ = nullptr;
    uint64_t current_ = 0;
    uint64_t scope_ = 0;   // the bindings in force, named by a number
    uint64_t scopes_ = 0;  // numbers handed out
    std::vector<Frame> stack_;
    std::vector<Result> results_;
    std::unordered_map<Key, PyObject*, KeyHash> memo_;
    py::SignalPoll poll_;
};

}  // namespace

PyObject* canonicalize_bound_variables(PyObject* formula) {
    return py::guard<PyObject*>(nullptr, [&] { return Renaming().run(formula); });
}

}  // namespace quorvel::ast
