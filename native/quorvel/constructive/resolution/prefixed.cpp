// clausify_prefixed, PrefixedResolutionProver and prove_prefixed_resolution:
// the clauses of the matrix paths, lowered to native clauses, searched
// natively, and the derivation found lifted to records.
#include <algorithm>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "quorvel/constructive/matrix/api.h"
#include "quorvel/constructive/prefix/api.h"
#include "quorvel/constructive/resolution/search.h"
#include "quorvel/constructive/resolution/state.h"
#include "quorvel/support/py/args.h"
#include "quorvel/support/py/compat.h"
#include "quorvel/support/py/constructive.h"
#include "quorvel/support/py/gc_pause.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/premises.h"
#include "quorvel/support/py/ref.h"
#include "quorvel/support/py/interrupt.h"
#include "quorvel/support/py/names.h"
#include "quorvel/support/small_sort.h"

namespace quorvel::resolution {
namespace {

using py::Ref;

// ---- clausify_prefixed ----

const char* const kClausifyNames[] = {"target", "premises", "multiplicity"};
const py::Signature kClausify{"clausify_prefixed", kClausifyNames, 3, 1, 0, false};

PyObject* clausify_prefixed(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* p[3];
        if (!py::parse_vector(kClausify, args, nargs, kwnames, p)) return nullptr;
        Ref one;
        if (!p[2]) {
            one = Ref(PyLong_FromLong(1));
            if (!one) return nullptr;
        }
        return clausify(p[0], p[1] ? p[1] : Py_None, p[2] ? p[2] : one.get());
    });
}

// ---- clausification ----

// What clausify knows natively of the clauses it made: the tree's view
// (borrowed from the tree it returns, or from a native build), the formula
// of each position when the view has no Position objects, the paths, the
// literal of each leaf on a path, and the size of each clause's literal set.
struct NativePaths {
    const matrix::TreeView* view = nullptr;
    const std::vector<PyObject*>* formulas = nullptr;
    matrix::PathSet paths;
    std::vector<Ref> literals;  // by leaf index, null for a leaf on no path
    std::vector<Py_ssize_t> sizes;
};

// The formula at `leaf`, from its Position or, without one, from `formulas`.
PyObject* leaf_formula(const matrix::TreeView& view, const std::vector<PyObject*>* formulas, uint32_t leaf) {
    if (formulas) return Py_NewRef((*formulas)[leaf]);
    return PyObject_GetAttr(view.positions[leaf], state().s_formula);
}

// Equal literals of two leaves (one atom under one prefix) made one object,
// so that a path's set meets the second by identity and never compares.
class EqualLiterals {
public:
    // Room for the literals of `leaves` leaves.
    explicit EqualLiterals(size_t leaves) {
        heads_.reserve(leaves);
        made_.reserve(leaves);
        next_.reserve(leaves);
    }

    // The first literal made that equals `literal`, else `literal` itself;
    // NULL with an exception set. `hash` is the literal's, or -1 to have it
    // computed here. Literals of a class with a user's hash or equality are
    // kept apart (that code runs as often as the sets ask), their hash
    // left at -1.
    PyObject* first_equal(Ref literal, Py_hash_t& hash) {
        if (!literal_compares_natively(literal.get())) {
            hash = -1;
            return literal.release();
        }
        if (hash == -1) hash = PyObject_Hash(literal.get());
        if (hash == -1) return nullptr;
        uint32_t* first = heads_.find(hash);
        for (uint32_t i = first ? *first : kEnd; i != kEnd; i = next_[i]) {
            int same = PyObject_RichCompareBool(made_[i], literal.get(), Py_EQ);
            if (same < 0) return nullptr;
            if (same) return Py_NewRef(made_[i]);
        }
        next_.push_back(first ? *first : kEnd);
        if (first) *first = static_cast<uint32_t>(made_.size());
        else heads_.insert(hash, static_cast<uint32_t>(made_.size()));
        made_.push_back(literal.get());  // held by the caller's table
        return literal.release();
    }

private:
    struct Mix {
        size_t operator()(Py_hash_t h) const { return static_cast<size_t>(mix64(static_cast<uint64_t>(h))); }
    };
    static constexpr uint32_t kEnd = UINT32_MAX;
    FlatMap<Py_hash_t, uint32_t, Mix> heads_{-1};  // hash -> its latest literal
    std::vector<PyObject*> made_;
    std::vector<uint32_t> next_;  // the literal made before with the same hash
};

