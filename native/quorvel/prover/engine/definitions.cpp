// A subformula is named where it stands as one side of a disjunction
// (after reading polarities: a conjunction under a negation, an
// implication) whose two sides would give many clauses each: the clausal
// form of A | B has |A| * |B| clauses, that of D | B with the definition
// D -> A only |A| + |B|. A subformula met positively gets the definition
// forall xs (D(xs) -> A), one met negatively forall xs (A -> D(xs)); either
// is all the renamed formula needs, and each is true when D is read as A.
// An Iff is left whole, since below it a subformula has both polarities
// and would need both directions; so is any node but the connectives and
// first-order quantifiers, which the clausifier judges as it is.
//
// The walks keep their own stacks: a deep input must not drive the C
// stack. Shared subformulas are rewritten once per polarity, and a name is
// made once per subformula and polarity, in the order of the walk, so the
// same input gets the same names in every process.
#include "quorvel/prover/engine/definitions.h"

#include <algorithm>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "quorvel/core/ast/api.h"
#include "quorvel/support/py/interrupt.h"

namespace quorvel::engine {

namespace {

using ast::Kind;
using py::Ref;

// Naming pays once the two sides' product passes both their sum and this:
// smaller products are cheaper distributed than resolved through a name.
constexpr double kMinProduct = 16;

PyTypeObject* type_of(Kind k) { return ast::api().types[static_cast<int>(k)]; }

struct Key {
    PyObject* node;
    bool negative;
    bool operator==(const Key& o) const { return node == o.node && negative == o.negative; }
};
struct KeyHash {
    size_t operator()(const Key& k) const { return std::hash<PyObject*>()(k.node) * 2 + k.negative; }
};

struct Rewritten {
    Ref formula;
    double clauses;  // how many its clausal form would have, about
};

// The children a walk enters and the polarity each has, or 0 for a node
// left whole.
int children(PyObject* f, Kind k, bool negative, std::pair<PyObject*, bool>* out) {
    if (k == Kind::Not) {
        out[0] = {ast::as_unary(f)->operand, !negative};
        return 1;
    }
    if (k == Kind::And || k == Kind::Or || k == Kind::Implies) {
        out[0] = {ast::as_binary(f)->left, k == Kind::Implies ? !negative : negative};
        out[1] = {ast::as_binary(f)->right, negative};
        return 2;
    }
    if (ast::is_first_order_quantifier(k)) {
        out[0] = {ast::as_quantifier(f)->body, negative};
        return 1;
    }
    return 0;
}

}  // namespace

Definitions::Definitions() : used_(PySet_New(nullptr)) {}

bool Definitions::reserve_names(PyObject* formula) {
    if (!used_) return false;
    Interrupt interrupt = py::signal_interrupt();
    std::vector<PyObject*> todo{formula};
    std::unordered_set<PyObject*> seen;
    while (!todo.empty()) {
        PyObject* f = todo.back();
        todo.pop_back();
        if (!seen.insert(f).second) continue;
        if (interrupt.tick()) return false;
        Kind k = ast::kind_of(f);
        if (k == Kind::PredicateApp) {
            PyObject* pred = ast::as_predicate_app(f)->pred;
            if (PyUnicode_Check(pred) && PySet_Add(used_.get(), pred) < 0) return false;
            continue;
        }
        PyObject* kids[2];
        int n = ast::formula_children(f, k, kids);
        for (int i = n - 1; i >= 0; --i) todo.push_back(kids[i]);
    }
    return true;
}

PyObject* Definitions::fresh_name() {
    for (;;) {
        std::string text = "_def" + std::to_string(next_++);
        Ref name(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        if (!name) return nullptr;
        int taken = PySet_Contains(used_.get(), name.get());
        if (taken < 0) return nullptr;
        if (!taken) return PySet_Add(used_.get(), name.get()) < 0 ? nullptr : name.release();
    }
}

bool Definitions::rename(PyObject* formula, std::vector<Ref>& out) {
    if (!used_) return false;
    const ast::Api& api = ast::api();
    Interrupt interrupt = py::signal_interrupt();
    std::unordered_map<Key, Rewritten, KeyHash> done;
    std::unordered_map<Key, Ref, KeyHash> names;
    std::vector<Ref> definitions;

    // The atom naming the rewritten subformula `r` of `key`, its definition
    // added; r itself when its free variables cannot be arguments.
    auto name = [&](const Key& key, const Rewritten& r) -> Ref {
        auto found = names.find(key);
        if (found != names.end()) return found->second;
        Ref free(api.free_variables(r.formula.get()));
        if (!free) return Ref();
        std::vector<std::pair<long long, PyObject*>> vars;
        Ref it(PyObject_GetIter(free.get()));
        if (!it) return Ref();
        while (PyObject* v = PyIter_Next(it.get())) {
            Ref held(v);
            if (ast::exact_kind_of(v) != Kind::Variable ||
                ast::as_variable(v)->var_kind != api.variable_kinds[0])
                return r.formula;
            long long id = PyLong_AsLongLong(ast::as_variable(v)->id);
            if (id == -1 && PyErr_Occurred()) return Ref();
            vars.emplace_back(id, v);
        }
        if (PyErr_Occurred()) return Ref();
        // The set's order follows hashes; the ids give one that does not.
        // Two variables of one id (and two sorts) get no name.
        std::sort(vars.begin(), vars.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        for (size_t i = 1; i < vars.size(); ++i)
            if (vars[i].first == vars[i - 1].first) return r.formula;
        Ref args(PyTuple_New(static_cast<Py_ssize_t>(vars.size())));
        if (!args) return Ref();
        for (size_t i = 0; i < vars.size(); ++i)
            PyTuple_SET_ITEM(args.get(), static_cast<Py_ssize_t>(i), Py_NewRef(vars[i].second));
        Ref pred(fresh_name());
        Ref arity(pred ? PyLong_FromSsize_t(static_cast<Py_ssize_t>(vars.size())) : nullptr);
        Ref atom(arity ? api.new_predicate_app(type_of(Kind::PredicateApp), pred.get(), arity.get(), args.get())
                       : nullptr);
        if (!atom) return Ref();
        Ref body(key.negative ? api.new_binary(type_of(Kind::Implies), r.formula.get(), atom.get())
                              : api.new_binary(type_of(Kind::Implies), atom.get(), r.formula.get()));
        for (size_t i = vars.size(); i-- > 0 && body;)
            body = Ref(api.new_quantifier(type_of(Kind::Forall), vars[i].second, body.get()));
        if (!body) return Ref();
        definitions.push_back(std::move(body));
        names.emplace(key, atom);
        return atom;
    };

    struct Frame {
        Key key;
        bool expanded;
    };
    std::vector<Frame> todo{{{formula, false}, false}};
    std::pair<PyObject*, bool> kids[2];
    while (!todo.empty()) {
        Frame frame = todo.back();
        if (done.count(frame.key)) {
            todo.pop_back();
            continue;
        }
        if (interrupt.tick()) return false;
        PyObject* f = frame.key.node;
        Kind k = ast::kind_of(f);
        int n = children(f, k, frame.key.negative, kids);
        if (!frame.expanded) {
            todo.back().expanded = true;
            for (int i = n - 1; i >= 0; --i) todo.push_back({{kids[i].first, kids[i].second}, false});
            continue;
        }
        todo.pop_back();
        Rewritten r;
        if (n == 0) {
            r.formula = Ref::borrow(f);
            r.clauses = k == Kind::PredicateApp || k == Kind::Equality ? 1 : 2;
        } else if (n == 1) {
            const Rewritten& c = done.at({kids[0].first, kids[0].second});
            r.clauses = c.clauses;
            if (c.formula.get() == kids[0].first)
                r.formula = Ref::borrow(f);
            else if (k == Kind::Not)
                r.formula = Ref(api.new_unary(type_of(k), c.formula.get()));
            else
                r.formula = Ref(api.new_quantifier(type_of(k), ast::as_quantifier(f)->variable, c.formula.get()));
        } else {
            Key lk{kids[0].first, kids[0].second}, rk{kids[1].first, kids[1].second};
            Ref left = done.at(lk).formula, right = done.at(rk).formula;
            double cl = done.at(lk).clauses, cr = done.at(rk).clauses;
            // A disjunction once polarity is read: its clauses are products.
            bool product = (k == Kind::And) == frame.key.negative;
            if (product && cl > 1 && cr > 1 && cl * cr > cl + cr && cl * cr >= kMinProduct) {
                bool named_left = cl > cr;
                Ref atom = named_left ? name(lk, done.at(lk)) : name(rk, done.at(rk));
                if (!atom) return false;
                if (atom.get() != (named_left ? left : right).get()) {
                    (named_left ? left : right) = atom;
                    (named_left ? cl : cr) = 1;
                }
            }
            r.clauses = product ? cl * cr : cl + cr;
            if (left.get() == kids[0].first && right.get() == kids[1].first)
                r.formula = Ref::borrow(f);
            else
                r.formula = Ref(api.new_binary(type_of(k), left.get(), right.get()));
        }
        if (!r.formula) return false;
        done.emplace(frame.key, std::move(r));
    }
    out.push_back(done.at({formula, false}).formula);
    for (Ref& d : definitions) out.push_back(std::move(d));
    return true;
}

}  // namespace quorvel::engine
