// The clause-level rules. Literals are visited in the iteration order of each
// clause's literal set; within one call a derived clause equal to one already
// returned is dropped, so the first derivation (with its unifier) is kept.
#include "quorvel/prover/rules/clause_rules.h"

#include <vector>

#include "quorvel/core/ast/api.h"
#include "quorvel/core/substitutions/api.h"
#include "quorvel/prover/clausifier/api.h"
#include "quorvel/prover/rules/subterms.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/ref.h"

namespace quorvel::rules {

using ast::Kind;
using py::Ref;

namespace {

const clausifier::Api& cnf() { return clausifier::api(); }

bool check_clause(PyObject* c) {
    if (PyObject_TypeCheck(c, cnf().clause_type)) return true;
    PyErr_Format(PyExc_TypeError, "expected a Clause, got %S", reinterpret_cast<PyObject*>(Py_TYPE(c)));
    return false;
}

// The literals of a clause in its set's iteration order (new references).
class Literals {
public:
    explicit Literals(PyObject* clause) : list_(PySequence_List(clausifier::as_clause(clause)->literals)) {}
    // No literals.
    static const Literals& none() {
        static const Literals empty;
        return empty;
    }
    bool ok() const { return static_cast<bool>(list_); }
    Py_ssize_t size() const { return list_ ? PyList_GET_SIZE(list_.get()) : 0; }
    PyObject* operator[](Py_ssize_t i) const { return PyList_GET_ITEM(list_.get(), i); }

private:
    Literals() = default;
    Ref list_;
};

// 1 when the two literals carry equal signs, 0 not, -1 error.
int same_sign(PyObject* l1, PyObject* l2) {
    PyObject* a = clausifier::as_literal(l1)->positive;
    PyObject* b = clausifier::as_literal(l2)->positive;
    return a == b ? 1 : PyObject_RichCompareBool(a, b, Py_EQ);
}

// The largest id among a set of variables; false with an exception.
bool max_id(PyObject* vars, Ref& out) {
    Ref it(PyObject_GetIter(vars));
    if (!it) return false;
    while (PyObject* v = PyIter_Next(it.get())) {
        Ref var(v);
        PyObject* id = ast::as_variable(v)->id;
        if (!out) {
            out = Ref::borrow(id);
            continue;
        }
        int greater = PyObject_RichCompareBool(id, out.get(), Py_GT);
        if (greater < 0) return false;
        if (greater) out = Ref::borrow(id);
    }
    return !PyErr_Occurred();
}

// Collects derived clauses, dropping repeats.
class Derived {
public:
    Derived() : results_(PyList_New(0)), seen_(PySet_New(nullptr)) {}
    bool ok() const { return results_ && seen_; }

    // Appends (clause, *extra) unless the clause was derived before. Steals
    // nothing.
    bool add(PyObject* clause, PyObject* mgu, PyObject* pair) {
        int known = PySet_Contains(seen_.get(), clause);
        if (known) return known > 0;
        if (PySet_Add(seen_.get(), clause) < 0) return false;
        Ref entry(pair ? PyTuple_Pack(3, clause, mgu, pair) : PyTuple_Pack(2, clause, mgu));
        return entry && PyList_Append(results_.get(), entry.get()) == 0;
    }
    PyObject* take() { return results_.release(); }

private:
    Ref results_;
    Ref seen_;
};

// A substitution read once from a dict, hashed, for applying it to many atoms.
class HashedPairs {
public:
    bool load(PyObject* mapping) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(mapping, &pos, &key, &value)) {
            if (ast::kind_of(key) != Kind::Variable) continue;
            Py_hash_t h = PyObject_Hash(key);
            if (h == -1) return false;
            vars_.push_back(key);
            terms_.push_back(value);
            hashes_.push_back(h);
        }
        return true;
    }
    bool empty() const { return vars_.empty(); }
    substitutions::Pairs pairs() const { return {vars_.data(), terms_.data(), vars_.size(), hashes_.data()}; }

