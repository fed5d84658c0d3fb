#include "quorvel/prover/rules/subterms.h"

#include "quorvel/core/ast/api.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/ref.h"

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
    std::vector<PyObject*> stack{term};
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

bool replace_subterm(PyObject* term, PyObject* target, PyObject* replacement, std::vector<PyObject*>& out) {
    Py_hash_t target_hash = ast::kind_of(target) != Kind::None ? PyObject_Hash(target) : -1;
    if (target_hash == -1 && PyErr_Occurred()) PyErr_Clear();
    // The path from the root to the current position: each application
    // with the index of the argument being walked.
    struct Frame {
        PyObject* node;
        Py_ssize_t next;  // -1: the node itself is still to be compared
    };
    std::vector<Frame> path{{term, -1}};
    while (!path.empty()) {
        Frame& f = path.back();
        if (f.next == -1) {
            f.next = 0;
            int m = matches(f.node, target, target_hash);
            if (m < 0) return false;
            if (m) {
                // Rebuild the path bottom-up around the replacement.
                Ref built = Ref::borrow(replacement);
                for (size_t d = path.size() - 1; d-- > 0;) {
                    built = Ref(with_argument(path[d].node, path[d].next - 1, built.get()));
                    if (!built) return false;
                }
                out.push_back(built.release());
            }
            if (ast::kind_of(f.node) != Kind::FunctionApp || !tuple_args(f.node)) {
                path.pop_back();
                continue;
            }
        }
        PyObject* args = tuple_args(f.node);
        if (f.next >= PyTuple_GET_SIZE(args)) {
            path.pop_back();
            continue;
        }
        PyObject* child = PyTuple_GET_ITEM(args, f.next++);
        path.push_back(Frame{child, -1});
    }
    return true;
}

bool replace_atom_subterm(PyObject* atom, PyObject* target, PyObject* replacement, std::vector<PyObject*>& out) {
    Kind k = ast::kind_of(atom);
    const ast::Api& a = ast::api();
    std::vector<PyObject*> parts;
    if (k == Kind::PredicateApp) {
        ast::PredicateAppObject* p = ast::as_predicate_app(atom);
        if (!PyTuple_Check(p->args)) return true;
        Py_ssize_t n = PyTuple_GET_SIZE(p->args);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (!replace_subterm(PyTuple_GET_ITEM(p->args, i), target, replacement, parts)) {
                release(parts);
                return false;
            }
            for (PyObject* r : parts) {
                Ref tuple(PyTuple_New(n));
                if (!tuple) {
                    release(parts);
                    return false;
                }
                for (Py_ssize_t j = 0; j < n; ++j) PyTuple_SET_ITEM(tuple.get(), j, Py_NewRef(j == i ? r : PyTuple_GET_ITEM(p->args, j)));
                PyObject* built = a.new_predicate_app(a.types[static_cast<int>(Kind::PredicateApp)], p->pred, p->arity, tuple.get());
                if (!built) {
                    release(parts);
                    return false;
                }
                out.push_back(built);
            }
            release(parts);
        }
    } else if (k == Kind::Equality) {
        ast::EqualityObject* e = ast::as_equality(atom);
        for (int side = 0; side < 2; ++side) {
            if (!replace_subterm(side == 0 ? e->left : e->right, target, replacement, parts)) {
                release(parts);
                return false;
            }
            for (PyObject* r : parts) {
                PyObject* built = a.new_equality(a.types[static_cast<int>(Kind::Equality)], side == 0 ? r : e->left,
                                                 side == 0 ? e->right : r);
                if (!built) {
                    release(parts);
                    return false;
                }
                out.push_back(built);
            }
            release(parts);
        }
    }
    return true;
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
