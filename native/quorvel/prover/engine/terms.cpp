// Hash-consed terms, unification and matching with explicit stacks: term
// depth comes from the user's formulas and from Skolem nesting.
#include "quorvel/prover/engine/terms.h"

#include <algorithm>
#include <limits>

#include "quorvel/core/ast/api.h"
#include "quorvel/prover/clausifier/api.h"

namespace quorvel::engine {

namespace {

using py::Ref;
using ast::Kind;

constexpr TermId kUnbound = std::numeric_limits<TermId>::min();

uint64_t mix(uint64_t h, uint64_t v) {
    h ^= v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
    return h * kFnvPrime;
}

uint64_t node_hash(int32_t symbol, int32_t sort, const TermId* args, uint32_t arity) {
    uint64_t h = mix(kFnvOffset, static_cast<uint32_t>(symbol));
    h = mix(h, static_cast<uint32_t>(sort));
    for (uint32_t i = 0; i < arity; ++i) h = mix(h, static_cast<uint32_t>(args[i]));
    return h;
}

}  // namespace

TermId TermBank::make(int32_t symbol, int32_t sort, const TermId* args, uint32_t arity) {
    uint64_t h = node_hash(symbol, sort, args, arity);
    auto [lo, hi] = table_.equal_range(h);
    for (auto it = lo; it != hi; ++it) {
        const TermNode& n = nodes_[static_cast<size_t>(it->second)];
        if (n.symbol == symbol && n.sort == sort && n.arity == arity &&
            std::equal(args, args + arity, args_.data() + n.first))
            return it->second;
    }
    TermNode n{symbol, sort, arity, static_cast<uint32_t>(args_.size()), 1, true,
               uint64_t{1} << (static_cast<uint32_t>(symbol) % 64)};
    for (uint32_t i = 0; i < arity; ++i) {
        n.weight += weight(args[i]);
        n.ground = n.ground && !is_var(args[i]) && node(args[i]).ground;
        if (!is_var(args[i])) n.symbols |= node(args[i]).symbols;
    }
    args_.insert(args_.end(), args, args + arity);
    TermId id = static_cast<TermId>(nodes_.size());
    nodes_.push_back(n);
    table_.emplace(h, id);
    return id;
}

int32_t TermBank::intern(PyObject* key) {
    if (!key || !keys_) return -1;
    PyObject* known = PyDict_GetItemWithError(keys_.get(), key);
    if (known) return static_cast<int32_t>(PyLong_AsLong(known));
    if (PyErr_Occurred()) return -1;
    Ref id(PyLong_FromLong(next_key_));
    if (!id || PyDict_SetItem(keys_.get(), key, id.get()) < 0) return -1;
    return next_key_++;
}

// A post-order walk: a node's arguments are made before the node.
bool TermBank::import_atom(PyObject* atom, PyObject* vars, NClause& out, TermId& result) {
    struct Frame {
        PyObject* obj;
        Ref items;  // the arguments, once expanded
        int32_t symbol = -1, sort = -1;
    };
    std::vector<Frame> stack;
    std::vector<TermId> done;
    auto term_sort = [&](PyObject* t) { return intern(Ref(Py_BuildValue("(sO)", "s", reinterpret_cast<ast::TermObject*>(t)->sort)).get()); };
    stack.push_back({atom, Ref(), -1, -1});
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.items) {
            Py_ssize_t n = PySequence_Fast_GET_SIZE(f.items.get());
            TermId id = make(f.symbol, f.sort, done.data() + done.size() - n, static_cast<uint32_t>(n));
            done.resize(done.size() - n);
            done.push_back(id);
            stack.pop_back();
            continue;
        }
        PyObject* o = f.obj;
        Kind k = ast::kind_of(o);
        PyObject* args = nullptr;
        if (k == Kind::PredicateApp) {
            f.symbol = intern(Ref(Py_BuildValue("(sOO)", "p", ast::as_predicate_app(o)->pred, ast::as_predicate_app(o)->arity)).get());
            args = ast::as_predicate_app(o)->args;
        } else if (k == Kind::Equality) {
            f.symbol = intern(Ref(Py_BuildValue("(s)", "=")).get());
            f.items = Ref(PyTuple_Pack(2, ast::as_equality(o)->left, ast::as_equality(o)->right));
            if (!f.items) return false;
        } else if (k == Kind::FunctionApp) {
            const ast::FunctionAppObject* fa = ast::as_function_app(o);
            f.symbol = intern(Ref(Py_BuildValue("(sOOO)", "f", fa->func, fa->arity, fa->return_sort)).get());
            f.sort = f.symbol < 0 ? -1 : term_sort(o);
            args = fa->args;
        } else if (k == Kind::Variable) {
            PyObject* index = PyDict_GetItemWithError(vars, o);
            if (!index && PyErr_Occurred()) return false;
            int32_t v;
            if (index) {
                v = static_cast<int32_t>(PyLong_AsLong(index));
            } else {
                v = static_cast<int32_t>(out.var_sorts.size());
                int32_t s = term_sort(o);
                Ref i(PyLong_FromLong(v));
                if (s < 0 || !i || PyDict_SetItem(vars, o, i.get()) < 0) return false;
                out.var_sorts.push_back(s);
            }
            done.push_back(var_term(v));
            stack.pop_back();
            continue;
        } else if (ast::is_term(o)) {
            // A constant, or a term of another kind: equal or not, as the
            // unifier takes them.
            int32_t symbol = intern(Ref(Py_BuildValue("(sO)", "c", o)).get());
            int32_t s = symbol < 0 ? -1 : term_sort(o);
            if (s < 0) return false;
            done.push_back(make(symbol, s, nullptr, 0));
            stack.pop_back();
            continue;
        } else {
            return PyErr_SetString(PyExc_TypeError, "a literal's atom must be an atom over terms"), false;
        }
        if (f.symbol < 0) return false;
        if (args && !(f.items = Ref(PySequence_Fast(args, "arguments must be a sequence")))) return false;
        Ref items = Ref::borrow(f.items.get());
        for (Py_ssize_t i = PySequence_Fast_GET_SIZE(items.get()); i-- > 0;)
            stack.push_back({PySequence_Fast_GET_ITEM(items.get(), i), Ref(), -1, -1});
    }
    result = done.back();
    return true;
}

