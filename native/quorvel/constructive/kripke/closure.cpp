// The two fixpoints of add_relation: the reflexive-transitive closure of the
// relation and the monotonicity of the valuation.
//
// Fast path: when the model's containers are the exact built-in types, the
// model is read once (objects numbered by equality), both fixpoints are
// solved on bitsets (graph.h), and only the missing members are added to the
// model's own sets. The result is the fixpoint the pass-by-pass definition
// reaches: for every world u of `worlds`, the successors of u become every
// world reachable from u through successor sets (those of worlds outside
// `worlds` are read, never completed), and every world reached from a world
// of `worlds` receives that world's formulas (worlds outside `worlds`
// receive but pass nothing on).
//
// Anything else (a list stored as a successor set, a dict subclass, ...)
// takes the generic path, which runs the definition itself through the
// Python protocol, so errors and results are those of plain Python code.
#include <algorithm>
#include <optional>
#include <vector>

#include "quorvel/constructive/kripke/graph.h"
#include "quorvel/constructive/kripke/intern.h"
#include "quorvel/constructive/kripke/model.h"
#include "quorvel/support/py/interrupt.h"

namespace quorvel::kripke {
namespace {

enum Outcome { kError = -1, kFallback = 0, kDone = 1 };

// Containers the fast path may read without running user code.
bool readable(PyObject* o) { return PyAnySet_CheckExact(o) || PyList_CheckExact(o) || PyTuple_CheckExact(o); }

// -------------------------------------------------------------- generic path

int generic_closure(PyObject* self) {
    State& s = state();
    Ref worlds_attr(get(self, s.s_worlds));
    if (!worlds_attr) return -1;
    Ref worlds(snapshot(worlds_attr.get()));
    if (!worlds) return -1;
    Ref relations(get(self, s.s_relations));
    if (!relations) return -1;
    Py_ssize_t n = PyList_GET_SIZE(worlds.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* w = PyList_GET_ITEM(worlds.get(), i);
        int c = contains(relations.get(), w);
        if (c < 0) return -1;
        if (!c) {
            Ref empty(PySet_New(nullptr));
            if (!empty || set_item(relations.get(), w, empty.get()) < 0) return -1;
        }
        Ref own(get_item(relations.get(), w));
        if (!own || add_to(own.get(), w) < 0) return -1;
    }
    py::SignalPoll poll;
    for (bool changed = true; changed;) {
        changed = false;
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref su(get_item(relations.get(), PyList_GET_ITEM(worlds.get(), i)));
            if (!su) return -1;
            // Iterating copies: one set object may be stored under two worlds.
            Ref vs(snapshot(su.get()));
            if (!vs) return -1;
            for (Py_ssize_t j = 0; j < PyList_GET_SIZE(vs.get()); ++j) {
                PyObject* v = PyList_GET_ITEM(vs.get(), j);
                int c = contains(relations.get(), v);
                if (c < 0) return -1;
                if (!c) continue;
                Ref sv(get_item(relations.get(), v));
                if (!sv) return -1;
                Ref ws(snapshot(sv.get()));
                if (!ws) return -1;
                for (Py_ssize_t k = 0; k < PyList_GET_SIZE(ws.get()); ++k) {
                    if (!poll.charge()) return -1;
                    PyObject* w = PyList_GET_ITEM(ws.get(), k);
                    int in = contains(su.get(), w);
                    if (in < 0) return -1;
                    if (!in) {
                        if (add_to(su.get(), w) < 0) return -1;
                        changed = true;
                    }
                }
            }
        }
    }
    return 0;
}

int generic_monotonicity(PyObject* self) {
    State& s = state();
    Ref worlds_attr(get(self, s.s_worlds));
    if (!worlds_attr) return -1;
    Ref worlds(snapshot(worlds_attr.get()));
    if (!worlds) return -1;
    Ref relations(get(self, s.s_relations));
    if (!relations) return -1;
    Ref valuations(get(self, s.s_valuations));
    if (!valuations) return -1;
    Py_ssize_t n = PyList_GET_SIZE(worlds.get());
    py::SignalPoll poll;
    for (bool changed = true; changed;) {
        changed = false;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* u = PyList_GET_ITEM(worlds.get(), i);
            int c = contains(relations.get(), u);
            if (c < 0) return -1;
            if (!c) continue;
            Ref su(get_item(relations.get(), u));
            if (!su) return -1;
            Ref vs(snapshot(su.get()));
            if (!vs) return -1;
            for (Py_ssize_t j = 0; j < PyList_GET_SIZE(vs.get()); ++j) {
                PyObject* v = PyList_GET_ITEM(vs.get(), j);
                int differs = PyObject_RichCompareBool(v, u, Py_NE);
                if (differs < 0) return -1;
                if (!differs) continue;
                c = contains(valuations.get(), u);
                if (c < 0) return -1;
                if (!c) continue;
                Ref vu(get_item(valuations.get(), u));
                if (!vu) return -1;
                Ref fs(snapshot(vu.get()));
                if (!fs) return -1;
                for (Py_ssize_t k = 0; k < PyList_GET_SIZE(fs.get()); ++k) {
                    if (!poll.charge()) return -1;
                    PyObject* f = PyList_GET_ITEM(fs.get(), k);
                    c = contains(valuations.get(), v);
                    if (c < 0) return -1;
                    if (!c) {
                        Ref empty(PySet_New(nullptr));
                        if (!empty || set_item(valuations.get(), v, empty.get()) < 0) return -1;
                    }
                    Ref vv(get_item(valuations.get(), v));
                    if (!vv) return -1;
                    int in = contains(vv.get(), f);
                    if (in < 0) return -1;
                    if (!in) {
                        if (add_to(vv.get(), f) < 0) return -1;
                        changed = true;
                    }
                }
            }
        }
    }
    return 0;
}