// One PrefixedClause per path of `view`, in path order. With `native`, what
// the lowering reads is moved there.
PyObject* path_clauses(const matrix::TreeView& view, const std::vector<PyObject*>* formulas,
                       matrix::PathSet& paths, NativePaths* native) {
    py::GcPause pause;  // clauses and literals form no cycle
    Ref clauses(PyList_New(static_cast<Py_ssize_t>(paths.size())));  // each item set below
    if (!clauses) return nullptr;
    // A leaf gives the same literal on every path: made and hashed once
    // (the memo's literals live in `literals`, which outlives it).
    std::vector<Ref> literals(view.tree.positions.size());
    LiteralHashMemo hashes(view.tree.leaves.size());
    EqualLiterals equal(view.tree.leaves.size());
    if (native) native->sizes.reserve(paths.size());
    for (size_t i = 0; i < paths.size(); ++i) {
        Ref frozen(PyFrozenSet_New(nullptr));  // filled while nobody else holds it
        if (!frozen) return nullptr;
        for (size_t k = paths.offsets[i]; k < paths.offsets[i + 1]; ++k) {
            uint32_t leaf = paths.leaves[k];
            if (!literals[leaf]) {
                const matrix::NativePosition& pos = view.tree.positions[leaf];
                Ref formula(leaf_formula(view, formulas, leaf));
                Ref polarity(formula ? PyLong_FromLong(pos.polarity) : nullptr);
                if (!polarity) return nullptr;
                PyObject* prefix = view.prefixes[pos.last_symbol];
                Ref made(make_literal(prefix, polarity.get(), formula.get()));
                if (!made) return nullptr;
                // Its hash from the fields at hand, as the class's own would read them.
                Py_hash_t hash = literal_compares_natively(made.get())
                                     ? literal_fields_hash(prefix, polarity.get(), formula.get())
                                     : -1;
                if (hash == -1 && PyErr_Occurred()) return nullptr;
                literals[leaf] = Ref(equal.first_equal(std::move(made), hash));
                if (!literals[leaf] || !hashes.add(literals[leaf].get(), hash)) return nullptr;
            }
            if (PySet_Add(frozen.get(), literals[leaf].get()) < 0) return nullptr;
        }
        Ref clause(make_clause(frozen.get()));
        if (!clause) return nullptr;
        PyList_SET_ITEM(clauses.get(), static_cast<Py_ssize_t>(i), clause.release());
        if (native) native->sizes.push_back(PySet_GET_SIZE(frozen.get()));
        if ((i & 1023) == 1023 && PyErr_CheckSignals() < 0) return nullptr;
    }
    if (native) {
        native->view = &view;
        native->formulas = formulas;
        native->paths = std::move(paths);
        native->literals = std::move(literals);
    }
    return clauses.release();
}

PyObject* clausify_impl(PyObject* target, PyObject* premises, PyObject* multiplicity, NativePaths* native) {
    Ref norm_target(py::normalize_formula(target));
    if (!norm_target) return nullptr;
    Ref list(PyList_New(0));
    if (!list) return nullptr;
    if (premises != Py_None) {
        Ref seq(PySequence_Fast(premises, "premises must be a sequence of formulas"));
        if (!seq) return nullptr;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
            Ref f(py::normalize_formula(PySequence_Fast_GET_ITEM(seq.get(), i)));
            if (!f || PyList_Append(list.get(), f.get()) < 0) return nullptr;
        }
    }
    const matrix::Api& mapi = matrix::api();
    Ref tree(mapi.new_tree(norm_target.get(), list.get(), multiplicity));
    if (!tree) return nullptr;
    const matrix::TreeView* view = mapi.view(tree.get());
    if (!view) return nullptr;
    Interrupt interrupt = py::signal_interrupt();
    matrix::PathSet paths;
    if (!mapi.paths(*view, interrupt, paths)) return nullptr;
    Ref clauses(path_clauses(*view, nullptr, paths, native));
    return clauses ? PyTuple_Pack(2, clauses.get(), tree.get()) : nullptr;
}

// ---- lowering of clauses for the search ----