namespace {

// FNV-1a over a name's text: no string hash seed enters the order.
uint64_t text_key(PyObject* name) {
    Ref text(PyUnicode_Check(name) ? Ref::borrow(name) : Ref(PyObject_Repr(name)));
    Py_ssize_t size = 0;
    const char* bytes = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
    if (!bytes) {
        PyErr_Clear();
        return 0;
    }
    uint64_t h = kFnvOffset;
    for (Py_ssize_t i = 0; i < size; ++i) h = fnv_step(h, static_cast<unsigned char>(bytes[i]));
    return h;
}

}  // namespace

bool literal_signature(PyObject* lit, std::vector<uint64_t>& out) {
    out.clear();
    int positive = PyObject_IsTrue(clausifier::as_literal(lit)->positive);
    if (positive < 0) return false;
    out.push_back(positive ? 0 : 1);
    std::vector<PyObject*> stack{clausifier::as_literal(lit)->atom};
    while (!stack.empty()) {
        PyObject* o = stack.back();
        stack.pop_back();
        PyObject* args = nullptr;
        switch (ast::kind_of(o)) {
            case Kind::PredicateApp:
                out.push_back(text_key(ast::as_predicate_app(o)->pred));
                args = ast::as_predicate_app(o)->args;
                break;
            case Kind::FunctionApp:
                out.push_back(text_key(ast::as_function_app(o)->func));
                args = ast::as_function_app(o)->args;
                break;
            case Kind::Equality:
                out.push_back(3);
                stack.push_back(ast::as_equality(o)->right);
                stack.push_back(ast::as_equality(o)->left);
                break;
            case Kind::Variable: {
                long long id = PyLong_AsLongLong(ast::as_variable(o)->id);
                if (id == -1 && PyErr_Occurred()) PyErr_Clear();
                out.push_back(5);
                out.push_back(static_cast<uint64_t>(id));
                break;
            }
            case Kind::Constant:
                out.push_back(7);
                out.push_back(text_key(ast::as_constant(o)->name));
                break;
            default:
                out.push_back(11);
        }
        if (args) {
            Ref items(PySequence_Fast(args, "arguments must be a sequence"));
            if (!items) return false;
            out.push_back(static_cast<uint64_t>(PySequence_Fast_GET_SIZE(items.get())));
            for (Py_ssize_t i = PySequence_Fast_GET_SIZE(items.get()); i-- > 0;)
                stack.push_back(PySequence_Fast_GET_ITEM(items.get(), i));
        }
    }
    return true;
}

