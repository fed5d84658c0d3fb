// LJTProofTree: the container of a derivation, with its walks (depth, size,
// validity), its dictionary and its ASCII and LaTeX renderings. Every walk
// keeps its own stack, so a tree of any depth is handled; nodes of the
// exact record type are read directly and visited once (a hand-built tree
// may share a node many times), any other node object by attribute.
#include <stddef.h>

#include <string>
#include <vector>

#include "quorvel/constructive/ljt/state.h"
#include "quorvel/support/flat_map.h"
#include "quorvel/support/py/args.h"
#include "quorvel/support/py/compat.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/ref.h"
#include "quorvel/support/py/printer.h"

namespace quorvel::ljt {
namespace {

using py::Ref;

struct TreeObject {
    PyObject_HEAD
    PyObject* root;
    PyObject* dict;
    PyObject* weakrefs;
};

TreeObject* as_tree(PyObject* o) { return reinterpret_cast<TreeObject*>(o); }

const char* const kRootParam[] = {"root"};
const py::Signature kTreeInit{"LJTProofTree.__init__", kRootParam, 1, 1, 0, true};

// The fields of one node, whatever object it is. Borrowed for an exact
// LJTProofNode; owned (from getattr) otherwise.
struct NodeView {
    Ref rule, sequent;
    Ref premises;  // a list or tuple

