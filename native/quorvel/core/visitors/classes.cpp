// The visitor classes: Python classes made by abc.ABCMeta over typing.Generic,
// with native methods (method descriptors) put into them once made.
#include <nanobind/nanobind.h>

#include <array>
#include <string>
#include <utility>

#include "quorvel/core/visitors/classes.h"
#include "quorvel/core/visitors/state.h"
#include "quorvel/support/py/args.h"
#include "quorvel/support/py/guard.h"

namespace nb = nanobind;

namespace quorvel::visitors {

namespace {

constexpr const char* kModule = "quorvel.core.visitors";

const char* const kMethodNames[kNodeKinds] = {
    "visit_variable", "visit_constant", "visit_function_app", "visit_predicate_app", "visit_equality",
    "visit_not",      "visit_and",      "visit_or",           "visit_implies",       "visit_iff",
    "visit_forall",   "visit_exists",   "visit_forall_pred",  "visit_exists_pred",   "visit_forall_func",
    "visit_exists_func",
};

const char* const kNodeNames[kNodeKinds] = {
    "Variable", "Constant", "FunctionApp", "PredicateApp", "Equality",   "Not",        "And",        "Or",
    "Implies",  "Iff",      "Forall",      "Exists",       "ForallPred", "ExistsPred", "ForallFunc", "ExistsFunc",
};

const char* const kClassNames[kVisitors] = {"ASTTransformer",        "DepthVisitor",           "SizeVisitor",
                                            "FreeVariableCollector", "SubstitutionTransformer", "ExportVisitor"};

const char* const kNodeParam[] = {"node"};

// Error texts name the method as Python does: "DepthVisitor.visit_and".
struct MethodText {
    std::string qualified;
    std::string doc;
    py::Signature signature{};
};
MethodText& text_of(int v, int k) {
    static MethodText texts[kVisitors][kNodeKinds];
    return texts[v][k];
}

PyObject* call_method(int v, int k, PyObject* self, PyObject* node) {
    Kind kind = static_cast<Kind>(k);
    switch (static_cast<Visitor>(v)) {
        case Visitor::Transformer: return kTransformerMethods[k](self, node);
        case Visitor::Depth: return kDepthMethods[k](self, node);
        case Visitor::Size: return kSizeMethods[k](self, node);
        case Visitor::FreeVariables: return kFreeVariableMethods[k](self, node);
        case Visitor::Export: return kExportMethods[k](self, node);
        case Visitor::Substitution:
            if (kind == Kind::Variable) return substitution_visit_variable(self, node);
            if (kind == Kind::Forall || kind == Kind::Exists) return substitution_visit_quantifier(self, node, kind);
            return substitution_visit_function_quantifier(self, node, kind);
    }
    return nullptr;
}

bool own_method(int v, int k) {
    if (v != static_cast<int>(Visitor::Substitution)) return true;
    Kind kind = static_cast<Kind>(k);
    return kind == Kind::Variable || kind == Kind::Forall || kind == Kind::Exists || kind == Kind::ForallFunc ||
           kind == Kind::ExistsFunc;
}

bool take_node(const py::Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject*& node) {
    nargs = PyVectorcall_NARGS(nargs);
    if (!kwnames && nargs == 1) {
        node = args[0];
        return true;
    }
    return py::parse_vector(sig, args, nargs, kwnames, &node);
}

template <int V, int K>
PyObject* per_kind(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* node;
    if (!take_node(text_of(V, K).signature, args, nargs, kwnames, node)) return nullptr;
    return py::guard<PyObject*>(nullptr, [&] { return call_method(V, K, self, node); });
}

PyObject* visit_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Signature sig{"ASTVisitor.visit", kNodeParam, 1, 1, 0, true};
    PyObject* node;
    if (!take_node(sig, args, nargs, kwnames, node)) return nullptr;
    return py::guard<PyObject*>(nullptr, [&] { return visit(self, node); });
}

using Fast = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <int V, size_t... K>
constexpr std::array<Fast, kNodeKinds> entries_of(std::index_sequence<K...>) {
    return {{&per_kind<V, static_cast<int>(K)>...}};
}

template <size_t... V>
constexpr std::array<std::array<Fast, kNodeKinds>, kVisitors> all_entries(std::index_sequence<V...>) {
    return {{entries_of<static_cast<int>(V)>(std::make_index_sequence<kNodeKinds>())...}};
}

const auto kEntries = all_entries(std::make_index_sequence<kVisitors>());

PyCFunction as_cfunction(Fast f) { return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f)); }

PyMethodDef& def_slot(int v, int k) {
    static PyMethodDef defs[kVisitors][kNodeKinds + 1];  // the last one for __init__
    return defs[v][k];
}

void put_method(nb::handle cls, PyMethodDef& def) {
    PyObject* descr = PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), &def);
    if (!descr) throw nb::python_error();
    nb::setattr(cls, def.ml_name, nb::steal(descr));
}

