#include "quorvel/support/py/constructive.h"

#include <cstring>
#include <vector>

#include "quorvel/core/ast/api.h"
#include "quorvel/support/flat_map.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/interrupt.h"

namespace quorvel::py {
namespace {

using ast::Kind;

constexpr const char* kFalsumName = "_bot";
constexpr const char* kVerumName = "_top";

bool is_ascii_text(PyObject* s, const char* text) {
    size_t n = std::strlen(text);
    return PyUnicode_IS_ASCII(s) && static_cast<size_t>(PyUnicode_GET_LENGTH(s)) == n &&
           std::memcmp(PyUnicode_DATA(s), text, n) == 0;
}

PyObject* make_constant_atom(const char* name) {
    PyObject* pred = PyUnicode_InternFromString(name);
    if (!pred) return nullptr;
    PyObject* arity = PyLong_FromLong(0);
    PyObject* args = PyTuple_New(0);
    PyObject* atom = nullptr;
    if (arity && args) {
        const ast::Api& a = ast::api();
        atom = a.new_predicate_app(a.types[static_cast<int>(Kind::PredicateApp)], pred, arity, args);
    }
    Py_DECREF(pred);
    Py_XDECREF(arity);
    Py_XDECREF(args);
    return atom;
}

// `formula == PredicateApp(name, 0, ())`, decided without a Python call for
// exact nodes with exact field types; otherwise asked of Python itself.
int equals_constant_atom(PyObject* formula, const char* name) {
    Kind k = ast::exact_kind_of(formula);
    if (k != Kind::None) {
        if (k != Kind::PredicateApp) return 0;  // another node class is never equal
        auto* p = ast::as_predicate_app(formula);
        if (PyUnicode_CheckExact(p->pred) && PyLong_CheckExact(p->arity) && PyTuple_CheckExact(p->args)) {
            if (!is_ascii_text(p->pred, name)) return 0;
            int overflow = 0;
            long arity = PyLong_AsLongAndOverflow(p->arity, &overflow);
            if (overflow || arity != 0) return 0;
            return PyTuple_GET_SIZE(p->args) == 0;
        }
    }
    PyObject* atom = make_constant_atom(name);
    if (!atom) return -1;
    int r = PyObject_RichCompareBool(formula, atom, Py_EQ);
    Py_DECREF(atom);
    return r;
}

// normalize_formula, iterative post-order with a per-call memo by identity:
// shared subtrees are rewritten once, and a subtree that needs no rewriting
// is returned as the same object.
class Normalizer {
public:
    ~Normalizer() {
        done_.for_each([](const void*, PyObject* result) { Py_DECREF(result); });
        Py_XDECREF(falsum_);
    }

    PyObject* run(PyObject* root) {
        stack_.push_back({root, false});
        while (!stack_.empty()) {
            Frame& fr = stack_.back();
            PyObject* o = fr.node;
            if (done_.find(o)) {
                stack_.pop_back();
                continue;
            }
            Kind k = ast::kind_of(o);
            PyObject* kids[2] = {nullptr, nullptr};
            int nkids = ast::formula_children(o, k, kids);
            if (!fr.expanded) {
                fr.expanded = true;
                if (!poll_.charge()) return nullptr;
                for (int i = nkids - 1; i >= 0; --i)
                    if (!done_.find(kids[i])) stack_.push_back({kids[i], false});
                continue;
            }
            stack_.pop_back();
            PyObject* r = rebuild(o, k, kids, nkids);
            if (!r) return nullptr;
            done_.insert(o, r);
        }
        return Py_NewRef(*done_.find(root));
    }

private:
    struct Frame {
        PyObject* node;
        bool expanded;
    };

    PyTypeObject* type_of(Kind k, PyObject* o) const {
        PyTypeObject* t = ast::api().types[static_cast<int>(k)];
        return t ? t : Py_TYPE(o);
    }

    PyObject* falsum() {
        if (!falsum_) falsum_ = make_constant_atom(kFalsumName);
        return falsum_;
    }

    PyObject* binary(Kind k, PyObject* l, PyObject* r) {
        return ast::api().new_binary(ast::api().types[static_cast<int>(k)], l, r);
    }

    PyObject* rebuild(PyObject* o, Kind k, PyObject** kids, int nkids) {
        PyObject* n[2] = {nullptr, nullptr};
        for (int i = 0; i < nkids; ++i) n[i] = *done_.find(kids[i]);
        switch (k) {
            case Kind::Not: {
                PyObject* f = falsum();
                return f ? binary(Kind::Implies, n[0], f) : nullptr;
            }
            case Kind::Iff: {
                PyObject* there = binary(Kind::Implies, n[0], n[1]);
                if (!there) return nullptr;
                PyObject* back = binary(Kind::Implies, n[1], n[0]);
                if (!back) {
                    Py_DECREF(there);
                    return nullptr;
                }
                PyObject* both = binary(Kind::And, there, back);
                Py_DECREF(there);
                Py_DECREF(back);
                return both;
            }
            case Kind::And:
            case Kind::Or:
            case Kind::Implies: {
                auto* b = ast::as_binary(o);
                if (n[0] == b->left && n[1] == b->right) return Py_NewRef(o);
                return binary(k, n[0], n[1]);
            }
            default:
                if (ast::is_quantifier(k)) {
                    auto* q = ast::as_quantifier(o);
                    if (n[0] == q->body) return Py_NewRef(o);
                    return ast::api().new_quantifier(type_of(k, o), q->variable, n[0]);
                }
                return Py_NewRef(o);  // atoms, equations and foreign values stay
        }
    }

    std::vector<Frame> stack_;
    IdentityMap<PyObject*> done_;  // node (borrowed) -> result (owned)
    PyObject* falsum_ = nullptr;
    SignalPoll poll_;
};

}  // namespace

int is_falsum(PyObject* formula) { return equals_constant_atom(formula, kFalsumName); }
int is_verum(PyObject* formula) { return equals_constant_atom(formula, kVerumName); }
bool is_atomic(PyObject* formula) { return ast::kind_of(formula) == Kind::PredicateApp; }

PyObject* make_falsum() { return make_constant_atom(kFalsumName); }
PyObject* make_verum() { return make_constant_atom(kVerumName); }

PyObject* normalize_formula(PyObject* formula) {
    // A formula without subformulas is its own normal form.
    PyObject* kids[2];
    Kind k = ast::kind_of(formula);
    if (k != Kind::Not && ast::formula_children(formula, k, kids) == 0) return Py_NewRef(formula);
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        Normalizer n;
        return n.run(formula);
    });
}

}  // namespace quorvel::py