    // Literal.substitute: the literal with its atom substituted (the literal
    // itself when nothing is bound). New reference or NULL.
    PyObject* literal(PyObject* lit) const {
        if (empty()) return Py_NewRef(lit);
        substitutions::Pairs p = pairs();
        clausifier::LiteralObject* l = clausifier::as_literal(lit);
        Ref atom(substitutions::api().substitute_formula_pairs(l->atom, &p));
        if (!atom) return nullptr;
        Kind k = ast::kind_of(atom.get());
        if (k != Kind::PredicateApp && k != Kind::Equality) {
            PyErr_SetNone(PyExc_AssertionError);
            return nullptr;
        }
        if (atom.get() == l->atom) return Py_NewRef(lit);
        return cnf().new_literal(atom.get(), l->positive);
    }

private:
    std::vector<PyObject*> vars_, terms_;  // borrowed from the dict
    std::vector<Py_hash_t> hashes_;
};

// The clause of the literals of `first` but `skip_a` and of `second` but
// `skip_b`, with `extra`, under `mgu`: as Clause(...).substitute(mgu), with
// each literal substituted once. New reference or NULL.
PyObject* clause_under(const Literals& first, PyObject* skip_a, const Literals& second, PyObject* skip_b,
                       PyObject* extra, PyObject* mgu) {
    HashedPairs under;
    if (!under.load(mgu)) return nullptr;
    Ref set(PyFrozenSet_New(nullptr));
    if (!set) return nullptr;
    auto add = [&](PyObject* l) {
        Ref s(under.literal(l));
        return s && PySet_Add(set.get(), s.get()) == 0;
    };
    for (const Literals* side : {&first, &second}) {
        PyObject* skip = side == &first ? skip_a : skip_b;
        for (Py_ssize_t i = 0; i < side->size(); ++i) {
            PyObject* l = (*side)[i];
            if (skip) {
                int eq = l == skip ? 1 : PyObject_RichCompareBool(l, skip, Py_EQ);
                if (eq < 0) return nullptr;
                if (eq) continue;
            }
            if (!add(l)) return nullptr;
        }
    }
    if (extra && !add(extra)) return nullptr;
    return cnf().new_clause(set.get());
}

// (c1, c2 renamed apart from c1, renaming); the renaming is a new dict. The
// renaming is applied to each atom through one table of hashed pairs, which
// is what Clause.substitute with the dict amounts to.
bool rename_apart(PyObject* c1, PyObject* c2, Ref& c2_std, Ref& renaming) {
    renaming = Ref(PyDict_New());
    if (!renaming) return false;
    PyObject* vars1 = clausifier::as_clause(c1)->free_vars;
    PyObject* vars2 = clausifier::as_clause(c2)->free_vars;
    if (PySet_GET_SIZE(vars1) == 0 || PySet_GET_SIZE(vars2) == 0) {
        c2_std = Ref::borrow(c2);
        return true;
    }
    Ref top;
    if (!max_id(vars1, top) || !max_id(vars2, top)) return false;
    Ref one(PyLong_FromLong(1));
    Ref offset(one ? PyNumber_Add(top.get(), one.get()) : nullptr);
    if (!offset) return false;
    const ast::Api& a = ast::api();
    std::vector<PyObject*> olds, news;  // borrowed from vars2 and renaming
    std::vector<Py_hash_t> hashes;
    Ref it(PyObject_GetIter(vars2));
    if (!it) return false;
    while (PyObject* v = PyIter_Next(it.get())) {
        Ref var(v);
        ast::VariableObject* x = ast::as_variable(v);
        Ref id(PyNumber_Add(x->id, offset.get()));
        if (!id) return false;
        Ref fresh(a.new_variable(a.types[static_cast<int>(Kind::Variable)], id.get(), x->var_kind, x->term.sort));
        if (!fresh || PyDict_SetItem(renaming.get(), v, fresh.get()) < 0) return false;
        Py_hash_t h = PyObject_Hash(v);
        if (h == -1) return false;
        olds.push_back(v);
        news.push_back(fresh.get());
        hashes.push_back(h);
    }
    if (PyErr_Occurred()) return false;
    substitutions::Pairs pairs{olds.data(), news.data(), olds.size(), hashes.data()};
    Literals lits(c2);
    if (!lits.ok()) return false;
    Ref set(PyFrozenSet_New(nullptr));
    if (!set) return false;
    for (Py_ssize_t i = 0; i < lits.size(); ++i) {
        clausifier::LiteralObject* l = clausifier::as_literal(lits[i]);
        Ref atom(substitutions::api().substitute_formula_pairs(l->atom, &pairs));
        if (!atom) return false;
        Kind k = ast::kind_of(atom.get());
        if (k != Kind::PredicateApp && k != Kind::Equality) {
            PyErr_SetNone(PyExc_AssertionError);
            return false;
        }
        Ref lit(cnf().new_literal(atom.get(), l->positive));
        if (!lit || PySet_Add(set.get(), lit.get()) < 0) return false;
    }
    c2_std = Ref(cnf().new_clause(set.get()));
    return static_cast<bool>(c2_std);
}

