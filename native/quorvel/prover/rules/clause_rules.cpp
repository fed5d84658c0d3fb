// The clause-level rules. Literals are visited in the iteration order of each
// clause's literal set; within one call a derived clause equal to one already
// returned is dropped, so the first derivation (with its unifier) is kept.
#include "quorvel/prover/rules/clause_rules.h"

#include <utility>
#include <vector>

#include "quorvel/core/ast/api.h"
#include "quorvel/core/substitutions/api.h"
#include "quorvel/core/substitutions/hashed_pairs.h"
#include "quorvel/prover/clausifier/api.h"
#include "quorvel/prover/rules/subterms.h"
#include "quorvel/prover/rules/unifiable.h"
#include "quorvel/support/py/gc_pause.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/ref.h"
#include "quorvel/support/py/set_table.h"
#include "quorvel/support/small_vector.h"

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

PyObject* literals_of(PyObject* clause) { return clausifier::as_clause(clause)->literals; }

// The literals of a clause's literal set in its iteration order, read in
// place from a frozenset (kept alive by `held_`).
class Literals {
public:
    explicit Literals(PyObject* set) { held_ = Ref(py::collect_members(set, items_)); }
    // No literals.
    static const Literals& none() {
        static const Literals empty;
        return empty;
    }
    bool ok() const { return static_cast<bool>(held_); }
    Py_ssize_t size() const { return static_cast<Py_ssize_t>(items_.size()); }
    PyObject* operator[](Py_ssize_t i) const { return items_[static_cast<size_t>(i)]; }

private:
    Literals() {}
    Ref held_;
    SmallVector<PyObject*, 16> items_;
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

    // Appends (clause, mgu), or (clause, mgu, (l1, l2)) when l1 is given,
    // unless the clause was derived before. Steals nothing.
    bool add(PyObject* clause, PyObject* mgu, PyObject* l1 = nullptr, PyObject* l2 = nullptr) {
        Py_ssize_t before = PySet_GET_SIZE(seen_.get());
        if (PySet_Add(seen_.get(), clause) < 0) return false;
        if (PySet_GET_SIZE(seen_.get()) == before) return true;  // one lookup for "seen?" and "add"
        Ref pair(l1 ? PyTuple_Pack(2, l1, l2) : nullptr);
        if (l1 && !pair) return false;
        Ref entry(l1 ? PyTuple_Pack(3, clause, mgu, pair.get()) : PyTuple_Pack(2, clause, mgu));
        return entry && PyList_Append(results_.get(), entry.get()) == 0;
    }
    PyObject* take() { return results_.release(); }

private:
    Ref results_;
    Ref seen_;
};

// A substitution read once, applied to the literals of clauses.
class HashedPairs : public substitutions::HashedPairs {
public:
    // Literal.substitute: the literal with its atom substituted (the literal
    // itself when nothing is bound). New reference or NULL.
    PyObject* literal(PyObject* lit) const {
        if (empty()) return Py_NewRef(lit);
        clausifier::LiteralObject* l = clausifier::as_literal(lit);
        Ref atom(this->atom(l->atom));
        if (!atom) return nullptr;
        Kind k = ast::kind_of(atom.get());
        if (k != Kind::PredicateApp && k != Kind::Equality) {
            PyErr_SetNone(PyExc_AssertionError);
            return nullptr;
        }
        if (atom.get() == l->atom) return Py_NewRef(lit);
        return cnf().new_literal(atom.get(), l->positive);
    }
};

// Appends the literals of `first` but `skip_a` and of `second` but `skip_b`
// under `under`, in that order. False with an exception set.
bool literals_under(const HashedPairs& under, const Literals& first, PyObject* skip_a, const Literals& second,
                    PyObject* skip_b, std::vector<Ref>& out) {
    for (const Literals* side : {&first, &second}) {
        PyObject* skip = side == &first ? skip_a : skip_b;
        for (Py_ssize_t i = 0; i < side->size(); ++i) {
            PyObject* l = (*side)[i];
            if (skip) {
                int eq = l == skip ? 1 : PyObject_RichCompareBool(l, skip, Py_EQ);
                if (eq < 0) return false;
                if (eq) continue;
            }
            out.emplace_back(under.literal(l));
            if (!out.back()) return false;
        }
    }
    return true;
}