nb::object make_class(const char* name, nb::tuple bases, nb::dict ns) {
    nb::object resolved = nb::module_::import_("types").attr("resolve_bases")(bases);
    if (!resolved.is(bases)) ns["__orig_bases__"] = bases;
    return nb::module_::import_("abc").attr("ABCMeta")(name, resolved, ns);
}

nb::dict namespace_of(const char* name, const char* doc) {
    nb::dict ns;
    ns["__module__"] = kModule;
    ns["__qualname__"] = name;
    ns["__doc__"] = doc;
    return ns;
}

const char* const kDocs[kVisitors] = {
    "Visitor that returns transformed AST nodes (bottom-up structural transformation).",
    "Computes the maximum depth of an AST tree.",
    "Computes the total number of nodes in an AST tree.",
    "Collects all free individual variables in a term or formula.",
    "Applies variable substitutions to terms and formulas with capture avoidance.\n\n"
    "The mapping (Variable -> term) is held by reference and read afresh at every\n"
    "use. A quantifier whose variable would capture a free variable of a\n"
    "replacement gets a fresh variable (one above every id in sight); a\n"
    "ForallFunc or ExistsFunc whose function variable a replacement applies gets\n"
    "a fresh function variable likewise.",
    "Translates AST to string in various notations ('infix', 'prefix', 'latex').",
};

// The base's sixteen methods are Python functions: abc marks the twelve
// first-order ones abstract through an attribute that native methods lack.
void add_base_methods(nb::dict ns, nb::handle module_dict, nb::handle t) {
    nb::dict scratch;
    scratch["__name__"] = kModule;
    scratch["__builtins__"] = nb::module_::import_("builtins");
    const char* source =
        "def abstract(self, node):\n    pass\n"
        "def second_order(self, node):\n    raise NotImplementedError\n";
    nb::object code = nb::module_::import_("builtins").attr("compile")(source, "<quorvel.core.visitors>", "exec");
    nb::module_::import_("builtins").attr("exec")(code, scratch);
    nb::object function_type = nb::module_::import_("types").attr("FunctionType");
    nb::object abstractmethod = nb::module_::import_("abc").attr("abstractmethod");
    for (int k = 0; k < kNodeKinds; ++k) {
        bool first_order = k < static_cast<int>(Kind::ForallPred);
        nb::object model = nb::object(scratch[first_order ? "abstract" : "second_order"]);
        std::string qualname = std::string("ASTVisitor.") + kMethodNames[k];
        nb::object body = model.attr("__code__").attr("replace")(nb::arg("co_name") = kMethodNames[k],
                                                                  nb::arg("co_qualname") = qualname.c_str());
        nb::object f = function_type(body, module_dict, kMethodNames[k]);
        f.attr("__qualname__") = qualname.c_str();
        nb::dict annotations;
        annotations["node"] = nb::handle(state().node_classes[k]);
        annotations["return"] = t;
        f.attr("__annotations__") = annotations;
        ns[kMethodNames[k]] = first_order ? abstractmethod(f) : f;
    }
}

void fill_texts() {
    for (int v = 0; v < kVisitors; ++v)
        for (int k = 0; k < kNodeKinds; ++k) {
            MethodText& t = text_of(v, k);
            t.qualified = std::string(kClassNames[v]) + "." + kMethodNames[k];
            t.doc = std::string(kMethodNames[k]) + "($self, node)\n--\n\nVisits a " + kNodeNames[k] + " node.";
            t.signature = py::Signature{t.qualified.c_str(), kNodeParam, 1, 1, 0, true};
        }
}

}  // namespace