// ----------------------------------------------------------------- fast path

// The model as the fast path sees it: worlds numbered by equality.
struct Reading {
    Interner nodes;
    std::vector<uint32_t> wlist;  // numbers of the worlds of `worlds`, first occurrences, in list order
    std::vector<char> in_w;       // per number: a world of `worlds`
    Adjacency succ;               // per number: members of its successor set, when it has one

    bool number(PyObject* o, uint32_t& out) {
        int64_t n = nodes.number(o);
        if (n < 0) return false;
        out = static_cast<uint32_t>(n);
        if (in_w.size() < nodes.size()) {
            in_w.resize(nodes.size(), 0);
            succ.resize(nodes.size());
        }
        return true;
    }

    // Numbers the members of a readable container into `into` (not an
    // element of `succ`, which numbering may reallocate).
    bool members(PyObject* container, std::vector<uint32_t>& into) {
        Ref items(PySequence_List(container));
        if (!items) return false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
            uint32_t n;
            if (!number(PyList_GET_ITEM(items.get(), i), n)) return false;
            into.push_back(n);
        }
        return true;
    }
};

// Reads `worlds` (which must be an exact list) into `r`; `list` receives a copy.
int read_worlds(PyObject* self, Reading& r, Ref& list) {
    Ref worlds(get(self, state().s_worlds));
    if (!worlds) return kError;
    if (!PyList_CheckExact(worlds.get())) return kFallback;
    list = Ref(PyList_GetSlice(worlds.get(), 0, PY_SSIZE_T_MAX));
    if (!list) return kError;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        uint32_t n;
        if (!r.number(PyList_GET_ITEM(list.get(), i), n)) return kError;
        if (!r.in_w[n]) {
            r.in_w[n] = 1;
            r.wlist.push_back(n);
        }
    }
    return kDone;
}

void mark(const std::vector<uint32_t>& members, std::vector<uint64_t>& row) {
    std::fill(row.begin(), row.end(), 0);
    for (uint32_t m : members) row[m / 64] |= uint64_t{1} << (m % 64);
}