bool is_equation_literal(PyObject* l, int& out) {
    out = 0;
    if (ast::kind_of(clausifier::as_literal(l)->atom) != Kind::Equality) return true;
    int positive = PyObject_IsTrue(clausifier::as_literal(l)->positive);
    if (positive < 0) return false;
    out = positive;
    return true;
}

// One direction of paramodulation: the equations of `cla` rewrite into `clb`.
bool paramodulate_into(PyObject* cla, PyObject* clb, Derived& derived) {
    Ref clb_std, renaming;
    if (!rename_apart(cla, clb, clb_std, renaming)) return false;
    Literals eqs(cla), targets(clb_std.get());
    if (!eqs.ok() || !targets.ok()) return false;
    std::vector<PyObject*> subterms, tried, rewritten;
    struct Release {
        std::vector<PyObject*>& v;
        ~Release() {
            for (PyObject* o : v) Py_DECREF(o);
        }
    } release{rewritten};
    for (Py_ssize_t e = 0; e < eqs.size(); ++e) {
        PyObject* l_eq = eqs[e];
        int usable;
        if (!is_equation_literal(l_eq, usable)) return false;
        if (!usable) continue;
        PyObject* eq = clausifier::as_literal(l_eq)->atom;
        PyObject* sides[2][2] = {{ast::as_equality(eq)->left, ast::as_equality(eq)->right},
                                 {ast::as_equality(eq)->right, ast::as_equality(eq)->left}};
        for (auto& side : sides) {
            PyObject* lhs = side[0];
            PyObject* rhs = side[1];
            for (Py_ssize_t t = 0; t < targets.size(); ++t) {
                PyObject* l_target = targets[t];
                PyObject* atom = clausifier::as_literal(l_target)->atom;
                Kind k = ast::kind_of(atom);
                if (k != Kind::PredicateApp && k != Kind::Equality) continue;
                subterms.clear();
                tried.clear();
                if (!collect_atom_subterms(atom, subterms)) return false;
                for (PyObject* s : subterms) {
                    if (ast::kind_of(s) == Kind::Variable) continue;
                    // A subterm equal to one tried before at this place gives
                    // the same rewrites under the same unifier: skip it.
                    bool again = false;
                    for (PyObject* u : tried) {
                        int eqs_ = u == s ? 1 : PyObject_RichCompareBool(u, s, Py_EQ);
                        if (eqs_ < 0) return false;
                        if ((again = eqs_ != 0)) break;
                    }
                    if (again) continue;
                    tried.push_back(s);
                    PyObject* mgu_raw = nullptr;
                    int r = substitutions::api().unify_terms(s, lhs, &mgu_raw);
                    if (r < 0) return false;
                    if (r == 0) continue;
                    Ref mgu(mgu_raw);
                    for (PyObject* o : rewritten) Py_DECREF(o);
                    rewritten.clear();
                    if (!replace_atom_subterm(atom, s, rhs, rewritten)) return false;
                    for (PyObject* a2 : rewritten) {
                        Ref new_lit(cnf().new_literal(a2, clausifier::as_literal(l_target)->positive));
                        if (!new_lit) return false;
                        Ref para(clause_under(eqs, l_eq, targets, l_target, new_lit.get(), mgu.get()));
                        if (!para || !derived.add(para.get(), mgu.get(), nullptr)) return false;
                    }
                }
            }
        }
    }
    return true;
}

}  // namespace