// The clause of `literals` and `extra` (borrowed; extra may be NULL). New
// reference or NULL.
PyObject* clause_of(const std::vector<Ref>& literals, PyObject* extra) {
    Ref set(PyFrozenSet_New(nullptr));
    if (!set) return nullptr;
    for (const Ref& l : literals)
        if (PySet_Add(set.get(), l.get()) < 0) return nullptr;
    if (extra && PySet_Add(set.get(), extra) < 0) return nullptr;
    return cnf().new_clause(set.get());
}

// The clause of the literals of `first` but `skip_a` and of `second` but
// `skip_b` under `mgu`: as Clause(...).substitute(mgu), with each literal
// substituted once. New reference or NULL.
PyObject* clause_under(const Literals& first, PyObject* skip_a, const Literals& second, PyObject* skip_b,
                       PyObject* mgu) {
    HashedPairs under;
    std::vector<Ref> literals;
    if (!under.load(mgu) || !literals_under(under, first, skip_a, second, skip_b, literals)) return nullptr;
    return clause_of(literals, nullptr);
}

// The literal set of c2 renamed apart from c1 (c2's own set when either
// clause has no variables) and, when `renaming` is given, the renaming as a
// new dict. The renaming is applied to each atom through one table of
// hashed pairs, which is what Clause.substitute with the dict amounts to.
// The rules need no renamed clause, only its literals in the order of
// their set, which is the order the clause would hold them in.
bool rename_apart(PyObject* c1, PyObject* c2, Ref& literals, Ref* renaming) {
    if (renaming && !(*renaming = Ref(PyDict_New()))) return false;
    PyObject* vars1 = clausifier::as_clause(c1)->free_vars;
    PyObject* vars2 = clausifier::as_clause(c2)->free_vars;
    if (PySet_GET_SIZE(vars1) == 0 || PySet_GET_SIZE(vars2) == 0) {
        literals = Ref::borrow(literals_of(c2));
        return true;
    }
    Ref top;
    if (!max_id(vars1, top) || !max_id(vars2, top)) return false;
    Ref one(PyLong_FromLong(1));
    Ref offset(one ? PyNumber_Add(top.get(), one.get()) : nullptr);
    if (!offset) return false;
    const ast::Api& a = ast::api();
    std::vector<PyObject*> olds, news;  // borrowed from vars2 and held
    std::vector<Ref> held;
    std::vector<Py_hash_t> hashes;
    Ref it(PyObject_GetIter(vars2));
    if (!it) return false;
    while (PyObject* v = PyIter_Next(it.get())) {
        Ref var(v);
        ast::VariableObject* x = ast::as_variable(v);
        Ref id(PyNumber_Add(x->id, offset.get()));
        if (!id) return false;
        Ref fresh(a.new_variable(a.types[static_cast<int>(Kind::Variable)], id.get(), x->var_kind, x->term.sort));
        if (!fresh || (renaming && PyDict_SetItem(renaming->get(), v, fresh.get()) < 0)) return false;
        Py_hash_t h = PyObject_Hash(v);
        if (h == -1) return false;
        olds.push_back(v);
        news.push_back(fresh.get());
        held.push_back(std::move(fresh));
        hashes.push_back(h);
    }
    if (PyErr_Occurred()) return false;
    substitutions::Pairs pairs{olds.data(), news.data(), olds.size(), hashes.data()};
    Literals lits(literals_of(c2));
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
    literals = std::move(set);
    return true;
}

// Calls visit(l1, l2) for each pair of literals of opposite signs, l1 from
// `first` and l2 from `second` in their orders, whose atoms may unify. visit
// returns 1 to go on, 0 to stop, -1 on error; so does the walk (1: it went
// through).
template <class Visit>
int for_each_complementary_pair(const Literals& first, const Literals& second, UnifiabilityTest& may_unify, Visit visit) {
    for (Py_ssize_t i = 0; i < first.size(); ++i)
        for (Py_ssize_t j = 0; j < second.size(); ++j) {
            PyObject* l1 = first[i];
            PyObject* l2 = second[j];
            int r = same_sign(l1, l2);
            if (r < 0) return -1;
            if (r) continue;
            r = may_unify(clausifier::as_literal(l1)->atom, 0, clausifier::as_literal(l2)->atom, 1);
            if (r < 0) return -1;
            if (r == 0) continue;
            r = visit(l1, l2);
            if (r <= 0) return r;
        }
    return 1;
}