// Closure. On kDone, `reach` holds, for every number, the number itself and
// all it reaches, and the model's sets of the worlds of `worlds` hold it too.
int fast_closure(PyObject* self, Reading& r, std::optional<BitRows>& reach) {
    State& s = state();
    Ref list;
    Ref relations(get(self, s.s_relations));
    if (!relations) return kError;
    if (!PyDict_CheckExact(relations.get())) return kFallback;
    int o = read_worlds(self, r, list);
    if (o != kDone) return o;
    std::vector<Ref> sets;  // per number: its successor set, when it has one
    // Reflexivity first, for every world of `worlds` in list order.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        PyObject* w = PyList_GET_ITEM(list.get(), i);
        Ref own = Ref::borrow(PyDict_GetItemWithError(relations.get(), w));
        if (!own) {
            if (PyErr_Occurred()) return kError;
            own = Ref(PySet_New(nullptr));
            if (!own || PyDict_SetItem(relations.get(), w, own.get()) < 0) return kError;
        }
        if (!PySet_CheckExact(own.get())) return kFallback;
        if (PySet_Add(own.get(), w) < 0) return kError;
    }
    // Every set reachable from `worlds`; the numbering grows as members appear.
    for (size_t q = 0; q < r.nodes.size(); ++q) {
        Ref set = Ref::borrow(PyDict_GetItemWithError(relations.get(), r.nodes.object(q)));
        if (!set) {
            if (PyErr_Occurred()) return kError;
            if (r.in_w[q]) return kFallback;  // changed under us by a user __eq__
        } else {
            if (r.in_w[q] ? !PySet_CheckExact(set.get()) : !readable(set.get())) return kFallback;
            std::vector<uint32_t> members;  // numbering may grow r.succ: fill a local first
            if (!r.members(set.get(), members)) return kError;
            r.succ[q] = std::move(members);
        }
        if (sets.size() < r.nodes.size()) sets.resize(r.nodes.size());
        sets[q] = set;
    }
    size_t n = r.nodes.size();
    Adjacency reversed(n);
    for (uint32_t q = 0; q < n; ++q)
        for (uint32_t m : r.succ[q]) reversed[m].push_back(q);
    reach.emplace(n, n);
    for (uint32_t q = 0; q < n; ++q) reach->set(q, q);
    // Interrupted only before the model's sets grow past their reflexivity.
    py::SignalPoll poll;
    if (!propagate(reversed, *reach, poll)) return kError;
    std::vector<uint64_t> had(reach->words());
    for (uint32_t q : r.wlist) {
        mark(r.succ[q], had);
        const uint64_t* row = reach->row(q);
        for (size_t i = 0; i < had.size(); ++i)
            for (uint64_t bits = row[i] & ~had[i]; bits; bits &= bits - 1) {
                size_t m = i * 64 + static_cast<size_t>(__builtin_ctzll(bits));
                if (PySet_Add(sets[q].get(), r.nodes.object(m)) < 0) return kError;
            }
    }
    return kDone;
}

// Order in which missing valuation entries are created: worlds of `worlds`
// in list order, then the others by (id, name) when they are plain worlds
// (so that the dict order does not follow the str hash seed).
bool world_key_less(PyObject* a, PyObject* b) {
    WorldObject* x = as_world(a);
    WorldObject* y = as_world(b);
    long long ix = PyLong_AsLongLong(x->id), iy = PyLong_AsLongLong(y->id);
    if (ix != iy) return ix < iy;
    return PyUnicode_Compare(x->name, y->name) < 0;
}

bool plain_world(PyObject* o) {
    if (!PyObject_TypeCheck(o, state().api.world_type)) return false;
    WorldObject* w = as_world(o);
    if (!PyLong_CheckExact(w->id) || !PyUnicode_CheckExact(w->name)) return false;
    int overflow = 0;
    PyLong_AsLongLongAndOverflow(w->id, &overflow);
    return !overflow;
}

// Monotonicity over `r`, where `above[u]` lists the successors of each world
// u of `worlds` (an empty list when it has no successor set).
int fast_monotonicity(PyObject* self, Reading& r, const std::vector<std::vector<uint32_t>>& above) {
    Ref valuations(get(self, state().s_valuations));
    if (!valuations) return kError;
    if (!PyDict_CheckExact(valuations.get())) return kFallback;
    size_t n = r.nodes.size();
    Interner formulas;
    std::vector<Ref> sets(n);
    std::vector<std::vector<uint32_t>> initial(n);
    for (uint32_t u : r.wlist) {
        Ref set = Ref::borrow(PyDict_GetItemWithError(valuations.get(), r.nodes.object(u)));
        if (!set) {
            if (PyErr_Occurred()) return kError;
            continue;
        }
        if (!readable(set.get())) return kFallback;
        Ref items(PySequence_List(set.get()));
        if (!items) return kError;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
            int64_t f = formulas.number(PyList_GET_ITEM(items.get(), i));
            if (f < 0) return kError;
            initial[u].push_back(static_cast<uint32_t>(f));
        }
        sets[u] = set;
    }
    if (formulas.size() == 0) return kDone;  // nothing true anywhere that could move
    Adjacency edges(n);
    for (uint32_t u : r.wlist)
        for (uint32_t v : above[u])
            if (v != u) edges[u].push_back(v);
    BitRows truth(n, formulas.size());
    for (uint32_t u : r.wlist)
        for (uint32_t f : initial[u]) truth.set(u, f);
    py::SignalPoll poll;
    if (!propagate(edges, truth, poll)) return kError;

    // Find every receiver and its set before changing anything.
    std::vector<uint64_t> had(truth.words());
    std::vector<uint32_t> receivers, created_w, created_other;
    for (uint32_t v = 0; v < n; ++v) {
        mark(initial[v], had);
        const uint64_t* row = truth.row(v);
        bool gains = false;
        for (size_t i = 0; i < had.size() && !gains; ++i) gains = (row[i] & ~had[i]) != 0;
        if (!gains) continue;
        if (!r.in_w[v] || !sets[v]) {
            sets[v] = Ref::borrow(PyDict_GetItemWithError(valuations.get(), r.nodes.object(v)));
            if (!sets[v] && PyErr_Occurred()) return kError;
        }
        if (sets[v] && !PySet_CheckExact(sets[v].get())) return kFallback;
        receivers.push_back(v);
        if (!sets[v]) (r.in_w[v] ? created_w : created_other).push_back(v);
    }
    // Worlds of `worlds` in list order, then the rest.
    std::vector<uint32_t> order_w;
    for (uint32_t u : r.wlist)
        if (std::find(created_w.begin(), created_w.end(), u) != created_w.end()) order_w.push_back(u);
    bool sortable = std::all_of(created_other.begin(), created_other.end(),
                                [&](uint32_t v) { return plain_world(r.nodes.object(v)); });
    if (sortable)
        std::stable_sort(created_other.begin(), created_other.end(), [&](uint32_t a, uint32_t b) {
            return world_key_less(r.nodes.object(a), r.nodes.object(b));
        });
    order_w.insert(order_w.end(), created_other.begin(), created_other.end());
    for (uint32_t v : order_w) {
        sets[v] = Ref(PySet_New(nullptr));
        if (!sets[v] || PyDict_SetItem(valuations.get(), r.nodes.object(v), sets[v].get()) < 0) return kError;
    }
    for (uint32_t v : receivers) {
        mark(initial[v], had);
        const uint64_t* row = truth.row(v);
        for (size_t i = 0; i < had.size(); ++i)
            for (uint64_t bits = row[i] & ~had[i]; bits; bits &= bits - 1) {
                size_t f = i * 64 + static_cast<size_t>(__builtin_ctzll(bits));
                if (PySet_Add(sets[v].get(), formulas.object(f)) < 0) return kError;
            }
    }
    return kDone;
}

