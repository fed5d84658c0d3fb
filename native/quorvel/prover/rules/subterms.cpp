#include "quorvel/prover/rules/subterms.h"

#include "quorvel/core/ast/api.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/ref.h"
#include "quorvel/support/small_vector.h"

namespace quorvel::rules {

using ast::Kind;
using py::Ref;

namespace {

// The argument tuple of an application (borrowed), or NULL.
PyObject* tuple_args(PyObject* o) {
    PyObject* args = ast::as_function_app(o)->args;
    return PyTuple_Check(args) ? args : nullptr;
}

// 1 when `term` equals `target` (hash first: nodes that hash differently
// are never equal), 0 not, -1 error.
int matches(PyObject* term, PyObject* target, Py_hash_t target_hash) {
    if (term == target) return 1;
    if (ast::kind_of(term) != ast::Kind::None && target_hash != -1) {
        Py_hash_t h = PyObject_Hash(term);
        if (h == -1) return -1;
        if (h != target_hash) return 0;
    }
    return PyObject_RichCompareBool(term, target, Py_EQ);
}

// A copy of the application `app` with argument i replaced. New reference.
PyObject* with_argument(PyObject* app, Py_ssize_t i, PyObject* value) {
    PyObject* args = tuple_args(app);
    Py_ssize_t n = PyTuple_GET_SIZE(args);
    Ref tuple(PyTuple_New(n));
    if (!tuple) return nullptr;
    for (Py_ssize_t k = 0; k < n; ++k) PyTuple_SET_ITEM(tuple.get(), k, Py_NewRef(k == i ? value : PyTuple_GET_ITEM(args, k)));
    const ast::Api& a = ast::api();
    ast::FunctionAppObject* f = ast::as_function_app(app);
    return a.new_function_app(a.types[static_cast<int>(Kind::FunctionApp)], f->func, f->arity, tuple.get(), f->return_sort);
}

PyObject* to_list(std::vector<PyObject*>& owned) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(owned.size()));
    if (!list) {
        for (PyObject* o : owned) Py_DECREF(o);
        return nullptr;
    }
    for (size_t i = 0; i < owned.size(); ++i) PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), owned[i]);
    owned.clear();
    return list;
}

void release(std::vector<PyObject*>& owned) {
    for (PyObject* o : owned) Py_DECREF(o);
    owned.clear();
}

}  // namespace

bool collect_subterms(PyObject* term, std::vector<PyObject*>& out) {
    SmallVector<PyObject*, 32> stack;  // terms of clauses walk without an allocation
    stack.push_back(term);
    while (!stack.empty()) {
        PyObject* t = stack.back();
        stack.pop_back();
        out.push_back(t);
        if (ast::kind_of(t) != Kind::FunctionApp) continue;
        PyObject* args = tuple_args(t);
        if (!args) continue;
        for (Py_ssize_t i = PyTuple_GET_SIZE(args); i-- > 0;) stack.push_back(PyTuple_GET_ITEM(args, i));
    }
    return true;
}

bool collect_atom_subterms(PyObject* atom, std::vector<PyObject*>& out) {
    Kind k = ast::kind_of(atom);
    if (k == Kind::PredicateApp) {
        PyObject* args = ast::as_predicate_app(atom)->args;
        if (!PyTuple_Check(args)) return true;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i)
            if (!collect_subterms(PyTuple_GET_ITEM(args, i), out)) return false;
    } else if (k == Kind::Equality) {
        if (!collect_subterms(ast::as_equality(atom)->left, out)) return false;
        return collect_subterms(ast::as_equality(atom)->right, out);
    }
    return true;
}

namespace {

// The path from the root of a term to one of its positions: each
// application with the index of the argument walked, plus one.
struct Frame {
    PyObject* node;
    Py_ssize_t next;  // -1: the node itself is still to be compared
};

// Calls found(path) at each position of `term` whose subterm equals
// `target`, in position order (path.back() is that subterm); found returns
// false on error. False with an exception set.
template <class Found>
bool for_each_match(PyObject* term, PyObject* target, Found found) {
    Py_hash_t target_hash = ast::kind_of(target) != Kind::None ? PyObject_Hash(target) : -1;
    if (target_hash == -1 && PyErr_Occurred()) PyErr_Clear();
    SmallVector<Frame, 16> path;
    path.push_back(Frame{term, -1});
    while (!path.empty()) {
        Frame& f = path.back();
        if (f.next == -1) {
            f.next = 0;
            int m = matches(f.node, target, target_hash);
            if (m < 0 || (m && !found(path))) return false;
            if (ast::kind_of(path.back().node) != Kind::FunctionApp || !tuple_args(path.back().node)) {
                path.pop_back();
                continue;
            }
        }
        Frame& g = path.back();
        PyObject* args = tuple_args(g.node);
        if (g.next >= PyTuple_GET_SIZE(args)) {
            path.pop_back();
            continue;
        }
        PyObject* child = PyTuple_GET_ITEM(args, g.next++);
        path.push_back(Frame{child, -1});
    }
    return true;
}

// The atom's argument terms: a predicate's arguments, an equation's sides.
// False when it has none to rewrite (no atom, or arguments that are no tuple).
using Arguments = SmallVector<PyObject*, 8>;

bool atom_arguments(PyObject* atom, Arguments& out) {
    Kind k = ast::kind_of(atom);
    if (k == Kind::PredicateApp) {
        PyObject* args = ast::as_predicate_app(atom)->args;
        if (!PyTuple_Check(args)) return false;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i) out.push_back(PyTuple_GET_ITEM(args, i));
        return true;
    }
    if (k != Kind::Equality) return false;
    out.push_back(ast::as_equality(atom)->left);
    out.push_back(ast::as_equality(atom)->right);
    return true;
}