// Symbols and atoms numbered by Python equality; the tree's symbols (in
// tree_order's key order) and its leaves' atoms come first, so that the
// literal order inside each clause, which fixes the candidates' order, is
// the same in every process.
class Lowerer {
public:
    bool init(PyObject* tree) {
        syms_ = Ref(PyDict_New());
        atoms_ = Ref(PyDict_New());
        if (!syms_ || !atoms_) return false;
        Ref order(PyObject_GetAttr(tree, state().s_tree_order));
        if (!order) return false;
        Ref items(PyMapping_Items(order.get()));
        if (!items) return false;
        std::vector<std::pair<Sym, Ref>> edges;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
            PyObject* pair = PyList_GET_ITEM(items.get(), i);
            if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
                PyErr_SetString(PyExc_TypeError, "tree_order items must be (symbol, successors) pairs");
                return false;
            }
            Sym k;
            if (!symbol(PyTuple_GET_ITEM(pair, 0), k)) return false;
            edges.emplace_back(k, Ref::borrow(PyTuple_GET_ITEM(pair, 1)));
        }
        // Successor sets are read after every key has its number.
        for (auto& [k, successors] : edges) {
            Ref iter(PyObject_GetIter(successors.get()));
            if (!iter) return false;
            std::vector<Sym> next;
            for (;;) {
                Ref s(PyIter_Next(iter.get()));
                if (!s) {
                    if (PyErr_Occurred()) return false;
                    break;
                }
                Sym n;
                if (!symbol(s.get(), n)) return false;
                next.push_back(n);
            }
            std::sort(next.begin(), next.end());
            if (problem_.order.successors.size() <= k) problem_.order.successors.resize(k + 1);
            problem_.order.successors[k] = std::move(next);
        }
        Ref leaves(PyObject_GetAttr(tree, state().s_leaves));
        if (!leaves) {
            PyErr_Clear();  // a tree without leaves: atoms are numbered as met
            return true;
        }
        Ref seq(PySequence_Fast(leaves.get(), "leaves must be a sequence"));
        if (!seq) return false;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
            Ref f(PyObject_GetAttr(PySequence_Fast_GET_ITEM(seq.get(), i), state().s_formula));
            uint32_t a;
            if (!f || !atom(f.get(), a)) return false;
        }
        return true;
    }

    // Appends the clause; its literals (Python objects) go to `objects`.
    bool clause(PyObject* clause, std::vector<PyObject*>& objects, std::vector<Ref>& held) {
        Ref lits(PyObject_GetAttr(clause, state().s_literals));
        Ref iter(lits ? PyObject_GetIter(lits.get()) : nullptr);
        if (!iter) return false;
        struct Keyed {
            Literal lit;
            PyObject* object;
        };
        std::vector<Keyed> keyed;
        for (;;) {
            Ref lit(PyIter_Next(iter.get()));
            if (!lit) {
                if (PyErr_Occurred()) return false;
                break;
            }
            Ref prefix(PyObject_GetAttr(lit.get(), state().s_prefix));
            Ref polarity(prefix ? PyObject_GetAttr(lit.get(), state().s_polarity) : nullptr);
            Ref atom_object(polarity ? PyObject_GetAttr(lit.get(), state().s_atom) : nullptr);
            if (!atom_object) return false;
            Literal l{static_cast<uint32_t>(problem_.words.size()), 0, 0, 0};
            long pol = PyLong_AsLong(polarity.get());
            if (pol == -1 && PyErr_Occurred()) return false;
            l.polarity = pol == 1 ? 1 : 0;
            if (!atom(atom_object.get(), l.atom)) return false;
            Ref symbols(PyObject_GetAttrString(prefix.get(), "symbols"));
            Ref sym_iter(symbols ? PyObject_GetIter(symbols.get()) : nullptr);
            if (!sym_iter) return false;
            for (;;) {
                Ref s(PyIter_Next(sym_iter.get()));
                if (!s) {
                    if (PyErr_Occurred()) return false;
                    break;
                }
                Sym n;
                if (!symbol(s.get(), n)) return false;
                problem_.words.push_back(n);
            }
            l.length = static_cast<uint32_t>(problem_.words.size() - l.prefix);
            keyed.push_back({l, lit.get()});
            held.push_back(std::move(lit));
        }
        auto word = [&](const Literal& l) {
            return std::span<const Sym>(problem_.words.data() + l.prefix, l.length);
        };
        stable_sort_small(keyed.begin(), keyed.end(), [&](const Keyed& x, const Keyed& y) {
            if (x.lit.atom != y.lit.atom) return x.lit.atom < y.lit.atom;
            if (x.lit.polarity != y.lit.polarity) return x.lit.polarity > y.lit.polarity;
            auto a = word(x.lit), b = word(y.lit);
            return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
        });
        Clause c{static_cast<uint32_t>(problem_.literals.size()), static_cast<uint32_t>(keyed.size())};
        for (const Keyed& k : keyed) {
            problem_.literals.push_back(k.lit);
            objects.push_back(k.object);
        }
        problem_.clauses.push_back(c);
        return true;
    }

    // The numbering init() gives a tree this module built, read from its
    // native view: the tree numbers its symbols in creation order, which is
    // tree_order's key order, and no two of them are equal; the atoms are
    // numbered by Python equality in leaf order, as init() numbers them.
    bool init_native(const NativePaths& in) {
        atoms_ = Ref(PyDict_New());
        if (!atoms_) return false;
        const matrix::TreeView& view = *in.view;
        const matrix::NativeTree& t = view.tree;
        // The view holds the symbols, made by kind; each symbol's successors
        // were made after it, in increasing order, so the tree's own
        // ordering serves as it is.
        symbol_objects_ = view.symbols;
        problem_.kinds = t.symbol_kinds;
        problem_.shared_order = &t.order;
        leaf_atoms_.assign(t.positions.size(), kNoAtom);
        for (uint32_t leaf : t.leaves) {
            Ref f(leaf_formula(view, in.formulas, leaf));
            if (!f || !atom(f.get(), leaf_atoms_[leaf])) return false;
        }
        return true;
    }

    // The clauses clausify made of `in`, as clause() would lower them, after
    // init_native(). 1 done, -1 error, 0 when a clause's literal set has
    // another size than the native literals make (atoms whose hash and
    // equality disagree): the caller lowers the Python clauses instead.
    int native_clauses(const NativePaths& in, std::vector<PyObject*>& objects) {
        const matrix::NativeTree& t = in.view->tree;
        std::vector<uint32_t> word_at(in.view->symbols.size(), UINT32_MAX);  // by last symbol
        struct Keyed {
            Literal lit;
            uint32_t last;
            PyObject* object;
        };
        std::vector<Keyed> keyed;
        auto word = [&](const Literal& l) {
            return std::span<const Sym>(problem_.words.data() + l.prefix, l.length);
        };
        size_t longest = 0;
        for (size_t i = 0; i < in.paths.size(); ++i)
            longest = std::max(longest, in.paths.offsets[i + 1] - in.paths.offsets[i]);
        keyed.reserve(longest);
        problem_.literals.reserve(in.paths.leaves.size());
        problem_.clauses.reserve(in.paths.size());
        objects.reserve(in.paths.leaves.size());
        for (size_t i = 0; i < in.paths.size(); ++i) {
            keyed.clear();
            for (size_t k = in.paths.offsets[i]; k < in.paths.offsets[i + 1]; ++k) {
                uint32_t leaf = in.paths.leaves[k];
                const matrix::NativePosition& pos = t.positions[leaf];
                uint32_t last = pos.last_symbol;
                if (word_at[last] == UINT32_MAX) {
                    word_at[last] = static_cast<uint32_t>(problem_.words.size());
                    t.prefix_word(last, problem_.words);
                }
                Literal l{word_at[last], t.symbol_depth[last], static_cast<uint8_t>(pos.polarity == 1 ? 1 : 0),
                          leaf_atoms_[leaf]};
                keyed.push_back({l, last, in.literals[leaf].get()});
            }
            stable_sort_small(keyed.begin(), keyed.end(), [&](const Keyed& x, const Keyed& y) {
                if (x.lit.atom != y.lit.atom) return x.lit.atom < y.lit.atom;
                if (x.lit.polarity != y.lit.polarity) return x.lit.polarity > y.lit.polarity;
                auto a = word(x.lit), b = word(y.lit);
                return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
            });
            // Equal literals sort next to each other, the first added (the
            // one the set keeps) first.
            auto end = std::unique(keyed.begin(), keyed.end(), [](const Keyed& x, const Keyed& y) {
                return x.lit.atom == y.lit.atom && x.lit.polarity == y.lit.polarity && x.last == y.last;
            });
            keyed.erase(end, keyed.end());
            if (static_cast<Py_ssize_t>(keyed.size()) != in.sizes[i]) return 0;
            Clause c{static_cast<uint32_t>(problem_.literals.size()), static_cast<uint32_t>(keyed.size())};
            for (const Keyed& k : keyed) {
                problem_.literals.push_back(k.lit);
                objects.push_back(k.object);
            }
            problem_.clauses.push_back(c);
            if ((i & 1023) == 1023 && PyErr_CheckSignals() < 0) return -1;
        }
        return 1;
    }

    Problem& problem() { return problem_; }
    PyObject* symbol_object(Sym s) const { return symbol_objects_[s]; }

