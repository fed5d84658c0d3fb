// free_variables, bound_variables, formula_size and formula_depth.
//
// Each walks with an explicit stack (any depth works) and remembers, by
// object identity, the result of every node that has more than one holder,
// so a shared sub-tree is measured once per call (x = And(x, x) a hundred
// times is 101 objects but 2**101 - 1 nodes).
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "quorvel/core/ast/internal.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/ref.h"

namespace quorvel::ast {

using py::Ref;

int is_second_order_by_name(PyObject* o) {
    static const char* const names[] = {"ForallPred", "ExistsPred", "ForallFunc", "ExistsFunc"};
    PyObject* name = PyType_GetName(Py_TYPE(o));
    if (!name) return -1;
    int found = 0;
    for (const char* n : names)
        if (PyUnicode_CompareWithASCIIString(name, n) == 0) {
            found = 1;
            break;
        }
    Py_DECREF(name);
    return found;
}

PyObject* raise_with_class(const char* prefix, PyObject* o) {
    PyErr_Format(state().api.invalid_formula_error, "%s%S", prefix, reinterpret_cast<PyObject*>(Py_TYPE(o)));
    return nullptr;
}

namespace {

// The body of a second-order quantifier, new reference: read from the layout
// for our own classes, by attribute for any other class of that name.
PyObject* second_order_body(PyObject* o) {
    Kind k = exact_kind_of(o);
    if (is_second_order_quantifier(k)) return Py_NewRef(as_quantifier(o)->body);
    return PyObject_GetAttrString(o, "body");
}

// How a walk treats a node: the first class test that matches.
enum class Shape { Variable, Constant, Application, Equality, Not, Binary, Quantifier, SecondOrder, Other };

// -1 on error.
int shape_of(PyObject* o, Shape& shape) {
    switch (kind_of(o)) {
        case Kind::Variable: shape = Shape::Variable; return 0;
        case Kind::Constant: shape = Shape::Constant; return 0;
        case Kind::FunctionApp:
        case Kind::PredicateApp: shape = Shape::Application; return 0;
        case Kind::Equality: shape = Shape::Equality; return 0;
        case Kind::Not: shape = Shape::Not; return 0;
        case Kind::And:
        case Kind::Or:
        case Kind::Implies:
        case Kind::Iff: shape = Shape::Binary; return 0;
        case Kind::Forall:
        case Kind::Exists: shape = Shape::Quantifier; return 0;
        default: {
            int so = is_second_order_by_name(o);
            if (so < 0) return -1;
            shape = so ? Shape::SecondOrder : Shape::Other;
            return 0;
        }
    }
}

bool shared(PyObject* o) { return Py_REFCNT(o) > 1; }

// ---------------------------------------------------------------------------
// Variable sets. An empty result is NULL, so that walks over propositional
// trees allocate nothing.

struct VarSet {
    PyObject* set = nullptr;  // owned unless `borrowed`
    bool borrowed = false;    // owned by the memo
};

class VarSetWalk {
public:
    explicit VarSetWalk(bool free) : free_(free) {}
    ~VarSetWalk() {
        for (auto& r : results_)
            if (!r.borrowed) Py_XDECREF(r.set);
        for (auto& [node, set] : memo_) Py_XDECREF(set);
        for (PyObject* o : keep_) Py_DECREF(o);
    }

    PyObject* run(PyObject* root) {
        stack_.push_back(Frame{root, Shape::Other, 0, 0, {nullptr, nullptr}});
        while (!stack_.empty()) {
            if (!step()) return nullptr;
        }
        VarSet r = results_.back();
        results_.pop_back();
        if (!r.set) return PySet_New(nullptr);
        if (r.borrowed) return PySet_New(r.set);
        return r.set;
    }

private:
    struct Frame {
        PyObject* node;
        Shape shape;
        int next;      // children pushed so far; 0 = not yet classified
        int count;     // children in all
        PyObject* children[2];
    };

    bool push_result(PyObject* set, bool borrowed = false) {
        results_.push_back(VarSet{set, borrowed});
        return true;
    }

    // Makes `r` owned and mutable.
    bool own(VarSet& r) {
        if (!r.borrowed) return true;
        PyObject* copy = PySet_New(r.set);
        if (!copy) return false;
        r.set = copy;
        r.borrowed = false;
        return true;
    }

