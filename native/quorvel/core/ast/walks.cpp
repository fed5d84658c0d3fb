// free_variables, bound_variables, formula_size and formula_depth.
//
// Each walks top-down with an explicit work stack, so any depth works and a
// node costs a pop and a push of its children. A node with more than one
// holder may be met again (x = And(x, x) a hundred times is 101 objects but
// 2**101 - 1 nodes): such nodes are remembered by identity, so a shared
// sub-tree is walked once per call.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "quorvel/core/ast/internal.h"
#include "quorvel/support/flat_map.h"
#include "quorvel/support/py/count.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/interrupt.h"
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

bool shared(PyObject* o) { return Py_REFCNT(o) > 1; }

// The body of a second-order quantifier recognised by class name, as a new
// reference: from the layout for our own classes, by attribute otherwise.
// NULL with an exception set, or with none when `o` is no such quantifier.
PyObject* second_order_body(PyObject* o) {
    if (is_second_order_quantifier(exact_kind_of(o))) return Py_NewRef(as_quantifier(o)->body);
    int so = is_second_order_by_name(o);
    if (so <= 0) return nullptr;
    return PyObject_GetAttrString(o, "body");
}

// Bodies read by attribute, kept alive until the walk ends.
class Keep {
public:
    ~Keep() {
        for (PyObject* o : objects_) Py_DECREF(o);
    }
    PyObject* hold(PyObject* owned) {
        objects_.push_back(owned);
        return owned;
    }

private:
    std::vector<PyObject*> objects_;
};

// ---------------------------------------------------------------------------
// free_variables and bound_variables

// free_variables answers a shared node from its own free set, computed once
// per call in a context of its own (a fresh result and no bindings) and then
// added, less the variables bound where it is met, wherever it occurs: the
// free set of a node does not depend on the quantifiers above it, so
// And(Forall(x, h), Exists(x, h)) walks h once, not once per binder.
class VariableWalk {
public:
    explicit VariableWalk(bool free) : free_(free) {}
    ~VariableWalk() {
        Py_XDECREF(result_);
        Py_XDECREF(bound_);
        for (Context& c : outer_) {
            Py_XDECREF(c.result);
            Py_XDECREF(c.bound);
        }
        free_sets_.for_each([](const void*, PyObject*& set) { Py_DECREF(set); });
    }

    PyObject* run(PyObject* root) {
        result_ = PySet_New(nullptr);
        if (!result_) return nullptr;
        work_.push_back(Item{root, Step::Visit});
        while (!work_.empty()) {
            if (!poll_.charge()) return nullptr;
            Item it = work_.back();
            work_.pop_back();
            bool ok = it.step == Step::Visit ? visit(it.node) : it.step == Step::Leave ? leave(it.node) : finish(it.node);
            if (!ok) return nullptr;
        }
        return std::exchange(result_, nullptr);
    }

private:
    enum class Step : uint8_t { Visit, Leave, Finish };
    struct Item {
        PyObject* node;
        Step step;  // Leave: end of a quantifier's scope; Finish: a shared node's free set is complete
    };
    // The result and bindings of an enclosing walk, set aside while a
    // shared node's own free set is collected.
    struct Context {
        PyObject* result;
        PyObject* bound;
    };

    // Adds a variable unless a quantifier around it binds it.
    bool add(PyObject* var) {
        if (bound_ && PyDict_GET_SIZE(bound_)) {
            int b = PyDict_Contains(bound_, var);
            if (b) return b > 0;
        }
        return PySet_Add(result_, var) == 0;
    }

    bool add_all(PyObject* vars) {
        if (!bound_ || PyDict_GET_SIZE(bound_) == 0) {
            if (PyAnySet_Check(vars) && PySet_GET_SIZE(vars) == 0) return true;
            PyObject* r = PyNumber_InPlaceOr(result_, vars);
            Py_XDECREF(r);
            if (r) return true;
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
            PyErr_Clear();  // not a set: add its members one by one
        }
        Ref it(PyObject_GetIter(vars));
        if (!it) return false;
        while (PyObject* v = PyIter_Next(it.get())) {
            bool ok = add(v);
            Py_DECREF(v);
            if (!ok) return false;
        }
        return !PyErr_Occurred();
    }