private:
    bool symbol(PyObject* o, Sym& out) {
        PyObject* known = PyDict_GetItemWithError(syms_.get(), o);
        if (known) {
            out = static_cast<Sym>(PyLong_AsUnsignedLong(known));
            return true;
        }
        if (PyErr_Occurred()) return false;
        out = static_cast<Sym>(symbol_objects_.size());
        Ref n(PyLong_FromUnsignedLong(out));
        if (!n || PyDict_SetItem(syms_.get(), o, n.get()) < 0) return false;
        symbol_objects_.push_back(o);
        problem_.kinds.push_back(kind_of(o));
        return true;
    }

    static prefix::SymKind kind_of(PyObject* o) {
        const prefix::Api& papi = prefix::api();
        return PyObject_TypeCheck(o, papi.variable_type)   ? prefix::SymKind::Variable
               : PyObject_TypeCheck(o, papi.constant_type) ? prefix::SymKind::Constant
                                                          : prefix::SymKind::Other;
    }

    bool atom(PyObject* o, uint32_t& out) {
        PyObject* known = PyDict_GetItemWithError(atoms_.get(), o);
        if (known) {
            out = static_cast<uint32_t>(PyLong_AsUnsignedLong(known));
            return true;
        }
        if (PyErr_Occurred()) return false;
        out = next_atom_++;
        Ref n(PyLong_FromUnsignedLong(out));
        if (!n || PyDict_SetItem(atoms_.get(), o, n.get()) < 0) return false;
        int bottom = py::is_falsum(o);
        int top = bottom == 0 ? py::is_verum(o) : 0;
        if (bottom < 0 || top < 0) return false;
        if (bottom && problem_.falsum == kNoAtom) problem_.falsum = out;
        if (top && problem_.verum == kNoAtom) problem_.verum = out;
        return true;
    }

    Ref syms_, atoms_;
    std::vector<PyObject*> symbol_objects_;  // borrowed from syms_, or from the view
    std::vector<uint32_t> leaf_atoms_;  // by leaf index, after init_native()
    uint32_t next_atom_ = 0;
    Problem problem_;
};

// ---- the derivation as records ----

// The step ids "init_<n>" and "s<n>".
py::NumberedNames initial_ids("init_"), step_ids("s");

// PrefixSubstitution(), as calling the class makes it: over a new dict.
PyObject* new_empty_substitution() {
    Ref mapping(PyDict_New());
    return mapping ? prefix::api().new_substitution(mapping.get()) : nullptr;
}