    bool step() {
        Frame& f = stack_.back();
        if (f.next == 0 && f.count == 0 && !classify()) return false;
        Frame& g = stack_.back();
        if (g.count == -1) {  // answered directly
            stack_.pop_back();
            return true;
        }
        if (g.next < g.count) {
            PyObject* child = g.children[g.next++];
            stack_.push_back(Frame{child, Shape::Other, 0, 0, {nullptr, nullptr}});
            return true;
        }
        return combine();
    }

    // Classifies the top frame: either answers it (count = -1) or lists its
    // children.
    bool classify() {
        Frame& f = stack_.back();
        PyObject* o = f.node;
        if (auto it = shared(o) ? memo_.find(o) : memo_.end(); it != memo_.end()) {
            f.count = -1;
            return push_result(it->second, true);
        }
        if (free_) {
            Kind exact = exact_kind_of(o);
            PyObject* cache = nullptr;
            if (exact == Kind::FunctionApp) cache = as_function_app(o)->free_vars;
            else if (exact == Kind::PredicateApp) cache = as_predicate_app(o)->free_vars;
            else if (exact == Kind::Equality) cache = as_equality(o)->free_vars;
            else if (exact == Kind::None || !(exact <= Kind::Exists)) {
                // Any object that carries a _free_vars value answers from it.
                PyObject* value = PyObject_GetAttrString(o, "_free_vars");
                if (!value) {
                    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
                    PyErr_Clear();
                } else if (value != Py_None) {
                    f.count = -1;
                    PyObject* copy = PySet_New(value);
                    Py_DECREF(value);
                    if (!copy) return false;
                    return push_result(copy);
                } else {
                    Py_DECREF(value);
                }
            }
            if (cache) {
                f.count = -1;
                if (PySet_GET_SIZE(cache) == 0) return push_result(nullptr);
                PyObject* copy = PySet_New(cache);
                return copy && push_result(copy);
            }
        }
        Shape shape;
        if (shape_of(o, shape) < 0) return false;
        f.shape = shape;
        switch (shape) {
            case Shape::Variable: {
                f.count = -1;
                if (!free_) return push_result(nullptr);
                PyObject* set = PySet_New(nullptr);
                if (!set || PySet_Add(set, o) < 0) {
                    Py_XDECREF(set);
                    return false;
                }
                return push_result(set);
            }
            case Shape::Constant:
                f.count = -1;
                return push_result(nullptr);
            case Shape::Application:
            case Shape::Equality: {
                f.count = -1;
                if (!free_) return push_result(nullptr);
                // A subclass whose _free_vars attribute is None: the layout
                // still holds the set.
                PyObject* cache = fields_of(o)[field_count(kind_of(o)) - 1];
                PyObject* copy = PySet_New(cache);
                return copy && push_result(copy);
            }
            case Shape::Not:
                f.count = 1;
                f.children[0] = as_unary(o)->operand;
                return true;
            case Shape::Binary:
                f.count = 2;
                f.children[0] = as_binary(o)->left;
                f.children[1] = as_binary(o)->right;
                return true;
            case Shape::Quantifier:
                f.count = 1;
                f.children[0] = as_quantifier(o)->body;
                return true;
            case Shape::SecondOrder: {
                PyObject* body = second_order_body(o);
                if (!body) return false;
                keep_.push_back(body);
                f.count = 1;
                f.children[0] = body;
                return true;
            }
            case Shape::Other:
                raise_with_class("Unsupported AST node type: ", o);
                return false;
        }
        return false;
    }

    bool combine() {
        Frame f = stack_.back();
        stack_.pop_back();
        VarSet r = results_.back();
        results_.pop_back();
        if (f.shape == Shape::Binary) {
            VarSet left = results_.back();
            results_.pop_back();
            if (!left.set) {
                // r stands
            } else if (!r.set) {
                r = left;
            } else {
                if (!own(left)) {
                    if (!r.borrowed) Py_DECREF(r.set);
                    return false;
                }
                PyObject* u = PyNumber_InPlaceOr(left.set, r.set);
                if (!r.borrowed) Py_DECREF(r.set);
                if (!u) {
                    Py_DECREF(left.set);
                    return false;
                }
                Py_DECREF(u);
                r = left;
            }
        } else if (f.shape == Shape::Quantifier) {
            PyObject* var = as_quantifier(f.node)->variable;
            if (free_) {
                if (r.set) {
                    int has = PySet_Contains(r.set, var);
                    if (has < 0 || (has && (!own(r) || PySet_Discard(r.set, var) < 0))) {
                        if (!r.borrowed) Py_DECREF(r.set);
                        return false;
                    }
                }
            } else {
                if (!own(r)) return false;
                if (!r.set && !(r.set = PySet_New(nullptr))) return false;
                if (PySet_Add(r.set, var) < 0) {
                    Py_DECREF(r.set);
                    return false;
                }
            }
        }
        if (shared(f.node) && stack_.size() > 0) {
            // Remember it; the memo holds the reference from now on.
            if (!r.set || r.borrowed) {
                Py_XINCREF(r.set);
            }
            memo_.emplace(f.node, r.set);
            r.borrowed = r.set != nullptr;
        }
        results_.push_back(r);
        return true;
    }

