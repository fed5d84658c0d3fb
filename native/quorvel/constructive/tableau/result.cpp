// TableauProofResult: the verdict, tree, countermodel, target and premises of
// one proof (a mutable dataclass), with its report and dictionary.
#include "quorvel/constructive/tableau/mutable_record.h"
#include "quorvel/constructive/tableau/records.h"

namespace quorvel::tableau {
namespace {

enum ResultField { kIsValid, kTree, kCountermodel, kTarget, kPremises, kResultFields };

const char* const kFieldNames[] = {"is_valid", "tree", "countermodel", "target", "premises"};
const Default kDefaults[] = {Default::Required, Default::Required, Default::None, Default::None, Default::EmptyTuple};
constexpr RecordDesc kDesc{kFieldNames, kDefaults, kResultFields,
                           py::Signature{"TableauProofResult.__init__", kFieldNames, kResultFields, 2, 0, true}};

Ref field(PyObject* self, ResultField f) { return Ref(record_get<kDesc>(self, f)); }

bool append_text_line(PyObject* list, const char* text) {
    Ref s(PyUnicode_FromString(text));
    return s && PyList_Append(list, s.get()) == 0;
}

PyObject* report(PyObject* self) {
    Ref lines(PyList_New(0));
    if (!lines || !append_text_line(lines.get(), "=== Intuitionistic Kripke Tableau Proof (IPC) ===")) return nullptr;
    Ref target = field(self, kTarget);
    if (!target) return nullptr;
    if (target.get() != Py_None) {
        Ref text = printer_text(target.get());
        if (!text) return nullptr;
        Ref line(PyUnicode_FromFormat("Target: %U", text.get()));
        if (!line || PyList_Append(lines.get(), line.get()) < 0) return nullptr;
    }
    Ref premises = field(self, kPremises);
    if (!premises) return nullptr;
    int any = truth(premises.get());
    if (any < 0) return nullptr;
    if (any) {
        Ref items = snapshot(premises.get());
        if (!items) return nullptr;
        Ref texts(PyList_New(0));
        if (!texts) return nullptr;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
            Ref t = printer_text(PyList_GET_ITEM(items.get(), i));
            if (!t || PyList_Append(texts.get(), t.get()) < 0) return nullptr;
        }
        Ref sep(PyUnicode_FromString(", "));
        if (!sep) return nullptr;
        Ref joined(PyUnicode_Join(sep.get(), texts.get()));
        if (!joined) return nullptr;
        Ref line(PyUnicode_FromFormat("Premises: %U", joined.get()));
        if (!line || PyList_Append(lines.get(), line.get()) < 0) return nullptr;
    }
    Ref valid = field(self, kIsValid);
    if (!valid) return nullptr;
    int v = truth(valid.get());
    if (v < 0) return nullptr;
    if (!append_text_line(lines.get(),
                      v ? "Status: VALID (Intuitionistically Proven)" : "Status: UNPROVABLE (Countermodel Found)"))
        return nullptr;
    Ref tree = field(self, kTree);
    if (!tree) return nullptr;
    Ref size = call_method(tree.get(), names().get_size);
    if (!size) return nullptr;
    Ref depth = call_method(tree.get(), names().get_depth);
    if (!depth) return nullptr;
    Ref size_text = format(size.get());
    if (!size_text) return nullptr;
    Ref depth_text = format(depth.get());
    if (!depth_text) return nullptr;
    Ref sizes(PyUnicode_FromFormat("Tree Size: %U nodes, Depth: %U", size_text.get(), depth_text.get()));
    if (!sizes || PyList_Append(lines.get(), sizes.get()) < 0) return nullptr;
    if (!append_text_line(lines.get(), "\n--- Derivation Tree ---")) return nullptr;
    Ref ascii = call_method(tree.get(), names().to_string);
    if (!ascii || PyList_Append(lines.get(), ascii.get()) < 0) return nullptr;
    Ref model = field(self, kCountermodel);
    if (!model) return nullptr;
    if (model.get() != Py_None) {
        if (!append_text_line(lines.get(), "\n--- Falsifying Kripke Countermodel ---")) return nullptr;
        Ref text = call_method(model.get(), names().to_string);
        if (!text || PyList_Append(lines.get(), text.get()) < 0) return nullptr;
    }
    Ref nl(PyUnicode_FromString("\n"));
    if (!nl) return nullptr;
    return PyUnicode_Join(nl.get(), lines.get());
}

PyObject* as_dict(PyObject* self) {
    Ref d(PyDict_New());
    if (!d) return nullptr;
    Ref valid = field(self, kIsValid);
    if (!valid || PyDict_SetItemString(d.get(), "is_valid", valid.get()) < 0) return nullptr;
    Ref target = field(self, kTarget);
    if (!target) return nullptr;
    Ref target_text = target.get() == Py_None ? Ref::borrow(Py_None) : printer_text(target.get());
    if (!target_text || PyDict_SetItemString(d.get(), "target", target_text.get()) < 0) return nullptr;
    Ref premises = field(self, kPremises);
    if (!premises) return nullptr;
    Ref items = snapshot(premises.get());
    if (!items) return nullptr;
    Ref texts(PyList_New(0));
    if (!texts) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        Ref t = printer_text(PyList_GET_ITEM(items.get(), i));
        if (!t || PyList_Append(texts.get(), t.get()) < 0) return nullptr;
    }
    if (PyDict_SetItemString(d.get(), "premises", texts.get()) < 0) return nullptr;
    Ref tree = field(self, kTree);
    if (!tree) return nullptr;
    Ref tree_dict = call_method(tree.get(), names().to_dict);
    if (!tree_dict || PyDict_SetItemString(d.get(), "tree", tree_dict.get()) < 0) return nullptr;
    Ref model = field(self, kCountermodel);
    if (!model) return nullptr;
    Ref model_dict = model.get() == Py_None ? Ref::borrow(Py_None) : call_method(model.get(), names().to_dict);
    if (!model_dict || PyDict_SetItemString(d.get(), "countermodel", model_dict.get()) < 0) return nullptr;
    return d.release();
}

