// FormulaTree: the decomposition of a goal and its premises into a polar
// formula tree (built natively, then given its Python positions, symbols
// and ordering), and get_paths over the tree's Python positions.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "quorvel/constructive/matrix/state.h"
#include "quorvel/constructive/prefix/api.h"
#include "quorvel/core/ast/api.h"
#include "quorvel/support/flat_map.h"
#include "quorvel/support/memory_budget.h"
#include "quorvel/support/py/args.h"
#include "quorvel/support/py/compat.h"
#include "quorvel/support/py/constructive.h"
#include "quorvel/support/py/gc_pause.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/lower.h"
#include "quorvel/support/py/names.h"
#include "quorvel/support/py/premises.h"
#include "quorvel/support/py/ref.h"
#include "quorvel/support/py/interrupt.h"

namespace quorvel::matrix {
namespace {

using ast::Kind;
using py::Ref;

const char* const kInitNames[] = {"target", "premises", "multiplicity"};
const py::Signature kInit{"FormulaTree.__init__", kInitNames, 3, 1, 0, true};

// Native bytes and Python objects per position, for the memory budget.
constexpr size_t kPositionCost = 320;

struct FormulaTreeObject {
    PyObject_HEAD
    PyObject* dict;
    PyObject* weakrefs;
    TreeView* view;
};

FormulaTreeObject* as_tree(PyObject* o) { return reinterpret_cast<FormulaTreeObject*>(o); }

void release_objects(TreeView& view) {
    for (auto* objects : {&view.positions, &view.symbols, &view.prefixes, &view.formulas})
        for (PyObject* o : *objects) Py_XDECREF(o);
}

void release_view(TreeView* view) {
    if (!view) return;
    release_objects(*view);
    delete view;
}

// The decomposition, with an explicit stack of compound positions whose
// children are still being made.
class Builder {
public:
    Builder(TreeView& view, uint32_t multiplicity, Interrupt& interrupt)
        : view_(view), t_(view.tree), multiplicity_(multiplicity), interrupt_(interrupt), lowering_(arena_) {
        new_symbol(SymKind::Constant, kNone);  // c0
    }

    // The position of `f` under the root prefix with no parent; kNone with a
    // Python exception set.
    uint32_t decompose(PyObject* f, uint8_t polarity) {
        uint32_t top = start(f, polarity, 0, kNone);
        if (top == kNone) return kNone;
        while (!frames_.empty()) {
            size_t i = frames_.size() - 1;
            Frame& fr = frames_[i];
            uint32_t total = fr.type == PosType::Phi ? 2 * multiplicity_ : 2;
            if (fr.next == total) {
                NativePosition& p = t_.positions[fr.index];
                p.first_child = static_cast<uint32_t>(t_.children.size());
                p.child_count = static_cast<uint32_t>(kids_.size() - fr.first_kid);
                t_.children.insert(t_.children.end(), kids_.begin() + fr.first_kid, kids_.end());
                t_.completed.push_back(fr.index);
                kids_.resize(fr.first_kid);
                frames_.pop_back();
                continue;
            }
            uint32_t which = fr.next++;
            PyObject* node = fr.formula;
            uint32_t parent = fr.index;
            PyObject* child = which % 2 ? ast::as_binary(node)->right : ast::as_binary(node)->left;
            uint8_t pol = fr.polarity;
            uint32_t under = fr.last_symbol;
            if (fr.type == PosType::Phi) {
                if (which % 2 == 0) fr.copy_symbol = new_symbol(SymKind::Variable, fr.last_symbol);
                under = frames_[i].copy_symbol;
                pol = which % 2 ? 1 : 0;
            } else if (fr.type == PosType::Psi) {
                pol = which % 2 ? 0 : 1;
            }
            // The child's place comes before the kids of its own frame, if it opens one.
            size_t place = kids_.size();
            kids_.push_back(kNone);
            uint32_t c = start(child, pol, under, parent);  // may grow frames_
            if (c == kNone) return kNone;
            kids_[place] = c;
        }
        return top;
    }

