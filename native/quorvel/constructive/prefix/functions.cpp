// unify_prefixes and is_admissible: Python values lowered onto the native
// engine (engine.h) and the unifiers lifted back as PrefixSubstitutions.
#include <string>
#include <vector>

#include "quorvel/constructive/prefix/state.h"
#include "quorvel/support/py/args.h"
#include "quorvel/support/py/gc_pause.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/ref.h"
#include "quorvel/support/py/interrupt.h"

namespace quorvel::prefix {
namespace {

using py::Ref;

constexpr const char* kCycleMessage = "Prefix substitution binds a cycle of variables: ";

// Symbols numbered by Python equality (a dict lookup: the symbols' own
// hash and ==), with the first object seen for each number and its kind.
class Interner {
public:
    bool init() { return static_cast<bool>(index_ = Ref(PyDict_New())); }
    ~Interner() {
        for (PyObject* o : objects_) Py_DECREF(o);
    }

    bool intern(PyObject* symbol, Sym& out) {
        PyObject* known = PyDict_GetItemWithError(index_.get(), symbol);
        if (known) {
            out = static_cast<Sym>(PyLong_AsUnsignedLong(known));
            return true;
        }
        if (PyErr_Occurred()) return false;
        Ref number(PyLong_FromSize_t(objects_.size()));
        if (!number || PyDict_SetItem(index_.get(), symbol, number.get()) < 0) return false;
        out = static_cast<Sym>(objects_.size());
        objects_.push_back(Py_NewRef(symbol));
        kinds_.push_back(is_variable(symbol) ? SymKind::Variable
                                             : is_constant(symbol) ? SymKind::Constant : SymKind::Other);
        return true;
    }

    // The items of any iterable, interned, appended to `out`.
    bool intern_all(PyObject* iterable, Word& out) {
        if (PyTuple_CheckExact(iterable)) {
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(iterable); ++i) {
                Sym s;
                if (!intern(PyTuple_GET_ITEM(iterable, i), s)) return false;
                out.push_back(s);
            }
            return true;
        }
        Ref iter(PyObject_GetIter(iterable));
        if (!iter) return false;
        for (;;) {
            Ref item(PyIter_Next(iter.get()));
            if (!item) return !PyErr_Occurred();
            Sym s;
            if (!intern(item.get(), s)) return false;
            out.push_back(s);
        }
    }

    // A new tuple of the symbols of `word`.
    PyObject* tuple(std::span<const Sym> word) const {
        PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(word.size()));
        if (!t) return nullptr;
        for (size_t i = 0; i < word.size(); ++i)
            PyTuple_SET_ITEM(t, static_cast<Py_ssize_t>(i), Py_NewRef(objects_[word[i]]));
        return t;
    }

    PyObject* object(Sym s) const { return objects_[s]; }
    const SymbolKinds& kinds() const { return kinds_; }
    size_t size() const { return objects_.size(); }

private:
    Ref index_;
    std::vector<PyObject*> objects_;  // strong references
    SymbolKinds kinds_;
};

PyObject* symbols_of(PyObject* prefix) {
    if (is_prefix(prefix)) return Py_NewRef(as_prefix(prefix)->symbols);
    return PyObject_GetAttr(prefix, state().s_symbols);
}

PyObject* mapping_items(PyObject* subst) {
    Ref mapping(is_substitution(subst) && as_substitution(subst)->mapping
                    ? Py_NewRef(as_substitution(subst)->mapping)
                    : PyObject_GetAttr(subst, state().s_mapping));
    if (!mapping) return nullptr;
    if (PyDict_CheckExact(mapping.get())) return PyDict_Items(mapping.get());
    Ref items(PyObject_CallMethodNoArgs(mapping.get(), state().s_items));
    if (!items) return nullptr;
    return PySequence_List(items.get());
}

bool split_pair(PyObject* pair, PyObject*& key, PyObject*& value) {
    if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
        PyErr_SetString(PyExc_TypeError, "mapping items must be (key, value) pairs");
        return false;
    }
    key = PyTuple_GET_ITEM(pair, 0);
    value = PyTuple_GET_ITEM(pair, 1);
    return true;
}

void raise_cycle(const Interner& in, const Word& cycle) {
    std::string text = kCycleMessage;
    for (size_t i = 0; i < cycle.size(); ++i) {
        if (i) text += " -> ";
        Ref s(PyObject_Str(in.object(cycle[i])));
        Py_ssize_t n;
        const char* utf8 = s ? PyUnicode_AsUTF8AndSize(s.get(), &n) : nullptr;
        if (!utf8) {
            PyErr_Clear();
            text += "?";
        } else {
            text.append(utf8, static_cast<size_t>(n));
        }
    }
    PyErr_SetString(PyExc_ValueError, text.c_str());
}

