// Subsumption by one-way matching, with explicit stacks: clause and term
// depth come from the user's formulas.
#include "quorvel/prover/engine/matching.h"

#include <utility>

#include "quorvel/core/ast/api.h"
#include "quorvel/prover/clausifier/api.h"
#include "quorvel/support/py/ref.h"

namespace quorvel::engine {

namespace {

using py::Ref;

constexpr uint64_t kOffset = 1469598103934665603ULL;
constexpr uint64_t kPrime = 1099511628211ULL;

uint64_t mix(uint64_t h, uint64_t v) {
    h ^= v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
    return h * kPrime;
}

// A symbol's own fingerprint: its text's bytes, so no string hash seed
// enters the queue order.
uint64_t symbol_key(PyObject* name) {
    uint64_t h = kOffset;
    if (!PyUnicode_Check(name)) return mix(h, 7);
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    if (!text) {
        PyErr_Clear();
        return mix(h, 11);
    }
    for (Py_ssize_t i = 0; i < size; ++i) h = (h ^ static_cast<unsigned char>(text[i])) * kPrime;
    return h;
}

PyObject* args_of(PyObject* atom, ast::Kind k) {
    return k == ast::Kind::PredicateApp ? ast::as_predicate_app(atom)->args : ast::as_function_app(atom)->args;
}

// Weight, fingerprint and symbol bit of one literal: a pre-order walk of its terms.
bool weigh_literal(PyObject* literal, ClauseInfo& info) {
    PyObject* atom = clausifier::as_literal(literal)->atom;
    int positive = PyObject_IsTrue(clausifier::as_literal(literal)->positive);
    if (positive < 0) return false;
    uint64_t h = mix(kOffset, positive ? 1 : 2);
    uint64_t symbol = 0;
    std::vector<PyObject*> stack;
    ast::Kind k = ast::kind_of(atom);
    if (k == ast::Kind::PredicateApp) {
        symbol = symbol_key(ast::as_predicate_app(atom)->pred);
        h = mix(h, symbol);
        PyObject* args = ast::as_predicate_app(atom)->args;
        if (!PyTuple_Check(args)) return PyErr_SetString(PyExc_TypeError, "atom arguments must be a tuple"), false;
        for (Py_ssize_t i = PyTuple_GET_SIZE(args); i-- > 0;) stack.push_back(PyTuple_GET_ITEM(args, i));
    } else if (k == ast::Kind::Equality) {
        symbol = 3;
        h = mix(h, 3);
        stack.push_back(ast::as_equality(atom)->right);
        stack.push_back(ast::as_equality(atom)->left);
    }
    long long w = 1;
    while (!stack.empty()) {
        PyObject* t = stack.back();
        stack.pop_back();
        ++w;
        ast::Kind tk = ast::kind_of(t);
        if (tk == ast::Kind::Variable) {
            h = mix(h, 5);
        } else if (tk == ast::Kind::Constant) {
            h = mix(h, symbol_key(ast::as_constant(t)->name));
        } else if (tk == ast::Kind::FunctionApp) {
            h = mix(h, symbol_key(ast::as_function_app(t)->func));
            PyObject* args = ast::as_function_app(t)->args;
            if (!PyTuple_Check(args)) return PyErr_SetString(PyExc_TypeError, "term arguments must be a tuple"), false;
            for (Py_ssize_t i = PyTuple_GET_SIZE(args); i-- > 0;) stack.push_back(PyTuple_GET_ITEM(args, i));
        } else {
            h = mix(h, 13);
        }
    }
    info.weight += w;
    info.literal_weights.push_back(w);
    info.negative.push_back(!positive);
    info.key += h * 0x2545F4914F6CDD1DULL;  // a sum: independent of the literal order
    (positive ? info.positive_symbols : info.negative_symbols) |= uint64_t{1} << (symbol % 64);
    return true;
}

using Bindings = std::vector<std::pair<PyObject*, PyObject*>>;

// Extends `b` so that pattern instantiates to target; on failure `b` is
// left as it came. 1, 0, or -1 with an exception set.
int match(PyObject* pattern, PyObject* target, Bindings& b) {
    size_t mark = b.size();
    std::vector<std::pair<PyObject*, PyObject*>> todo{{pattern, target}};
    auto fail = [&](int r) {
        b.resize(mark);
        return r;
    };
    while (!todo.empty()) {
        auto [p, t] = todo.back();
        todo.pop_back();
        ast::Kind pk = ast::kind_of(p);
        if (pk == ast::Kind::Variable) {
            PyObject* bound = nullptr;
            for (auto& [var, term] : b) {
                int same = var == p ? 1 : PyObject_RichCompareBool(var, p, Py_EQ);
                if (same < 0) return fail(-1);
                if (same) {
                    bound = term;
                    break;
                }
            }
            if (!bound) {
                b.emplace_back(p, t);
                continue;
            }
            int eq = bound == t ? 1 : PyObject_RichCompareBool(bound, t, Py_EQ);
            if (eq <= 0) return fail(eq);
            continue;
        }
        ast::Kind tk = ast::kind_of(t);
        if (pk != tk) return fail(0);
        if (pk == ast::Kind::FunctionApp || pk == ast::Kind::PredicateApp) {
            PyObject* ps = pk == ast::Kind::FunctionApp ? ast::as_function_app(p)->func : ast::as_predicate_app(p)->pred;
            PyObject* ts = pk == ast::Kind::FunctionApp ? ast::as_function_app(t)->func : ast::as_predicate_app(t)->pred;
            int eq = ps == ts ? 1 : PyObject_RichCompareBool(ps, ts, Py_EQ);
            if (eq <= 0) return fail(eq);
            PyObject* pa = args_of(p, pk);
            PyObject* ta = args_of(t, tk);
            if (!PyTuple_Check(pa) || !PyTuple_Check(ta) || PyTuple_GET_SIZE(pa) != PyTuple_GET_SIZE(ta)) return fail(0);
            for (Py_ssize_t i = PyTuple_GET_SIZE(pa); i-- > 0;)
                todo.emplace_back(PyTuple_GET_ITEM(pa, i), PyTuple_GET_ITEM(ta, i));
        } else if (pk == ast::Kind::Equality) {
            todo.emplace_back(ast::as_equality(p)->right, ast::as_equality(t)->right);
            todo.emplace_back(ast::as_equality(p)->left, ast::as_equality(t)->left);
        } else {
            int eq = p == t ? 1 : PyObject_RichCompareBool(p, t, Py_EQ);
            if (eq <= 0) return fail(eq);
        }
    }
    return 1;
}

int same_sign(PyObject* a, PyObject* b) {
    PyObject* x = clausifier::as_literal(a)->positive;
    PyObject* y = clausifier::as_literal(b)->positive;
    return x == y ? 1 : PyObject_RichCompareBool(x, y, Py_EQ);
}

}  // namespace

bool describe(ClauseInfo& info) {
    Ref list(PySequence_List(clausifier::as_clause(info.clause)->literals));
    if (!list) return false;
    info.literals.clear();
    info.literal_weights.clear();
    info.negative.clear();
    info.weight = 0;
    info.key = 0;
    info.positive_symbols = info.negative_symbols = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        PyObject* lit = PyList_GET_ITEM(list.get(), i);
        if (!PyObject_TypeCheck(lit, clausifier::api().literal_type))
            return PyErr_SetString(PyExc_TypeError, "clause members must be Literal values"), false;
        info.literals.push_back(lit);  // the clause's set keeps it alive
        if (!weigh_literal(lit, info)) return false;
    }
    return true;
}

