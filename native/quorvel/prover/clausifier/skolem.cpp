// skolemize and the process-wide Skolem counters.
//
// The counters are the module attributes _skolem_constant_counter and
// _skolem_function_counter (itertools.count objects), looked up each time a
// name is needed, so reset_skolem_counters takes effect at once. A counter
// value whose name ("sk_c<n>", "sk_f<n>") is already a symbol of the formula
// is skipped: the new symbol must not take the meaning of an old one.
#include <string>
#include <unordered_set>

#include "quorvel/core/substitutions/api.h"
#include "quorvel/prover/clausifier/rewrite.h"
#include "quorvel/prover/clausifier/state.h"
#include "quorvel/support/flat_map.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/ref.h"
#include "quorvel/support/py/repr.h"

namespace quorvel::clausifier {

using ast::Kind;
using py::Ref;

namespace {

bool is_atom(Kind k) { return k == Kind::PredicateApp || k == Kind::Equality; }
bool shared(PyObject* o) { return Py_REFCNT(o) > 1; }

// The symbol names of a formula (constants, functions, predicates) that
// could clash with a Skolem name.
bool skolem_like_symbols(PyObject* root, std::unordered_set<std::string>& out) {
    std::vector<PyObject*> stack{root};
    IdentityMap<bool> seen;
    Interrupts interrupts;
    auto note = [&](PyObject* symbol) {
        if (!PyUnicode_Check(symbol)) return true;
        Py_ssize_t n;
        const char* s = PyUnicode_AsUTF8AndSize(symbol, &n);
        if (!s) return false;
        if (n > 4 && s[0] == 's' && s[1] == 'k' && s[2] == '_' && (s[3] == 'c' || s[3] == 'f'))
            out.emplace(s, static_cast<size_t>(n));
        return true;
    };
    while (!stack.empty()) {
        PyObject* o = stack.back();
        stack.pop_back();
        if (!interrupts.tick()) return false;
        if (shared(o) && !seen.insert(o, true).second) continue;
        Kind k = ast::kind_of(o);
        if (k == Kind::Constant) {
            if (!note(ast::as_constant(o)->name)) return false;
        } else if (k == Kind::FunctionApp || k == Kind::PredicateApp) {
            bool f = k == Kind::FunctionApp;
            if (!note(f ? ast::as_function_app(o)->func : ast::as_predicate_app(o)->pred)) return false;
            Ref items(PySequence_Fast(f ? ast::as_function_app(o)->args : ast::as_predicate_app(o)->args,
                                      "args must be a sequence"));
            if (!items) return false;
            for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i)
                stack.push_back(PySequence_Fast_GET_ITEM(items.get(), i));  // held by the node's args
        } else if (k == Kind::Equality) {
            stack.push_back(ast::as_equality(o)->left);
            stack.push_back(ast::as_equality(o)->right);
        } else {
            PyObject* kids[2];
            int n = ast::formula_children(o, k, kids);
            for (int i = 0; i < n; ++i) stack.push_back(kids[i]);
        }
    }
    return true;
}

// Calls signature.<method>(*args), ignoring any ordinary exception it raises.
bool register_symbol(PyObject* signature, PyObject* method, PyObject* const* args, size_t n) {
    PyObject* call[5] = {signature};
    for (size_t i = 0; i < n; ++i) call[i + 1] = args[i];
    PyObject* r = PyObject_VectorcallMethod(method, call, (n + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (r) {
        Py_DECREF(r);
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return true;
}

class Skolemizer {
public:
    Skolemizer(PyObject* root, PyObject* signature) : root_(root), signature_(signature) {}

    PyObject* run() {
        work_.push_back({root_, false, 0});
        while (!work_.empty()) {
            Item it = work_.back();
            work_.pop_back();
            if (!interrupts_.tick()) return nullptr;
            if (!(it.exit ? leave(it) : enter(it))) return nullptr;
        }
        return results_.pop();
    }

private:
    struct Item {
        PyObject* node;
        bool exit;
        uint64_t drawn;  // names taken when the node was entered
    };

    bool enter(const Item& it) {
        PyObject* o = it.node;
        if (shared(o))
            if (PyObject** found = memo_.find(o)) {
                results_.push(Py_NewRef(*found));
                return true;
            }
        Kind k = ast::kind_of(o);
        if (is_atom(k)) {
            results_.push(Py_NewRef(o));
            return true;
        }
        switch (k) {
            case Kind::Not:
                work_.push_back({o, true, drawn_});
                work_.push_back({ast::as_unary(o)->operand, false, 0});
                return true;
            case Kind::And:
            case Kind::Or:
                work_.push_back({o, true, drawn_});
                work_.push_back({ast::as_binary(o)->right, false, 0});
                work_.push_back({ast::as_binary(o)->left, false, 0});
                return true;
            case Kind::Forall:
                universals_.push_back(ast::as_quantifier(o)->variable);
                work_.push_back({o, true, drawn_});
                work_.push_back({ast::as_quantifier(o)->body, false, 0});
                return true;
            case Kind::Exists: {
                PyObject* body = eliminate_existential(o);
                if (!body) return false;
                work_.push_back({held_.keep(body), false, 0});  // the Exists node itself disappears
                return true;
            }
            default:
                return unsupported("Unsupported formula in skolemization: ", o);
        }
    }

    bool leave(const Item& it) {
        PyObject* o = it.node;
        Kind k = ast::kind_of(o);
        PyObject* built;
        if (k == Kind::Not) {
            built = make_not(*results_.top(1));
            results_.drop(1);
        } else if (k == Kind::Forall) {
            universals_.pop_back();
            built = make_quantifier(k, ast::as_quantifier(o)->variable, *results_.top(1));
            results_.drop(1);
        } else {
            PyObject** r = results_.top(2);
            built = make_binary(k, r[0], r[1]);
            results_.drop(2);
        }
        if (!built) return false;
        // A part without existentials does not depend on the universals
        // around it: one result serves every place it occurs.
        if (drawn_ == it.drawn && shared(o)) memo_.insert(o, held_.keep(Py_NewRef(built)));
        results_.push(built);
        return true;
    }

    // The name for the next value of a counter, skipping names the formula
    // already uses. New str or NULL.
    PyObject* next_name(PyObject* counter_attr, const char* prefix) {
        if (!symbols_ready_) {
            if (!skolem_like_symbols(root_, symbols_)) return nullptr;
            symbols_ready_ = true;
        }
        for (;;) {
            PyObject* counter = PyDict_GetItemWithError(state().module_dict, counter_attr);
            if (!counter) {
                if (!PyErr_Occurred()) PyErr_SetObject(PyExc_AttributeError, counter_attr);
                return nullptr;
            }
            Ref keep_counter = Ref::borrow(counter);
            if (!PyIter_Check(counter)) {
                PyErr_Format(PyExc_TypeError, "'%.200s' object is not an iterator", Py_TYPE(counter)->tp_name);
                return nullptr;
            }
            Ref value(PyIter_Next(counter));
            if (!value) {
                if (!PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
                return nullptr;
            }
            Ref name(PyUnicode_FromFormat("%s%S", prefix, value.get()));
            if (!name) return nullptr;
            Py_ssize_t n;
            const char* s = PyUnicode_AsUTF8AndSize(name.get(), &n);
            if (!s) return nullptr;
            if (!symbols_.count(std::string(s, static_cast<size_t>(n)))) return name.release();
        }
    }

    // The body of `exists` with its variable replaced by a new Skolem term.
    PyObject* eliminate_existential(PyObject* exists) {
        PyObject* v = ast::as_quantifier(exists)->variable;
        if (ast::kind_of(v) != Kind::Variable) {
            PyErr_Format(PyExc_TypeError, "quantified variable must be a Variable, got %S",
                         reinterpret_cast<PyObject*>(Py_TYPE(v)));
            return nullptr;
        }
        PyObject* sort = ast::as_variable(v)->term.sort;
        const ast::Api& a = ast::api();
        State& s = state();
        ++drawn_;
        Ref term;
        if (universals_.empty()) {
            Ref name(next_name(s.s_constant_counter, "sk_c"));
            if (!name) return nullptr;
            term = Ref(a.new_constant(a.types[static_cast<int>(Kind::Constant)], name.get(), sort));
            if (!term) return nullptr;
            PyObject* args[] = {name.get(), sort};
            if (signature_ != Py_None && !register_symbol(signature_, s.s_register_constant, args, 2)) return nullptr;
        } else {
            Ref name(next_name(s.s_function_counter, "sk_f"));
            if (!name) return nullptr;
            Py_ssize_t k = static_cast<Py_ssize_t>(universals_.size());
            Ref arity(PyLong_FromSsize_t(k));
            Ref args(PyTuple_New(k));
            Ref sorts(PyTuple_New(k));
            if (!arity || !args || !sorts) return nullptr;
            for (Py_ssize_t i = 0; i < k; ++i) {
                PyObject* u = universals_[static_cast<size_t>(i)];
                PyTuple_SET_ITEM(args.get(), i, Py_NewRef(u));
                PyObject* us = ast::kind_of(u) == Kind::Variable ? ast::as_variable(u)->term.sort : nullptr;
                if (!us) {
                    PyErr_Format(PyExc_TypeError, "quantified variable must be a Variable, got %S",
                                 reinterpret_cast<PyObject*>(Py_TYPE(u)));
                    return nullptr;
                }
                PyTuple_SET_ITEM(sorts.get(), i, Py_NewRef(us));
            }
            term = Ref(a.new_function_app(a.types[static_cast<int>(Kind::FunctionApp)], name.get(), arity.get(),
                                          args.get(), sort));
            if (!term) return nullptr;
            PyObject* reg[] = {name.get(), arity.get(), sorts.get(), sort};
            if (signature_ != Py_None && !register_symbol(signature_, s.s_register_function, reg, 4)) return nullptr;
        }
        PyObject* vars[] = {v};
        PyObject* terms[] = {term.get()};
        substitutions::Pairs pairs{vars, terms, 1};
        return substitutions::api().substitute_formula_pairs(ast::as_quantifier(exists)->body, &pairs);
    }

    PyObject* root_;
    PyObject* signature_;
    std::vector<Item> work_;
    Results results_;
    std::vector<PyObject*> universals_;  // outermost first; borrowed from the formula
    IdentityMap<PyObject*> memo_;
    Held held_;
    std::unordered_set<std::string> symbols_;
    bool symbols_ready_ = false;
    uint64_t drawn_ = 0;
    Interrupts interrupts_;
};

}  // namespace

PyObject* skolemize(PyObject* formula, PyObject* signature) {
    return py::guard<PyObject*>(nullptr, [&] { return Skolemizer(formula, signature).run(); });
}

PyObject* reset_skolem_counters() {
    State& s = state();
    for (PyObject* name : {s.s_constant_counter, s.s_function_counter}) {
        Ref counter(PyObject_CallNoArgs(s.count));
        if (!counter || PyDict_SetItem(s.module_dict, name, counter.get()) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace quorvel::clausifier
