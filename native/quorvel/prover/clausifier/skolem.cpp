// skolemize and the process-wide Skolem counters.
//
// The counters are the module attributes _skolem_constant_counter and
// _skolem_function_counter (itertools.count objects), looked up each time a
// name is needed, so reset_skolem_counters takes effect at once. A counter
// value whose name ("sk_c<n>", "sk_f<n>") is already a symbol of the formula
// is skipped (skolem_terms.cpp): the new symbol must not take the meaning of
// an old one.
#include "quorvel/core/substitutions/api.h"
#include "quorvel/prover/clausifier/rewrite.h"
#include "quorvel/prover/clausifier/skolem.h"
#include "quorvel/prover/clausifier/state.h"
#include "quorvel/support/flat_map.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/ref.h"

namespace quorvel::clausifier {

using ast::Kind;
using py::Ref;

namespace {

bool is_atom(Kind k) { return k == Kind::PredicateApp || k == Kind::Equality; }
bool shared(PyObject* o) { return Py_REFCNT(o) > 1; }

class Skolemizer {
public:
    Skolemizer(PyObject* root, PyObject* signature) : root_(root), terms_(root, signature) {}

    PyObject* run() {
        work_.push_back({root_, false, 0});
        if (!drain(work_, interrupts_, [&](const Item& it) { return it.exit ? leave(it) : enter(it); })) return nullptr;
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

    // The body of `exists` with its variable replaced by a new Skolem term.
    PyObject* eliminate_existential(PyObject* exists) {
        PyObject* v = ast::as_quantifier(exists)->variable;
        ++drawn_;
        Ref term(terms_.make(v, universals_));
        if (!term) return nullptr;
        PyObject* vars[] = {v};
        PyObject* terms[] = {term.get()};
        substitutions::Pairs pairs{vars, terms, 1, nullptr};
        return substitutions::api().substitute_formula_pairs(ast::as_quantifier(exists)->body, &pairs);
    }

    PyObject* root_;
    SkolemTerms terms_;
    std::vector<Item> work_;
    Results results_;
    std::vector<PyObject*> universals_;  // outermost first; borrowed from the formula
    IdentityMap<PyObject*> memo_;
    Held held_;
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