bool clause_signature(PyObject* clause, std::vector<std::vector<uint64_t>>& out) {
    Ref list(PySequence_List(clausifier::as_clause(clause)->literals));
    if (!list) return false;
    out.assign(static_cast<size_t>(PyList_GET_SIZE(list.get())), {});
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        PyObject* lit = PyList_GET_ITEM(list.get(), i);
        if (!PyObject_TypeCheck(lit, clausifier::api().literal_type))
            return PyErr_SetString(PyExc_TypeError, "clause members must be Literal values"), false;
        if (!literal_signature(lit, out[static_cast<size_t>(i)])) return false;
    }
    std::sort(out.begin(), out.end());
    return true;
}

bool TermBank::import(PyObject* clause, NClause& out) {
    out = NClause();
    Ref list(PySequence_List(clausifier::as_clause(clause)->literals));
    Ref vars(PyDict_New());
    if (!list || !vars) return false;
    // The literals in the order of their signatures, not of the set (whose
    // order follows the string hash seed): nodes and variables are numbered
    // in the order met.
    std::vector<std::pair<std::vector<uint64_t>, PyObject*>> order;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        PyObject* lit = PyList_GET_ITEM(list.get(), i);
        if (!PyObject_TypeCheck(lit, clausifier::api().literal_type))
            return PyErr_SetString(PyExc_TypeError, "clause members must be Literal values"), false;
        order.emplace_back();
        order.back().second = lit;
        if (!literal_signature(lit, order.back().first)) return false;
    }
    std::stable_sort(order.begin(), order.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
    for (auto& [signature, lit] : order) {
        int positive = PyObject_IsTrue(clausifier::as_literal(lit)->positive);
        TermId atom;
        if (positive < 0 || !import_atom(clausifier::as_literal(lit)->atom, vars.get(), out, atom)) return false;
        out.lits.push_back(atom * 2 + (positive ? 0 : 1));
    }
    return true;
}

bool TermBank::finish(NClause& c) const {
    std::sort(c.lits.begin(), c.lits.end());
    c.lits.erase(std::unique(c.lits.begin(), c.lits.end()), c.lits.end());
    c.weight = 0;
    c.positive_symbols = c.negative_symbols = c.symbols = 0;
    for (size_t i = 0; i < c.lits.size(); ++i) {
        Lit l = c.lits[i];
        if (i > 0 && c.lits[i - 1] == (l ^ 1)) return false;
        c.weight += node(atom_of(l)).weight;
        c.symbols |= node(atom_of(l)).symbols;
        (negative(l) ? c.negative_symbols : c.positive_symbols) |= uint64_t{1} << (symbol_of_atom(l) % 64);
    }
    return true;
}

void Unifier::start(const NClause& a, const NClause& b, bool same_clause) {
    clauses_[0] = &a;
    clauses_[1] = &b;
    offset_[0] = 0;
    offset_[1] = same_clause ? 0 : static_cast<int32_t>(a.var_sorts.size());
    size_t n = same_clause ? a.var_sorts.size() : a.var_sorts.size() + b.var_sorts.size();
    bound_.assign(n, Ref{kUnbound, 0});
    renamed_.assign(n, -1);
}

Unifier::Ref Unifier::deref(Ref r) const {
    while (is_var(r.t)) {
        const Ref& b = bound_[slot(r.t, r.bank)];
        if (b.t == kUnbound) break;
        r = b;
    }
    return r;
}

int32_t Unifier::sort_of(Ref r) const { return bank_.sort_of(r.t, clauses_[r.bank]->var_sorts.data()); }

bool Unifier::occurs(size_t s, Ref r) {
    std::vector<Ref>& stack = occurs_;
    stack.assign(1, r);
    while (!stack.empty()) {
        Ref x = deref(stack.back());
        stack.pop_back();
        if (is_var(x.t)) {
            if (slot(x.t, x.bank) == s) return true;
            continue;
        }
        const TermNode& n = bank_.node(x.t);
        if (n.ground) continue;
        const TermId* args = bank_.args(x.t);
        for (uint32_t i = 0; i < n.arity; ++i) stack.push_back(Ref{args[i], x.bank});
    }
    return false;
}