PyObject* rule_text(const char* rule) {
    // The three rule names, made once.
    static PyObject* initial = PyUnicode_InternFromString("initial");
    static PyObject* resolution = PyUnicode_InternFromString("resolution");
    static PyObject* empty = PyUnicode_InternFromString("empty_clause");
    PyObject* known = std::strcmp(rule, "initial") == 0      ? initial
                      : std::strcmp(rule, "resolution") == 0 ? resolution
                      : std::strcmp(rule, "empty_clause") == 0 ? empty
                                                               : nullptr;
    return known ? Py_NewRef(known) : PyUnicode_FromString(rule);
}

PyObject* make_step(PyObject* id, const char* rule, PyObject* premise_ids, PyObject* clause, PyObject* subst,
                    PyObject* parents) {
    static const char* const fields[] = {"id", "rule_name", "premise_ids", "clause", "substitution",
                                         "parent_literals"};
    static PyObject* names = py::interned_tuple(fields, 6);
    if (!names) return nullptr;
    Ref rule_name(rule_text(rule));
    if (!rule_name) return nullptr;
    PyObject* values[] = {id, rule_name.get(), premise_ids, clause, subst, parents};
    return new_record(state().step_type, names, values);
}

// The substitutions of the steps along the branch, each as it stood with
// its first `entries` entries. Consecutive steps share most bindings: each
// mapping starts as a copy of the one before, and only the bindings whose
// words changed are stored again.
class StepSubstitutions {
public:
    StepSubstitutions(const prefix::Substitution& subst, const Lowerer& in) : subst_(subst), in_(in) {}

    PyObject* at(size_t entries) {
        Ref mapping(previous_ ? PyDict_Copy(previous_.get()) : PyDict_New());
        if (!mapping) return nullptr;
        if (words_.size() < entries) words_.resize(entries);
        for (size_t i = 0; i < entries; ++i) {
            word_.clear();
            subst_.effective(i, word_, entries);
            if (i < known_ && words_[i] == word_) continue;
            Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(word_.size())));
            if (!tuple) return nullptr;
            for (size_t k = 0; k < word_.size(); ++k)
                PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(k), Py_NewRef(in_.symbol_object(word_[k])));
            if (PyDict_SetItem(mapping.get(), in_.symbol_object(subst_.entry(i).key), tuple.get()) < 0) return nullptr;
            words_[i] = word_;
        }
        known_ = entries;
        previous_ = mapping;
        return prefix::api().new_substitution(mapping.get());
    }

private:
    const prefix::Substitution& subst_;
    const Lowerer& in_;
    Ref previous_;
    std::vector<std::vector<Sym>> words_;  // the word stored for each entry so far
    std::vector<Sym> word_;
    size_t known_ = 0;
};

// The search over the lowered clauses (a list or tuple, their literal
// objects in `literal_objects`), and its derivation as a result record.
PyObject* refute(PyObject* target, PyObject* premises, PyObject* clauses, Lowerer& in,
                 const std::vector<PyObject*>& literal_objects, PyObject* multiplicity);

PyObject* search_refutation(PyObject* target, PyObject* premises, PyObject* initial_clauses, PyObject* tree,
                            PyObject* multiplicity) {
    Ref clauses(PySequence_Fast(initial_clauses, "initial_clauses must be a sequence"));
    if (!clauses) return nullptr;
    Lowerer in;
    if (!in.init(tree)) return nullptr;
    std::vector<PyObject*> literal_objects;
    std::vector<Ref> held;
    Py_ssize_t n = PySequence_Fast_GET_SIZE(clauses.get());
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!in.clause(PySequence_Fast_GET_ITEM(clauses.get(), i), literal_objects, held)) return nullptr;
    return refute(target, premises, clauses.get(), in, literal_objects, multiplicity);
}

// search_refutation(target, premises, clauses, tree, multiplicity) on the
// clauses that clausify just made, lowered from what it knows natively
// instead of read back from the records. Without `tree` (a native build),
// the FormulaTree is made only if the records must be read.
PyObject* search_clausified(PyObject* target, PyObject* premises, PyObject* clauses,
                            PyObject* tree, const NativePaths& native, PyObject* multiplicity) {
    {
        Lowerer in;
        std::vector<PyObject*> literal_objects;
        if (!in.init_native(native)) return nullptr;
        int r = in.native_clauses(native, literal_objects);
        if (r < 0) return nullptr;
        if (r > 0) return refute(target, premises, clauses, in, literal_objects, multiplicity);
    }
    Ref made;
    if (!tree) {
        made = Ref(matrix::api().new_tree(target, premises, multiplicity));
        if (!made) return nullptr;
        tree = made.get();
    }
    return search_refutation(target, premises, clauses, tree, multiplicity);
}

// One multiplicity of prove() with the class's own search, on a tree built
// natively only; None when the tree has no path.
PyObject* refute_native(PyObject* target, PyObject* premises, long multiplicity_value, PyObject* multiplicity) {
    const matrix::Api& mapi = matrix::api();
    std::unique_ptr<matrix::NativeBuild, void (*)(matrix::NativeBuild*)> build(
        mapi.build_native(target, premises, static_cast<size_t>(multiplicity_value)), mapi.free_native);
    if (!build) return nullptr;
    Interrupt interrupt = py::signal_interrupt();
    matrix::PathSet paths;
    if (!mapi.paths(build->view, interrupt, paths)) return nullptr;
    NativePaths native;
    Ref clauses(path_clauses(build->view, &build->position_formulas, paths, &native));
    if (!clauses) return nullptr;
    if (PyList_GET_SIZE(clauses.get()) == 0) Py_RETURN_NONE;
    return search_clausified(target, premises, clauses.get(), nullptr, native, multiplicity);
}