    bool free_;
    std::vector<Frame> stack_;
    std::vector<VarSet> results_;
    std::unordered_map<PyObject*, PyObject*> memo_;
    std::vector<PyObject*> keep_;  // bodies read by attribute
};

// ---------------------------------------------------------------------------
// Counts: machine integers that turn into Python ints on overflow.

struct Count {
    uint64_t small = 0;
    PyObject* big = nullptr;  // owned; used once `small` would overflow
};

bool add_into(Count& into, const Count& other) {
    if (!into.big && !other.big && into.small <= UINT64_MAX - other.small) {
        into.small += other.small;
        return true;
    }
    Ref a(into.big ? Py_NewRef(into.big) : PyLong_FromUnsignedLongLong(into.small));
    Ref b(other.big ? Py_NewRef(other.big) : PyLong_FromUnsignedLongLong(other.small));
    if (!a || !b) return false;
    PyObject* sum = PyNumber_Add(a.get(), b.get());
    if (!sum) return false;
    Py_XDECREF(into.big);
    into.big = sum;
    return true;
}

PyObject* to_python(const Count& c) {
    return c.big ? Py_NewRef(c.big) : PyLong_FromUnsignedLongLong(c.small);
}

// formula_size, with the term sizes of atoms, equations and quantified
// variables.
class SizeWalk {
public:
    ~SizeWalk() {
        for (auto& c : results_) Py_XDECREF(c.big);
        for (auto& [k, c] : memo_) Py_XDECREF(c.big);
        for (auto& f : stack_) Py_XDECREF(f.seq);
        for (PyObject* o : keep_) Py_DECREF(o);
    }

    PyObject* run(PyObject* root) {
        if (!open(root, false)) return nullptr;
        while (!stack_.empty()) {
            Frame& f = stack_.back();
            if (f.next < f.count) {
                PyObject* child;
                bool term;
                if (f.seq) {
                    child = PySequence_Fast_ITEMS(f.seq)[f.next];
                    term = true;
                } else {
                    child = f.children[f.next];
                    term = f.term_child[f.next];
                }
                ++f.next;
                if (!open(child, term)) return nullptr;
                continue;
            }
            if (!close()) return nullptr;
        }
        return to_python(results_.back());
    }

private:
    struct Frame {
        PyObject* node;
        bool term;
        int count;
        int next;
        PyObject* seq;  // owned argument sequence, or NULL
        PyObject* children[2];
        bool term_child[2];
    };

    static uintptr_t key(PyObject* o, bool term) { return reinterpret_cast<uintptr_t>(o) | (term ? 1 : 0); }

    bool leaf(uint64_t n) {
        results_.push_back(Count{n, nullptr});
        return true;
    }

    // Starts measuring `o`: answers leaves at once, pushes a frame otherwise.
    bool open(PyObject* o, bool term) {
        if (auto it = shared(o) ? memo_.find(key(o, term)) : memo_.end(); it != memo_.end()) {
            Count c = it->second;
            Py_XINCREF(c.big);
            results_.push_back(c);
            return true;
        }
        Kind k = kind_of(o);
        Frame f{o, term, 0, 0, nullptr, {nullptr, nullptr}, {false, false}};
        if (term) {
            if (k == Kind::Variable || k == Kind::Constant) return leaf(1);
            if (k != Kind::FunctionApp) return raise_with_class("Expected Term, got ", o), false;
            return open_args(f, as_function_app(o)->args);
        }
        switch (k) {
            case Kind::PredicateApp:
                return open_args(f, as_predicate_app(o)->args);
            case Kind::Equality:
                f.count = 2;
                f.children[0] = as_equality(o)->left;
                f.children[1] = as_equality(o)->right;
                f.term_child[0] = f.term_child[1] = true;
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
                f.count = 2;
                f.children[0] = as_quantifier(o)->variable;
                f.term_child[0] = true;
                f.children[1] = as_quantifier(o)->body;
                break;
            default: {
                int so = is_second_order_by_name(o);
                if (so < 0) return false;
                if (!so) return raise_with_class("Expected Formula, got ", o), false;
                PyObject* body = second_order_body(o);
                if (!body) return false;
                keep_.push_back(body);
                f.count = 1;
                f.children[0] = body;
                break;
            }
        }
        stack_.push_back(f);
        return true;
    }