    // Counts the positions that decomposing `f` at `polarity` will make
    // (saturating), adding them to `total`; std::bad_alloc when the tree
    // cannot fit. Formulas from Python may share subtrees, so a small
    // formula can stand for an exponential tree: it is refused here, before
    // anything is built. Memoised by identity and polarity.
    void count(PyObject* f, uint8_t polarity, uint64_t& total) {
        auto add = [](uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; };
        auto mul = [](uint64_t a, uint64_t b) {
            uint64_t r;
            return __builtin_mul_overflow(a, b, &r) ? UINT64_MAX : r;
        };
        struct Frame {
            PyObject* f;
            uint8_t polarity;
            bool expanded;
        };
        std::vector<Frame> stack{{f, polarity, false}};
        while (!stack.empty()) {
            Frame fr = stack.back();
            uint64_t* known = counts_[fr.polarity].find(fr.f);
            if (known) {
                stack.pop_back();
                continue;
            }
            Kind k = ast::kind_of(fr.f);
            bool compound = !py::is_atomic(fr.f) && (k == Kind::And || k == Kind::Or || k == Kind::Implies);
            if (!compound) {
                counts_[fr.polarity].insert(fr.f, 1);
                stack.pop_back();
                continue;
            }
            PyObject* left = ast::as_binary(fr.f)->left;
            PyObject* right = ast::as_binary(fr.f)->right;
            uint8_t lp = fr.polarity, rp = fr.polarity;
            if (k == Kind::Implies) {
                lp = fr.polarity ? 0 : 1;
                rp = fr.polarity ? 1 : 0;
            }
            if (!fr.expanded) {
                stack.back().expanded = true;
                stack.push_back({left, lp, false});
                stack.push_back({right, rp, false});
                continue;
            }
            uint64_t pair = add(*counts_[lp].find(left), *counts_[rp].find(right));
            uint64_t n = add(1, k == Kind::Implies && fr.polarity ? mul(multiplicity_, pair) : pair);
            counts_[fr.polarity].insert(fr.f, n);
            stack.pop_back();
        }
        total = add(total, *counts_[polarity].find(f));
        checked_size(static_cast<size_t>(std::min<uint64_t>(total, SIZE_MAX)), kPositionCost, 0, budget_);
    }

    // Room for a tree of `positions` positions (what count() gave), so that
    // building it grows no vector: a symbol is made at most once per
    // position.
    void reserve(uint64_t positions) {
        size_t n = static_cast<size_t>(positions);
        t_.positions.reserve(n);
        t_.children.reserve(n);
        t_.completed.reserve(n);
        t_.leaves.reserve(n);
        formulas_.reserve(n);
        for (auto* v : {&t_.symbol_parent, &t_.symbol_number, &t_.symbol_depth}) v->reserve(n + 1);
        t_.symbol_kinds.reserve(n + 1);
        t_.order.successors.reserve(n + 1);
    }

    // A BETA root over the premises and the target.
    uint32_t root_over(PyObject* target, const std::vector<uint32_t>& kids) {
        uint32_t index = add_position(target, 0, PosType::Beta, 0, kNone, kNone);
        NativePosition& p = t_.positions[index];
        p.first_child = static_cast<uint32_t>(t_.children.size());
        p.child_count = static_cast<uint32_t>(kids.size());
        t_.children.insert(t_.children.end(), kids.begin(), kids.end());
        t_.completed.push_back(index);
        return index;
    }

    // The formula object of each position (borrowed from the normalized
    // formulas, which the tree holds), and the formula of each number.
    std::vector<PyObject*> take_formulas() { return std::move(formulas_); }
    void number_formulas() {
        view_.formulas.assign(arena_.size(), nullptr);
        for (uint32_t f = 0; f < arena_.size(); ++f)
            if (PyObject* o = lowering_.origin(f)) view_.formulas[f] = Py_NewRef(o);
        if (view_.formulas.size() > arena_.falsum() && view_.formulas[arena_.falsum()]) view_.falsum = arena_.falsum();
        if (view_.formulas.size() > arena_.verum() && view_.formulas[arena_.verum()]) view_.verum = arena_.verum();
    }

private:
    struct Frame {
        PyObject* formula;
        uint32_t index;
        PosType type;
        uint8_t polarity;
        uint32_t last_symbol;
        uint32_t first_kid;  // this frame's children so far are kids_[first_kid..]
        uint32_t next = 0;
        uint32_t copy_symbol = kNone;
    };