    bool read(PyObject* node, bool with_rule, bool with_sequent) {
        const State& st = state();
        if (is_node(node)) {
            if (with_rule) rule = Ref::borrow(node_rule(node));
            if (with_sequent) sequent = Ref::borrow(node_sequent(node));
            premises = Ref(as_sequence(node_premises(node)));
            return bool(premises);
        }
        if (with_rule && !(rule = Ref(PyObject_GetAttr(node, st.s_rule)))) return false;
        if (with_sequent && !(sequent = Ref(PyObject_GetAttr(node, st.s_sequent)))) return false;
        Ref p(PyObject_GetAttr(node, st.s_premises));
        if (!p) return false;
        premises = Ref(as_sequence(p.get()));
        return bool(premises);
    }
    Py_ssize_t count() const { return PySequence_Fast_GET_SIZE(premises.get()); }
    PyObject* at(Py_ssize_t i) const { return PySequence_Fast_GET_ITEM(premises.get(), i); }
};

PyObject* root_of(PyObject* self) {
    PyObject* root = as_tree(self)->root;
    if (!root) PyErr_SetString(PyExc_AttributeError, "'LJTProofTree' object has no attribute 'root'");
    return root;
}

// Post-order fold over the tree: `start` is a node's initial accumulator,
// `absorb(acc, child)` adds a premise's value, `done(acc)` gives the node's.
template <class V, class Ops>
bool fold(PyObject* root, Ops& ops, V& out) {
    struct Frame {
        PyObject* node;  // borrowed: held by the parent's premises, or by the caller
        NodeView view;
        Py_ssize_t i;
        V acc;
    };
    // Exact nodes only, which cannot change: the index of a node's value.
    IdentityMap<size_t> memo;
    std::vector<V> values;
    WorkPoll poll(poll_signals);
    std::vector<Frame> stack;
    auto enter = [&](PyObject* node) -> bool {
        Frame f{node, {}, 0, ops.start()};
        if (!f.view.read(node, false, false)) return false;
        stack.push_back(std::move(f));
        return true;
    };
    if (!enter(root)) return false;
    while (true) {
        if (!poll.spend(1)) return false;
        Frame& f = stack.back();
        if (f.i < f.view.count()) {
            PyObject* child = f.view.at(f.i++);
            const size_t* hit = is_node(child) ? memo.find(child) : nullptr;
            if (hit) {
                if (!ops.absorb(f.acc, values[*hit])) return false;
            } else if (!enter(child)) {
                return false;
            }
            continue;
        }
        V value = ops.done(f.acc);
        if (is_node(f.node)) {
            memo.insert(f.node, values.size());
            values.push_back(value);
        }
        stack.pop_back();
        if (stack.empty()) {
            out = value;
            return true;
        }
        if (!ops.absorb(stack.back().acc, value)) return false;
    }
}

struct DepthOps {
    uint64_t start() const { return 0; }
    bool absorb(uint64_t& acc, uint64_t child) const {
        if (child > acc) acc = child;
        return true;
    }
    uint64_t done(uint64_t acc) const { return acc + 1; }
};

struct SizeOps {
    bool overflow = false;
    uint64_t start() const { return 1; }
    bool absorb(uint64_t& acc, uint64_t child) {
        if (__builtin_add_overflow(acc, child, &acc)) overflow = true;
        return !overflow;
    }
    uint64_t done(uint64_t acc) const { return acc; }
};

// Sizes past 2**64 (a node shared at every level) as Python ints.
struct BigSizeOps {
    PyObject* one;
    Ref start() const { return Ref::borrow(one); }
    bool absorb(Ref& acc, const Ref& child) const {
        acc = Ref(PyNumber_Add(acc.get(), child.get()));
        return bool(acc);
    }
    Ref done(const Ref& acc) const { return acc; }
};

PyObject* tree_depth_of(PyObject* root) {
    DepthOps ops;
    uint64_t d;
    if (!fold(root, ops, d)) return nullptr;
    return PyLong_FromUnsignedLongLong(d);
}

PyObject* tree_size_of(PyObject* root) {
    SizeOps ops;
    uint64_t n;
    if (fold(root, ops, n)) return PyLong_FromUnsignedLongLong(n);
    if (!ops.overflow) return nullptr;
    Ref one(PyLong_FromLong(1));
    if (!one) return nullptr;
    BigSizeOps big{one.get()};
    Ref total;
    if (!fold(root, big, total)) return nullptr;
    return total.release();
}

// 1 when `rule` is one of "Ax", "L_Bot", "R_Top" (exactly), 0 if not, -1.
int is_axiom_rule(PyObject* rule) {
    for (Rule r : {Rule::Ax, Rule::LBot, Rule::RTop}) {
        int eq = PyObject_RichCompareBool(rule, state().rule_names[static_cast<int>(r)], Py_EQ);
        if (eq != 0) return eq;
    }
    return 0;
}

// Validity, depth first, stopping at the first leaf that is no axiom.
int tree_valid_of(PyObject* root) {
    struct Frame {
        PyObject* node;
        NodeView view;
        Py_ssize_t i;
    };
    IdentityMap<char> memo;  // exact nodes found valid
    WorkPoll poll(poll_signals);
    std::vector<Frame> stack;
    // 1: pushed (or known valid), 0: an invalid leaf, -1: error.
    auto enter = [&](PyObject* node) -> int {
        if (is_node(node) && memo.find(node)) return 1;
        Frame f{node, {}, 0};
        if (!f.view.read(node, false, false)) return -1;
        if (f.view.count() == 0) {
            Ref rule(is_node(node) ? Py_NewRef(node_rule(node)) : PyObject_GetAttr(node, state().s_rule));
            if (!rule) return -1;
            int ok = is_axiom_rule(rule.get());
            if (ok == 1 && is_node(node)) memo.insert(node, 1);
            return ok;
        }
        stack.push_back(std::move(f));
        return 1;
    };
    int r = enter(root);
    while (r == 1 && !stack.empty()) {
        if (!poll.spend(1)) return -1;
        Frame& f = stack.back();
        if (f.i < f.view.count()) {
            r = enter(f.view.at(f.i++));
            continue;
        }
        if (is_node(f.node)) memo.insert(f.node, 1);
        stack.pop_back();
    }
    return r;
}

// The infix text of a node's sequent: its string form.
bool append_sequent(std::string& out, PyObject* seq, bool latex) {
    Ref text;
    if (is_sequent(seq))
        text = Ref(sequent_text(seq, latex ? state().s_latex : state().s_infix));
    else if (latex)
        text = Ref(PyObject_CallMethodOneArg(seq, state().s_to_string, state().s_latex));
    else
        text = Ref(PyObject_Str(seq));
    if (!text) return false;
    return append_utf8(out, text.get());
}

PyObject* tree_ascii_of(PyObject* root) {
    struct Frame {
        NodeView view;
        Py_ssize_t i;
        size_t prefix;  // length of the prefix of this node's premises
    };
    std::string out, prefix;
    WorkPoll poll(poll_signals);
    std::vector<Frame> stack;
    auto line = [&](PyObject* node, const char* connector) -> bool {
        NodeView v;
        if (!v.read(node, true, true)) return false;
        out += prefix;
        out += connector;
        out += '[';
        if (!append_utf8(out, v.rule.get())) return false;
        out += "] ";
        if (!append_sequent(out, v.sequent.get(), false)) return false;
        stack.push_back({std::move(v), 0, prefix.size()});
        return true;
    };
    if (!line(root, "")) return nullptr;
    while (!stack.empty()) {
        if (!poll.spend(1 + prefix.size())) return nullptr;
        Frame& f = stack.back();
        Py_ssize_t n = f.view.count();
        if (f.i >= n) {
            stack.pop_back();
            continue;
        }
        PyObject* child = f.view.at(f.i);
        bool last = ++f.i == n;
        prefix.resize(f.prefix);
        out += '\n';
        // A child's premises continue under its connector.
        size_t here = prefix.size();
        if (!line(child, last ? "`-- " : "|-- ")) return nullptr;
        prefix.resize(here);
        prefix += last ? "    " : "|   ";
        stack.back().prefix = prefix.size();
    }
    return py::decode_text(out);
}

PyObject* tree_latex_of(PyObject* root) {
    struct Frame {
        PyObject* node;
        NodeView view;
        Py_ssize_t i;
    };
    std::string out = "\\begin{prooftree}";
    // "\RightLabel{...}" then the inference line of `count` premises; the
    // sequent in math mode and the label's underscores escaped, so that
    // the lines compile.
    auto conclude = [&](PyObject* node, Py_ssize_t count) -> bool {
        Ref rule(is_node(node) ? Py_NewRef(node_rule(node)) : PyObject_GetAttr(node, state().s_rule));
        if (!rule) return false;
        std::string label;
        if (!append_utf8(label, rule.get())) return false;
        out += "\n  \\RightLabel{";
        for (char c : label) {
            if (c == '_') out += '\\';
            out += c;
        }
        out += '}';
        static const char* const kInference[] = {"\n  \\UnaryInfC{$", "\n  \\BinaryInfC{$", "\n  \\TrinaryInfC{$",
                                                 "\n  \\QuaternaryInfC{$"};
        out += kInference[count <= 1 ? 0 : count >= 4 ? 3 : count - 1];
        Ref seq(is_node(node) ? Py_NewRef(node_sequent(node)) : PyObject_GetAttr(node, state().s_sequent));
        if (!seq || !append_sequent(out, seq.get(), true)) return false;
        out += "$}";
        return true;
    };
    WorkPoll poll(poll_signals);
    std::vector<Frame> stack;
    auto enter = [&](PyObject* node) -> bool {
        Frame f{node, {}, 0};
        if (!f.view.read(node, false, false)) return false;
        if (f.view.count() == 0) {
            out += "\n  \\AxiomC{}";
            return conclude(node, 1);
        }
        stack.push_back(std::move(f));
        return true;
    };
    if (!enter(root)) return nullptr;
    while (!stack.empty()) {
        if (!poll.spend(1)) return nullptr;
        Frame& f = stack.back();
        if (f.i < f.view.count()) {
            if (!enter(f.view.at(f.i++))) return nullptr;
            continue;
        }
        if (!conclude(f.node, f.view.count())) return nullptr;
        stack.pop_back();
    }
    out += "\n\\end{prooftree}";
    return py::decode_text(out);
}

// ---- the type ----

PyObject* tree_new(PyTypeObject* type, PyObject*, PyObject*) { return type->tp_alloc(type, 0); }

int tree_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guard<int>(-1, [&]() -> int {
        PyObject* p[1];
        if (!py::parse_tuple(kTreeInit, args, kwargs, p)) return -1;
        PyObject* old = as_tree(self)->root;
        as_tree(self)->root = Py_NewRef(p[0]);
        Py_XDECREF(old);
        return 0;
    });
}

int tree_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_tree(self)->root);
    Py_VISIT(as_tree(self)->dict);
    return 0;
}