// The unifiers as PrefixSubstitutions: the start entries (their own words
// while nothing was bound, rewritten words after), then the new bindings.
class Lifter {
public:
    Lifter(const Interner& in, const Substitution& subst, PyObject* start_items)
        : in_(in), subst_(subst), start_items_(start_items) {}

    PyObject* lift() {
        Ref dict(PyDict_New());
        if (!dict) return nullptr;
        size_t starts = static_cast<size_t>(PyList_GET_SIZE(start_items_));
        bool rewritten = subst_.size() > starts;
        if (cache_.size() < subst_.size()) cache_.resize(subst_.size());
        for (size_t i = 0; i < subst_.size(); ++i) {
            PyObject* key = in_.object(subst_.entry(i).key);
            Ref word;
            if (i < starts) {
                PyObject* pair = PyList_GET_ITEM(start_items_, static_cast<Py_ssize_t>(i));
                key = PyTuple_GET_ITEM(pair, 0);
                word = rewritten ? Ref(word_of(i, PyTuple_GET_ITEM(pair, 1))) : Ref::borrow(PyTuple_GET_ITEM(pair, 1));
            } else {
                word = Ref(word_of(i, nullptr));
            }
            if (!word || PyDict_SetItem(dict.get(), key, word.get()) < 0) return nullptr;
        }
        return new_substitution(dict.get());
    }

private:
    // The last tuple made for an entry and its word: consecutive unifiers
    // share most of their words, and equal words can share one tuple.
    struct Cached {
        Word word;
        Ref tuple;
    };

    // The tuple of entry i's word (its `original` object when that is a
    // tuple of the same symbols); new reference.
    PyObject* word_of(size_t i, PyObject* original) {
        buffer_.clear();
        subst_.effective(i, buffer_);
        Cached& c = cache_[i];
        if (c.tuple && c.word == buffer_) return Py_NewRef(c.tuple.get());
        if (original && PyTuple_CheckExact(original)) {
            std::span<const Sym> stored = subst_.stored(i);
            if (std::equal(stored.begin(), stored.end(), buffer_.begin(), buffer_.end())) return Py_NewRef(original);
        }
        c.tuple = Ref(in_.tuple(buffer_));
        c.word = buffer_;
        return c.tuple ? Py_NewRef(c.tuple.get()) : nullptr;
    }

    const Interner& in_;
    const Substitution& subst_;
    PyObject* start_items_;
    std::vector<Cached> cache_;
    Word buffer_;
};

const char* const kUnifyParams[] = {"p1", "p2", "subst"};
const char* const kAdmissibleParams[] = {"tree", "subst"};

// The unifiers of two words (iterables of symbols) from `start` (None: the
// empty substitution). unify_prefixes maps both words by it first and
// returns new substitutions only; _unify_words takes the words as they are
// and returns `start` itself for words equal without a binding.
PyObject* unify(PyObject* words1, PyObject* words2, PyObject* start, bool from_prefixes) {
    Interner in;
    if (!in.init()) return nullptr;
    Word w1, w2;
    if (!in.intern_all(words1, w1) || !in.intern_all(words2, w2)) return nullptr;
    Ref items(start != Py_None ? mapping_items(start) : PyList_New(0));
    if (!items) return nullptr;
    std::vector<Sym> keys;
    std::vector<Word> words(static_cast<size_t>(PyList_GET_SIZE(items.get())));
    for (size_t i = 0; i < words.size(); ++i) {
        PyObject *key, *value;
        Sym k;
        if (!split_pair(PyList_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i)), key, value) ||
            !in.intern(key, k) || !in.intern_all(value, words[i]))
            return nullptr;
        keys.push_back(k);
    }
    Substitution subst;
    subst.resize_symbols(in.size());
    for (size_t i = 0; i < keys.size(); ++i)
        subst.add_start(keys[i], words[i], in.kinds()[keys[i]] == SymKind::Variable);
    Word roots = w1;
    roots.insert(roots.end(), w2.begin(), w2.end());
    Word cycle = subst.find_cycle(roots);
    if (!cycle.empty()) {
        raise_cycle(in, cycle);
        return nullptr;
    }
    Interrupt interrupt = py::signal_interrupt();
    std::unique_ptr<Unifier> unifier = make_unifier(in.kinds(), subst, interrupt);
    unifier->start(w1, w2, from_prefixes);
    Ref result(PyList_New(0));
    if (!result) return nullptr;
    Lifter lifter(in, subst, items.get());
    py::GcPause pause;  // the unifiers hold no cycle
    for (;;) {
        Unifier::Status status = unifier->next();
        if (status == Unifier::Status::Exhausted) return result.release();
        if (status == Unifier::Status::Interrupted) return nullptr;
        bool unchanged = !from_prefixes && start != Py_None && subst.size() == keys.size();
        Ref unifier_object(unchanged ? Py_NewRef(start) : lifter.lift());
        if (!unifier_object || PyList_Append(result.get(), unifier_object.get()) < 0 ||
            (interrupt.tick(subst.size()) && PyErr_Occurred())) {
            unifier->stop();
            return nullptr;
        }
    }
}