PyObject* m_to_string(PyObject* self, PyObject*) {
    return py::guard<PyObject*>(nullptr, [&] { return report(self); });
}

PyObject* m_to_dict(PyObject* self, PyObject*) {
    return py::guard<PyObject*>(nullptr, [&] { return as_dict(self); });
}

PyObject* r_str(PyObject* self) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        if (Py_TYPE(self) == state().result_type) {
            PyObject* dict = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) +
                                                          record_dict_offset(kResultFields));
            if (!dict || !PyDict_Contains(dict, names().to_string)) return report(self);
        }
        return call_method(self, names().to_string).release();
    });
}

PyMethodDef kMethods[] = {
    QUORVEL_RECORD_PICKLING(kDesc),
    {"to_string", m_to_string, METH_NOARGS,
     R"doc(to_string(self)
--

The multi-line report: title, target, premises, status, tree size and
depth, the ASCII derivation tree and, when there is one, the countermodel.)doc"},
    {"to_dict", m_to_dict, METH_NOARGS,
     R"doc(to_dict(self)
--

Plain values ready for JSON: "is_valid", "target" (text or None),
"premises" (texts), "tree" (the tree's dictionary) and "countermodel" (the
model's dictionary or None).)doc"},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef kMembers[kResultFields + 3];

}  // namespace

PyObject* new_result(PyObject* is_valid, PyObject* tree, PyObject* countermodel, PyObject* target,
                     PyObject* premises) {
    PyTypeObject* type = state().result_type;
    PyObject* o = type->tp_alloc(type, 0);
    if (!o) return nullptr;
    PyObject** f = record_fields(o);
    f[kIsValid] = Py_NewRef(is_valid);
    f[kTree] = Py_NewRef(tree);
    f[kCountermodel] = Py_NewRef(countermodel);
    f[kTarget] = Py_NewRef(target);
    f[kPremises] = Py_NewRef(premises);
    return o;
}

PyTypeObject* make_result_type() {
    fill_record_members(kDesc, kMembers);
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
        {Py_tp_init, reinterpret_cast<void*>(record_init<kDesc>)},
        {Py_tp_dealloc, reinterpret_cast<void*>(record_dealloc<kDesc>)},
        {Py_tp_traverse, reinterpret_cast<void*>(record_traverse<kDesc>)},
        {Py_tp_clear, reinterpret_cast<void*>(record_clear<kDesc>)},
        {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
        {Py_tp_richcompare, reinterpret_cast<void*>(record_richcompare<kDesc>)},
        {Py_tp_repr, reinterpret_cast<void*>(record_repr<kDesc>)},
        {Py_tp_str, reinterpret_cast<void*>(r_str)},
        {Py_tp_members, kMembers},
        {Py_tp_getset, kInstanceDict},
        {Py_tp_methods, kMethods},
        {Py_tp_doc, const_cast<char*>(R"doc(TableauProofResult(is_valid, tree, countermodel=None, target=None, premises=())
--

What a tableau proof returns: whether every branch closed, the proof tree,
the Kripke countermodel of the first open branch (or None), and the target
and premises asked about. Its string form is to_string(), the report.)doc")},
        {0, nullptr},
    };
    PyType_Spec type_spec{"quorvel.constructive.tableau.TableauProofResult", record_basicsize(kResultFields), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    if (type && !set_match_args(type, kDesc)) Py_CLEAR(type);
    return type;
}

}  // namespace quorvel::tableau
