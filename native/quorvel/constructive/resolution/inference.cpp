// resolve_prefixed_clauses and factor_prefixed_clause: every binary
// resolvent of two clauses and every factor of one, under the unifiers of
// the literal pairs' prefixes (admissible ones only, when a tree is given).
// Literals are taken in the order of their texts, so the entries come in the
// same order in every process.
#include <algorithm>
#include <string>
#include <vector>

#include "quorvel/constructive/resolution/state.h"
#include "quorvel/support/py/args.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/ref.h"

namespace quorvel::resolution {
namespace {

using py::Ref;

struct Lit {
    Ref object, prefix, polarity, atom;
    std::string text;
};

bool read_literals(PyObject* clause, std::vector<Lit>& out) {
    Ref lits(PyObject_GetAttr(clause, state().s_literals));
    Ref iter(lits ? PyObject_GetIter(lits.get()) : nullptr);
    if (!iter) return false;
    for (;;) {
        Ref l(PyIter_Next(iter.get()));
        if (!l) {
            if (PyErr_Occurred()) return false;
            break;
        }
        Lit lit;
        lit.prefix = Ref(PyObject_GetAttr(l.get(), state().s_prefix));
        lit.polarity = Ref(lit.prefix ? PyObject_GetAttr(l.get(), state().s_polarity) : nullptr);
        lit.atom = Ref(lit.polarity ? PyObject_GetAttr(l.get(), state().s_atom) : nullptr);
        if (!lit.atom || !append_literal_text(lit.text, l.get())) return false;
        lit.object = std::move(l);
        out.push_back(std::move(lit));
    }
    std::stable_sort(out.begin(), out.end(), [](const Lit& a, const Lit& b) { return a.text < b.text; });
    return true;
}

// 1 when equal, 0 not, -1 error.
int same(PyObject* a, PyObject* b) { return PyObject_RichCompareBool(a, b, Py_EQ); }

PyObject* start_substitution(PyObject* subst) {
    if (subst == Py_None) return PyObject_CallNoArgs(state().substitution_type);
    static PyObject* s_copy = PyUnicode_InternFromString("copy");
    return PyObject_CallMethodNoArgs(subst, s_copy);
}

// The unifiers of the two prefixes that pass the tree (all without one).
PyObject* unifiers(PyObject* p1, PyObject* p2, PyObject* start, PyObject* tree) {
    Ref all(PyObject_CallFunctionObjArgs(state().unify_prefixes, p1, p2, start, nullptr));
    if (!all || tree == Py_None) return all.release();
    Ref kept(PyList_New(0));
    Ref seq(kept ? PySequence_Fast(all.get(), "unifiers") : nullptr);
    if (!seq) return nullptr;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        PyObject* u = PySequence_Fast_GET_ITEM(seq.get(), i);
        Ref ok(PyObject_CallFunctionObjArgs(state().is_admissible, tree, u, nullptr));
        int truth = ok ? PyObject_IsTrue(ok.get()) : -1;
        if (truth < 0) return nullptr;
        if (truth && PyList_Append(kept.get(), u) < 0) return nullptr;
    }
    return kept.release();
}

// The clause of the given literals, each substituted by `u`.
PyObject* substituted_clause(const std::vector<PyObject*>& literals, PyObject* u) {
    static PyObject* s_substitute = PyUnicode_InternFromString("substitute");
    Ref set(PySet_New(nullptr));
    if (!set) return nullptr;
    for (PyObject* l : literals) {
        Ref sub(PyObject_CallMethodOneArg(l, s_substitute, u));
        if (!sub || PySet_Add(set.get(), sub.get()) < 0) return nullptr;
    }
    Ref frozen(PyFrozenSet_New(set.get()));
    return frozen ? make_clause(frozen.get()) : nullptr;
}

bool append_entries(PyObject* out, PyObject* us, const std::vector<PyObject*>& remainder, PyObject* l1, PyObject* l2) {
    Ref seq(PySequence_Fast(us, "unifiers"));
    if (!seq) return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        PyObject* u = PySequence_Fast_GET_ITEM(seq.get(), i);
        Ref clause(substituted_clause(remainder, u));
        Ref entry(clause ? PyTuple_Pack(4, clause.get(), u, l1, l2) : nullptr);
        if (!entry || PyList_Append(out, entry.get()) < 0) return false;
    }
    return true;
}

