// The renderings of tableau nodes: the ASCII block, the node dictionary,
// the forest markup, depth and size. Each walks with an explicit stack, so
// a proof of any depth renders. A child that is not a plain TableauNode (or
// whose to_string / to_dict was replaced on the instance) is asked through
// its own method, as the recursive definitions ask every child.
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "quorvel/constructive/kripke/api.h"
#include "quorvel/constructive/tableau/records.h"
#include "quorvel/support/py/count.h"
#include "quorvel/support/py/interrupt.h"

namespace quorvel::tableau {
namespace {

// A node that is its own descendant would make the recursive definitions
// recurse without end; they then fail with RecursionError, and so do we.
class Path {
public:
    bool enter(PyObject* node) {
        if (!on_path_.insert(node).second) {
            PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
            return false;
        }
        return true;
    }
    void leave(PyObject* node) { on_path_.erase(node); }

private:
    std::unordered_set<PyObject*> on_path_;
};

bool append_child_prefix(std::string& out, bool is_last) {
    out += is_last ? "    " : "|   ";
    return true;
}

// One ASCII line (without line feed).
bool append_line(std::string& out, PyObject* node, const std::string& prefix, bool is_last) {
    Ref closed = node_get(node, kIsClosed);
    if (!closed) return false;
    int c = truth(closed.get());
    if (c < 0) return false;
    std::string sf_str;
    Ref sf = node_get(node, kSignedFormula);
    if (!sf) return false;
    if (sf.get() != Py_None) {
        Ref text = signed_formula_text(sf.get(), nullptr);
        if (!text) return false;
        sf_str = " : ";
        if (!append_formatted(sf_str, text.get())) return false;
    }
    std::string clash_str;
    Ref clash = node_get(node, kClashDetails);
    if (!clash) return false;
    int has_clash = truth(clash.get());
    if (has_clash < 0) return false;
    if (has_clash) {
        clash_str = " (";
        if (!append_formatted(clash_str, clash.get())) return false;
        clash_str += ')';
    }
    Ref rule = node_get(node, kRule);
    if (!rule) return false;
    out += prefix;
    out += is_last ? "+-- " : "|-- ";
    if (!append_formatted(out, rule.get())) return false;
    out += sf_str;
    out += c ? " [CLOSED]" : " [OPEN]";
    out += clash_str;
    return true;
}

struct AsciiFrame {
    PyObject* node;  // held by `children` of the frame below, or by the caller
    Ref children;    // a list snapshot
    Py_ssize_t next;
    std::string child_prefix;
};

Ref children_of(PyObject* node) {
    Ref c = node_get(node, kChildren);
    if (!c) return Ref();
    return snapshot(c.get());
}

}  // namespace

PyObject* node_to_string(PyObject* node, PyObject* prefix, PyObject* is_last) {
    std::string out;
    std::string top_prefix;
    if (!append_formatted(top_prefix, prefix)) return nullptr;
    int last = truth(is_last);
    if (last < 0) return nullptr;
    // child_prefix = prefix + "    " (or "|   "), as Python adds them.
    std::string child_prefix;
    if (PyUnicode_CheckExact(prefix)) {
        child_prefix = top_prefix;
        append_child_prefix(child_prefix, last);
    } else {
        Ref tail(PyUnicode_FromString(last ? "    " : "|   "));
        if (!tail) return nullptr;
        Ref sum(PyNumber_Add(prefix, tail.get()));
        if (!sum || !append_formatted(child_prefix, sum.get())) return nullptr;
    }
    if (!append_line(out, node, top_prefix, last)) return nullptr;

    Path path;
    std::vector<AsciiFrame> stack;
    Ref children = children_of(node);
    if (!children || !path.enter(node)) return nullptr;
    stack.push_back({node, children, 0, child_prefix});
    while (!stack.empty()) {
        AsciiFrame& top = stack.back();
        Py_ssize_t n = PyList_GET_SIZE(top.children.get());
        if (top.next == n) {
            path.leave(top.node);
            stack.pop_back();
            continue;
        }
        PyObject* child = PyList_GET_ITEM(top.children.get(), top.next);
        bool child_last = ++top.next == n;
        out += '\n';
        if (own_node_method(child, names().to_string)) {
            if (!append_line(out, child, top.child_prefix, child_last)) return nullptr;
            Ref grand = children_of(child);
            if (!grand || !path.enter(child)) return nullptr;
            std::string p = top.child_prefix;
            append_child_prefix(p, child_last);
            stack.push_back({child, grand, 0, std::move(p)});  // `top` is dead from here
            continue;
        }
        Ref p = text_of(top.child_prefix);
        if (!p) return nullptr;
        PyObject* argv[] = {child, p.get(), child_last ? Py_True : Py_False};
        Ref kw(PyTuple_Pack(2, names().prefix, names().is_last));
        if (!kw) return nullptr;
        Ref block(PyObject_VectorcallMethod(names().to_string, argv, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kw.get()));
        if (!block || !append_formatted(out, block.get())) return nullptr;
    }
    return text_of(out).release();
}

namespace {

struct DictFrame {
    PyObject* node;
    Ref children;
    Py_ssize_t next;
    Ref list;  // the "children" list being filled
};

// The node's dictionary with an empty "children" list (returned in `list`).
Ref dict_head(PyObject* node, Ref& list) {
    Ref d(PyDict_New());
    if (!d) return Ref();
    Ref id = node_get(node, kId);
    if (!id || PyDict_SetItemString(d.get(), "id", id.get()) < 0) return Ref();
    Ref sf = node_get(node, kSignedFormula);
    if (!sf) return Ref();
    Ref sf_text = sf.get() == Py_None ? Ref::borrow(Py_None) : signed_formula_text(sf.get(), nullptr);
    if (!sf_text || PyDict_SetItemString(d.get(), "signed_formula", sf_text.get()) < 0) return Ref();
    Ref rule = node_get(node, kRule);
    if (!rule || PyDict_SetItemString(d.get(), "rule", rule.get()) < 0) return Ref();
    Ref world = node_get(node, kWorld);
    if (!world) return Ref();
    Ref name;
    if (world.get() == Py_None)
        name = Ref::borrow(Py_None);
    else if (Py_TYPE(world.get()) == kripke::api().world_type)
        name = Ref::borrow(kripke::as_world(world.get())->name);
    else
        name = getattr(world.get(), names().name);
    if (!name || PyDict_SetItemString(d.get(), "world", name.get()) < 0) return Ref();
    Ref closed = node_get(node, kIsClosed);
    if (!closed || PyDict_SetItemString(d.get(), "is_closed", closed.get()) < 0) return Ref();
    Ref clash = node_get(node, kClashDetails);
    if (!clash || PyDict_SetItemString(d.get(), "clash_details", clash.get()) < 0) return Ref();
    list = Ref(PyList_New(0));
    if (!list || PyDict_SetItemString(d.get(), "children", list.get()) < 0) return Ref();
    return d;
}

}  // namespace

PyObject* node_to_dict(PyObject* node) {
    Ref list;
    Ref root = dict_head(node, list);
    if (!root) return nullptr;
    Path path;
    std::vector<DictFrame> stack;
    Ref children = children_of(node);
    if (!children || !path.enter(node)) return nullptr;
    stack.push_back({node, children, 0, list});
    while (!stack.empty()) {
        DictFrame& top = stack.back();
        if (top.next == PyList_GET_SIZE(top.children.get())) {
            path.leave(top.node);
            stack.pop_back();
            continue;
        }
        PyObject* child = PyList_GET_ITEM(top.children.get(), top.next++);
        if (own_node_method(child, names().to_dict)) {
            Ref child_list;
            Ref d = dict_head(child, child_list);
            if (!d || PyList_Append(top.list.get(), d.get()) < 0) return nullptr;
            Ref grand = children_of(child);
            if (!grand || !path.enter(child)) return nullptr;
            stack.push_back({child, grand, 0, child_list});
            continue;
        }
        Ref d = call_method(child, names().to_dict);
        if (!d || PyList_Append(top.list.get(), d.get()) < 0) return nullptr;
    }
    return root.release();
}

namespace {

// The forest node content: signed formula, "\;", [rule] and the closed-leaf
// mark, stripped as str.strip() strips.
Ref latex_label(PyObject* node) {
    std::string label;
    Ref sf = node_get(node, kSignedFormula);
    if (!sf) return Ref();
    if (sf.get() != Py_None) {
        Ref text = signed_formula_text(sf.get(), names().latex);
        if (!text || !append_formatted(label, text.get())) return Ref();
    }
    label += " \\; ";
    Ref rule = node_get(node, kRule);
    if (!rule) return Ref();
    int has_rule = truth(rule.get());
    if (has_rule < 0) return Ref();
    if (has_rule) {
        // An underscore would subscript the next letter in the markup.
        std::string text;
        if (!append_formatted(text, rule.get())) return Ref();
        label += '[';
        for (char ch : text) {
            if (ch == '_') label += '\\';
            label += ch;
        }
        label += ']';
    }
    Ref closed = node_get(node, kIsClosed);
    if (!closed) return Ref();
    int c = truth(closed.get());
    if (c < 0) return Ref();
    if (c) {
        Ref children = node_get(node, kChildren);
        if (!children) return Ref();
        int has_children = truth(children.get());
        if (has_children < 0) return Ref();
        if (!has_children) label += " \\times";
    }
    Ref text = text_of(label);
    if (!text) return Ref();
    return Ref(PyObject_CallMethod(text.get(), "strip", nullptr));
}

struct LatexFrame {
    PyObject* node;
    Ref children;
    Py_ssize_t next;
    size_t indent;
};

}  // namespace

PyObject* tree_latex(PyObject* root) {
    std::string out = "\\begin{forest}\n  for tree={math content, parent anchor=south, child anchor=north}";
    Path path;
    std::vector<LatexFrame> stack;
    auto open = [&](PyObject* node, size_t indent) -> bool {
        Ref label = latex_label(node);
        if (!label) return false;
        out += '\n';
        out.append(indent, ' ');
        out += "[{";
        if (!append_utf8(out, label.get())) return false;
        out += '}';
        Ref children = children_of(node);
        if (!children || !path.enter(node)) return false;
        stack.push_back({node, children, 0, indent});
        return true;
    };
    if (!open(root, 2)) return nullptr;
    while (!stack.empty()) {
        LatexFrame& top = stack.back();
        if (top.next == PyList_GET_SIZE(top.children.get())) {
            out += '\n';
            out.append(top.indent, ' ');
            out += ']';
            path.leave(top.node);
            stack.pop_back();
            continue;
        }
        PyObject* child = PyList_GET_ITEM(top.children.get(), top.next++);
        size_t indent = top.indent + 2;
        if (!open(child, indent)) return nullptr;
    }
    out += "\n\\end{forest}";
    return text_of(out).release();
}

namespace {

// Folds the tree under `root` from the leaves up, as the recursive
// definitions do, but each node once: a node met again (a child list may
// share a subtree) gives the value it gave before, so sixty levels of
// shared children cost sixty nodes, not 2**60. A node's value starts as
// `start`, takes each child's value with `combine` and is closed by
// `finish`. Nodes are held while remembered, so an address cannot be reused
// by a node that a `children` property made afresh.
template <class Value, class Combine, class Finish>
bool fold(PyObject* root, Value start, Combine combine, Finish finish, Value& out) {
    struct Frame {
        Ref node, children;
        Py_ssize_t next;
        Value acc;
    };
    Path path;
    std::vector<Frame> stack;
    std::unordered_map<PyObject*, std::pair<Ref, Value>> done;
    py::SignalPoll poll;
    // Opens `node`, or hands its value to the frame below when it is known.
    auto enter = [&](PyObject* node) -> bool {
        if (!poll.charge()) return false;
        if (auto it = done.find(node); it != done.end())
            return stack.empty() ? (out = it->second.second, true) : combine(stack.back().acc, it->second.second);
        Ref children = node_get(node, kChildren);
        if (!children) return false;
        int t = truth(children.get());
        if (t < 0) return false;
        Ref snap = t ? snapshot(children.get()) : Ref(PyList_New(0));
        if (!snap || !path.enter(node)) return false;
        stack.push_back({Ref::borrow(node), snap, 0, start});
        return true;
    };
    if (!enter(root)) return false;
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next < PyList_GET_SIZE(top.children.get())) {
            if (!enter(PyList_GET_ITEM(top.children.get(), top.next++))) return false;
            continue;
        }
        Frame f = std::move(top);
        stack.pop_back();
        path.leave(f.node.get());
        if (!finish(f.acc)) return false;
        if (stack.empty()) {
            out = f.acc;
        } else if (!combine(stack.back().acc, f.acc)) {
            return false;
        }
        PyObject* key = f.node.get();
        done.emplace(key, std::make_pair(std::move(f.node), std::move(f.acc)));
    }
    return true;
}

}  // namespace

PyObject* subtree_depth(PyObject* root) {
    size_t depth = 0;
    auto deeper = [](size_t& acc, size_t child) { return acc = child > acc ? child : acc, true; };
    auto count_self = [](size_t& acc) { return ++acc, true; };
    if (!fold<size_t>(root, 0, deeper, count_self, depth)) return nullptr;
    return PyLong_FromSize_t(depth);
}

PyObject* subtree_size(PyObject* root) {
    py::Count size;
    auto add = [](py::Count& acc, const py::Count& child) { return acc.add(child); };
    auto done = [](py::Count&) { return true; };
    if (!fold<py::Count>(root, py::Count(1), add, done, size)) return nullptr;
    return size.as_python();
}

}  // namespace quorvel::tableau