bool Unifier::unify(TermId a, int bank_a, TermId b, int bank_b) {
    std::vector<std::pair<Ref, Ref>>& todo = todo_;
    todo.assign(1, {Ref{a, bank_a}, Ref{b, bank_b}});
    while (!todo.empty()) {
        auto [x, y] = todo.back();
        todo.pop_back();
        x = deref(x);
        y = deref(y);
        if (is_var(x.t) && is_var(y.t) && slot(x.t, x.bank) == slot(y.t, y.bank)) continue;
        if (!is_var(x.t) && is_var(y.t)) std::swap(x, y);
        if (is_var(x.t)) {
            if (sort_of(x) != sort_of(y)) return false;
            size_t s = slot(x.t, x.bank);
            if (occurs(s, y)) return false;
            bound_[s] = y;
            continue;
        }
        const TermNode& nx = bank_.node(x.t);
        const TermNode& ny = bank_.node(y.t);
        if (nx.symbol != ny.symbol || nx.sort != ny.sort || nx.arity != ny.arity) return false;
        if (x.t == y.t && nx.ground) continue;
        const TermId* ax = bank_.args(x.t);
        const TermId* ay = bank_.args(y.t);
        for (uint32_t i = nx.arity; i-- > 0;) todo.push_back({Ref{ax[i], x.bank}, Ref{ay[i], y.bank}});
    }
    return true;
}

TermId Unifier::instance(TermId t, int bank, NClause& out) {
    if (!is_var(t) && bank_.node(t).ground) return t;
    // (term, expanded): an expanded node is made once its arguments are done.
    std::vector<std::pair<Ref, bool>>& stack = frames_;
    std::vector<TermId>& done = done_;
    stack.assign(1, {Ref{t, bank}, false});
    done.clear();
    while (!stack.empty()) {
        auto [ref, expanded] = stack.back();
        stack.pop_back();
        if (expanded) {
            const TermNode n = bank_.node(ref.t);  // a copy: make() may move the nodes
            TermId id = bank_.make(n.symbol, n.sort, done.data() + done.size() - n.arity, n.arity);
            done.resize(done.size() - n.arity);
            done.push_back(id);
            continue;
        }
        Ref r = deref(ref);
        if (is_var(r.t)) {
            size_t s = slot(r.t, r.bank);
            if (renamed_[s] < 0) {
                renamed_[s] = static_cast<int32_t>(out.var_sorts.size());
                out.var_sorts.push_back(sort_of(r));
            }
            done.push_back(var_term(renamed_[s]));
            continue;
        }
        const TermNode& n = bank_.node(r.t);
        if (n.ground) {
            done.push_back(r.t);
            continue;
        }
        stack.push_back({r, true});
        const TermId* args = bank_.args(r.t);
        for (uint32_t i = n.arity; i-- > 0;) stack.push_back({Ref{args[i], r.bank}, false});
    }
    return done.back();
}

namespace {

// Extends `bound` (general's variables) so that pattern p becomes target t;
// on failure `bound` may be half extended (the caller restores it).
bool match(const TermBank& bank, TermId p, TermId t, const NClause& general, const NClause& specific,
           std::vector<TermId>& bound, std::vector<int32_t>& trail) {
    static thread_local std::vector<std::pair<TermId, TermId>> todo;
    todo.assign(1, {p, t});
    while (!todo.empty()) {
        auto [x, y] = todo.back();
        todo.pop_back();
        if (is_var(x)) {
            TermId& b = bound[var_of(x)];
            if (b == kUnbound) {
                if (general.var_sorts[var_of(x)] != bank.sort_of(y, specific.var_sorts.data())) return false;
                b = y;
                trail.push_back(var_of(x));
            } else if (b != y) {
                return false;
            }
            continue;
        }
        if (is_var(y)) return false;
        const TermNode& nx = bank.node(x);
        if (nx.ground) {
            if (x != y) return false;
            continue;
        }
        const TermNode& ny = bank.node(y);
        if (nx.symbol != ny.symbol || nx.sort != ny.sort || nx.arity != ny.arity) return false;
        const TermId* ax = bank.args(x);
        const TermId* ay = bank.args(y);
        for (uint32_t i = nx.arity; i-- > 0;) todo.emplace_back(ax[i], ay[i]);
    }
    return true;
}

}  // namespace