bool is_equation_literal(PyObject* l, int& out) {
    out = 0;
    if (ast::kind_of(clausifier::as_literal(l)->atom) != Kind::Equality) return true;
    int positive = PyObject_IsTrue(clausifier::as_literal(l)->positive);
    if (positive < 0) return false;
    out = positive;
    return true;
}

// Calls visit(l_eq, lhs, rhs, l_target, s, fresh) for each way an equation of
// `eqs` (read either way round, lhs = rhs) may rewrite a subterm s of an atom
// of `targets`: s is no variable and may unify with lhs. `fresh` is true for
// the first such s of each (equation side, target literal). visit returns 1
// to go on, 0 to stop, -1 on error; so does the walk (1: it went through).
template <class Visit>
int for_each_rewrite_site(const Literals& eqs, const Literals& targets, UnifiabilityTest& may_unify, Visit visit) {
    std::vector<PyObject*> subterms;
    for (Py_ssize_t e = 0; e < eqs.size(); ++e) {
        PyObject* l_eq = eqs[e];
        int usable;
        if (!is_equation_literal(l_eq, usable)) return -1;
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
                if (!collect_atom_subterms(atom, subterms)) return -1;
                bool fresh = true;
                for (PyObject* s : subterms) {
                    if (ast::kind_of(s) == Kind::Variable) continue;
                    int r = may_unify(s, 1, lhs, 0);
                    if (r < 0) return -1;
                    if (r == 0) continue;
                    r = visit(l_eq, lhs, rhs, l_target, s, fresh);
                    if (r <= 0) return r;
                    fresh = false;
                }
            }
        }
    }
    return 1;
}

// One direction of paramodulation: the equations of `cla` rewrite into `clb`.
bool paramodulate_into(PyObject* cla, PyObject* clb, UnifiabilityTest& may_unify, Derived& derived) {
    Literals eqs(literals_of(cla));
    if (!eqs.ok()) return false;
    {
        // Renaming apart is skipped when no site can be rewritten: the
        // sites of clb and of its renamed copy differ in variables only.
        Literals plain(literals_of(clb));
        if (!plain.ok()) return false;
        auto stop = [](PyObject*, PyObject*, PyObject*, PyObject*, PyObject*, bool) { return 0; };
        int r = for_each_rewrite_site(eqs, plain, may_unify, stop);
        if (r != 0) return r > 0;
    }
    Ref renamed;
    if (!rename_apart(cla, clb, renamed, nullptr)) return false;
    Literals targets(renamed.get());
    if (!targets.ok()) return false;
    std::vector<PyObject*> tried;
    std::vector<Position> sites;
    std::vector<Ref> rest;
    auto visit = [&](PyObject* l_eq, PyObject* lhs, PyObject* rhs, PyObject* l_target, PyObject* s, bool fresh) -> int {
        if (fresh) tried.clear();
        // A subterm equal to one tried before at this place gives the same
        // rewrites under the same unifier: skip it.
        for (PyObject* u : tried) {
            int again = u == s ? 1 : PyObject_RichCompareBool(u, s, Py_EQ);
            if (again) return again < 0 ? -1 : 1;
        }
        tried.push_back(s);
        PyObject* mgu_raw = nullptr;
        int r = substitutions::api().unify_terms(s, lhs, &mgu_raw);
        if (r <= 0) return r < 0 ? -1 : 1;
        Ref mgu(mgu_raw);
        PyObject* atom = clausifier::as_literal(l_target)->atom;
        sites.clear();
        if (!find_atom_subterm(atom, s, sites)) return -1;
        if (sites.empty()) return 1;
        // Each rewrite is (atom with rhs at the site) under the unifier,
        // which is the atom under the unifier with rhs under it at the same
        // site: the atom, rhs and the other literals are substituted once
        // for all the sites.
        HashedPairs under;
        rest.clear();
        if (!under.load(mgu.get()) || !literals_under(under, eqs, l_eq, targets, l_target, rest)) return -1;
        Ref atom_under(under.atom(atom)), rhs_under(atom_under ? under.term(rhs) : nullptr);
        if (!rhs_under) return -1;
        for (const Position& at : sites) {
            Ref rewritten(replace_atom_at(atom_under.get(), at, rhs_under.get()));
            PyObject* positive = clausifier::as_literal(l_target)->positive;
            Ref new_lit(rewritten ? cnf().new_literal(rewritten.get(), positive) : nullptr);
            Ref para(new_lit ? clause_of(rest, new_lit.get()) : nullptr);
            if (!para || !derived.add(para.get(), mgu.get())) return -1;
        }
        return 1;
    };
    return for_each_rewrite_site(eqs, targets, may_unify, visit) > 0;
}

}  // namespace