const char* const kWordsParams[] = {"w1", "w2", "current"};

PyObject* unify_prefixes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Signature sig{"unify_prefixes", kUnifyParams, 3, 2, 0, false};
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* p[3];
        if (!py::parse_vector(sig, args, nargs, kwnames, p)) return nullptr;
        Ref s1(symbols_of(p[0]));
        Ref s2(s1 ? symbols_of(p[1]) : nullptr);
        if (!s2) return nullptr;
        return unify(s1.get(), s2.get(), p[2] ? p[2] : Py_None, true);
    });
}

PyObject* unify_words(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Signature sig{"_unify_words", kWordsParams, 3, 3, 0, false};
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* p[3];
        if (!py::parse_vector(sig, args, nargs, kwnames, p)) return nullptr;
        return unify(p[0], p[1], p[2], false);
    });
}

PyObject* is_admissible(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Signature sig{"is_admissible", kAdmissibleParams, 2, 2, 0, false};
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* p[2];
        if (!py::parse_vector(sig, args, nargs, kwnames, p)) return nullptr;
        Ref order(PyObject_GetAttr(p[0], state().s_tree_order));
        if (!order) return nullptr;
        Ref order_items(PyDict_CheckExact(order.get()) ? PyDict_Items(order.get())
                                                       : PyObject_CallMethodNoArgs(order.get(), state().s_items));
        if (!order_items) return nullptr;
        Ref order_list(PySequence_List(order_items.get()));
        if (!order_list) return nullptr;
        Ref binding_items(mapping_items(p[1]));
        if (!binding_items) return nullptr;
        Interner in;
        if (!in.init()) return nullptr;
        std::vector<std::vector<Sym>> graph;
        auto edge = [&](Sym from, Sym to) {
            if (graph.size() < in.size()) graph.resize(in.size());
            graph[from].push_back(to);
        };
        Word word;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(order_list.get()); ++i) {
            PyObject *key, *successors;
            Sym k;
            word.clear();
            if (!split_pair(PyList_GET_ITEM(order_list.get(), i), key, successors) || !in.intern(key, k) ||
                !in.intern_all(successors, word))
                return nullptr;
            for (Sym s : word) edge(k, s);
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(binding_items.get()); ++i) {
            PyObject *var, *bound;
            Sym v;
            word.clear();
            if (!split_pair(PyList_GET_ITEM(binding_items.get(), i), var, bound) || !in.intern(var, v) ||
                !in.intern_all(bound, word))
                return nullptr;
            for (Sym s : word)
                if (s != v) edge(s, v);
        }
        graph.resize(in.size());
        Interrupt interrupt = py::signal_interrupt();
        int r = acyclic(graph, interrupt);
        if (r < 0) return nullptr;
        return PyBool_FromLong(r);
    });
}

#define FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)), METH_FASTCALL | METH_KEYWORDS

PyMethodDef kFunctions[] = {
    {"unify_prefixes", FASTCALL(unify_prefixes),
     "unify_prefixes(p1, p2, subst=None)\n--\n\n"
     "Every unifier of the two prefixes, starting from a copy of `subst`, in the\n"
     "fixed depth-first order: for an unbound variable facing another head, the\n"
     "unifiers from its empty binding first, then from its binding to the first\n"
     "1, 2, ... symbols of the other word.\n\n"
     "Raises:\n    ValueError: `subst` binds variables of the words in a cycle."},
    {"_unify_words", FASTCALL(unify_words),
     "_unify_words(w1, w2, current)\n--\n\n"
     "The unifiers of two words (tuples of symbols) extending `current`, in the\n"
     "order of unify_prefixes, without mapping the words by `current` first;\n"
     "`current` itself stands for words equal without a further binding."},
    {"is_admissible", FASTCALL(is_admissible),
     "is_admissible(tree, subst)\n--\n\n"
     "True when the tree ordering `tree.tree_order` together with an edge from\n"
     "each symbol of every bound word to its variable has no directed cycle."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_functions(PyObject* module) { return PyModule_AddFunctions(module, kFunctions) == 0; }

}  // namespace quorvel::prefix