    uint32_t new_symbol(SymKind kind, uint32_t parent) {
        uint32_t s = static_cast<uint32_t>(t_.symbol_kinds.size());
        t_.symbol_kinds.push_back(kind);
        t_.symbol_parent.push_back(parent);
        t_.symbol_depth.push_back(parent == kNone ? 1 : t_.symbol_depth[parent] + 1);
        uint32_t number = parent == kNone ? 0 : kind == SymKind::Variable ? ++t_.var_counter : ++t_.const_counter;
        t_.symbol_number.push_back(number);
        t_.order.successors.emplace_back();
        if (parent != kNone) t_.order.successors[parent].push_back(s);
        return s;
    }

    uint32_t add_position(PyObject* f, uint8_t polarity, PosType type, uint32_t last, uint32_t symbol,
                          uint32_t parent) {
        checked_size(t_.positions.size() + 1, kPositionCost, 0, budget_);
        uint32_t index = static_cast<uint32_t>(t_.positions.size());
        t_.positions.push_back(NativePosition{type, polarity, kNone, last, symbol, parent, 0, 0});
        formulas_.push_back(f);
        return index;
    }

    uint32_t start(PyObject* f, uint8_t polarity, uint32_t last, uint32_t parent) {
        if (interrupt_.tick()) return kNone;
        // The id comes first: a position's symbol is made after its id.
        Kind k = ast::kind_of(f);
        bool atomic = py::is_atomic(f);
        if (atomic || (k != Kind::And && k != Kind::Or && k != Kind::Implies)) {
            uint32_t symbol = kNone;
            if (atomic && polarity == 1) {
                int bottom = py::is_falsum(f);
                int top = bottom == 0 ? py::is_verum(f) : 0;
                if (bottom < 0 || top < 0) return kNone;
                if (!bottom && !top) symbol = new_symbol(SymKind::Variable, last);
            }
            uint32_t index = add_position(f, polarity, PosType::Atom, symbol == kNone ? last : symbol, symbol, parent);
            FormulaId number;
            if (!lowering_.lower(f, number)) return kNone;
            t_.positions[index].formula = number;
            t_.leaves.push_back(index);
            t_.completed.push_back(index);
            return index;
        }
        PosType type;
        uint32_t symbol = kNone;
        if (k == Kind::And) {
            type = polarity ? PosType::Beta : PosType::Alpha;
        } else if (k == Kind::Or) {
            type = polarity ? PosType::Alpha : PosType::Beta;
        } else if (polarity) {
            type = PosType::Phi;
        } else {
            type = PosType::Psi;
            symbol = new_symbol(SymKind::Constant, last);
            last = symbol;
        }
        uint32_t index = add_position(f, polarity, type, last, symbol, parent);
        frames_.push_back(Frame{f, index, type, polarity, last, static_cast<uint32_t>(kids_.size())});
        return index;
    }