    bool enter(PyObject* var) {
        if (!bound_ && !(bound_ = PyDict_New())) return false;
        PyObject* count = PyDict_GetItemWithError(bound_, var);
        if (!count && PyErr_Occurred()) return false;
        Ref next(PyLong_FromSsize_t(count ? PyLong_AsSsize_t(count) + 1 : 1));
        return next && PyDict_SetItem(bound_, var, next.get()) == 0;
    }

    bool leave(PyObject* quantifier) {
        PyObject* var = as_quantifier(quantifier)->variable;
        PyObject* count = PyDict_GetItemWithError(bound_, var);
        if (!count) return false;
        Py_ssize_t n = PyLong_AsSsize_t(count);
        if (n <= 1) return PyDict_DelItem(bound_, var) == 0;
        Ref next(PyLong_FromSsize_t(n - 1));
        return next && PyDict_SetItem(bound_, var, next.get()) == 0;
    }

    // For a compound node: 1 when it is already accounted for, 0 when it is
    // to be walked (in a context of its own if shared), -1 on error.
    int known(PyObject* o) {
        if (!shared(o)) return 0;
        if (!free_) return !seen_.insert(o, true).second;
        if (PyObject** set = free_sets_.find(o)) return add_all(*set) ? 1 : -1;
        PyObject* own = PySet_New(nullptr);
        if (!own) return -1;
        outer_.push_back(Context{std::exchange(result_, own), std::exchange(bound_, nullptr)});
        work_.push_back(Item{o, Step::Finish});
        return 0;
    }

    // The free set of shared node `o` is complete: keep it, return to the
    // enclosing walk and add it there.
    bool finish(PyObject* o) {
        Ref own(result_);
        Py_CLEAR(bound_);
        result_ = outer_.back().result;
        bound_ = outer_.back().bound;
        outer_.pop_back();
        if (!add_all(own.get())) return false;
        free_sets_.insert(o, own.get());
        own.release();
        return true;
    }

    bool visit(PyObject* o) {
        Kind k = kind_of(o);
        if (free_) {
            // Any object that carries a _free_vars value answers from it; our
            // own exact classes are known without the lookup.
            PyObject* cache = nullptr;
            Ref attribute;
            if (k == Kind::FunctionApp || k == Kind::PredicateApp || k == Kind::Equality) {
                if (exact_kind_of(o) == k) cache = fields_of(o)[field_count(k) - 1];
            }
            if (!cache && exact_kind_of(o) == Kind::None) {
                attribute = Ref(PyObject_GetAttrString(o, "_free_vars"));
                if (!attribute) {
                    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
                    PyErr_Clear();
                } else if (attribute.get() != Py_None) {
                    cache = attribute.get();
                }
            }
            if (cache) return add_all(cache);
        }
        switch (k) {
            case Kind::Variable:
                return !free_ || add(o);
            case Kind::Constant:
                return true;
            case Kind::FunctionApp:
            case Kind::PredicateApp:
            case Kind::Equality:
                // A subclass whose _free_vars attribute is None still holds
                // the set in its layout.
                return !free_ || add_all(fields_of(o)[field_count(k) - 1]);
            case Kind::Not:
            case Kind::And:
            case Kind::Or:
            case Kind::Implies:
            case Kind::Iff:
            case Kind::Forall:
            case Kind::Exists:
                if (int seen = known(o)) return seen > 0;
                if (k == Kind::Not) {
                    work_.push_back(Item{as_unary(o)->operand, Step::Visit});
                } else if (k == Kind::Forall || k == Kind::Exists) {
                    PyObject* var = as_quantifier(o)->variable;
                    if (free_) {
                        if (!enter(var)) return false;
                        work_.push_back(Item{o, Step::Leave});
                    } else if (PySet_Add(result_, var) < 0) {
                        return false;
                    }
                    work_.push_back(Item{as_quantifier(o)->body, Step::Visit});
                } else {
                    work_.push_back(Item{as_binary(o)->right, Step::Visit});
                    work_.push_back(Item{as_binary(o)->left, Step::Visit});
                }
                return true;
            default: {
                PyObject* body = second_order_body(o);
                if (!body) {
                    if (!PyErr_Occurred()) raise_with_class("Unsupported AST node type: ", o);
                    return false;
                }
                work_.push_back(Item{keep_.hold(body), Step::Visit});
                return true;
            }
        }
    }