// A copy of `atom` with argument term i replaced. New reference.
PyObject* with_atom_argument(PyObject* atom, Py_ssize_t i, PyObject* value) {
    const ast::Api& a = ast::api();
    if (ast::kind_of(atom) == Kind::Equality) {
        ast::EqualityObject* e = ast::as_equality(atom);
        return a.new_equality(a.types[static_cast<int>(Kind::Equality)], i == 0 ? value : e->left, i == 0 ? e->right : value);
    }
    ast::PredicateAppObject* p = ast::as_predicate_app(atom);
    Py_ssize_t n = PyTuple_GET_SIZE(p->args);
    Ref tuple(PyTuple_New(n));
    if (!tuple) return nullptr;
    for (Py_ssize_t j = 0; j < n; ++j) PyTuple_SET_ITEM(tuple.get(), j, Py_NewRef(j == i ? value : PyTuple_GET_ITEM(p->args, j)));
    return a.new_predicate_app(a.types[static_cast<int>(Kind::PredicateApp)], p->pred, p->arity, tuple.get());
}

}  // namespace

bool replace_subterm(PyObject* term, PyObject* target, PyObject* replacement, std::vector<PyObject*>& out) {
    return for_each_match(term, target, [&](const auto& path) {
        // Rebuild the path bottom-up around the replacement.
        Ref built = Ref::borrow(replacement);
        for (size_t d = path.size() - 1; d-- > 0;) {
            built = Ref(with_argument(path[d].node, path[d].next - 1, built.get()));
            if (!built) return false;
        }
        out.push_back(built.release());
        return true;
    });
}

bool replace_atom_subterm(PyObject* atom, PyObject* target, PyObject* replacement, std::vector<PyObject*>& out) {
    Arguments args;
    std::vector<PyObject*> parts;
    if (!atom_arguments(atom, args)) return true;
    for (size_t i = 0; i < args.size(); ++i) {
        bool ok = replace_subterm(args[i], target, replacement, parts);
        for (PyObject* r : parts) {
            PyObject* built = ok ? with_atom_argument(atom, static_cast<Py_ssize_t>(i), r) : nullptr;
            if (!built) ok = false;
            else out.push_back(built);
        }
        release(parts);
        if (!ok) return false;
    }
    return true;
}

bool find_atom_subterm(PyObject* atom, PyObject* target, std::vector<Position>& out) {
    Arguments args;
    if (!atom_arguments(atom, args)) return true;
    for (size_t i = 0; i < args.size(); ++i) {
        bool ok = for_each_match(args[i], target, [&](const auto& path) {
            Position& at = out.emplace_back();
            at.push_back(static_cast<Py_ssize_t>(i));
            for (size_t d = 0; d + 1 < path.size(); ++d) at.push_back(path[d].next - 1);
            return true;
        });
        if (!ok) return false;
    }
    return true;
}

PyObject* replace_atom_at(PyObject* atom, const Position& at, PyObject* replacement) {
    Arguments args;
    if (!atom_arguments(atom, args) || at.empty() || at[0] >= static_cast<Py_ssize_t>(args.size())) {
        PyErr_SetString(PyExc_AssertionError, "no such position in the atom");
        return nullptr;
    }
    SmallVector<PyObject*, 16> nodes;  // the nodes down to the position
    nodes.push_back(args[static_cast<size_t>(at[0])]);
    for (size_t d = 1; d < at.size(); ++d) {
        PyObject* node = nodes.back();
        PyObject* kids = ast::kind_of(node) == Kind::FunctionApp ? tuple_args(node) : nullptr;
        if (!kids || at[d] >= PyTuple_GET_SIZE(kids)) {
            PyErr_SetString(PyExc_AssertionError, "no such position in the atom");
            return nullptr;
        }
        nodes.push_back(PyTuple_GET_ITEM(kids, at[d]));
    }
    Ref built = Ref::borrow(replacement);
    for (size_t d = nodes.size() - 1; d > 0; --d) {
        built = Ref(with_argument(nodes[d - 1], at[d], built.get()));
        if (!built) return nullptr;
    }
    return with_atom_argument(atom, at[0], built.get());
}

PyObject* extract_subterms_list(PyObject* term) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        std::vector<PyObject*> found;
        collect_subterms(term, found);
        for (PyObject* o : found) Py_INCREF(o);
        return to_list(found);
    });
}

PyObject* extract_atom_subterms_list(PyObject* atom) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        std::vector<PyObject*> found;
        collect_atom_subterms(atom, found);
        for (PyObject* o : found) Py_INCREF(o);
        return to_list(found);
    });
}

PyObject* replace_subterm_list(PyObject* term, PyObject* target, PyObject* replacement) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        std::vector<PyObject*> made;
        if (!replace_subterm(term, target, replacement, made)) {
            release(made);
            return nullptr;
        }
        return to_list(made);
    });
}

PyObject* replace_atom_subterm_list(PyObject* atom, PyObject* target, PyObject* replacement) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        std::vector<PyObject*> made;
        if (!replace_atom_subterm(atom, target, replacement, made)) {
            release(made);
            return nullptr;
        }
        return to_list(made);
    });
}

}  // namespace quorvel::rules
