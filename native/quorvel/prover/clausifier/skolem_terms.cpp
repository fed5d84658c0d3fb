// SkolemTerms: names from the counters, skipping the formula's own symbols.
#include "quorvel/prover/clausifier/skolem.h"

#include "quorvel/core/ast/api.h"
#include "quorvel/prover/clausifier/rewrite.h"
#include "quorvel/prover/clausifier/state.h"
#include "quorvel/support/flat_map.h"
#include "quorvel/support/py/ref.h"

namespace quorvel::clausifier {

using ast::Kind;
using py::Ref;

namespace {

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

PyObject* not_a_variable(PyObject* v) {
    PyErr_Format(PyExc_TypeError, "quantified variable must be a Variable, got %S",
                 reinterpret_cast<PyObject*>(Py_TYPE(v)));
    return nullptr;
}

}  // namespace

PyObject* SkolemTerms::next_name(PyObject* counter_attr, const char* prefix) {
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

PyObject* SkolemTerms::make(PyObject* v, const std::vector<PyObject*>& universals) {
    if (ast::kind_of(v) != Kind::Variable) return not_a_variable(v);
    PyObject* sort = ast::as_variable(v)->term.sort;
    const ast::Api& a = ast::api();
    State& s = state();
    if (universals.empty()) {
        Ref name(next_name(s.s_constant_counter, "sk_c"));
        if (!name) return nullptr;
        Ref term(a.new_constant(a.types[static_cast<int>(Kind::Constant)], name.get(), sort));
        if (!term) return nullptr;
        PyObject* args[] = {name.get(), sort};
        if (signature_ != Py_None && !register_symbol(signature_, s.s_register_constant, args, 2)) return nullptr;
        return term.release();
    }
    Ref name(next_name(s.s_function_counter, "sk_f"));
    if (!name) return nullptr;
    Py_ssize_t k = static_cast<Py_ssize_t>(universals.size());
    Ref arity(PyLong_FromSsize_t(k));
    Ref args(PyTuple_New(k));
    Ref sorts(PyTuple_New(k));
    if (!arity || !args || !sorts) return nullptr;
    for (Py_ssize_t i = 0; i < k; ++i) {
        PyObject* u = universals[static_cast<size_t>(i)];
        if (ast::kind_of(u) != Kind::Variable) return not_a_variable(u);
        PyTuple_SET_ITEM(args.get(), i, Py_NewRef(u));
        PyTuple_SET_ITEM(sorts.get(), i, Py_NewRef(ast::as_variable(u)->term.sort));
    }
    Ref term(a.new_function_app(a.types[static_cast<int>(Kind::FunctionApp)], name.get(), arity.get(), args.get(), sort));
    if (!term) return nullptr;
    PyObject* reg[] = {name.get(), arity.get(), sorts.get(), sort};
    if (signature_ != Py_None && !register_symbol(signature_, s.s_register_function, reg, 4)) return nullptr;
    return term.release();
}

}  // namespace quorvel::clausifier