PyObject* refute(PyObject* target, PyObject* premises, PyObject* clauses_seq, Lowerer& in,
                 const std::vector<PyObject*>& literal_objects, PyObject* multiplicity) {
    Ref clauses = Ref::borrow(clauses_seq);
    Py_ssize_t n = PySequence_Fast_GET_SIZE(clauses.get());
    Problem& problem = in.problem();
    prefix::Substitution subst;
    subst.resize_symbols(problem.kinds.size());
    Interrupt interrupt = py::signal_interrupt();
    Engine engine{prefix::api().make_unifier, prefix::api().admissible};
    Derivation found;
    int r = search(problem, engine, subst, interrupt, found);
    if (r < 0) return nullptr;
    if (r == 0) Py_RETURN_NONE;

    py::GcPause pause;  // the derivation's records form no cycle
    // Every step's place is known: the initial clauses, the branch, the empty clause.
    Ref steps(PyTuple_New(n + static_cast<Py_ssize_t>(found.steps.size()) + 1));
    Py_ssize_t count = 0;
    Ref empty_clause(steps ? make_clause(state().empty_frozenset) : nullptr);
    if (!empty_clause) return nullptr;
    std::vector<Ref> ids;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref id(initial_ids.get(static_cast<size_t>(i) + 1));
        Ref empty(id ? new_empty_substitution() : nullptr);
        Ref step(empty ? make_step(id.get(), "initial", state().empty_tuple, PySequence_Fast_GET_ITEM(clauses.get(), i),
                                   empty.get(), Py_None)
                       : nullptr);
        if (!step) return nullptr;
        PyTuple_SET_ITEM(steps.get(), count++, step.release());
        ids.push_back(std::move(id));
    }
    Ref current(new_empty_substitution());
    if (!current) return nullptr;
    StepSubstitutions substitutions(subst, in);
    for (const Step& s : found.steps) {
        Ref id(step_ids.get(s.number));
        Ref premise_ids(id ? PyTuple_Pack(1, ids[s.clause].get()) : nullptr);
        Ref unifier(premise_ids ? substitutions.at(s.entries) : nullptr);
        Ref parents(unifier ? PyTuple_Pack(2, literal_objects[s.pos_lit], literal_objects[s.neg_lit]) : nullptr);
        Ref step(parents ? make_step(id.get(), "resolution", premise_ids.get(), empty_clause.get(), unifier.get(),
                                     parents.get())
                         : nullptr);
        if (!step) return nullptr;
        PyTuple_SET_ITEM(steps.get(), count++, step.release());
        ids.push_back(std::move(id));
        current = std::move(unifier);
    }
    Ref empty_id(step_ids.get(found.empty_number));
    Ref last_ids(count >= 2   ? PyTuple_Pack(2, ids[ids.size() - 2].get(), ids.back().get())
                 : count == 1 ? PyTuple_Pack(1, ids.back().get())
                              : Py_NewRef(state().empty_tuple));
    Ref last(empty_id && last_ids
                 ? make_step(empty_id.get(), "empty_clause", last_ids.get(), empty_clause.get(), current.get(), Py_None)
                 : nullptr);
    if (!last) return nullptr;
    PyTuple_SET_ITEM(steps.get(), count, last.release());
    static const char* const fields[] = {"is_valid", "target", "premises", "steps", "empty_clause_id",
                                         "substitution", "multiplicity"};
    static PyObject* names = py::interned_tuple(fields, 7);
    if (!names) return nullptr;
    PyObject* values[] = {Py_True, target, premises, steps.get(), empty_id.get(), current.get(), multiplicity};
    return new_record(state().result_type, names, values);
}

// ---- PrefixedResolutionProver ----

struct ProverObject {
    PyObject_HEAD
    PyObject* dict;
};

const char* const kProverInitNames[] = {"max_multiplicity", "max_steps"};
const py::Signature kProverInit{"PrefixedResolutionProver.__init__", kProverInitNames, 2, 0, 0, true};
const char* const kProveNames[] = {"target", "premises"};
const py::Signature kProve{"PrefixedResolutionProver.prove", kProveNames, 2, 1, 0, true};
const char* const kSearchNames[] = {"target", "premises", "initial_clauses", "tree", "multiplicity"};
const py::Signature kSearch{"PrefixedResolutionProver._search_refutation", kSearchNames, 5, 5, 0, true};
const char* const kProveFnNames[] = {"formula", "premises", "max_multiplicity", "max_steps"};
const py::Signature kProveFn{"prove_prefixed_resolution", kProveFnNames, 4, 1, 0, false};

