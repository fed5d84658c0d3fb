// Clash detection and countermodel extraction on a Python branch state, as
// TableauProver._check_clash and _extract_countermodel.
#include "quorvel/constructive/kripke/api.h"
#include "quorvel/constructive/tableau/prover.h"
#include "quorvel/constructive/tableau/records.h"
#include "quorvel/support/py/constructive.h"

namespace quorvel::tableau {
namespace {

PyObject* empty_frozenset() {
    static PyObject* e = PyFrozenSet_New(nullptr);
    return e;
}

// The sorted members of mapping.get(key, empty).
Ref sorted_members(PyObject* mapping, PyObject* key, Order& order, bool worlds) {
    Ref at = mapping_get(mapping, key, empty_frozenset());
    if (!at) return Ref();
    Ref items = snapshot(at.get());
    if (!items) return Ref();
    if (!(worlds ? order.sort_worlds(items.get()) : order.sort_formulas(items.get()))) return Ref();
    return items;
}

Ref clash_record(PyObject* world, PyObject* formula, const char* head, PyObject* text) {
    std::string out = head;
    if (text && !append_formatted(out, text)) return Ref();
    if (text) out += " at ";
    Ref name = getattr(world, names().name);
    if (!name || !append_formatted(out, name.get())) return Ref();
    Ref explanation = text_of(out);
    if (!explanation) return Ref();
    return Ref(PyTuple_Pack(3, world, formula, explanation.get()));
}

}  // namespace

PyObject* check_clash(PyObject* self, PyObject* st) {
    Order fallback;
    Order& order = order_of(self, fallback);
    Ref worlds_field = branch_get(st, kWorlds);
    if (!worlds_field) return nullptr;
    Ref worlds = snapshot(worlds_field.get());
    if (!worlds) return nullptr;
    Ref t_map = branch_get(st, kTrue);
    if (!t_map) return nullptr;
    Ref f_map = branch_get(st, kFalse);
    if (!f_map) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(worlds.get()); ++i) {
        PyObject* w = PyList_GET_ITEM(worlds.get(), i);
        Ref t = mapping_get(t_map.get(), w, empty_frozenset());
        if (!t) return nullptr;
        Ref f = mapping_get(f_map.get(), w, empty_frozenset());
        if (!f) return nullptr;
        Ref ts = snapshot(t.get());
        if (!ts || !order.sort_formulas(ts.get())) return nullptr;
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(ts.get()); ++k) {
            PyObject* x = PyList_GET_ITEM(ts.get(), k);
            int r = py::is_falsum(x);
            if (r < 0) return nullptr;
            if (r) return clash_record(w, x, "Falsum bot asserted TRUE at ", nullptr).release();
        }
        Ref fs = snapshot(f.get());
        if (!fs || !order.sort_formulas(fs.get())) return nullptr;
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(fs.get()); ++k) {
            PyObject* x = PyList_GET_ITEM(fs.get(), k);
            int r = py::is_verum(x);
            if (r < 0) return nullptr;
            if (r) return clash_record(w, x, "Verum top asserted FALSE at ", nullptr).release();
        }
        Ref both(PyNumber_And(t.get(), f.get()));
        if (!both) return nullptr;
        int any = truth(both.get());
        if (any < 0) return nullptr;
        if (!any) continue;
        Ref items = snapshot(both.get());
        if (!items || !order.sort_formulas(items.get())) return nullptr;
        PyObject* x = PyList_GET_ITEM(items.get(), 0);
        Ref text = printer_text(x);
        if (!text) return nullptr;
        return clash_record(w, x, "Complementary clash on ", text.get()).release();
    }
    Py_RETURN_NONE;
}

PyObject* extract_countermodel(PyObject* self, PyObject* st) {
    Order fallback;
    Order& order = order_of(self, fallback);
    const kripke::Api& k = kripke::api();
    Ref model(k.new_model());
    if (!model) return nullptr;
    Ref worlds_field = branch_get(st, kWorlds);
    if (!worlds_field) return nullptr;
    Ref worlds = snapshot(worlds_field.get());
    if (!worlds) return nullptr;
    Py_ssize_t n = PyList_GET_SIZE(worlds.get());
    for (Py_ssize_t i = 0; i < n; ++i)
        if (k.add_world(model.get(), PyList_GET_ITEM(worlds.get(), i)) < 0) return nullptr;
    Ref relations = branch_get(st, kRelations);
    if (!relations) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* u = PyList_GET_ITEM(worlds.get(), i);
        Ref succ = sorted_members(relations.get(), u, order, true);
        if (!succ) return nullptr;
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(succ.get()); ++j)
            if (k.add_relation(model.get(), u, PyList_GET_ITEM(succ.get(), j)) < 0) return nullptr;
    }
    Ref t_map = branch_get(st, kTrue);
    if (!t_map) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* w = PyList_GET_ITEM(worlds.get(), i);
        Ref formulas = sorted_members(t_map.get(), w, order, false);
        if (!formulas) return nullptr;
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(formulas.get()); ++j) {
            PyObject* f = PyList_GET_ITEM(formulas.get(), j);
            if (!py::is_atomic(f)) continue;
            int r = py::is_falsum(f);
            if (r < 0) return nullptr;
            if (r) continue;
            r = py::is_verum(f);
            if (r < 0) return nullptr;
            if (r) continue;
            if (k.add_valuation(model.get(), w, f) < 0) return nullptr;
        }
    }
    return model.release();
}

}  // namespace quorvel::tableau
