// ExportVisitor: one line of text in the "infix", "prefix" or "latex" notation.
//
// The walk is the house printer (support/py/printer), whose three notations
// are the ones this visitor writes; the per-kind methods build the same
// texts from their children's visits, formatted as an f-string would.
#include <initializer_list>
#include <vector>

#include "quorvel/core/visitors/nodes.h"
#include "quorvel/support/py/args.h"
#include "quorvel/support/py/printer.h"
#include "quorvel/support/py/ref.h"

namespace quorvel::visitors {

using py::Ref;

namespace {

enum class Form { Infix, Prefix, Latex };

// Which form a method writes: the notation compared with "prefix" and then
// "latex", as far as `tests` allows; -1 on error.
int form_of(PyObject* self, bool test_prefix, bool test_latex) {
    Ref notation(PyObject_GetAttr(self, state().s_notation));
    if (!notation) return -1;
    static PyObject* prefix = PyUnicode_InternFromString("prefix");
    static PyObject* latex = PyUnicode_InternFromString("latex");
    if (test_prefix) {
        int r = PyObject_RichCompareBool(notation.get(), prefix, Py_EQ);
        if (r) return r < 0 ? -1 : static_cast<int>(Form::Prefix);
    }
    if (test_latex) {
        int r = PyObject_RichCompareBool(notation.get(), latex, Py_EQ);
        if (r) return r < 0 ? -1 : static_cast<int>(Form::Latex);
    }
    return static_cast<int>(Form::Infix);
}

// Text pieces joined: each a C string, or an object formatted by format().
class Text {
public:
    Text& lit(const char* s) {
        add(PyUnicode_FromString(s));
        return *this;
    }
    Text& value(PyObject* o) {
        add(o ? PyObject_Format(o, nullptr) : nullptr);
        return *this;
    }
    PyObject* done() {
        if (failed_) return nullptr;
        Ref empty(PyUnicode_FromString(""));
        Ref list(PyList_New(0));
        if (!empty || !list) return nullptr;
        for (Ref& p : parts_)
            if (PyList_Append(list.get(), p.get()) < 0) return nullptr;
        return PyUnicode_Join(empty.get(), list.get());
    }

private:
    void add(PyObject* owned) {
        if (!owned) failed_ = true;
        if (!failed_) parts_.emplace_back(owned);
    }
    std::vector<Ref> parts_;
    bool failed_ = false;
};

PyObject* visit_field(PyObject* self, PyObject* node, Field f) {
    Ref child(field(node, f));
    return child ? call_visit(self, child.get()) : nullptr;
}

// A symbol's text: its `name` when it has one, else its own text.
PyObject* symbol_text(PyObject* symbol) {
    if (PyUnicode_CheckExact(symbol)) return Py_NewRef(symbol);
    PyObject* name = PyObject_GetAttr(symbol, state().s_name);
    if (name) return name;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
    return PyObject_Str(symbol);
}

PyObject* export_variable(PyObject* self, PyObject* node) {
    int form = form_of(self, false, true);
    if (form < 0) return nullptr;
    Ref id(PyObject_GetAttr(node, state().s_id));
    if (!id) return nullptr;
    if (form == static_cast<int>(Form::Latex)) return Text().lit("v_{").value(id.get()).lit("}").done();
    return Text().lit("v").value(id.get()).done();
}

PyObject* export_constant(PyObject*, PyObject* node) {
    Ref name(PyObject_GetAttr(node, state().s_name));
    if (!name) return nullptr;
    return Text().value(name.get()).done();
}

PyObject* export_app(PyObject* self, PyObject* node, Field symbol_field, bool predicate) {
    Ref args(field(node, Field::Args));
    if (!args) return nullptr;
    int truth = PyObject_IsTrue(args.get());
    if (truth < 0) return nullptr;
    if (!truth) {
        int form = predicate ? static_cast<int>(Form::Infix) : form_of(self, true, false);
        if (form < 0) return nullptr;
        Ref symbol(field(node, symbol_field));
        if (!symbol) return nullptr;
        Ref text(symbol_text(symbol.get()));
        if (!text) return nullptr;
        if (predicate || form == static_cast<int>(Form::Prefix)) return Text().value(text.get()).done();
        return Text().value(text.get()).lit("()").done();
    }
    int form = form_of(self, true, false);
    if (form < 0) return nullptr;
    Ref items(args_tuple(args.get()));
    if (!items) return nullptr;
    Ref texts(PyList_New(0));
    if (!texts) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        Ref t(call_visit(self, PyTuple_GET_ITEM(items.get(), i)));
        if (!t || PyList_Append(texts.get(), t.get()) < 0) return nullptr;
    }
    bool prefix = form == static_cast<int>(Form::Prefix);
    Ref sep(PyUnicode_FromString(prefix ? " " : ", "));
    if (!sep) return nullptr;
    Ref joined(PyUnicode_Join(sep.get(), texts.get()));
    if (!joined) return nullptr;
    Ref symbol(field(node, symbol_field));
    if (!symbol) return nullptr;
    Ref text(symbol_text(symbol.get()));
    if (!text) return nullptr;
    if (prefix) return Text().lit("(").value(text.get()).lit(" ").value(joined.get()).lit(")").done();
    return Text().value(text.get()).lit("(").value(joined.get()).lit(")").done();
}

PyObject* export_function_app(PyObject* self, PyObject* node) { return export_app(self, node, Field::Func, false); }
PyObject* export_predicate_app(PyObject* self, PyObject* node) { return export_app(self, node, Field::Pred, true); }

PyObject* export_equality(PyObject* self, PyObject* node) {
    Ref l(visit_field(self, node, Field::Left));
    if (!l) return nullptr;
    Ref r(visit_field(self, node, Field::Right));
    if (!r) return nullptr;
    int form = form_of(self, true, false);
    if (form < 0) return nullptr;
    if (form == static_cast<int>(Form::Prefix)) return Text().lit("(= ").value(l.get()).lit(" ").value(r.get()).lit(")").done();
    return Text().value(l.get()).lit(" = ").value(r.get()).done();
}

PyObject* export_not(PyObject* self, PyObject* node) {
    Ref operand(field(node, Field::Operand));
    if (!operand) return nullptr;
    Ref x(call_visit(self, operand.get()));
    if (!x) return nullptr;
    int form = form_of(self, true, true);
    if (form < 0) return nullptr;
    if (form == static_cast<int>(Form::Prefix)) return Text().lit("(not ").value(x.get()).lit(")").done();
    const char* sign = form == static_cast<int>(Form::Latex) ? "\\neg " : "~";
    bool wrap = false;
    for (Kind k : {Kind::And, Kind::Or, Kind::Implies, Kind::Iff}) {
        int r = PyObject_IsInstance(operand.get(), reinterpret_cast<PyObject*>(node_type(k)));
        if (r < 0) return nullptr;
        wrap = wrap || r;
    }
    if (wrap) return Text().lit(sign).lit("(").value(x.get()).lit(")").done();
    return Text().lit(sign).value(x.get()).done();
}

template <int Op>
PyObject* export_binary(PyObject* self, PyObject* node) {
    static const char* const infix[] = {" & ", " | ", " => ", " <=> "};
    static const char* const latex[] = {" \\land ", " \\lor ", " \\implies ", " \\iff "};
    static const char* const prefix[] = {"(and ", "(or ", "(=> ", "(<=> "};
    Ref l(visit_field(self, node, Field::Left));
    if (!l) return nullptr;
    Ref r(visit_field(self, node, Field::Right));
    if (!r) return nullptr;
    int form = form_of(self, true, true);
    if (form < 0) return nullptr;
    if (form == static_cast<int>(Form::Prefix)) return Text().lit(prefix[Op]).value(l.get()).lit(" ").value(r.get()).lit(")").done();
    const char* op = form == static_cast<int>(Form::Latex) ? latex[Op] : infix[Op];
    return Text().lit("(").value(l.get()).lit(op).value(r.get()).lit(")").done();
}

template <bool Universal>
PyObject* export_first_order(PyObject* self, PyObject* node) {
    Ref var(field(node, Field::Variable));
    if (!var) return nullptr;
    Ref v(call_visit(self, var.get()));
    if (!v) return nullptr;
    Ref b(visit_field(self, node, Field::Body));
    if (!b) return nullptr;
    Ref sort(PyObject_GetAttr(var.get(), state().s_sort));
    if (!sort) return nullptr;
    Ref s(PyObject_GetAttr(sort.get(), state().s_name));
    if (!s) return nullptr;
    int form = form_of(self, true, true);
    if (form < 0) return nullptr;
    const char* word = Universal ? "forall" : "exists";
    if (form == static_cast<int>(Form::Prefix))
        return Text().lit("(").lit(word).lit(" (").value(v.get()).lit(" : ").value(s.get()).lit(") ").value(b.get()).lit(")").done();
    const char* opener = form == static_cast<int>(Form::Latex) ? (Universal ? "\\forall " : "\\exists ")
                                                               : (Universal ? "forall " : "exists ");
    return Text().lit(opener).value(v.get()).lit(" : ").value(s.get()).lit(", ").value(b.get()).done();
}

template <Kind K>
PyObject* export_second_order(PyObject* self, PyObject* node) {
    static const char* const words[] = {"forall_pred", "exists_pred", "forall_func", "exists_func"};
    const char* word = words[static_cast<int>(K) - static_cast<int>(Kind::ForallPred)];
    bool universal = K == Kind::ForallPred || K == Kind::ForallFunc;
    Ref b(visit_field(self, node, Field::Body));
    if (!b) return nullptr;
    Ref var(field(node, Field::Variable));
    if (!var) return nullptr;
    Ref n(PyObject_GetAttr(var.get(), state().s_name));
    if (!n) return nullptr;
    int form = form_of(self, true, true);
    if (form < 0) return nullptr;
    if (form == static_cast<int>(Form::Prefix))
        return Text().lit("(").lit(word).lit(" (").value(n.get()).lit(") ").value(b.get()).lit(")").done();
    if (form == static_cast<int>(Form::Latex))
        return Text().lit(universal ? "\\forall " : "\\exists ").value(n.get()).lit(", ").value(b.get()).done();
    return Text().lit(word).lit(" ").value(n.get()).lit(", ").value(b.get()).done();
}

const char* const kInitNames[] = {"notation"};
const py::Signature kInit{"ExportVisitor.__init__", kInitNames, 1, 0, 0, true};

}  // namespace