// max(1, value) as Python's max(value, 1) would give it: the value itself
// when it is greater, else 1.
PyObject* at_least_one(PyObject* value) {
    Ref one(PyLong_FromLong(1));
    if (!one) return nullptr;
    int greater = PyObject_RichCompareBool(value, one.get(), Py_GT);
    if (greater < 0) return nullptr;
    return greater ? Py_NewRef(value) : one.release();
}

int prover_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guard<int>(-1, [&]() -> int {
        PyObject* p[2];
        if (!py::parse_tuple(kProverInit, args, kwargs, p)) return -1;
        Ref three(PyLong_FromLong(3)), thousand(PyLong_FromLong(1000));
        if (!three || !thousand) return -1;
        Ref mult(at_least_one(p[0] ? p[0] : three.get()));
        Ref steps(mult ? at_least_one(p[1] ? p[1] : thousand.get()) : nullptr);
        if (!steps || PyObject_SetAttr(self, state().s_max_multiplicity, mult.get()) < 0 ||
            PyObject_SetAttr(self, state().s_max_steps, steps.get()) < 0)
            return -1;
        return 0;
    });
}

PyObject* prover_search_refutation(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// True when `method`, self._search_refutation, is this class's own, bound
// to `self`: calling it would lower the clauses just made.
bool is_own_search(PyObject* method, PyObject* self) {
    return PyCFunction_Check(method) &&
           PyCFunction_GET_FUNCTION(method) ==
               reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(prover_search_refutation)) &&
           PyCFunction_GET_SELF(method) == self;
}

// True when the class's own prove and _search_refutation are what a
// PrefixedResolutionProver `self` (or, for NULL, a new one) would call.
bool runs_own_search(PyObject* self) {
    PyTypeObject* type = state().prover_type;
    if (type->tp_getattro != PyObject_GenericGetAttr) return false;
    if (self) {
        if (Py_TYPE(self) != type) return false;
        PyObject* dict = reinterpret_cast<ProverObject*>(self)->dict;
        if (dict && PyDict_GetItemWithError(dict, state().s_search_refutation)) return false;
        if (PyErr_Occurred()) return false;
    }
    PyObject* methods = type->tp_dict;
    return PyDict_GetItemWithError(methods, state().s_search_refutation) == state().own_search &&
           PyDict_GetItemWithError(methods, state().s_prove) == state().own_prove;
}

// prove() of `self`, or with `max_multiplicity` (at least one) for NULL.
PyObject* prove_impl(PyObject* self, PyObject* target, PyObject* premises, PyObject* max_multiplicity) {
    py::GcPause pause;  // clauses, trees and records: nothing here makes a cycle
    Ref norm_target(py::normalize_formula(target));
    if (!norm_target) return nullptr;
    Ref norm_premises;
    if (premises == Py_None) {
        norm_premises = Ref::borrow(state().empty_tuple);
    } else {
        Ref seq(PySequence_Fast(premises, "premises must be a sequence of formulas"));
        if (!seq) return nullptr;
        Ref list(PyList_New(0));
        if (!list) return nullptr;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
            Ref f(py::normalize_formula(PySequence_Fast_GET_ITEM(seq.get(), i)));
            if (!f || PyList_Append(list.get(), f.get()) < 0) return nullptr;
        }
        norm_premises = Ref(PyList_AsTuple(list.get()));
        if (!norm_premises) return nullptr;
    }
    Ref max_mult(self ? PyObject_GetAttr(self, state().s_max_multiplicity) : Py_NewRef(max_multiplicity));
    if (!max_mult) return nullptr;
    long top = PyLong_AsLong(max_mult.get());
    if (top == -1 && PyErr_Occurred()) return nullptr;
    bool own = runs_own_search(self);
    if (PyErr_Occurred()) return nullptr;
    for (long m = 1; m <= top; ++m) {
        Ref mult(PyLong_FromLong(m));
        if (!mult) return nullptr;
        Ref result;
        if (own) {
            result = Ref(refute_native(norm_target.get(), norm_premises.get(), m, mult.get()));
        } else {
            NativePaths native;
            Ref pair(clausify_impl(norm_target.get(), norm_premises.get(), mult.get(), &native));
            if (!pair) return nullptr;
            PyObject* clauses = PyTuple_GET_ITEM(pair.get(), 0);
            if (PyList_GET_SIZE(clauses) == 0) continue;
            static PyObject* names =
                Py_BuildValue("(sssss)", "target", "premises", "initial_clauses", "tree", "multiplicity");
            if (!names) return nullptr;
            Ref method(PyObject_GetAttr(self, state().s_search_refutation));
            if (!method) return nullptr;
            PyObject* tree = PyTuple_GET_ITEM(pair.get(), 1);
            if (is_own_search(method.get(), self)) {
                result = Ref(search_clausified(norm_target.get(), norm_premises.get(), clauses,
                                               tree, native, mult.get()));
            } else {
                PyObject* args[] = {norm_target.get(), norm_premises.get(), clauses, tree, mult.get()};
                result = Ref(PyObject_Vectorcall(method.get(), args, 0, names));
            }
        }
        if (!result) return nullptr;
        if (result.get() != Py_None) return result.release();
    }
    Py_RETURN_NONE;
}

