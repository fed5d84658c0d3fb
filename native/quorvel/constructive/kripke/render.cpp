// KripkeModel.to_dict and to_string: worlds in model order, successor names
// and formula texts sorted by code point (Python's str order).
#include <vector>

#include "quorvel/constructive/kripke/model.h"
#include "quorvel/support/py/printer.h"

namespace quorvel::kripke {
namespace {

// What both renderings show of one world of `worlds`.
struct Row {
    Ref name;
    Ref successors;  // sorted list of names
    Ref formulas;    // sorted list of texts
};

// A new list of `f(member)` for the members of `mapping[world]`, or an empty
// list when the world has no entry; sorted.
template <class F>
PyObject* sorted_entry(PyObject* mapping, PyObject* world, F f) {
    Ref out(PyList_New(0));
    if (!out) return nullptr;
    int c = contains(mapping, world);
    if (c < 0) return nullptr;
    if (c) {
        Ref set(get_item(mapping, world));
        if (!set) return nullptr;
        Ref members(snapshot(set.get()));
        if (!members) return nullptr;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(members.get()); ++i) {
            Ref shown(f(PyList_GET_ITEM(members.get(), i)));
            if (!shown || PyList_Append(out.get(), shown.get()) < 0) return nullptr;
        }
        if (PyList_Sort(out.get()) < 0) return nullptr;
    }
    return out.release();
}

bool read_rows(PyObject* self, std::vector<Row>& rows) {
    State& s = state();
    Ref worlds_attr(get(self, s.s_worlds));
    if (!worlds_attr) return false;
    Ref worlds(snapshot(worlds_attr.get()));
    if (!worlds) return false;
    Ref relations(get(self, s.s_relations));
    if (!relations) return false;
    Ref valuations(get(self, s.s_valuations));
    if (!valuations) return false;
    auto name_of = [&](PyObject* w) { return PyObject_GetAttr(w, s.s_name); };
    auto text_of = [](PyObject* f) { return py::format_node(f, py::Notation::Infix); };
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(worlds.get()); ++i) {
        PyObject* w = PyList_GET_ITEM(worlds.get(), i);
        Row row;
        if (!(row.name = Ref(name_of(w)))) return false;
        if (!(row.successors = Ref(sorted_entry(relations.get(), w, name_of)))) return false;
        if (!(row.formulas = Ref(sorted_entry(valuations.get(), w, text_of)))) return false;
        rows.push_back(std::move(row));
    }
    return true;
}

// Accumulates str pieces; the text is "".join(pieces), so any str (lone
// surrogates included) passes through unchanged.
class Text {
public:
    Text() : parts_(PyList_New(0)) {}
    bool ok() const { return static_cast<bool>(parts_); }
    bool add(const char* ascii) {
        Ref s(PyUnicode_FromString(ascii));
        return s && PyList_Append(parts_.get(), s.get()) == 0;
    }
    // A name or text; a value that is no str fails as str.join fails on it.
    bool add(PyObject* piece) {
        if (PyUnicode_Check(piece)) return PyList_Append(parts_.get(), piece) == 0;
        Ref one(PyList_New(1));
        if (!one) return false;
        PyList_SET_ITEM(one.get(), 0, Py_NewRef(piece));
        return add_joined(one.get());
    }
    bool add_joined(PyObject* items) {
        Ref sep(PyUnicode_FromString(", "));
        if (!sep) return false;
        Ref joined(PyUnicode_Join(sep.get(), items));
        return joined && PyList_Append(parts_.get(), joined.get()) == 0;
    }
    PyObject* finish() {
        Ref empty(PyUnicode_FromString(""));
        return empty ? PyUnicode_Join(empty.get(), parts_.get()) : nullptr;
    }

private:
    Ref parts_;
};

}  // namespace

PyObject* to_dict(PyObject* self) {
    std::vector<Row> rows;
    if (!read_rows(self, rows)) return nullptr;
    Ref names(PyList_New(0)), relations(PyDict_New()), valuations(PyDict_New());
    if (!names || !relations || !valuations) return nullptr;
    for (const Row& r : rows)
        if (PyList_Append(names.get(), r.name.get()) < 0 ||
            PyDict_SetItem(relations.get(), r.name.get(), r.successors.get()) < 0 ||
            PyDict_SetItem(valuations.get(), r.name.get(), r.formulas.get()) < 0)
            return nullptr;
    Ref out(PyDict_New());
    if (!out || PyDict_SetItemString(out.get(), "worlds", names.get()) < 0 ||
        PyDict_SetItemString(out.get(), "relations", relations.get()) < 0 ||
        PyDict_SetItemString(out.get(), "valuations", valuations.get()) < 0)
        return nullptr;
    return out.release();
}

PyObject* to_string(PyObject* self) {
    std::vector<Row> rows;
    if (!read_rows(self, rows)) return nullptr;
    Text t;
    if (!t.ok() || !t.add("Kripke Model (W, <=, V):\n  Worlds: ")) return nullptr;
    if (rows.empty()) {
        if (!t.add("empty")) return nullptr;
    } else {
        Ref names(PyList_New(0));
        if (!names) return nullptr;
        for (const Row& r : rows)
            if (PyList_Append(names.get(), r.name.get()) < 0) return nullptr;
        if (!t.add_joined(names.get())) return nullptr;
    }
    if (!t.add("\n  Accessibility Relation (<=):")) return nullptr;
    for (const Row& r : rows)
        if (!t.add("\n    ") || !t.add(r.name.get()) || !t.add(" <= {") || !t.add_joined(r.successors.get()) ||
            !t.add("}"))
            return nullptr;
    if (!t.add("\n  Valuations V(w):")) return nullptr;
    for (const Row& r : rows) {
        if (!t.add("\n    V(") || !t.add(r.name.get()) || !t.add(") = {")) return nullptr;
        bool empty = PyList_GET_SIZE(r.formulas.get()) == 0;
        if (!(empty ? t.add("empty") : t.add_joined(r.formulas.get())) || !t.add("}")) return nullptr;
    }
    return t.finish();
}

}  // namespace quorvel::kripke