PyObject* standardize_clause_variables(PyObject* c1, PyObject* c2) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!check_clause(c1) || !check_clause(c2)) return nullptr;
        Ref renamed, renaming;
        if (!rename_apart(c1, c2, renamed, &renaming)) return nullptr;
        Ref c2_std(renamed.get() == literals_of(c2) ? Py_NewRef(c2) : cnf().new_clause(renamed.get()));
        return c2_std ? PyTuple_Pack(3, c1, c2_std.get(), renaming.get()) : nullptr;
    });
}

PyObject* resolve_clauses(PyObject* c1, PyObject* c2) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        py::GcPause pause;  // the derived clauses hold no cycle
        if (!check_clause(c1) || !check_clause(c2)) return nullptr;
        Literals first(literals_of(c1));
        if (!first.ok()) return nullptr;
        UnifiabilityTest may_unify;
        {
            // Renaming apart is skipped when no pair may resolve: the atoms
            // of c2 and of its renamed copy differ in variables only.
            Literals plain(literals_of(c2));
            if (!plain.ok()) return nullptr;
            int r = for_each_complementary_pair(first, plain, may_unify, [](PyObject*, PyObject*) { return 0; });
            if (r < 0) return nullptr;
            if (r > 0) return PyList_New(0);
        }
        Ref renamed;
        if (!rename_apart(c1, c2, renamed, nullptr)) return nullptr;
        Literals second(renamed.get());
        Derived derived;
        if (!second.ok() || !derived.ok()) return nullptr;
        auto visit = [&](PyObject* l1, PyObject* l2) -> int {
            PyObject* mgu_raw = nullptr;
            int r = substitutions::api().unify_formulas(clausifier::as_literal(l1)->atom,
                                                        clausifier::as_literal(l2)->atom, &mgu_raw);
            if (r <= 0) return r < 0 ? -1 : 1;
            Ref mgu(mgu_raw);
            Ref resolvent(clause_under(first, l1, second, l2, mgu.get()));
            if (!resolvent) return -1;
            return derived.add(resolvent.get(), mgu.get(), l1, l2) ? 1 : -1;
        };
        return for_each_complementary_pair(first, second, may_unify, visit) < 0 ? nullptr : derived.take();
    });
}

PyObject* factor_clause(PyObject* c) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        py::GcPause pause;  // the derived clauses hold no cycle
        if (!check_clause(c)) return nullptr;
        Literals lits(literals_of(c));
        Derived derived;
        if (!lits.ok() || !derived.ok()) return nullptr;
        UnifiabilityTest may_unify;
        Py_ssize_t n = lits.size();
        for (Py_ssize_t i = 0; i < n; ++i)
            for (Py_ssize_t j = i + 1; j < n; ++j) {
                int same = same_sign(lits[i], lits[j]);
                if (same < 0) return nullptr;
                if (!same) continue;
                PyObject* a = clausifier::as_literal(lits[i])->atom;
                PyObject* b = clausifier::as_literal(lits[j])->atom;
                int r = may_unify(a, 0, b, 0);
                if (r < 0) return nullptr;
                if (r == 0) continue;
                PyObject* mgu_raw = nullptr;
                r = substitutions::api().unify_formulas(a, b, &mgu_raw);
                if (r < 0) return nullptr;
                if (r == 0) continue;
                Ref mgu(mgu_raw);
                Ref factored(clause_under(lits, nullptr, Literals::none(), nullptr, mgu.get()));
                if (!factored) return nullptr;
                Py_ssize_t size = PyObject_Length(clausifier::as_clause(factored.get())->literals);
                if (size < 0) return nullptr;
                if (size < n && !derived.add(factored.get(), mgu.get())) return nullptr;
            }
        return derived.take();
    });
}

PyObject* paramodulate(PyObject* c1, PyObject* c2) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        py::GcPause pause;  // the derived clauses hold no cycle
        if (!check_clause(c1) || !check_clause(c2)) return nullptr;
        Derived derived;
        if (!derived.ok()) return nullptr;
        UnifiabilityTest may_unify;
        if (!paramodulate_into(c1, c2, may_unify, derived) || !paramodulate_into(c2, c1, may_unify, derived)) return nullptr;
        return derived.take();
    });
}

}  // namespace quorvel::rules
