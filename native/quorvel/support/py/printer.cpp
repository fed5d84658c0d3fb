#include "quorvel/support/py/printer.h"

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "quorvel/core/ast/api.h"
#include "quorvel/support/prefetch.h"
#include "quorvel/support/spare.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/record.h"
#include "quorvel/support/py/small_int.h"

namespace quorvel::py {
namespace {

using ast::Kind;

constexpr const char* kUnsupported = "Unsupported AST node type: ";
constexpr unsigned kSignalInterval = 4096;

// The printer's own text. A node costs several appends, and std::string's
// are calls into the library; these are inline.
class Buffer {
public:
    Buffer() = default;
    ~Buffer() { std::free(data_); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    const char* data() const { return data_; }
    size_t size() const { return static_cast<size_t>(end_ - data_); }
    void truncate(size_t n) { end_ = data_ + n; }  // n <= size()
    void append(const char* s, size_t n) {
        room(n);
        if (n) std::memcpy(end_, s, n);
        end_ += n;
    }
    Buffer& operator+=(std::string_view s) {
        append(s.data(), s.size());
        return *this;
    }
    Buffer& operator+=(char c) {
        room(1);
        *end_++ = c;
        return *this;
    }

private:
    void room(size_t n) {
        if (static_cast<size_t>(cap_ - end_) < n) grow(n);
    }
    [[gnu::noinline]] void grow(size_t n) {
        size_t used = size(), want = used + n, cap = static_cast<size_t>(cap_ - data_);
        size_t next = cap < 256 ? 256 : cap * 2;
        if (next < want) next = want;
        void* p = std::realloc(data_, next);
        if (!p) throw std::bad_alloc();
        data_ = static_cast<char*>(p);
        end_ = data_ + used;
        cap_ = data_ + next;
    }

    char* data_ = nullptr;
    char* end_ = nullptr;
    char* cap_ = nullptr;
};

// UTF-8 of `text`; a str holding lone surrogates (which the strict codec
// refuses) is encoded code point by code point, surrogates as three bytes.
template <class Out>
bool append_utf8(Out& out, PyObject* text) {
    if (PyUnicode_IS_COMPACT_ASCII(text)) {  // its characters are its UTF-8
        out.append(static_cast<const char*>(PyUnicode_DATA(text)), static_cast<size_t>(PyUnicode_GET_LENGTH(text)));
        return true;
    }
    Py_ssize_t n;
    const char* s = PyUnicode_AsUTF8AndSize(text, &n);
    if (s) {
        out.append(s, static_cast<size_t>(n));
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
    PyErr_Clear();
    Py_ssize_t len = PyUnicode_GET_LENGTH(text);
    int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    for (Py_ssize_t i = 0; i < len; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return true;
}

// f"{value}", as UTF-8.
template <class Out>
bool append_formatted(Out& out, PyObject* value) {
    if (PyUnicode_CheckExact(value)) return append_utf8(out, value);
    if (PyLong_CheckExact(value)) {  // its decimal digits, without a str in between
        long long v;
        if (long_long_value(value, v)) {
            char digits[24];
            auto end = std::to_chars(digits, digits + sizeof digits, v).ptr;
            out.append(digits, static_cast<size_t>(end - digits));
            return true;
        }
    }
    PyObject* text = PyObject_Format(value, nullptr);
    if (!text) return false;
    bool ok = append_utf8(out, text);
    Py_DECREF(text);
    return ok;
}

// The text of the attribute `name` of `owner`, formatted.
template <class Out>
bool append_attr_text(Out& out, PyObject* owner, PyObject* name) {
    PyObject* value = PyObject_GetAttr(owner, name);
    if (!value) return false;
    bool ok = append_formatted(out, value);
    Py_DECREF(value);
    return ok;
}

PyObject* str_name() {
    static PyObject* s = PyUnicode_InternFromString("name");
    return s;
}
PyObject* str_sort() {
    static PyObject* s = PyUnicode_InternFromString("sort");
    return s;
}

// A function or predicate symbol: its `name` when it has one, else its text.
template <class Out>
bool append_symbol(Out& out, PyObject* symbol) {
    if (PyUnicode_CheckExact(symbol)) return append_utf8(out, symbol);
    PyObject* name = PyObject_GetAttr(symbol, str_name());
    if (name) {
        bool ok = append_formatted(out, name);
        Py_DECREF(name);
        return ok;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    return append_formatted(out, symbol);
}

// The sort name of a variable bound by Forall or Exists.
template <class Out>
bool append_sort_name(Out& out, PyObject* variable) {
    PyObject* sort = PyObject_GetAttr(variable, str_sort());
    if (!sort) return false;
    bool ok = append_attr_text(out, sort, str_name());
    Py_DECREF(sort);
    return ok;
}

// The sort name of a variable bound by Forall or Exists, when reading it
// runs no user code: a Variable (exactly) whose sort is exactly a
// PrimitiveSort named by a str. Borrowed, or NULL.
PyObject* plain_sort_name(PyObject* variable) {
    const ast::Api& a = ast::api();
    if (Py_TYPE(variable) != a.types[static_cast<int>(Kind::Variable)]) return nullptr;
    PyObject* sort = ast::as_variable(variable)->term.sort;
    if (Py_TYPE(sort) != Py_TYPE(a.ind)) return nullptr;
    PyObject* name = record_field(sort, 0);
    return PyUnicode_CheckExact(name) ? name : nullptr;
}

enum class Fill : uint8_t { Symbol, Formatted, SortName, BinderName };

template <class Out>
bool append_fill(Out& out, Fill fill, PyObject* o) {
    switch (fill) {
        case Fill::Symbol: return append_symbol(out, o);
        case Fill::Formatted: return append_formatted(out, o);
        case Fill::SortName: return append_sort_name(out, o);
        case Fill::BinderName: return append_attr_text(out, o, str_name());
    }
    return false;
}

// A fill that cannot run user code happens at once; the others are deferred.
bool is_plain(Fill fill, PyObject* o) {
    return (fill == Fill::Symbol || fill == Fill::Formatted) && (PyUnicode_CheckExact(o) || PyLong_CheckExact(o));
}

// The kind a node prints as: instances of Python subclasses of node classes
// print as their base class unless `exact`; Kind::None for anything that is
// not printed (the abstract bases, non-nodes).
Kind printed_kind(PyObject* o, bool exact) {
    Kind k = exact ? ast::exact_kind_of(o) : ast::kind_of(o);
    return k == Kind::Term || k == Kind::Formula ? Kind::None : k;
}

struct Hole {
    size_t at = 0;  // offset in the main text where `text` goes
    std::string text;
};

class Printer {
public:
    Printer(Notation notation, bool exact) : n_(notation), exact_(exact) {}
    ~Printer() {
        for (Task& t : tasks_)
            if (t.op == Op::Release) Py_DECREF(t.obj());
    }
    Printer(const Printer&) = delete;
    Printer& operator=(const Printer&) = delete;

    bool run(PyObject* root) {
        push_visit(root);
        unsigned steps = 0;
        while (!tasks_.empty()) {
            Task t = tasks_.back();
            tasks_.pop_back();
            switch (t.op) {
                case Op::Visit:
                    // A node's first child is visited next, without a task.
                    for (PyObject* o = t.obj(); o; o = next_) {
                        if (++steps % kSignalInterval == 0 && PyErr_CheckSignals() < 0) return false;
                        next_ = nullptr;
                        if (!visit(o)) return false;
                    }
                    break;
                case Op::Literal: out_.append(static_cast<const char*>(t.ptr), t.size); break;
                case Op::Text:
                    if (!append_utf8(out_, t.obj())) return false;
                    break;
                case Op::Open: open(t.size); break;
                case Op::Fill:
                    if (!append_fill(holes_[t.size].text, t.fill, t.obj())) return false;
                    break;
                case Op::Release: Py_DECREF(t.obj()); break;
            }
        }
        return true;
    }

    // The text, once run() succeeded, appended to `dest`.
    void emit(std::string& dest) const {
        size_t from = 0;
        for (uint32_t id : opened_) {
            const Hole& h = holes_[id];
            dest.append(out_.data() + from, h.at - from);
            dest += h.text;
            from = h.at;
        }
        dest.append(out_.data() + from, out_.size() - from);
    }

    // The text, once run() succeeded, as a new str, or NULL.
    PyObject* decode() const {
        if (!opened_.empty()) {
            std::string text;
            emit(text);
            return decode_text(text);
        }
        return PyUnicode_DecodeUTF8(out_.data(), static_cast<Py_ssize_t>(out_.size()), "surrogatepass");
    }

private:
    // A task runs when everything before its text has been written; tasks
    // run last-pushed first, so a node pushes its remaining work in reverse.
    // A lookup that may run user code (Fill) writes into a hole: the hole is
    // opened where its text belongs (Open) and filled when the node's
    // children are done, which keeps the order of side effects (and so the
    // first error) that of a recursive visitor.
    enum class Op : uint8_t { Visit, Literal, Text, Open, Fill, Release };
    // Sixteen bytes, built in place: a task assembled elsewhere and copied
    // in whole stalls on its narrow fields.
    struct Task {
        Task(Op o, Fill f, uint32_t n, const void* p) : op(o), fill(f), size(n), ptr(p) {}
        Op op;
        Fill fill;
        uint32_t size;    // Open, Fill: the hole; Literal: the length
        const void* ptr;  // Literal: the text; else the object (borrowed, except for Release)
        PyObject* obj() const { return static_cast<PyObject*>(const_cast<void*>(ptr)); }
    };

    void push_visit(PyObject* o) { tasks_.emplace_back(Op::Visit, Fill::Symbol, 0, o); }
    // Visits `o` right after the current node, before every task: in place
    // of the node's last push_visit.
    void visit_next(PyObject* o) { next_ = o; }
    void push_lit(std::string_view s) {
        tasks_.emplace_back(Op::Literal, Fill::Symbol, static_cast<uint32_t>(s.size()), s.data());
    }
    void push_text(PyObject* str) { tasks_.emplace_back(Op::Text, Fill::Symbol, 0, str); }
    void push_open(uint32_t h) { tasks_.emplace_back(Op::Open, Fill::Symbol, h, nullptr); }
    void push_fill(uint32_t h, Fill fill, PyObject* o) { tasks_.emplace_back(Op::Fill, fill, h, o); }

    uint32_t new_hole() {
        holes_.emplace_back();
        return static_cast<uint32_t>(holes_.size() - 1);
    }
    void open(uint32_t h) {
        holes_[h].at = out_.size();
        opened_.push_back(h);
    }

    // Writes `o`'s text here: at once when that runs no user code, else
    // through a hole opened here and filled after the tasks pushed later.
    bool place(Fill fill, PyObject* o) {
        if (is_plain(fill, o)) return append_fill(out_, fill, o);
        uint32_t h = new_hole();
        open(h);
        push_fill(h, fill, o);
        return true;
    }

    static bool unsupported(PyObject* o) {
        PyObject* name = PyType_GetName(Py_TYPE(o));
        if (!name) return false;
        PyErr_Format(PyExc_TypeError, "%s%U", kUnsupported, name);
        Py_DECREF(name);
        return false;
    }

    Kind kind(PyObject* o) const { return printed_kind(o, exact_); }

    bool application(PyObject* symbol, PyObject* args, bool predicate) {
        PyObject* seq = args;
        if (!PyTuple_CheckExact(args)) {
            seq = PySequence_Tuple(args);
            if (!seq) return false;
            tasks_.emplace_back(Op::Release, Fill::Symbol, 0, seq);
        }
        Py_ssize_t count = PyTuple_GET_SIZE(seq);
        if (count == 0) {
            if (!place(Fill::Symbol, symbol)) return false;
            if (!predicate && n_ != Notation::Prefix) out_ += "()";
            return true;
        }
        bool prefix = n_ == Notation::Prefix;
        if (prefix) out_ += '(';
        if (!place(Fill::Symbol, symbol)) return false;
        out_ += prefix ? ' ' : '(';
        // Leading arguments whose text runs no user code are written at
        // once; the rest go through tasks, in order.
        PyObject** items = &PyTuple_GET_ITEM(seq, 0);
        std::string_view sep = prefix ? " " : ", ";
        Py_ssize_t first = 0;
        for (; first < count; ++first) {
            int r = write_leaf(items[first]);
            if (r < 0) return false;
            if (!r) break;
            if (first + 1 < count) out_ += sep;
        }
        if (first == count) {
            out_ += ')';
            return true;
        }
        push_lit(")");
        for (Py_ssize_t i = count - 1; i > first; --i) {
            push_visit(items[i]);
            push_lit(sep);
        }
        visit_next(items[first]);
        return true;
    }

    // Writes a variable or constant whose text runs no user code: 1; 0 (and
    // nothing written) for anything else; -1 on error.
    int write_leaf(PyObject* o) {
        if (Py_TYPE(o) == ast::api().types[static_cast<int>(Kind::Variable)]) {
            PyObject* id = ast::as_variable(o)->id;
            if (!is_plain(Fill::Formatted, id)) return 0;
            out_ += n_ == Notation::Latex ? "v_{" : "v";
            if (!append_formatted(out_, id)) return -1;
            if (n_ == Notation::Latex) out_ += '}';
            return 1;
        }
        if (Py_TYPE(o) == ast::api().types[static_cast<int>(Kind::Constant)]) {
            PyObject* name = ast::as_constant(o)->name;
            if (!is_plain(Fill::Formatted, name)) return 0;
            return append_formatted(out_, name) ? 1 : -1;
        }
        return 0;
    }

    void binary(PyObject* o, std::string_view infix, std::string_view latex, std::string_view prefix) {
        auto* b = ast::as_binary(o);
        push_lit(")");
        push_visit(b->right);
        if (n_ == Notation::Prefix) {
            out_ += prefix;
            push_lit(" ");
        } else {
            out_ += '(';
            push_lit(n_ == Notation::Latex ? latex : infix);
        }
        visit_next(b->left);
    }

    // Forall/Exists: V " : " S ", " B (prefix "(forall (" V " : " S ") " B
    // ")"); S, the name of V's sort, is looked up after B (or written in
    // place when the lookup runs no user code).
    bool quantifier(PyObject* o, bool universal) {
        auto* q = ast::as_quantifier(o);
        if (n_ == Notation::Prefix) {
            out_ += universal ? "(forall (" : "(exists (";
            push_lit(")");
        } else if (n_ == Notation::Latex) {
            out_ += universal ? "\\forall " : "\\exists ";
        } else {
            out_ += universal ? "forall " : "exists ";
        }
        if (PyObject* sort_name = plain_sort_name(q->variable)) {
            int r = write_leaf(q->variable);
            if (r < 0) return false;
            if (r) {
                out_ += " : ";
                if (!append_utf8(out_, sort_name)) return false;
                out_ += n_ == Notation::Prefix ? ") " : ", ";
                visit_next(q->body);
                return true;
            }
            push_visit(q->body);
            push_lit(n_ == Notation::Prefix ? ") " : ", ");
            push_text(sort_name);
        } else {
            uint32_t h = new_hole();
            push_fill(h, Fill::SortName, q->variable);
            push_visit(q->body);
            push_lit(n_ == Notation::Prefix ? ") " : ", ");
            push_open(h);
        }
        push_lit(" : ");
        visit_next(q->variable);
        return true;
    }

    // Second-order quantifiers: opener N ", " B (prefix opener N ") " B ")");
    // N, the binder's name, is looked up after B.
    void second_order(PyObject* o, std::string_view infix, std::string_view latex, std::string_view prefix) {
        auto* q = ast::as_quantifier(o);
        out_ += n_ == Notation::Prefix ? prefix : n_ == Notation::Latex ? latex : infix;
        uint32_t h = new_hole();
        open(h);
        push_fill(h, Fill::BinderName, q->variable);
        if (n_ == Notation::Prefix) push_lit(")");
        push_visit(q->body);
        push_lit(n_ == Notation::Prefix ? ") " : ", ");
    }

    bool visit(PyObject* o) {
        switch (kind(o)) {
            case Kind::Variable: {
                PyObject* id = ast::as_variable(o)->id;
                if (n_ == Notation::Latex) {
                    out_ += "v_{";
                    if (is_plain(Fill::Formatted, id)) {
                        if (!append_formatted(out_, id)) return false;
                        out_ += '}';
                        return true;
                    }
                    push_lit("}");
                } else {
                    out_ += 'v';
                }
                return place(Fill::Formatted, id);
            }
            case Kind::Constant: return place(Fill::Formatted, ast::as_constant(o)->name);
            case Kind::FunctionApp: {
                auto* f = ast::as_function_app(o);
                return application(f->func, f->args, false);
            }
            case Kind::PredicateApp: {
                auto* p = ast::as_predicate_app(o);
                return application(p->pred, p->args, true);
            }
            case Kind::Equality: {
                auto* e = ast::as_equality(o);
                bool prefix = n_ == Notation::Prefix;
                if (prefix) {
                    out_ += "(= ";
                    push_lit(")");
                }
                int r = write_leaf(e->left);
                if (r < 0) return false;
                if (r) {
                    out_ += prefix ? " " : " = ";
                    visit_next(e->right);
                    return true;
                }
                push_visit(e->right);
                push_lit(prefix ? " " : " = ");
                visit_next(e->left);
                return true;
            }
            case Kind::Not: {
                PyObject* x = ast::as_unary(o)->operand;
                if (n_ == Notation::Prefix) {
                    out_ += "(not ";
                    push_lit(")");
                } else {
                    out_ += n_ == Notation::Latex ? "\\neg " : "~";
                    if (ast::is_binary(kind(x))) {
                        out_ += '(';
                        push_lit(")");
                    }
                }
                visit_next(x);
                return true;
            }
            case Kind::And: binary(o, " & ", " \\land ", "(and "); return true;
            case Kind::Or: binary(o, " | ", " \\lor ", "(or "); return true;
            case Kind::Implies: binary(o, " => ", " \\implies ", "(=> "); return true;
            case Kind::Iff: binary(o, " <=> ", " \\iff ", "(<=> "); return true;
            case Kind::Forall: return quantifier(o, true);
            case Kind::Exists: return quantifier(o, false);
            case Kind::ForallPred: second_order(o, "forall_pred ", "\\forall ", "(forall_pred ("); return true;
            case Kind::ExistsPred: second_order(o, "exists_pred ", "\\exists ", "(exists_pred ("); return true;
            case Kind::ForallFunc: second_order(o, "forall_func ", "\\forall ", "(forall_func ("); return true;
            case Kind::ExistsFunc: second_order(o, "exists_func ", "\\exists ", "(exists_func ("); return true;
            default: return unsupported(o);
        }
    }

    Buffer out_;  // the text less the holes' texts; holes are opened in text order
    Notation n_;
    bool exact_;
    std::vector<Task> tasks_;
    SpareLease<Task> tasks_lease_{tasks_};
    std::vector<Hole> holes_;
    std::vector<uint32_t> opened_;
    PyObject* next_ = nullptr;
};

// The text written from its end, right to left: a tree is built children
// before parents, first child first, so meeting the last child first meets
// the nodes at falling addresses, a stream the memory system fetches ahead
// (in text order a tree larger than the cache waits on almost every node).
// It writes what runs no other code and reads only nodes, tuples, exact strs
// and ints; at anything else (a non-str symbol, a sort or binder name that
// needs a lookup, an argument sequence that is no tuple, a node of no node
// class) it gives up, without an error set, for the Printer, which keeps the
// order of other code and names the first error.
//
// What comes before a node's last part waits on the task stack until that
// part is written. The openers of nested negations and quantifiers ("~",
// "forall v1 : Ind, ") come one after the other in the text: they are
// written ahead, in text order, into one run that a single task prepends,
// so a deep chain of them needs one task, not several a level.
class ReversedPrinter {
public:
    ReversedPrinter(Notation notation, bool exact) : n_(notation), exact_(exact) {}
    ~ReversedPrinter() { std::free(base_); }
    ReversedPrinter(const ReversedPrinter&) = delete;
    ReversedPrinter& operator=(const ReversedPrinter&) = delete;

    bool gave_up = false;

    bool run(PyObject* root) {
        push_visit(root);
        unsigned steps = 0;
        while (!tasks_.empty()) {
            Task t = tasks_.back();
            tasks_.pop_back();
            if (t.text) {
                prepend(t.text, t.size);
                continue;
            }
            if (!t.node) {  // a run of openers, the last text of `ahead_`
                prepend(ahead_.data() + t.size, ahead_.size() - t.size);
                ahead_.truncate(t.size);
                continue;
            }
            // A node's last part is visited next, without a task.
            for (PyObject* o = t.node; o; o = next_) {
                if (++steps % kSignalInterval == 0 && PyErr_CheckSignals() < 0) return false;
                prefetch_below(o);
                next_ = nullptr;
                if (!visit(o)) return false;
            }
        }
        return true;
    }

    std::string_view text() const { return {begin_, static_cast<size_t>(end_ - begin_)}; }

private:
    // A node to visit, a text to write, or (neither) the run of openers
    // that starts at `size` in `ahead_`.
    struct Task {
        PyObject* node;
        const char* text;
        size_t size;
    };

    bool give_up() {
        gave_up = true;
        return false;
    }

    void prepend(const char* s, size_t n) {
        if (static_cast<size_t>(begin_ - base_) < n) grow(n);
        begin_ -= n;
        if (n) std::memcpy(begin_, s, n);
    }
    void prepend(std::string_view s) { prepend(s.data(), s.size()); }
    [[gnu::noinline]] void grow(size_t n) {
        size_t used = static_cast<size_t>(end_ - begin_), cap = static_cast<size_t>(end_ - base_);
        size_t next = cap < 256 ? 256 : cap * 2;
        if (next < used + n) next = used + n;
        char* p = static_cast<char*>(std::malloc(next));
        if (!p) throw std::bad_alloc();
        if (used) std::memcpy(p + next - used, begin_, used);
        std::free(base_);
        base_ = p;
        end_ = p + next;
        begin_ = end_ - used;
    }

    void push_text(std::string_view s) { tasks_.push_back(Task{nullptr, s.data(), s.size()}); }
    void push_visit(PyObject* o) { tasks_.push_back(Task{o, nullptr, 0}); }

    // The run the opener of the node being visited goes into: its parent's,
    // when this node is that opener's last part, else a new one.
    Buffer& opener_run(bool continues) {
        if (!continues) tasks_.push_back(Task{nullptr, nullptr, ahead_.size()});
        return ahead_;
    }

    // The UTF-8 of an exact str, which it holds or caches; false (given up,
    // or with an error) for a str the strict codec refuses.
    bool utf8(PyObject* str, std::string_view& out) {
        if (PyUnicode_IS_COMPACT_ASCII(str)) {
            out = {static_cast<const char*>(PyUnicode_DATA(str)), static_cast<size_t>(PyUnicode_GET_LENGTH(str))};
            return true;
        }
        Py_ssize_t n;
        const char* s = PyUnicode_AsUTF8AndSize(str, &n);
        if (s) {
            out = {s, static_cast<size_t>(n)};
            return true;
        }
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
        PyErr_Clear();
        return give_up();
    }

    // f"{value}" for an exact str, or an exact int of 64 bits.
    bool formatted(PyObject* value, std::string_view& out, char (&digits)[24]) {
        if (PyUnicode_CheckExact(value)) return utf8(value, out);
        long long v;
        if (!PyLong_CheckExact(value) || !long_long_value(value, v)) return give_up();
        out = {digits, static_cast<size_t>(std::to_chars(digits, digits + sizeof digits, v).ptr - digits)};
        return true;
    }

    // A symbol's text, to be written later: an exact str only.
    bool push_symbol(PyObject* symbol) {
        if (!PyUnicode_CheckExact(symbol)) return give_up();
        std::string_view s;
        if (!utf8(symbol, s)) return false;
        push_text(s);
        return true;
    }

    Kind kind(PyObject* o) const { return printed_kind(o, exact_); }

    // The text of a variable or constant of exactly its class whose text is
    // plain, in `a` + `b` + `c`: 1; 0 for any other node; -1 when it gave
    // up or failed.
    int leaf_text(PyObject* o, std::string_view& a, std::string_view& b, std::string_view& c, char (&digits)[24]) {
        prefetch_below(o);
        const ast::Api& api = ast::api();
        PyTypeObject* t = Py_TYPE(o);
        if (t == api.types[static_cast<int>(Kind::Variable)]) {
            bool latex = n_ == Notation::Latex;
            a = latex ? "v_{" : "v";
            c = latex ? "}" : "";
            return formatted(ast::as_variable(o)->id, b, digits) ? 1 : -1;
        }
        if (t == api.types[static_cast<int>(Kind::Constant)]) {
            a = c = {};
            return formatted(ast::as_constant(o)->name, b, digits) ? 1 : -1;
        }
        return 0;
    }

    // Writes a leaf as leaf_text finds it.
    int write_leaf(PyObject* o) {
        std::string_view a, b, c;
        char digits[24];
        int r = leaf_text(o, a, b, c, digits);
        if (r > 0) {
            prepend(c);
            prepend(b);
            prepend(a);
        }
        return r;
    }

    bool application(PyObject* symbol, PyObject* args, bool predicate) {
        prefetch_below(args);
        if (!PyTuple_CheckExact(args)) return give_up();
        Py_ssize_t count = PyTuple_GET_SIZE(args);
        bool prefix = n_ == Notation::Prefix;
        if (count == 0) {
            if (!predicate && !prefix) prepend("()");
            return push_symbol(symbol);
        }
        // Before the arguments: "(" f " " in prefix, f "(" otherwise.
        if (prefix) push_text("(");
        if (!push_symbol(symbol)) return false;
        push_text(prefix ? " " : "(");
        std::string_view sep = prefix ? " " : ", ";
        PyObject** items = &PyTuple_GET_ITEM(args, 0);
        // Trailing arguments whose text is plain are written at once.
        prepend(")");
        Py_ssize_t last = count;
        for (; last > 0; --last) {
            int r = write_leaf(items[last - 1]);
            if (r < 0) return false;
            if (!r) break;
            if (last > 1) prepend(sep);
        }
        if (last == 0) return true;
        for (Py_ssize_t i = 0; i + 1 < last; ++i) {
            push_visit(items[i]);
            push_text(sep);
        }
        next_ = items[last - 1];
        return true;
    }

    void binary(PyObject* o, std::string_view infix, std::string_view latex, std::string_view prefix) {
        auto* b = ast::as_binary(o);
        prepend(")");
        if (n_ == Notation::Prefix) {
            push_text(prefix);
            push_visit(b->left);
            push_text(" ");
        } else {
            push_text("(");
            push_visit(b->left);
            push_text(n_ == Notation::Latex ? latex : infix);
        }
        next_ = b->right;
    }

    bool negation(PyObject* o, bool continues) {
        PyObject* x = ast::as_unary(o)->operand;
        Buffer& run = opener_run(continues);
        if (n_ == Notation::Prefix) {
            prepend(")");
            run += "(not ";
        } else if (ast::is_binary(kind(x))) {
            prepend(")");
            run += n_ == Notation::Latex ? "\\neg (" : "~(";
        } else {
            run += n_ == Notation::Latex ? "\\neg " : "~";
        }
        next_ = x;
        return true;
    }

    bool quantifier(PyObject* o, bool universal, bool continues) {
        auto* q = ast::as_quantifier(o);
        PyObject* sort_name = plain_sort_name(q->variable);
        if (!sort_name) return give_up();
        std::string_view sort, a, b, c;
        char digits[24];
        if (!utf8(sort_name, sort) || leaf_text(q->variable, a, b, c, digits) < 0) return false;
        bool prefix = n_ == Notation::Prefix;
        Buffer& run = opener_run(continues);
        if (prefix) {
            prepend(")");
            run += universal ? "(forall (" : "(exists (";
        } else if (n_ == Notation::Latex) {
            run += universal ? "\\forall " : "\\exists ";
        } else {
            run += universal ? "forall " : "exists ";
        }
        run += a;
        run += b;
        run += c;
        run += " : ";
        run += sort;
        run += prefix ? ") " : ", ";
        next_ = q->body;
        return true;
    }

    bool visit(PyObject* o) {
        // Whether `o` is the last part of the opener run on top of the stack.
        bool continues = opener_follows_;
        opener_follows_ = false;
        switch (kind(o)) {
            case Kind::Variable:
            case Kind::Constant: {
                int r = write_leaf(o);  // 0 for an instance of a subclass
                return r ? r > 0 : give_up();
            }
            case Kind::FunctionApp: {
                auto* f = ast::as_function_app(o);
                return application(f->func, f->args, false);
            }
            case Kind::PredicateApp: {
                auto* p = ast::as_predicate_app(o);
                return application(p->pred, p->args, true);
            }
            case Kind::Equality: {
                auto* e = ast::as_equality(o);
                bool prefix = n_ == Notation::Prefix;
                if (prefix) {
                    prepend(")");
                    push_text("(= ");
                }
                push_visit(e->left);
                push_text(prefix ? " " : " = ");
                next_ = e->right;
                return true;
            }
            case Kind::Not: return opener_follows_ = negation(o, continues);
            case Kind::And: binary(o, " & ", " \\land ", "(and "); return true;
            case Kind::Or: binary(o, " | ", " \\lor ", "(or "); return true;
            case Kind::Implies: binary(o, " => ", " \\implies ", "(=> "); return true;
            case Kind::Iff: binary(o, " <=> ", " \\iff ", "(<=> "); return true;
            case Kind::Forall: return opener_follows_ = quantifier(o, true, continues);
            case Kind::Exists: return opener_follows_ = quantifier(o, false, continues);
            default: return give_up();
        }
    }

    char* base_ = nullptr;  // the buffer; the text is [begin_, end_)
    char* begin_ = nullptr;
    char* end_ = nullptr;
    Buffer ahead_;  // the runs of openers on the stack, in stack order
    Notation n_;
    bool exact_;
    bool opener_follows_ = false;  // the node visited next is the last part of the top run
    std::vector<Task> tasks_;
    SpareLease<Task> tasks_lease_{tasks_};
    PyObject* next_ = nullptr;
};

}  // namespace

bool parse_notation(PyObject* name, Notation& out) {
    if (!PyUnicode_Check(name)) return false;
    if (PyUnicode_CompareWithASCIIString(name, "infix") == 0) {
        out = Notation::Infix;
        return true;
    }
    if (PyUnicode_CompareWithASCIIString(name, "prefix") == 0) {
        out = Notation::Prefix;
        return true;
    }
    if (PyUnicode_CompareWithASCIIString(name, "latex") == 0) {
        out = Notation::Latex;
        return true;
    }
    return false;
}

bool append_node(std::string& out, PyObject* node, Notation notation, bool exact_classes) {
    return guard<bool>(false, [&] {
        ReversedPrinter r(notation, exact_classes);
        if (r.run(node)) {
            out += r.text();
            return true;
        }
        if (!r.gave_up) return false;
        Printer p(notation, exact_classes);
        if (!p.run(node)) return false;
        p.emit(out);
        return true;
    });
}

PyObject* decode_text(const std::string& text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
}

PyObject* format_node(PyObject* node, Notation notation, bool exact_classes) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        ReversedPrinter r(notation, exact_classes);
        if (r.run(node)) {
            std::string_view text = r.text();
            return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
        }
        if (!r.gave_up) return nullptr;
        Printer p(notation, exact_classes);
        return p.run(node) ? p.decode() : nullptr;
    });
}

}  // namespace quorvel::py