// The successor lists of the worlds of `worlds`, read from the model.
int read_above(PyObject* self, Reading& r, std::vector<std::vector<uint32_t>>& above) {
    Ref relations(get(self, state().s_relations));
    if (!relations) return kError;
    if (!PyDict_CheckExact(relations.get())) return kFallback;
    Ref list;
    int o = read_worlds(self, r, list);
    if (o != kDone) return o;
    std::vector<uint32_t> wlist = r.wlist;
    std::vector<std::vector<uint32_t>> lists(wlist.size());
    for (size_t i = 0; i < wlist.size(); ++i) {
        Ref set = Ref::borrow(PyDict_GetItemWithError(relations.get(), r.nodes.object(wlist[i])));
        if (!set) {
            if (PyErr_Occurred()) return kError;
            continue;
        }
        if (!readable(set.get())) return kFallback;
        if (!r.members(set.get(), lists[i])) return kError;
    }
    above.assign(r.nodes.size(), {});
    for (size_t i = 0; i < wlist.size(); ++i) above[wlist[i]] = std::move(lists[i]);
    return kDone;
}

}  // namespace

int compute_transitive_closure(PyObject* self) {
    Reading r;
    std::optional<BitRows> reach;
    int o = fast_closure(self, r, reach);
    if (o == kError) return -1;
    return o == kDone ? 0 : generic_closure(self);
}

int enforce_monotonicity(PyObject* self) {
    Reading r;
    std::vector<std::vector<uint32_t>> above;
    int o = read_above(self, r, above);
    if (o == kDone) o = fast_monotonicity(self, r, above);
    if (o == kError) return -1;
    return o == kDone ? 0 : generic_monotonicity(self);
}

int close_and_enforce(PyObject* self) {
    Reading r;
    std::optional<BitRows> reach;
    int o = fast_closure(self, r, reach);
    if (o != kDone) {
        if (o == kError) return -1;
        if (generic_closure(self) < 0) return -1;
        return enforce_monotonicity(self);
    }
    // The successor sets of the worlds of `worlds` now hold exactly their rows.
    std::vector<std::vector<uint32_t>> above(r.nodes.size());
    for (uint32_t u : r.wlist) {
        const uint64_t* row = reach->row(u);
        for (size_t i = 0; i < reach->words(); ++i)
            for (uint64_t bits = row[i]; bits; bits &= bits - 1)
                above[u].push_back(static_cast<uint32_t>(i * 64 + static_cast<size_t>(__builtin_ctzll(bits))));
    }
    o = fast_monotonicity(self, r, above);
    if (o == kError) return -1;
    return o == kDone ? 0 : generic_monotonicity(self);
}

}  // namespace quorvel::kripke