    bool open_args(Frame& f, PyObject* args) {
        PyObject* seq = PySequence_Fast(args, "args must be a sequence");
        if (!seq) return false;
        f.seq = seq;
        f.count = static_cast<int>(PySequence_Fast_GET_SIZE(seq));
        stack_.push_back(f);
        return true;
    }

    bool close() {
        Frame f = stack_.back();
        stack_.pop_back();
        Count total{1, nullptr};
        bool ok = true;
        for (int i = 0; i < f.count; ++i) {
            Count& c = results_[results_.size() - f.count + i];
            if (ok) ok = add_into(total, c);
            Py_XDECREF(c.big);
        }
        results_.resize(results_.size() - f.count);
        Py_XDECREF(f.seq);
        if (!ok) {
            Py_XDECREF(total.big);
            return false;
        }
        if (shared(f.node)) {
            Py_XINCREF(total.big);
            memo_.emplace(key(f.node, f.term), total);
        }
        results_.push_back(total);
        return true;
    }

    std::vector<Frame> stack_;
    std::vector<Count> results_;
    std::unordered_map<uintptr_t, Count> memo_;
    std::vector<PyObject*> keep_;  // bodies read by attribute
};

// formula_depth: atoms are leaves, terms are never visited.
class DepthWalk {
public:
    ~DepthWalk() {
        for (PyObject* o : keep_) Py_DECREF(o);
    }

    PyObject* run(PyObject* root) {
        if (!open(root)) return nullptr;
        while (!stack_.empty()) {
            Frame& f = stack_.back();
            if (f.next < f.count) {
                PyObject* child = f.children[f.next++];
                if (!open(child)) return nullptr;
                continue;
            }
            Frame done = f;
            stack_.pop_back();
            uint64_t deepest = 0;
            for (int i = 0; i < done.count; ++i) deepest = std::max(deepest, results_[results_.size() - 1 - i]);
            results_.resize(results_.size() - done.count);
            uint64_t depth = deepest + 1;
            if (shared(done.node)) memo_.emplace(done.node, depth);
            results_.push_back(depth);
        }
        return PyLong_FromUnsignedLongLong(results_.back());
    }

private:
    struct Frame {
        PyObject* node;
        int count;
        int next;
        PyObject* children[2];
    };

    bool open(PyObject* o) {
        if (auto it = shared(o) ? memo_.find(o) : memo_.end(); it != memo_.end()) {
            results_.push_back(it->second);
            return true;
        }
        Frame f{o, 0, 0, {nullptr, nullptr}};
        switch (kind_of(o)) {
            case Kind::PredicateApp:
            case Kind::Equality:
                results_.push_back(1);
                return true;
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
                f.count = 1;
                f.children[0] = as_quantifier(o)->body;
                break;
            default: {
                int so = is_second_order_by_name(o);
                if (so < 0) return false;
                if (!so) return raise_with_class("Expected Formula, got ", o), false;
                PyObject* body = second_order_body(o);
                if (!body) return false;
                keep_.push_back(body);
                f.count = 1;
                f.children[0] = body;
            }
        }
        stack_.push_back(f);
        return true;
    }

    std::vector<Frame> stack_;
    std::vector<uint64_t> results_;
    std::unordered_map<PyObject*, uint64_t> memo_;
    std::vector<PyObject*> keep_;
};

}  // namespace

PyObject* free_variables(PyObject* node) {
    return py::guard<PyObject*>(nullptr, [&] { return VarSetWalk(true).run(node); });
}

PyObject* bound_variables(PyObject* node) {
    return py::guard<PyObject*>(nullptr, [&] { return VarSetWalk(false).run(node); });
}

PyObject* formula_size(PyObject* formula) {
    return py::guard<PyObject*>(nullptr, [&] {
        return SizeWalk().run(formula);
    });
}

PyObject* formula_depth(PyObject* formula) {
    return py::guard<PyObject*>(nullptr, [&] { return DepthWalk().run(formula); });
}

}  // namespace quorvel::ast