int tree_clear(PyObject* self) {
    Py_CLEAR(as_tree(self)->root);
    Py_CLEAR(as_tree(self)->dict);
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

bool exact_tree(PyObject* self) { return Py_TYPE(self) == state().tree_type; }

template <class F>
PyObject* on_root(PyObject* self, F f) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        Ref root = Ref::borrow(root_of(self));
        if (!root) return nullptr;
        return f(root.get());
    });
}

PyObject* get_depth(PyObject* self, void*) { return on_root(self, tree_depth_of); }
PyObject* get_size(PyObject* self, void*) { return on_root(self, tree_size_of); }

PyObject* tree_is_valid(PyObject* self, PyObject*) {
    return on_root(self, [](PyObject* root) -> PyObject* {
        int r = tree_valid_of(root);
        return r < 0 ? nullptr : PyBool_FromLong(r);
    });
}

PyObject* tree_to_ascii(PyObject* self, PyObject*) { return on_root(self, tree_ascii_of); }
PyObject* tree_to_latex(PyObject* self, PyObject*) { return on_root(self, tree_latex_of); }

PyObject* tree_str(PyObject* self) {
    if (!exact_tree(self)) return PyObject_CallMethodNoArgs(self, state().s_to_ascii);
    return tree_to_ascii(self, nullptr);
}