int subsumes(const ClauseInfo& general, const ClauseInfo& specific) {
    const size_t m = general.literals.size();
    const size_t n = specific.literals.size();
    if (m > n) return 0;
    if (m == 0) return 1;
    if ((general.positive_symbols & ~specific.positive_symbols) |
        (general.negative_symbols & ~specific.negative_symbols))
        return 0;
    Bindings b;
    // choice[i]: the target literal tried for general literal i; marks[i]:
    // the bindings before it.
    std::vector<size_t> choice(m, 0), marks(m, 0);
    size_t i = 0, start = 0;
    while (true) {
        bool placed = false;
        for (size_t j = start; j < n; ++j) {
            int s = same_sign(general.literals[i], specific.literals[j]);
            if (s < 0) return -1;
            if (!s) continue;
            size_t mark = b.size();
            int r = match(clausifier::as_literal(general.literals[i])->atom,
                          clausifier::as_literal(specific.literals[j])->atom, b);
            if (r < 0) return -1;
            if (!r) continue;
            choice[i] = j;
            marks[i] = mark;
            placed = true;
            break;
        }
        if (placed) {
            if (++i == m) return 1;
            start = 0;
            continue;
        }
        if (i == 0) return 0;
        --i;
        b.resize(marks[i]);
        start = choice[i] + 1;
    }
}

}  // namespace quorvel::engine