    bool free_;
    PyObject* result_ = nullptr;
    PyObject* bound_ = nullptr;  // variable -> number of quantifiers binding it here
    std::vector<Context> outer_;
    std::vector<Item> work_;
    IdentityMap<bool> seen_;            // bound_variables: shared nodes walked
    IdentityMap<PyObject*> free_sets_;  // free_variables: shared node -> its free set (owned)
    Keep keep_;
    py::SignalPoll poll_;
};

// ---------------------------------------------------------------------------
// formula_size

using py::Count;

class SizeWalk {
public:
    SizeWalk() : memo_(Key{nullptr, false}) {}
    ~SizeWalk() {
        memo_.for_each([](const Key&, Count*& c) { delete c; });
    }

    PyObject* run(PyObject* root) {
        frames_.emplace_back();
        work_.push_back(Item{root, Mode::Formula});
        while (!work_.empty()) {
            Item it = work_.back();
            work_.pop_back();
            if (!(it.mode == Mode::Close ? close(it.node) : visit(it.node, it.mode == Mode::Term))) return nullptr;
        }
        return frames_.back().count.as_python();
    }

private:
    enum class Mode : uint8_t { Formula, Term, Close };
    struct Item {
        PyObject* node;
        Mode mode;
    };
    struct Key {
        PyObject* node;
        bool term;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        size_t operator()(const Key& k) const {
            return static_cast<size_t>(mix64(reinterpret_cast<uintptr_t>(k.node) | k.term));
        }
    };
    // The nodes counted since a shared node was opened are its own.
    struct Frame {
        PyObject* node = nullptr;
        bool term = false;
        Count count;
    };

    Count& current() { return frames_.back().count; }

    bool push_args(PyObject* args) {
        if (PyTuple_CheckExact(args)) {
            for (Py_ssize_t i = PyTuple_GET_SIZE(args) - 1; i >= 0; --i)
                work_.push_back(Item{PyTuple_GET_ITEM(args, i), Mode::Term});
            return true;
        }
        Ref seq(PySequence_Fast(args, "args must be a sequence"));
        if (!seq) return false;
        for (Py_ssize_t i = PySequence_Fast_GET_SIZE(seq.get()) - 1; i >= 0; --i)
            work_.push_back(Item{keep_.hold(Py_NewRef(PySequence_Fast_ITEMS(seq.get())[i])), Mode::Term});
        return true;
    }

    // A shared compound node is counted in a frame of its own, then
    // remembered; met again, its count is added at once.
    bool open_shared(PyObject* o, bool term, bool& done) {
        done = false;
        if (!shared(o)) return true;
        if (Count** c = memo_.find(Key{o, term})) {
            done = true;
            return current().add(**c);
        }
        frames_.push_back(Frame{o, term, Count()});
        work_.push_back(Item{o, Mode::Close});
        return true;
    }

    bool close(PyObject*) {
        Frame f = frames_.back();
        frames_.pop_back();
        memo_.insert(Key{f.node, f.term}, new Count(f.count));
        return current().add(f.count);
    }