const char* const kResolveNames[] = {"c1", "c2", "subst", "tree"};
const py::Signature kResolve{"resolve_prefixed_clauses", kResolveNames, 4, 2, 0, false};
const char* const kFactorNames[] = {"clause", "subst", "tree"};
const py::Signature kFactor{"factor_prefixed_clause", kFactorNames, 3, 1, 0, false};

PyObject* resolve_prefixed_clauses(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* p[4];
        if (!py::parse_vector(kResolve, args, nargs, kwnames, p)) return nullptr;
        PyObject* tree = p[3] ? p[3] : Py_None;
        Ref start(start_substitution(p[2] ? p[2] : Py_None));
        if (!start) return nullptr;
        std::vector<Lit> a, b;
        if (!read_literals(p[0], a) || !read_literals(p[1], b)) return nullptr;
        Ref out(PyList_New(0));
        if (!out) return nullptr;
        for (size_t i = 0; i < a.size(); ++i)
            for (size_t j = 0; j < b.size(); ++j) {
                int eq = same(a[i].atom.get(), b[j].atom.get());
                int pol = eq == 1 ? same(a[i].polarity.get(), b[j].polarity.get()) : 0;
                if (eq < 0 || pol < 0) return nullptr;
                if (eq != 1 || pol == 1) continue;
                Ref us(unifiers(a[i].prefix.get(), b[j].prefix.get(), start.get(), tree));
                if (!us) return nullptr;
                // The union of both remainders: a literal in both occurs once.
                std::vector<PyObject*> remainder;
                for (size_t k = 0; k < a.size(); ++k)
                    if (k != i) remainder.push_back(a[k].object.get());
                for (size_t k = 0; k < b.size(); ++k)
                    if (k != j) remainder.push_back(b[k].object.get());
                if (!append_entries(out.get(), us.get(), remainder, a[i].object.get(), b[j].object.get()))
                    return nullptr;
            }
        return out.release();
    });
}

PyObject* factor_prefixed_clause(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* p[3];
        if (!py::parse_vector(kFactor, args, nargs, kwnames, p)) return nullptr;
        PyObject* tree = p[2] ? p[2] : Py_None;
        Ref start(start_substitution(p[1] ? p[1] : Py_None));
        if (!start) return nullptr;
        std::vector<Lit> lits;
        if (!read_literals(p[0], lits)) return nullptr;
        Ref out(PyList_New(0));
        if (!out) return nullptr;
        for (size_t i = 0; i < lits.size(); ++i)
            for (size_t j = i + 1; j < lits.size(); ++j) {
                int eq = same(lits[i].atom.get(), lits[j].atom.get());
                int pol = eq == 1 ? same(lits[i].polarity.get(), lits[j].polarity.get()) : 0;
                if (eq < 0 || pol < 0) return nullptr;
                if (eq != 1 || pol != 1) continue;
                Ref us(unifiers(lits[i].prefix.get(), lits[j].prefix.get(), start.get(), tree));
                if (!us) return nullptr;
                std::vector<PyObject*> remainder;
                for (size_t k = 0; k < lits.size(); ++k)
                    if (k != j) remainder.push_back(lits[k].object.get());
                if (!append_entries(out.get(), us.get(), remainder, lits[i].object.get(), lits[j].object.get()))
                    return nullptr;
            }
        return out.release();
    });
}

#define FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)), METH_FASTCALL | METH_KEYWORDS

PyMethodDef kFunctions[] = {
    {"resolve_prefixed_clauses", FASTCALL(resolve_prefixed_clauses),
     "resolve_prefixed_clauses(c1, c2, subst=None, tree=None)\n--\n\n"
     "Every binary resolvent as (resolvent, unifier, literal of c1, literal of c2)."},
    {"factor_prefixed_clause", FASTCALL(factor_prefixed_clause),
     "factor_prefixed_clause(clause, subst=None, tree=None)\n--\n\n"
     "Every factor as (factor, unifier, kept literal, dropped literal)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool init_inference(PyObject* module) { return PyModule_AddFunctions(module, kFunctions) == 0; }

}  // namespace quorvel::resolution