    TreeView& view_;
    NativeTree& t_;
    uint32_t multiplicity_;
    Interrupt& interrupt_;
    size_t budget_ = memory_budget();
    FormulaArena arena_;
    py::Lowering lowering_;
    std::vector<Frame> frames_;
    std::vector<uint32_t> kids_;  // the children made so far of every open frame, innermost last
    std::vector<PyObject*> formulas_;
    IdentityMap<uint64_t> counts_[2];  // positions under a formula, by polarity
};

// The symbol and the prefix ending in it of each symbol of a built native
// tree, by Sym.
bool lift_symbols(TreeView& view) {
    const NativeTree& t = view.tree;
    const prefix::Api& papi = prefix::api();
    size_t slots = 0, budget = memory_budget();
    for (uint32_t d : t.symbol_depth) slots = checked_size(d, sizeof(PyObject*), slots, budget);
    for (size_t s = 0; s < t.symbol_kinds.size(); ++s) {
        bool variable = t.symbol_kinds[s] == SymKind::Variable;
        static py::NumberedNames variables("V"), constants("c");
        Ref name((variable ? variables : constants).get(t.symbol_number[s]));
        if (!name) return false;
        PyObject* sym = papi.new_symbol(variable ? papi.variable_type : papi.constant_type, name.get());
        if (!sym) return false;
        view.symbols.push_back(sym);
        uint32_t parent = t.symbol_parent[s];
        PyObject* above = parent == kNone ? nullptr : prefix::as_prefix(view.prefixes[parent])->symbols;
        Py_ssize_t n = above ? PyTuple_GET_SIZE(above) : 0;
        Ref tuple(PyTuple_New(n + 1));
        if (!tuple) return false;
        for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(PyTuple_GET_ITEM(above, i)));
        PyTuple_SET_ITEM(tuple.get(), n, Py_NewRef(sym));
        PyObject* word = papi.new_prefix(tuple.get());
        if (!word) return false;
        view.prefixes.push_back(word);
        if ((s & 4095) == 4095 && PyErr_CheckSignals() < 0) return false;
    }
    return true;
}

// The Python side of a built native tree: symbols, prefixes, positions,
// the lists and the ordering, set on the tree object in attribute order.
bool lift(PyObject* self, TreeView& view, const std::vector<PyObject*>& formulas, PyObject* target,
          PyObject* premises, PyObject* multiplicity) {
    const NativeTree& t = view.tree;
    py::GcPause pause;  // the new records form no cycle
    if (!lift_symbols(view)) return false;
    State& st = state();
    for (size_t i = 0; i < t.positions.size(); ++i) {
        const NativePosition& p = t.positions[i];
        Ref id(PyLong_FromSize_t(i + 1));
        if (!id) return false;
        PyObject* fields[kFieldCount] = {id.get(),
                                         formulas[i],
                                         st.small_ints[p.polarity],
                                         st.members[static_cast<int>(p.type)],
                                         view.prefixes[p.last_symbol],
                                         Py_None,
                                         st.empty_tuple,
                                         p.symbol == kNone ? Py_None : view.symbols[p.symbol]};
        PyObject* position = new_position(fields);
        if (!position) return false;
        view.positions.push_back(position);
        if ((i & 4095) == 4095 && PyErr_CheckSignals() < 0) return false;
    }
    for (size_t i = 0; i < t.positions.size(); ++i) {
        const NativePosition& p = t.positions[i];
        PyObject* position = view.positions[i];
        if (p.parent != kNone && !set_position_parent(position, view.positions[p.parent])) return false;
        if (p.child_count) {
            Ref kids(PyTuple_New(p.child_count));
            if (!kids) return false;
            for (uint32_t k = 0; k < p.child_count; ++k)
                PyTuple_SET_ITEM(kids.get(), k, Py_NewRef(view.positions[t.children[p.first_child + k]]));
            Py_XSETREF(as_position(position)->fields[kChildren], kids.release());
        }
    }
    auto list_of = [&](const std::vector<uint32_t>& indices) -> PyObject* {
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(indices.size()));
        if (!list) return nullptr;
        for (size_t k = 0; k < indices.size(); ++k)
            PyList_SET_ITEM(list, static_cast<Py_ssize_t>(k), Py_NewRef(view.positions[indices[k]]));
        return list;
    };
    Ref positions(list_of(t.completed));
    Ref leaves(positions ? list_of(t.leaves) : nullptr);
    Ref order(leaves ? PyDict_New() : nullptr);
    if (!order) return false;
    for (size_t s = 0; s < t.symbol_kinds.size(); ++s) {
        Ref set(PySet_New(nullptr));
        if (!set) return false;
        for (Sym n : t.order.successors[s])
            if (PySet_Add(set.get(), view.symbols[n]) < 0) return false;
        if (PyDict_SetItem(order.get(), view.symbols[s], set.get()) < 0) return false;
    }
    Ref counter(PyLong_FromSize_t(t.positions.size()));
    Ref consts(PyLong_FromUnsignedLong(t.const_counter));
    Ref vars(PyLong_FromUnsignedLong(t.var_counter));
    if (!counter || !consts || !vars) return false;
    Ref dict(PyDict_New());
    if (!dict) return false;
    PyObject* const values[State::kTreeAttributeCount] = {
        target,      premises,   multiplicity,  positions.get(), leaves.get(), order.get(),
        counter.get(), consts.get(), vars.get(), view.positions[t.root]};
    for (int i = 0; i < State::kTreeAttributeCount; ++i)
        if (PyDict_SetItem(dict.get(), st.tree_attributes[i], values[i]) < 0) return false;
    Py_XSETREF(as_tree(self)->dict, dict.release());
    return true;
}