    bool visit(PyObject* o, bool term) {
        Kind k = kind_of(o);
        bool done;
        if (term) {
            if (k == Kind::Variable || k == Kind::Constant) {
                current().increment();
                return true;
            }
            if (k != Kind::FunctionApp) return raise_with_class("Expected Term, got ", o), false;
            if (!open_shared(o, true, done)) return false;
            if (done) return true;
            current().increment();
            return push_args(as_function_app(o)->args);
        }
        switch (k) {
            case Kind::PredicateApp: {
                PyObject* args = as_predicate_app(o)->args;
                if (PyTuple_CheckExact(args) && PyTuple_GET_SIZE(args) == 0) {
                    current().increment();
                    return true;
                }
                if (!open_shared(o, false, done)) return false;
                if (done) return true;
                current().increment();
                return push_args(args);
            }
            case Kind::Equality:
                if (!open_shared(o, false, done)) return false;
                if (done) return true;
                current().increment();
                work_.push_back(Item{as_equality(o)->right, Mode::Term});
                work_.push_back(Item{as_equality(o)->left, Mode::Term});
                return true;
            case Kind::Not:
                if (!open_shared(o, false, done)) return false;
                if (done) return true;
                current().increment();
                work_.push_back(Item{as_unary(o)->operand, Mode::Formula});
                return true;
            case Kind::And:
            case Kind::Or:
            case Kind::Implies:
            case Kind::Iff:
                if (!open_shared(o, false, done)) return false;
                if (done) return true;
                current().increment();
                work_.push_back(Item{as_binary(o)->right, Mode::Formula});
                work_.push_back(Item{as_binary(o)->left, Mode::Formula});
                return true;
            case Kind::Forall:
            case Kind::Exists:
                if (!open_shared(o, false, done)) return false;
                if (done) return true;
                current().increment();
                work_.push_back(Item{as_quantifier(o)->body, Mode::Formula});
                work_.push_back(Item{as_quantifier(o)->variable, Mode::Term});
                return true;
            default: {
                PyObject* body = second_order_body(o);
                if (!body) {
                    if (!PyErr_Occurred()) raise_with_class("Expected Formula, got ", o);
                    return false;
                }
                current().increment();
                work_.push_back(Item{keep_.hold(body), Mode::Formula});
                return true;
            }
        }
    }

    std::vector<Item> work_;
    std::vector<Frame> frames_;
    FlatMap<Key, Count*, KeyHash> memo_;
    Keep keep_;
};

// ---------------------------------------------------------------------------
// formula_depth: atoms are leaves, terms are never visited.

class DepthWalk {
public:
    DepthWalk() : deepest_seen_(nullptr) {}

    PyObject* run(PyObject* root) {
        work_.push_back(Item{root, 1});
        uint64_t height = 0;
        while (!work_.empty()) {
            Item it = work_.back();
            work_.pop_back();
            PyObject* o = it.node;
            uint64_t below = it.level + 1;
            // A shared node met again no deeper than before adds nothing.
            if (shared(o)) {
                auto [seen, fresh] = deepest_seen_.insert(o, it.level);
                if (!fresh) {
                    if (*seen >= it.level) continue;
                    *seen = it.level;
                }
            }
            switch (kind_of(o)) {
                case Kind::PredicateApp:
                case Kind::Equality:
                    height = std::max(height, it.level);
                    break;
                case Kind::Not:
                    work_.push_back(Item{as_unary(o)->operand, below});
                    break;
                case Kind::And:
                case Kind::Or:
                case Kind::Implies:
                case Kind::Iff:
                    work_.push_back(Item{as_binary(o)->right, below});
                    work_.push_back(Item{as_binary(o)->left, below});
                    break;
                case Kind::Forall:
                case Kind::Exists:
                    work_.push_back(Item{as_quantifier(o)->body, below});
                    break;
                default: {
                    PyObject* body = second_order_body(o);
                    if (!body) {
                        if (!PyErr_Occurred()) raise_with_class("Expected Formula, got ", o);
                        return nullptr;
                    }
                    work_.push_back(Item{keep_.hold(body), below});
                }
            }
        }
        return PyLong_FromUnsignedLongLong(height);
    }

private:
    struct Item {
        PyObject* node;
        uint64_t level;
    };

    std::vector<Item> work_;
    IdentityMap<uint64_t> deepest_seen_;
    Keep keep_;
};

}  // namespace

PyObject* free_variables(PyObject* node) {
    return py::guard<PyObject*>(nullptr, [&] { return VariableWalk(true).run(node); });
}

PyObject* bound_variables(PyObject* node) {
    return py::guard<PyObject*>(nullptr, [&] { return VariableWalk(false).run(node); });
}

PyObject* formula_size(PyObject* formula) {
    return py::guard<PyObject*>(nullptr, [&] { return SizeWalk().run(formula); });
}

PyObject* formula_depth(PyObject* formula) {
    return py::guard<PyObject*>(nullptr, [&] { return DepthWalk().run(formula); });
}

}  // namespace quorvel::ast