bool subsumes(const TermBank& bank, const NClause& general, const NClause& specific) {
    const size_t m = general.lits.size();
    const size_t n = specific.lits.size();
    if (m > n) return false;
    if ((general.positive_symbols & ~specific.positive_symbols) |
        (general.negative_symbols & ~specific.negative_symbols) | (general.symbols & ~specific.symbols))
        return false;
    if (m == 0) return true;
    // Scratch kept between calls (the loop runs with the GIL held, one
    // test at a time).
    static thread_local std::vector<TermId> bound;
    static thread_local std::vector<int32_t> trail;
    // choice[i]: the target literal of general literal i; marks[i]: the
    // trail before it.
    static thread_local std::vector<size_t> choice, marks;
    bound.assign(general.var_sorts.size(), kUnbound);
    trail.clear();
    choice.assign(m, 0);
    marks.assign(m, 0);
    size_t i = 0, start = 0;
    while (true) {
        bool placed = false;
        Lit g = general.lits[i];
        for (size_t j = start; j < n; ++j) {
            Lit s = specific.lits[j];
            if (negative(g) != negative(s) || bank.symbol_of_atom(g) != bank.symbol_of_atom(s)) continue;
            size_t mark = trail.size();
            if (!match(bank, atom_of(g), atom_of(s), general, specific, bound, trail)) {
                while (trail.size() > mark) bound[trail.back()] = kUnbound, trail.pop_back();
                continue;
            }
            choice[i] = j;
            marks[i] = mark;
            placed = true;
            break;
        }
        if (placed) {
            if (++i == m) return true;
            start = 0;
            continue;
        }
        if (i == 0) return false;
        --i;
        while (trail.size() > marks[i]) bound[trail.back()] = kUnbound, trail.pop_back();
        start = choice[i] + 1;
    }
}

bool AtomOrder::greater(TermId s, TermId t) {
    // The lexicographic case compares the first pair of arguments that
    // differ and nothing else, so the descent is a loop.
    for (;;) {
        if (s == t || is_var(s)) return false;
        if (is_var(t)) return occurs(t, s);
        if (!variables_dominate(s, t)) return false;
        uint32_t ws = bank_.weight(s), wt = bank_.weight(t);
        if (ws != wt) return ws > wt;
        const TermNode& ns = bank_.node(s);
        const TermNode& nt = bank_.node(t);
        if (ns.symbol != nt.symbol) return ns.symbol > nt.symbol;
        if (ns.arity != nt.arity) return ns.arity > nt.arity;
        const TermId* as = bank_.args(s);
        const TermId* at = bank_.args(t);
        uint32_t i = 0;
        while (i < ns.arity && as[i] == at[i]) ++i;
        if (i == ns.arity) return ns.sort > nt.sort;  // one symbol and arguments, two sorts
        s = as[i];
        t = at[i];
    }
}

bool AtomOrder::occurs(TermId var, TermId t) {
    stack_.assign(1, t);
    while (!stack_.empty()) {
        TermId u = stack_.back();
        stack_.pop_back();
        if (u == var) return true;
        if (is_var(u) || bank_.node(u).ground) continue;
        const TermId* a = bank_.args(u);
        stack_.insert(stack_.end(), a, a + bank_.node(u).arity);
    }
    return false;
}

bool AtomOrder::variables_dominate(TermId s, TermId t) {
    if (bank_.node(t).ground) return true;
    balance_.clear();
    for (int side = 0; side < 2; ++side) {
        stack_.assign(1, side == 0 ? s : t);
        while (!stack_.empty()) {
            TermId u = stack_.back();
            stack_.pop_back();
            if (is_var(u)) {
                size_t v = static_cast<size_t>(var_of(u));
                if (balance_.size() <= v) balance_.resize(v + 1, 0);
                balance_[v] += side == 0 ? 1 : -1;
                continue;
            }
            if (bank_.node(u).ground) continue;
            const TermId* a = bank_.args(u);
            stack_.insert(stack_.end(), a, a + bank_.node(u).arity);
        }
    }
    return std::all_of(balance_.begin(), balance_.end(), [](int32_t b) { return b >= 0; });
}

}  // namespace quorvel::engine