PyObject* standardize_clause_variables(PyObject* c1, PyObject* c2) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!check_clause(c1) || !check_clause(c2)) return nullptr;
        Ref c2_std, renaming;
        if (!rename_apart(c1, c2, c2_std, renaming)) return nullptr;
        return PyTuple_Pack(3, c1, c2_std.get(), renaming.get());
    });
}

PyObject* resolve_clauses(PyObject* c1, PyObject* c2) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!check_clause(c1) || !check_clause(c2)) return nullptr;
        Ref c2_std, renaming;
        if (!rename_apart(c1, c2, c2_std, renaming)) return nullptr;
        Literals first(c1), second(c2_std.get());
        Derived derived;
        if (!first.ok() || !second.ok() || !derived.ok()) return nullptr;
        for (Py_ssize_t i = 0; i < first.size(); ++i)
            for (Py_ssize_t j = 0; j < second.size(); ++j) {
                PyObject* l1 = first[i];
                PyObject* l2 = second[j];
                int same = same_sign(l1, l2);
                if (same < 0) return nullptr;
                if (same) continue;
                PyObject* mgu_raw = nullptr;
                int r = substitutions::api().unify_formulas(clausifier::as_literal(l1)->atom,
                                                            clausifier::as_literal(l2)->atom, &mgu_raw);
                if (r < 0) return nullptr;
                if (r == 0) continue;
                Ref mgu(mgu_raw);
                Ref resolvent(clause_under(first, l1, second, l2, nullptr, mgu.get()));
                if (!resolvent) return nullptr;
                Ref pair(PyTuple_Pack(2, l1, l2));
                if (!pair || !derived.add(resolvent.get(), mgu.get(), pair.get())) return nullptr;
            }
        return derived.take();
    });
}

PyObject* factor_clause(PyObject* c) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!check_clause(c)) return nullptr;
        Literals lits(c);
        Derived derived;
        if (!lits.ok() || !derived.ok()) return nullptr;
        Py_ssize_t n = lits.size();
        for (Py_ssize_t i = 0; i < n; ++i)
            for (Py_ssize_t j = i + 1; j < n; ++j) {
                int same = same_sign(lits[i], lits[j]);
                if (same < 0) return nullptr;
                if (!same) continue;
                PyObject* mgu_raw = nullptr;
                int r = substitutions::api().unify_formulas(clausifier::as_literal(lits[i])->atom,
                                                            clausifier::as_literal(lits[j])->atom, &mgu_raw);
                if (r < 0) return nullptr;
                if (r == 0) continue;
                Ref mgu(mgu_raw);
                Ref factored(clause_under(lits, nullptr, Literals::none(), nullptr, nullptr, mgu.get()));
                if (!factored) return nullptr;
                Py_ssize_t size = PyObject_Length(clausifier::as_clause(factored.get())->literals);
                if (size < 0) return nullptr;
                if (size < n && !derived.add(factored.get(), mgu.get(), nullptr)) return nullptr;
            }
        return derived.take();
    });
}

PyObject* paramodulate(PyObject* c1, PyObject* c2) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!check_clause(c1) || !check_clause(c2)) return nullptr;
        Derived derived;
        if (!derived.ok()) return nullptr;
        if (!paramodulate_into(c1, c2, derived) || !paramodulate_into(c2, c1, derived)) return nullptr;
        return derived.take();
    });
}

}  // namespace quorvel::rules