PyObject* prover_prove(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* p[2];
        if (!py::parse_vector(kProve, args, nargs, kwnames, p)) return nullptr;
        return prove_impl(self, p[0], p[1] ? p[1] : Py_None, nullptr);
    });
}

PyObject* prover_search_refutation(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* p[5];
        if (!py::parse_vector(kSearch, args, nargs, kwnames, p)) return nullptr;
        return search_refutation(p[0], p[1], p[2], p[3], p[4]);
    });
}

PyObject* prove_prefixed_resolution(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* p[4];
        if (!py::parse_vector(kProveFn, args, nargs, kwnames, p)) return nullptr;
        static PyObject* names = Py_BuildValue("(ss)", "max_multiplicity", "max_steps");
        if (!names) return nullptr;
        Ref three(PyLong_FromLong(3)), thousand(PyLong_FromLong(1000));
        if (!three || !thousand) return nullptr;
        PyObject* limits[] = {p[2] ? p[2] : three.get(), p[3] ? p[3] : thousand.get()};
        int own = runs_own_search(nullptr);
        if (own) {
            // What the prover's __init__ and prove would do, without the prover.
            Ref mult(at_least_one(limits[0]));
            Ref steps(mult ? at_least_one(limits[1]) : nullptr);
            if (!steps) return nullptr;
            return prove_impl(nullptr, p[0], p[1] ? p[1] : Py_None, mult.get());
        }
        if (PyErr_Occurred()) return nullptr;
        Ref prover(PyObject_Vectorcall(reinterpret_cast<PyObject*>(state().prover_type), limits, 0, names));
        if (!prover) return nullptr;
        PyObject* call[] = {prover.get(), p[0], p[1] ? p[1] : Py_None};
        return PyObject_VectorcallMethod(state().s_prove, call, 3, nullptr);
    });
}

#define FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)), METH_FASTCALL | METH_KEYWORDS

PyMethodDef kProverMethods[] = {
    {"prove", FASTCALL(prover_prove),
     "prove($self, /, target, premises=None)\n--\n\n"
     "The prefixed refutation of `target` from `premises` at the first multiplicity\n"
     "from 1 to max_multiplicity that has one, or None."},
    {"_search_refutation", FASTCALL(prover_search_refutation),
     "_search_refutation($self, /, target, premises, initial_clauses, tree, multiplicity)\n--\n\n"
     "One depth-first search at one multiplicity; the result or None."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef kFunctions[] = {
    {"prove_prefixed_resolution", FASTCALL(prove_prefixed_resolution),
     "prove_prefixed_resolution(formula, premises=None, max_multiplicity=3, max_steps=1000)\n--\n\n"
     "PrefixedResolutionProver(max_multiplicity=..., max_steps=...).prove(formula, premises)."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef kClausifyFunctions[] = {
    {"clausify_prefixed", FASTCALL(clausify_prefixed),
     "clausify_prefixed(target, premises=None, multiplicity=1)\n--\n\n"
     "(clauses, tree): the formula tree of the normalised goal and premises, and\n"
     "one PrefixedClause per matrix path, in path order."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* prover_new(PyTypeObject* type, PyObject*, PyObject*) { return type->tp_alloc(type, 0); }

int prover_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<ProverObject*>(self)->dict);
    return 0;
}

int prover_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<ProverObject*>(self)->dict);
    return 0;
}

void prover_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    prover_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef kProverMembers[] = {
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(ProverObject, dict), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

}  // namespace

PyObject* clausify(PyObject* target, PyObject* premises, PyObject* multiplicity) {
    return clausify_impl(target, premises, multiplicity, nullptr);
}

bool init_clausify(PyObject* module) { return PyModule_AddFunctions(module, kClausifyFunctions) == 0; }

bool init_prefixed_prover(PyObject* module) {
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(prover_new)},
        {Py_tp_init, reinterpret_cast<void*>(prover_init)},
        {Py_tp_dealloc, reinterpret_cast<void*>(prover_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(prover_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(prover_clear)},
        {Py_tp_methods, kProverMethods},
        {Py_tp_members, kProverMembers},
        {Py_tp_doc, const_cast<char*>("PrefixedResolutionProver(max_multiplicity=3, max_steps=1000)\n--\n\n"
                                      "Prefixed resolution over the matrix paths, the multiplicity deepened\n"
                                      "from 1 to max_multiplicity (limits below 1 count as 1).")},
        {0, nullptr},
    };
    static PyType_Spec type_spec{"quorvel.constructive.resolution.PrefixedResolutionProver", sizeof(ProverObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
    PyObject* type = PyType_FromSpec(&type_spec);
    if (!type) return false;
    state().prover_type = reinterpret_cast<PyTypeObject*>(type);
    State& st = state();
    st.own_search = PyDict_GetItemWithError(st.prover_type->tp_dict, st.s_search_refutation);
    st.own_prove = PyDict_GetItemWithError(st.prover_type->tp_dict, st.s_prove);
    if (!st.own_search || !st.own_prove) return false;
    return PyModule_AddObjectRef(module, "PrefixedResolutionProver", type) == 0 &&
           PyModule_AddFunctions(module, kFunctions) == 0;
}

}  // namespace quorvel::resolution