void create_classes(nb::module_& m) {
    State& s = state();
    fill_texts();
    nb::module_ typing = nb::module_::import_("typing");
    nb::object t = m.attr("T");
    nb::object module_dict = m.attr("__dict__");

    // ASTVisitor
    nb::dict ns = namespace_of("ASTVisitor", "Generic visitor base class for AST traversal.");
    nb::dict annotations;
    nb::tuple table_types = nb::make_tuple(nb::handle(reinterpret_cast<PyObject*>(&PyType_Type)),
                                           nb::handle(reinterpret_cast<PyObject*>(&PyUnicode_Type)));
    annotations["_dispatch_table"] = nb::object(typing.attr("Dict")[table_types]);
    ns["__annotations__"] = annotations;
    ns["_dispatch_table"] = nb::dict();
    static PyMethodDef init_subclass_def = {
        "__init_subclass__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(init_subclass)),
        METH_VARARGS | METH_KEYWORDS,
        "Gives every visitor class a dispatch table of its own, from node class to method name."};
    nb::object hook = nb::steal(PyCFunction_NewEx(&init_subclass_def, nullptr, nb::str(kModule).ptr()));
    if (!hook.is_valid()) throw nb::python_error();
    ns["__init_subclass__"] = nb::steal(PyClassMethod_New(hook.ptr()));
    ns["visit"] = nb::none();
    add_base_methods(ns, module_dict, t);
    nb::object abc_base = nb::module_::import_("abc").attr("ABC");
    nb::object generic = typing.attr("Generic")[t];
    nb::tuple base_bases = nb::make_tuple(abc_base, generic);
    nb::object base = make_class("ASTVisitor", base_bases, ns);
    s.base = base.inc_ref().ptr();
    static PyMethodDef visit_def = {
        "visit", as_cfunction(visit_entry), METH_FASTCALL | METH_KEYWORDS,
        "visit($self, node)\n--\n\nMaster dispatch method targeting specific visit_* methods via O(1) dict lookup."};
    put_method(base, visit_def);
    m.attr("ASTVisitor") = base;

    nb::object term = m.attr("Term"), formula = m.attr("Formula");
    nb::object bindings[kVisitors] = {
        nb::object(typing.attr("Union")[nb::make_tuple(term, formula)]),
        nb::borrow(reinterpret_cast<PyObject*>(&PyLong_Type)),
        nb::borrow(reinterpret_cast<PyObject*>(&PyLong_Type)),
        nb::object(typing.attr("Set")[nb::object(m.attr("Variable"))]),
        nb::none(),
        nb::borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type)),
    };
    for (int v = 0; v < kVisitors; ++v) {
        nb::dict cns = namespace_of(kClassNames[v], kDocs[v]);
        bool has_init = v == static_cast<int>(Visitor::Substitution) || v == static_cast<int>(Visitor::Export);
        if (has_init) cns["__init__"] = nb::none();
        for (int k = 0; k < kNodeKinds; ++k)
            if (own_method(v, k)) cns[kMethodNames[k]] = nb::none();
        nb::tuple bases = v == static_cast<int>(Visitor::Substitution)
                              ? nb::make_tuple(nb::handle(s.classes[static_cast<int>(Visitor::Transformer)]))
                              : nb::make_tuple(nb::object(base[bindings[v]]));
        nb::object cls = make_class(kClassNames[v], bases, cns);
        if (has_init) {
            PyMethodDef& def = def_slot(v, kNodeKinds);
            bool export_class = v == static_cast<int>(Visitor::Export);
            def = PyMethodDef{"__init__", as_cfunction(export_class ? export_init : substitution_init),
                              METH_FASTCALL | METH_KEYWORDS,
                              export_class ? "__init__($self, notation='infix')\n--\n\n"
                                             "Raises ValueError for a notation other than 'infix', 'prefix' or 'latex'."
                                           : "__init__($self, mapping)\n--\n\nHolds `mapping` by reference."};
            put_method(cls, def);
        }
        for (int k = 0; k < kNodeKinds; ++k) {
            if (!own_method(v, k)) continue;
            PyMethodDef& def = def_slot(v, k);
            def = PyMethodDef{kMethodNames[k], as_cfunction(kEntries[v][k]), METH_FASTCALL | METH_KEYWORDS,
                              text_of(v, k).doc.c_str()};
            put_method(cls, def);
        }
        s.classes[v] = cls.inc_ref().ptr();
        m.attr(kClassNames[v]) = cls;
    }
    for (int v = 0; v < kVisitors; ++v)
        for (int n = 0; n < kWalkNames; ++n) {
            PyObject* r = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(s.classes[v]), s.names[n]);
            if (!r) throw nb::python_error();
            s.resolved[v][n] = Py_NewRef(r);
        }
}

void init_state() {
    State& s = state();
    auto intern = [](const char* text) {
        PyObject* o = PyUnicode_InternFromString(text);
        if (!o) throw nb::python_error();
        return o;
    };
    for (int k = 0; k < kNodeKinds; ++k) {
        s.names[k] = intern(kMethodNames[k]);
        s.node_classes[k] = Py_NewRef(reinterpret_cast<PyObject*>(node_type(static_cast<Kind>(k))));
    }
    s.s_visit = s.names[kNodeKinds] = intern("visit");
    s.s_dispatch_table = intern("_dispatch_table");
    s.s_notation = intern("notation");
    s.s_mapping = intern("mapping");
    s.s_get = intern("get");
    s.s_update = intern("update");
    s.s_name = intern("name");
    s.s_sort = intern("sort");
    s.s_kind = intern("kind");
    s.s_index = intern("index");
    s.s_arity = intern("arity");
    s.s_id = intern("id");
    s.one = PyLong_FromLong(1);
    nb::list names;
    for (PyObject* n : s.names) names.append(nb::handle(n));
    names.append(nb::handle(s.s_dispatch_table));
    s.overridable = PyFrozenSet_New(names.ptr());
    if (!s.one || !s.overridable) throw nb::python_error();
    s.debug = nb::cast<bool>(nb::module_::import_("builtins").attr("__debug__"));
}

}  // namespace quorvel::visitors