// The tree of a normalised goal and premises (a tuple), every true
// implication copied `copies` times, decomposed into `view`; the formula of
// each position (borrowed from the goal and premises) into `formulas`.
bool decompose_normal(PyObject* target, PyObject* premises, size_t copies, TreeView& view,
                      std::vector<PyObject*>& formulas) {
    if (copies > UINT32_MAX / 4) throw std::bad_alloc();  // every copy makes positions
    Interrupt interrupt = py::signal_interrupt();
    Builder b(view, static_cast<uint32_t>(copies), interrupt);
    std::vector<uint32_t> kids;
    uint64_t total = 1;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(premises); ++i) b.count(PyTuple_GET_ITEM(premises, i), 1, total);
    b.count(target, 0, total);
    b.reserve(total);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(premises); ++i) {
        uint32_t p = b.decompose(PyTuple_GET_ITEM(premises, i), 1);
        if (p == kNone) return false;
        kids.push_back(p);
    }
    uint32_t goal = b.decompose(target, 0);
    if (goal == kNone) return false;
    if (kids.empty()) {
        view.tree.root = goal;
    } else {
        kids.push_back(goal);
        view.tree.root = b.root_over(target, kids);
    }
    b.number_formulas();
    formulas = b.take_formulas();
    return true;
}

// What FormulaTree(target, premises, multiplicity) holds: the goal and
// premises normalised, the multiplicity clamped to at least one, and the
// tree of them decomposed into `view`.
struct Decomposed {
    Ref target, premises, multiplicity;
    std::vector<PyObject*> formulas;
};

bool decompose(PyObject* target, PyObject* premises, PyObject* multiplicity, TreeView& view, Decomposed& out) {
    out.target = Ref(py::normalize_formula(target));
    if (!out.target) return false;
    out.premises = Ref(py::normalize_premises(premises));
    if (!out.premises) return false;
    {
        Ref one(PyLong_FromLong(1));
        if (!one) return false;
        int above = PyObject_RichCompareBool(multiplicity, one.get(), Py_GT);
        if (above < 0) return false;
        out.multiplicity = above ? Ref::borrow(multiplicity) : one;
    }
    Ref index(PyNumber_Index(out.multiplicity.get()));
    if (!index) return false;
    size_t copies = PyLong_AsSize_t(index.get());
    if (copies == static_cast<size_t>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
        copies = SIZE_MAX;
    }
    return decompose_normal(out.target.get(), out.premises.get(), copies, view, out.formulas);
}

bool build(PyObject* self, PyObject* target, PyObject* premises, PyObject* multiplicity) {
    auto* view = new TreeView;
    bool ok = [&] {
        Decomposed d;
        return decompose(target, premises, multiplicity, *view, d) &&
               lift(self, *view, d.formulas, d.target.get(), d.premises.get(), d.multiplicity.get());
    }();
    if (!ok) {
        release_view(view);
        return false;
    }
    release_view(as_tree(self)->view);
    as_tree(self)->view = view;
    return true;
}

int tree_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guard<int>(-1, [&]() -> int {
        PyObject* p[3];
        if (!py::parse_tuple(kInit, args, kwargs, p)) return -1;
        Ref one;
        if (!p[2]) {
            one = Ref(PyLong_FromLong(1));
            if (!one) return -1;
        }
        return build(self, p[0], p[1] ? p[1] : Py_None, p[2] ? p[2] : one.get()) ? 0 : -1;
    });
}

PyObject* tree_alloc(PyTypeObject* type, PyObject*, PyObject*) { return type->tp_alloc(type, 0); }

int tree_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_tree(self)->dict);
    if (TreeView* v = as_tree(self)->view)
        for (auto* objects : {&v->positions, &v->symbols, &v->prefixes, &v->formulas})
            for (PyObject* o : *objects) Py_VISIT(o);
    return 0;
}

