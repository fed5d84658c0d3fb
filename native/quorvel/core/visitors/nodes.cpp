#include "quorvel/core/visitors/nodes.h"

#include <vector>

#include "quorvel/support/py/ref.h"

namespace quorvel::visitors {

using py::Ref;

namespace {

const char* const kFieldNames[] = {"left", "right", "operand", "variable", "body",
                                   "args", "func", "pred", "arity", "return_sort"};

PyObject* field_name(Field f) {
    static PyObject* names[sizeof kFieldNames / sizeof *kFieldNames] = {};
    PyObject*& s = names[static_cast<int>(f)];
    if (!s) s = PyUnicode_InternFromString(kFieldNames[static_cast<int>(f)]);
    return s;
}

// The field from the layout, borrowed; NULL when the layout lacks it.
PyObject* layout_field(PyObject* node, Kind k, Field f) {
    switch (f) {
        case Field::Left:
            if (k == Kind::Equality) return ast::as_equality(node)->left;
            if (ast::is_binary(k)) return ast::as_binary(node)->left;
            return nullptr;
        case Field::Right:
            if (k == Kind::Equality) return ast::as_equality(node)->right;
            if (ast::is_binary(k)) return ast::as_binary(node)->right;
            return nullptr;
        case Field::Operand: return k == Kind::Not ? ast::as_unary(node)->operand : nullptr;
        case Field::Variable: return ast::is_quantifier(k) ? ast::as_quantifier(node)->variable : nullptr;
        case Field::Body: return ast::is_quantifier(k) ? ast::as_quantifier(node)->body : nullptr;
        case Field::Args:
            if (k == Kind::FunctionApp) return ast::as_function_app(node)->args;
            if (k == Kind::PredicateApp) return ast::as_predicate_app(node)->args;
            return nullptr;
        case Field::Func: return k == Kind::FunctionApp ? ast::as_function_app(node)->func : nullptr;
        case Field::Pred: return k == Kind::PredicateApp ? ast::as_predicate_app(node)->pred : nullptr;
        case Field::Arity:
            if (k == Kind::FunctionApp) return ast::as_function_app(node)->arity;
            if (k == Kind::PredicateApp) return ast::as_predicate_app(node)->arity;
            return nullptr;
        case Field::ReturnSort: return k == Kind::FunctionApp ? ast::as_function_app(node)->return_sort : nullptr;
    }
    return nullptr;
}

int instance_of(PyObject* o, PyTypeObject* t) { return PyObject_IsInstance(o, reinterpret_cast<PyObject*>(t)); }

// The kind checks of a rebuild: each child must be an instance of its
// class, the first failure in child order raising AssertionError.
bool checked(int (*test)(PyObject*), PyObject* o) {
    if (!state().debug) return true;
    int r = test(o);
    if (r < 0) return false;
    if (r == 0) return assertion_failed(), false;
    return true;
}

}  // namespace

PyObject* field(PyObject* node, Field f) {
    Kind k = exact_kind(node);
    if (k != Kind::None)
        if (PyObject* v = layout_field(node, k, f)) return Py_NewRef(v);
    return PyObject_GetAttr(node, field_name(f));
}

PyObject* args_tuple(PyObject* args) {
    if (PyTuple_Check(args)) return Py_NewRef(args);
    return PySequence_Tuple(args);
}

// An instance of exactly a node class is told by its kind.
int is_term(PyObject* o) {
    Kind k = exact_kind(o);
    return k != Kind::None ? ast::is_term_kind(k) : instance_of(o, ast::api().term_type);
}
int is_formula(PyObject* o) {
    Kind k = exact_kind(o);
    return k != Kind::None ? !ast::is_term_kind(k) : instance_of(o, ast::api().formula_type);
}
int is_variable(PyObject* o) {
    Kind k = exact_kind(o);
    return k != Kind::None ? k == Kind::Variable : instance_of(o, node_type(Kind::Variable));
}

bool expect_formula(PyObject* o) { return checked(is_formula, o); }

bool read_kept(Kind k, PyObject* node, Kept& kept, PyObject** owner) {
    auto read = [&](int i, Field f, PyObject*& out) {
        owner[i] = field(node, f);
        out = owner[i];
        return out != nullptr;
    };
    switch (k) {
        case Kind::FunctionApp:
            return read(0, Field::Func, kept.symbol) && read(1, Field::Arity, kept.arity) &&
                   read(2, Field::ReturnSort, kept.return_sort);
        case Kind::PredicateApp: return read(0, Field::Pred, kept.symbol) && read(1, Field::Arity, kept.arity);
        case Kind::ForallPred:
        case Kind::ExistsPred:
        case Kind::ForallFunc:
        case Kind::ExistsFunc: return read(0, Field::Variable, kept.variable);
        default: return true;
    }
}

PyObject* rebuild(Kind k, PyObject* node, const Kept& kept, PyObject* const* old_children,
                  PyObject* const* new_children, Py_ssize_t n) {
    bool same = true;
    for (Py_ssize_t i = 0; i < n && same; ++i) same = old_children[i] == new_children[i];
    if (same) return Py_NewRef(node);
    const ast::Api& api = ast::api();
    switch (k) {
        case Kind::FunctionApp:
        case Kind::PredicateApp: {
            // Results that are no terms are left out; the construction then
            // refuses the count against the old arity.
            Py_ssize_t plain = 0;
            while (plain < n && ast::is_term_kind(exact_kind(new_children[plain]))) ++plain;
            if (plain == n) {
                Ref args(PyTuple_New(n));
                if (!args) return nullptr;
                for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(args.get(), i, Py_NewRef(new_children[i]));
                if (k == Kind::FunctionApp)
                    return api.new_function_app(node_type(k), kept.symbol, kept.arity, args.get(), kept.return_sort);
                return api.new_predicate_app(node_type(k), kept.symbol, kept.arity, args.get());
            }
            std::vector<PyObject*> terms;
            terms.reserve(static_cast<size_t>(n));
            for (Py_ssize_t i = 0; i < n; ++i) {
                int t = is_term(new_children[i]);
                if (t < 0) return nullptr;
                if (t) terms.push_back(new_children[i]);
            }
            Ref args(PyTuple_New(static_cast<Py_ssize_t>(terms.size())));
            if (!args) return nullptr;
            for (size_t i = 0; i < terms.size(); ++i)
                PyTuple_SET_ITEM(args.get(), static_cast<Py_ssize_t>(i), Py_NewRef(terms[i]));
            if (k == Kind::FunctionApp)
                return api.new_function_app(node_type(k), kept.symbol, kept.arity, args.get(), kept.return_sort);
            return api.new_predicate_app(node_type(k), kept.symbol, kept.arity, args.get());
        }
        case Kind::Equality:
            if (!checked(is_term, new_children[0]) || !checked(is_term, new_children[1])) return nullptr;
            return api.new_equality(node_type(k), new_children[0], new_children[1]);
        case Kind::Not:
            if (!checked(is_formula, new_children[0])) return nullptr;
            return api.new_unary(node_type(k), new_children[0]);
        case Kind::And:
        case Kind::Or:
        case Kind::Implies:
        case Kind::Iff:
            if (!checked(is_formula, new_children[0]) || !checked(is_formula, new_children[1])) return nullptr;
            return api.new_binary(node_type(k), new_children[0], new_children[1]);
        case Kind::Forall:
        case Kind::Exists:
            if (!checked(is_variable, new_children[0]) || !checked(is_formula, new_children[1])) return nullptr;
            return api.new_quantifier(node_type(k), new_children[0], new_children[1]);
        default:
            if (!checked(is_formula, new_children[0])) return nullptr;
            return api.new_quantifier(node_type(k), kept.variable, new_children[0]);
    }
}

}  // namespace quorvel::visitors