PyObject* export_init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* notation = nullptr;
    if (!py::parse_vector(kInit, args, PyVectorcall_NARGS(nargs), kwnames, &notation)) return nullptr;
    Ref given = notation ? Ref::borrow(notation) : Ref(PyUnicode_FromString("infix"));
    if (!given) return nullptr;
    bool known = false;
    for (const char* name : {"infix", "prefix", "latex"}) {
        Ref text(PyUnicode_FromString(name));
        if (!text) return nullptr;
        int r = PyObject_RichCompareBool(given.get(), text.get(), Py_EQ);
        if (r < 0) return nullptr;
        if (r) {
            known = true;
            break;
        }
    }
    if (!known) {
        Ref shown(PyObject_Format(given.get(), nullptr));
        if (!shown) return nullptr;
        PyErr_Format(PyExc_ValueError, "Unsupported notation: %U", shown.get());
        return nullptr;
    }
    if (PyObject_SetAttr(self, state().s_notation, given.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* walk_export(PyObject* self, PyObject* node, bool& declined) {
    Ref notation(PyObject_GetAttr(self, state().s_notation));
    if (!notation) {
        // visit_constant reads no notation: leave the error to the methods.
        PyErr_Clear();
        declined = true;
        return nullptr;
    }
    if (!PyUnicode_CheckExact(notation.get())) {
        declined = true;
        return nullptr;
    }
    py::Notation n = py::Notation::Infix;
    if (PyUnicode_CompareWithASCIIString(notation.get(), "prefix") == 0) {
        n = py::Notation::Prefix;
    } else if (PyUnicode_CompareWithASCIIString(notation.get(), "latex") == 0) {
        n = py::Notation::Latex;
    }
    return py::format_node(node, n, true);
}

const Method kExportMethods[kNodeKinds] = {
    export_variable,
    export_constant,
    export_function_app,
    export_predicate_app,
    export_equality,
    export_not,
    export_binary<0>,
    export_binary<1>,
    export_binary<2>,
    export_binary<3>,
    export_first_order<true>,
    export_first_order<false>,
    export_second_order<Kind::ForallPred>,
    export_second_order<Kind::ExistsPred>,
    export_second_order<Kind::ForallFunc>,
    export_second_order<Kind::ExistsFunc>,
};

}  // namespace quorvel::visitors