int tree_clear(PyObject* self) {
    Py_CLEAR(as_tree(self)->dict);
    release_view(std::exchange(as_tree(self)->view, nullptr));
    return 0;
}

void tree_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_tree(self)->weakrefs) PyObject_ClearWeakRefs(self);
    tree_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// ---- get_paths over the Python positions ----

// The positions reachable from the root, numbered by identity, with their
// types and children as PathNodes.
class PositionGraph {
public:
    bool build(PyObject* root) {
        if (!visit(root)) return false;
        for (size_t next = 0; next < objects_.size(); ++next) {
            PyObject* o = objects_[next].get();
            Ref type_value(read(o, kPosType, state().s_pos_type));
            if (!type_value) return false;
            int type = pos_type_of(type_value.get());
            if (type < 0) return false;
            PathNode node{static_cast<PosType>(type), static_cast<uint32_t>(children_.size()), 0};
            if (node.type != PosType::Atom) {
                Ref kids(read(o, kChildren, state().s_children));
                if (!kids) return false;
                Ref seq(PySequence_Fast(kids.get(), "position children must be a sequence"));
                if (!seq) return false;
                Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
                for (Py_ssize_t k = 0; k < n; ++k) {
                    uint32_t c;
                    if (!visit(PySequence_Fast_GET_ITEM(seq.get(), k), &c)) return false;
                    children_.push_back(c);
                }
                node.child_count = static_cast<uint32_t>(n);
            }
            nodes_.push_back(node);
            if ((next & 4095) == 4095 && PyErr_CheckSignals() < 0) return false;
        }
        return acyclic();
    }

    const std::vector<PathNode>& nodes() const { return nodes_; }
    const std::vector<uint32_t>& children() const { return children_; }
    PyObject* object(uint32_t i) const { return objects_[i].get(); }

private:
    PyObject* read(PyObject* o, int field, PyObject* name) {
        if (is_position(o) && as_position(o)->fields[field]) return Py_NewRef(as_position(o)->fields[field]);
        return PyObject_GetAttr(o, name);
    }

    bool visit(PyObject* o, uint32_t* out = nullptr) {
        uint32_t i = index_.find(o);
        if (i == AddressIndex::kMissing) {
            i = static_cast<uint32_t>(objects_.size());
            index_.insert(o, i);
            objects_.push_back(Ref::borrow(o));
        }
        if (out) *out = i;
        return true;
    }

    // A position among its own descendants would make every path infinite:
    // refused as the recursive definition of the paths would refuse it.
    bool acyclic() {
        std::vector<uint8_t> colour(nodes_.size(), 0);
        struct Frame {
            uint32_t node, next;
        };
        std::vector<Frame> stack{{0, 0}};
        colour[0] = 1;
        while (!stack.empty()) {
            Frame& f = stack.back();
            const PathNode& n = nodes_[f.node];
            uint32_t kids = n.type == PosType::Atom ? 0 : n.child_count;
            if (f.next == kids) {
                colour[f.node] = 2;
                stack.pop_back();
                continue;
            }
            uint32_t c = children_[n.first_child + f.next++];
            if (colour[c] == 1) {
                PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded: a position is its own descendant");
                return false;
            }
            if (colour[c] == 0) {
                colour[c] = 1;
                stack.push_back({c, 0});
            }
        }
        return true;
    }

    AddressIndex index_;
    std::vector<Ref> objects_;
    std::vector<PathNode> nodes_;
    std::vector<uint32_t> children_;
};