PyObject* tree_to_dict(PyObject* self, PyObject*) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        const State& st = state();
        bool exact = exact_tree(self);
        Ref d(PyDict_New());
        if (!d) return nullptr;
        Ref root = Ref::borrow(root_of(self));
        if (!root) return nullptr;
        Ref value(is_node(root.get()) ? node_dict(root.get()) : PyObject_CallMethodNoArgs(root.get(), st.s_to_dict));
        if (!value || PyDict_SetItem(d.get(), st.s_root, value.get()) < 0) return nullptr;
        value = Ref(exact ? get_depth(self, nullptr) : PyObject_GetAttr(self, st.s_depth));
        if (!value || PyDict_SetItem(d.get(), st.s_depth, value.get()) < 0) return nullptr;
        value = Ref(exact ? get_size(self, nullptr) : PyObject_GetAttr(self, st.s_size));
        if (!value || PyDict_SetItem(d.get(), st.s_size, value.get()) < 0) return nullptr;
        value = Ref(exact ? tree_is_valid(self, nullptr) : PyObject_CallMethodNoArgs(self, st.s_is_valid));
        if (!value || PyDict_SetItem(d.get(), st.s_is_valid, value.get()) < 0) return nullptr;
        return d.release();
    });
}

PyObject* tree_reduce(PyObject* self, PyObject*) {
    PyObject* root = root_of(self);
    if (!root) return nullptr;
    PyObject* dict = as_tree(self)->dict;
    return Py_BuildValue("O(O)O", Py_TYPE(self), root, dict && PyDict_GET_SIZE(dict) ? dict : Py_None);
}

PyMethodDef kTreeMethods[] = {
    {"__reduce__", tree_reduce, METH_NOARGS, nullptr},
    {"is_valid", tree_is_valid, METH_NOARGS,
     "is_valid($self, /)\n--\n\n"
     "True when every leaf of the derivation is an axiom (\"Ax\", \"L_Bot\" or \"R_Top\")."},
    {"to_dict", tree_to_dict, METH_NOARGS,
     "to_dict($self, /)\n--\n\n"
     "The tree as plain values: \"root\" (the root's node dictionary), \"depth\", \"size\"\n"
     "and \"is_valid\"."},
    {"to_ascii", tree_to_ascii, METH_NOARGS,
     "to_ascii($self, /)\n--\n\n"
     "The derivation as an indented ASCII tree, one line \"[rule] sequent\" per node,\n"
     "root first, each node followed by the subtrees of its premises."},
    {"to_latex", tree_to_latex, METH_NOARGS,
     "to_latex($self, /)\n--\n\n"
     "The derivation as a bussproofs prooftree environment (premises before their\n"
     "conclusion; leaves drawn over an empty \\\\AxiomC)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kTreeGetset[] = {
    {"depth", get_depth, nullptr, "Nodes on a longest path from the root to a leaf, both counted.", nullptr},
    {"size", get_size, nullptr, "The number of nodes, counted by occurrence.", nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef kTreeMembers[] = {
    {"root", Py_T_OBJECT_EX, offsetof(TreeObject, root), 0, "The root node of the derivation."},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(TreeObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(TreeObject, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

}  // namespace

PyObject* new_tree(PyObject* root) {
    PyTypeObject* type = state().tree_type;
    PyObject* t = type->tp_alloc(type, 0);
    if (t) as_tree(t)->root = Py_NewRef(root);
    return t;
}

bool create_tree_type(PyObject* module) {
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(tree_new)},
        {Py_tp_init, reinterpret_cast<void*>(tree_init)},
        {Py_tp_dealloc, reinterpret_cast<void*>(tree_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(tree_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(tree_clear)},
        {Py_tp_str, reinterpret_cast<void*>(tree_str)},
        {Py_tp_methods, kTreeMethods},
        {Py_tp_getset, kTreeGetset},
        {Py_tp_members, kTreeMembers},
        {Py_tp_doc, const_cast<char*>("LJTProofTree(root)\n--\n\n"
                                      "A finished LJT derivation. Depth, size and validity are computed from\n"
                                      "`root` whenever asked for; the string form is the ASCII tree.")},
        {0, nullptr},
    };
    PyType_Spec type_spec{"quorvel.constructive.ljt.LJTProofTree", sizeof(TreeObject), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
    state().tree_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &type_spec, nullptr));
    return state().tree_type != nullptr;
}

}  // namespace quorvel::ljt