PyObject* tree_get_paths(PyObject* self, PyObject*) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        Ref root(PyObject_GetAttr(self, state().s_root));
        if (!root) return nullptr;
        PositionGraph graph;
        if (!graph.build(root.get())) return nullptr;
        Interrupt interrupt = py::signal_interrupt();
        PathSet paths;
        size_t budget = memory_budget();
        if (!matrix_paths(graph.nodes(), graph.children(), 0, budget, interrupt, paths)) return nullptr;
        // A list object per path and a slot per leaf.
        checked_size(paths.size(), 96, paths.leaves.size() * sizeof(PyObject*), budget);
        py::GcPause pause;  // lists of positions, no cycle among them
        Ref out(PyList_New(static_cast<Py_ssize_t>(paths.size())));
        if (!out) return nullptr;
        for (size_t i = 0; i < paths.size(); ++i) {
            size_t from = paths.offsets[i], to = paths.offsets[i + 1];
            PyObject* path = PyList_New(static_cast<Py_ssize_t>(to - from));
            if (!path) return nullptr;
            for (size_t k = from; k < to; ++k)
                PyList_SET_ITEM(path, static_cast<Py_ssize_t>(k - from), Py_NewRef(graph.object(paths.leaves[k])));
            PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), path);
            if ((i & 1023) == 1023 && PyErr_CheckSignals() < 0) return nullptr;
        }
        return out.release();
    });
}

PyMethodDef kTreeMethods[] = {
    {"get_paths", tree_get_paths, METH_NOARGS,
     "get_paths($self, /)\n--\n\n"
     "Every matrix path from `root`, each a new list of leaf positions, in the\n"
     "fixed order: ALPHA lists its children's paths one after another, BETA and\n"
     "PSI join one path of each child, PHI one path of either child of each pair."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef kTreeMembers[] = {
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FormulaTreeObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FormulaTreeObject, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef kTreeGetSet[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* new_tree(PyObject* target, PyObject* premises, PyObject* multiplicity) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyTypeObject* type = state().api.tree_type;
        Ref self(type->tp_alloc(type, 0));
        if (!self || !build(self.get(), target, premises ? premises : Py_None, multiplicity)) return nullptr;
        return self.release();
    });
}

const TreeView* tree_view(PyObject* tree) {
    if (!PyObject_TypeCheck(tree, state().api.tree_type) || !as_tree(tree)->view) {
        PyErr_Format(PyExc_TypeError, "expected a built FormulaTree, not %.100s", Py_TYPE(tree)->tp_name);
        return nullptr;
    }
    return as_tree(tree)->view;
}

void free_native(NativeBuild* build) {
    if (!build) return;
    release_objects(build->view);
    Py_XDECREF(build->target);
    Py_XDECREF(build->premises);
    delete build;
}

NativeBuild* build_native(PyObject* target, PyObject* premises, size_t multiplicity) {
    return py::guard<NativeBuild*>(nullptr, [&]() -> NativeBuild* {
        std::unique_ptr<NativeBuild, void (*)(NativeBuild*)> build(new NativeBuild, free_native);
        build->target = Py_NewRef(target);
        build->premises = Py_NewRef(premises);
        if (!decompose_normal(target, premises, std::max<size_t>(multiplicity, 1), build->view,
                              build->position_formulas))
            return nullptr;
        py::GcPause pause;  // symbols and prefixes form no cycle
        if (!lift_symbols(build->view)) return nullptr;
        return build.release();
    });
}

bool view_paths(const TreeView& view, Interrupt& interrupt, PathSet& out) {
    return matrix_paths(path_nodes(view.tree), view.tree.children, view.tree.root, memory_budget(), interrupt, out);
}

bool create_tree_type(PyObject* module) {
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(tree_alloc)},
        {Py_tp_init, reinterpret_cast<void*>(tree_init)},
        {Py_tp_dealloc, reinterpret_cast<void*>(tree_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(tree_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(tree_clear)},
        {Py_tp_methods, kTreeMethods},
        {Py_tp_members, kTreeMembers},
        {Py_tp_getset, kTreeGetSet},
        {Py_tp_doc, const_cast<char*>("FormulaTree(target, premises=None, multiplicity=1)\n--\n\n"
                                      "The polar formula tree of a goal and its premises (a list or tuple),\n"
                                      "with every true implication copied `multiplicity` times.")},
        {0, nullptr},
    };
    static PyType_Spec type_spec{"quorvel.constructive.matrix.FormulaTree", sizeof(FormulaTreeObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
    PyObject* type = PyType_FromSpec(&type_spec);
    if (!type) return false;
    state().api.tree_type = reinterpret_cast<PyTypeObject*>(type);
    return PyModule_AddObjectRef(module, "FormulaTree", type) == 0;
}

}  // namespace quorvel::matrix
