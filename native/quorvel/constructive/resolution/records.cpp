// PrefixedLiteral, PrefixedClause, PrefixedResolutionStep and
// PrefixedResolutionProofResult: dataclasses made at import (their
// construction, equality, hash and repr are the dataclass's; the frozen ones
// keep their fields in slots), with native methods: the literal and clause
// texts, substitution, the step and result dictionaries and the report.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "quorvel/constructive/resolution/state.h"
#include "quorvel/support/py/compat.h"
#include "quorvel/support/py/constructive.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/hashing.h"
#include "quorvel/support/py/names.h"
#include "quorvel/support/py/record.h"
#include "quorvel/support/py/ref.h"
#include "quorvel/support/py/repr.h"

namespace quorvel::resolution {
namespace {

using py::Ref;

PyObject* attr(PyObject* o, PyObject* name) { return PyObject_GetAttr(o, name); }

PyObject* decode(const std::string& text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
}

bool check_args(const char* name, Py_ssize_t nargs, Py_ssize_t want) {
    if (nargs == want) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd were given", name, want,
                 want == 1 ? "" : "s", nargs);
    return false;
}

// ---- literal ----

}  // namespace

bool append_literal_text(std::string& out, PyObject* literal) {
    Ref atom(attr(literal, state().s_atom));
    if (!atom) return false;
    int falsum = py::is_falsum(atom.get());
    if (falsum < 0) return false;
    if (falsum) {
        out += "_bot";
    } else {
        Ref text(PyObject_CallOneArg(state().to_string, atom.get()));
        if (!text || !py::append_text(out, text.get())) return false;
    }
    out += "^";
    Ref polarity(attr(literal, state().s_polarity));
    if (!polarity || !py::append_text(out, polarity.get())) return false;
    out += ":";
    Ref prefix(attr(literal, state().s_prefix));
    return prefix && py::append_text(out, prefix.get());
}

namespace {

PyObject* literal_to_string(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_args("to_string", nargs, 1)) return nullptr;
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        std::string out;
        if (!append_literal_text(out, args[0])) return nullptr;
        return decode(out);
    });
}

PyObject* literal_negate(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_args("negate", nargs, 1)) return nullptr;
    Ref prefix(attr(args[0], state().s_prefix));
    Ref polarity(prefix ? attr(args[0], state().s_polarity) : nullptr);
    Ref atom(polarity ? attr(args[0], state().s_atom) : nullptr);
    if (!atom) return nullptr;
    Ref one(PyLong_FromLong(1));
    Ref flipped(one ? PyNumber_Subtract(one.get(), polarity.get()) : nullptr);
    if (!flipped) return nullptr;
    return make_literal(prefix.get(), flipped.get(), atom.get());
}

PyObject* substitute_literal(PyObject* literal, PyObject* subst) {
    Ref prefix(attr(literal, state().s_prefix));
    if (!prefix) return nullptr;
    Ref applied(PyObject_CallMethodOneArg(subst, state().s_apply, prefix.get()));
    Ref polarity(applied ? attr(literal, state().s_polarity) : nullptr);
    Ref atom(polarity ? attr(literal, state().s_atom) : nullptr);
    if (!atom) return nullptr;
    return make_literal(applied.get(), polarity.get(), atom.get());
}

PyObject* literal_substitute(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_args("substitute", nargs, 2)) return nullptr;
    return substitute_literal(args[0], args[1]);
}

PyObject* prefix_symbols_of(PyObject* literal, PyObject* which) {
    Ref prefix(attr(literal, state().s_prefix));
    return prefix ? PyObject_CallMethodNoArgs(prefix.get(), which) : nullptr;
}

PyObject* literal_variables(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_args("variables", nargs, 1)) return nullptr;
    return prefix_symbols_of(args[0], state().s_variables);
}

PyObject* literal_constants(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_args("constants", nargs, 1)) return nullptr;
    return prefix_symbols_of(args[0], state().s_constants);
}

// The dataclass hash, hash((field, ...)), without running Python code;
// -1 with an exception set.
Py_hash_t fields_hash_value(PyObject* self, std::initializer_list<PyObject*> names) {
    py::TupleHash h;
    for (PyObject* name : names) {
        Ref v(attr(self, name));
        if (!v || !h.add(v.get())) return -1;
    }
    return h.finish();  // never -1
}

PyObject* fields_hash(PyObject* self, std::initializer_list<PyObject*> names) {
    Py_hash_t h = fields_hash_value(self, names);
    return h == -1 ? nullptr : PyLong_FromSsize_t(h);
}

// The dataclass __eq__ of `type` without running Python code, where `other`
// is of exactly self's class; != is its negation, as object.__ne__ gives it.
// Only `type` itself gets this slot (as with the hash slots); where `other`
// is of another class (whose __class__ may claim the record's), the class's
// own __eq__ decides.
template <size_t N>
PyObject* fields_richcompare(PyObject* self, PyObject* other, int op, PyObject* type, PyObject* const (&names)[N]) {
    static_assert(N > 0);
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    Ref eq;
    if (Py_TYPE(other) != reinterpret_cast<PyTypeObject*>(type)) {
        Ref method(PyObject_GetAttrString(type, "__eq__"));
        if (!method) return nullptr;
        PyObject* call[] = {self, other};
        eq = Ref(PyObject_Vectorcall(method.get(), call, 2, nullptr));
        if (!eq || op == Py_EQ || eq.get() == Py_NotImplemented) return eq.release();
    } else {
#if PY_VERSION_HEX >= 0x030D0000
        // self is other or self.f == other.f and ...: the value of the last
        // comparison made.
        if (self == other) return PyBool_FromLong(op == Py_EQ);
        for (size_t i = 0; i < N; ++i) {
            Ref mine(attr(self, names[i]));
            Ref theirs(mine ? attr(other, names[i]) : nullptr);
            eq = Ref(theirs ? PyObject_RichCompare(mine.get(), theirs.get(), Py_EQ) : nullptr);
            if (!eq) return nullptr;
            if (i + 1 == N) break;
            int truth = PyObject_IsTrue(eq.get());
            if (truth < 0) return nullptr;
            if (!truth) break;
        }
        if (op == Py_EQ) return eq.release();
#else
        // (self.f, ...) == (other.f, ...): both tuples read in full, then
        // compared as tuples compare.
        Ref mine[N], theirs[N];
        for (size_t i = 0; i < N; ++i)
            if (!(mine[i] = Ref(attr(self, names[i])))) return nullptr;
        for (size_t i = 0; i < N; ++i)
            if (!(theirs[i] = Ref(attr(other, names[i])))) return nullptr;
        bool equal = true;
        for (size_t i = 0; i < N && equal; ++i) {
            int r = PyObject_RichCompareBool(mine[i].get(), theirs[i].get(), Py_EQ);
            if (r < 0) return nullptr;
            equal = r == 1;
        }
        return PyBool_FromLong(equal == (op == Py_EQ));
#endif
    }
    int truth = PyObject_IsTrue(eq.get());
    return truth < 0 ? nullptr : PyBool_FromLong(!truth);
}

PyObject* literal_tp_richcompare(PyObject* self, PyObject* other, int op) {
    PyObject* const names[] = {state().s_prefix, state().s_polarity, state().s_atom};
    return fields_richcompare(self, other, op, state().literal_type, names);
}

PyObject* clause_tp_richcompare(PyObject* self, PyObject* other, int op) {
    PyObject* const names[] = {state().s_literals};
    return fields_richcompare(self, other, op, state().clause_type, names);
}

// The innermost LiteralHashMemo of this thread (Python code run while one
// is in place may switch threads, and other threads keep their own).
thread_local IdentityMap<Py_hash_t>* literal_hashes = nullptr;

// The hash slots of the two hashable records: what their __hash__ methods
// give, without the method call the generic slot makes. Only the classes
// themselves get them; assigning __hash__ on a class puts the generic slot
// back, and subclasses get the generic one.
Py_hash_t literal_tp_hash(PyObject* self) {
    if (literal_hashes)
        if (const Py_hash_t* known = literal_hashes->find(self)) return *known;
    return fields_hash_value(self, {state().s_prefix, state().s_polarity, state().s_atom});
}

}  // namespace

Py_hash_t literal_fields_hash(PyObject* prefix, PyObject* polarity, PyObject* atom) {
    py::TupleHash h;
    if (!h.add(prefix) || !h.add(polarity) || !h.add(atom)) return -1;
    return h.finish();
}

namespace {

Py_hash_t clause_tp_hash(PyObject* self) { return fields_hash_value(self, {state().s_literals}); }

PyObject* literal_hash(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_args("__hash__", nargs, 1)) return nullptr;
    return fields_hash(args[0], {state().s_prefix, state().s_polarity, state().s_atom});
}

// ---- clause ----

PyObject* clause_hash(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_args("__hash__", nargs, 1)) return nullptr;
    return fields_hash(args[0], {state().s_literals});
}

PyObject* literals_of(PyObject* clause) { return attr(clause, state().s_literals); }

PyObject* clause_len(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_args("__len__", nargs, 1)) return nullptr;
    Ref lits(literals_of(args[0]));
    if (!lits) return nullptr;
    Py_ssize_t n = PyObject_Size(lits.get());
    return n < 0 ? nullptr : PyLong_FromSsize_t(n);
}

PyObject* clause_is_empty(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_args("is_empty", nargs, 1)) return nullptr;
    Ref lits(literals_of(args[0]));
    if (!lits) return nullptr;
    Py_ssize_t n = PyObject_Size(lits.get());
    return n < 0 ? nullptr : PyBool_FromLong(n == 0);
}

PyObject* clause_substitute(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_args("substitute", nargs, 2)) return nullptr;
    Ref lits(literals_of(args[0]));
    Ref iter(lits ? PyObject_GetIter(lits.get()) : nullptr);
    Ref set(iter ? PySet_New(nullptr) : nullptr);
    if (!set) return nullptr;
    for (;;) {
        Ref lit(PyIter_Next(iter.get()));
        if (!lit) {
            if (PyErr_Occurred()) return nullptr;
            break;
        }
        Ref sub(substitute_literal(lit.get(), args[1]));
        if (!sub || PySet_Add(set.get(), sub.get()) < 0) return nullptr;
    }
    Ref frozen(PyFrozenSet_New(set.get()));
    return frozen ? make_clause(frozen.get()) : nullptr;
}

// out.update(items) for a set `out`; false with an exception set.
bool update_set(PyObject* out, PyObject* items) {
    Ref iter(PyObject_GetIter(items));
    if (!iter) return false;
    while (Ref item{PyIter_Next(iter.get())})
        if (PySet_Add(out, item.get()) < 0) return false;
    return !PyErr_Occurred();
}

PyObject* clause_union(PyObject* clause, PyObject* which) {
    Ref lits(literals_of(clause));
    Ref iter(lits ? PyObject_GetIter(lits.get()) : nullptr);
    Ref out(iter ? PySet_New(nullptr) : nullptr);
    if (!out) return nullptr;
    for (;;) {
        Ref lit(PyIter_Next(iter.get()));
        if (!lit) return PyErr_Occurred() ? nullptr : out.release();
        Ref part(prefix_symbols_of(lit.get(), which));
        if (!part || !update_set(out.get(), part.get())) return nullptr;
    }
}

PyObject* clause_variables(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_args("variables", nargs, 1)) return nullptr;
    return clause_union(args[0], state().s_variables);
}

PyObject* clause_constants(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_args("constants", nargs, 1)) return nullptr;
    return clause_union(args[0], state().s_constants);
}

bool append_clause_text(std::string& out, PyObject* clause) {
    Ref lits(literals_of(clause));
    Ref iter(lits ? PyObject_GetIter(lits.get()) : nullptr);
    if (!iter) return false;
    std::vector<std::string> texts;
    for (;;) {
        Ref lit(PyIter_Next(iter.get()));
        if (!lit) {
            if (PyErr_Occurred()) return false;
            break;
        }
        texts.emplace_back();
        if (!append_literal_text(texts.back(), lit.get())) return false;
    }
    if (texts.empty()) {
        out += "[]";
        return true;
    }
    // Code-point order of the texts: UTF-8 bytes compare in that order.
    std::sort(texts.begin(), texts.end());
    out += "[ ";
    for (size_t i = 0; i < texts.size(); ++i) {
        if (i) out += ", ";
        out += texts[i];
    }
    out += " ]";
    return true;
}

PyObject* clause_to_string(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_args("to_string", nargs, 1)) return nullptr;
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        std::string out;
        if (!append_clause_text(out, args[0])) return nullptr;
        return decode(out);
    });
}

// ---- step and result ----

PyObject* step_to_dict(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_args("to_dict", nargs, 1)) return nullptr;
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* self = args[0];
        Ref id(PyObject_GetAttrString(self, "id"));
        Ref rule(id ? PyObject_GetAttrString(self, "rule_name") : nullptr);
        Ref ids(rule ? PyObject_GetAttrString(self, "premise_ids") : nullptr);
        Ref premises(ids ? PySequence_List(ids.get()) : nullptr);
        Ref clause(premises ? PyObject_GetAttrString(self, "clause") : nullptr);
        Ref clause_text(clause ? PyObject_CallMethodNoArgs(clause.get(), state().s_to_string) : nullptr);
        Ref subst(clause_text ? PyObject_GetAttrString(self, "substitution") : nullptr);
        Ref subst_dict(subst ? PyObject_CallMethodNoArgs(subst.get(), state().s_to_dict) : nullptr);
        Ref d(subst_dict ? PyDict_New() : nullptr);
        if (!d) return nullptr;
        const std::pair<const char*, PyObject*> items[] = {{"id", id.get()},
                                                           {"rule", rule.get()},
                                                           {"premises", premises.get()},
                                                           {"clause", clause_text.get()},
                                                           {"substitution", subst_dict.get()}};
        for (auto [k, v] : items)
            if (PyDict_SetItemString(d.get(), k, v) < 0) return nullptr;
        return d.release();
    });
}

PyObject* printed_list(PyObject* formulas) {
    Ref seq(PySequence_Fast(formulas, "premises must be iterable"));
    if (!seq) return nullptr;
    Ref out(PyList_New(0));
    if (!out) return nullptr;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        Ref t(PyObject_CallOneArg(state().to_string, PySequence_Fast_GET_ITEM(seq.get(), i)));
        if (!t || PyList_Append(out.get(), t.get()) < 0) return nullptr;
    }
    return out.release();
}

PyObject* result_to_dict(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_args("to_dict", nargs, 1)) return nullptr;
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* self = args[0];
        Ref valid(PyObject_GetAttrString(self, "is_valid"));
        Ref target(valid ? PyObject_GetAttrString(self, "target") : nullptr);
        Ref target_text(target ? PyObject_CallOneArg(state().to_string, target.get()) : nullptr);
        Ref premises(target_text ? PyObject_GetAttrString(self, "premises") : nullptr);
        Ref premise_texts(premises ? printed_list(premises.get()) : nullptr);
        Ref mult(premise_texts ? PyObject_GetAttrString(self, "multiplicity") : nullptr);
        Ref empty_id(mult ? PyObject_GetAttrString(self, "empty_clause_id") : nullptr);
        Ref subst(empty_id ? PyObject_GetAttrString(self, "substitution") : nullptr);
        Ref subst_dict(subst ? PyObject_CallMethodNoArgs(subst.get(), state().s_to_dict) : nullptr);
        Ref steps(subst_dict ? PyObject_GetAttrString(self, "steps") : nullptr);
        Ref seq(steps ? PySequence_Fast(steps.get(), "steps must be iterable") : nullptr);
        Ref step_dicts(seq ? PyList_New(0) : nullptr);
        if (!step_dicts) return nullptr;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
            Ref d(PyObject_CallMethodNoArgs(PySequence_Fast_GET_ITEM(seq.get(), i), state().s_to_dict));
            if (!d || PyList_Append(step_dicts.get(), d.get()) < 0) return nullptr;
        }
        Ref d(PyDict_New());
        if (!d) return nullptr;
        const std::pair<const char*, PyObject*> items[] = {
            {"is_valid", valid.get()},          {"target", target_text.get()},
            {"premises", premise_texts.get()},  {"multiplicity", mult.get()},
            {"empty_clause_id", empty_id.get()}, {"substitution", subst_dict.get()},
            {"steps", step_dicts.get()}};
        for (auto [k, v] : items)
            if (PyDict_SetItemString(d.get(), k, v) < 0) return nullptr;
        return d.release();
    });
}

bool append_joined_texts(std::string& out, PyObject* items, const char* sep) {
    Ref seq(PySequence_Fast(items, "expected a sequence"));
    if (!seq) return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
        if (!PyUnicode_Check(item)) {
            PyErr_Format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found", i,
                         Py_TYPE(item)->tp_name);
            return false;
        }
        if (i) out += sep;
        if (!py::append_str(out, item)) return false;
    }
    return true;
}

PyObject* result_to_string(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_args("to_string", nargs, 1)) return nullptr;
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* self = args[0];
        std::string out = "=== Prefixed Resolution Proof (IPC) ===\nTarget: ";
        Ref target(PyObject_GetAttrString(self, "target"));
        Ref text(target ? PyObject_CallOneArg(state().to_string, target.get()) : nullptr);
        if (!text || !py::append_text(out, text.get())) return nullptr;
        Ref premises(PyObject_GetAttrString(self, "premises"));
        Ref premise_texts(premises ? printed_list(premises.get()) : nullptr);
        if (!premise_texts) return nullptr;
        if (PyList_GET_SIZE(premise_texts.get())) {
            out += "\nPremises: ";
            if (!append_joined_texts(out, premise_texts.get(), ", ")) return nullptr;
        }
        Ref valid(PyObject_GetAttrString(self, "is_valid"));
        int truth = valid ? PyObject_IsTrue(valid.get()) : -1;
        if (truth < 0) return nullptr;
        out += truth ? "\nStatus: VALID (Intuitionistically Proven)" : "\nStatus: UNPROVABLE";
        out += "\nMultiplicity: ";
        Ref mult(PyObject_GetAttrString(self, "multiplicity"));
        if (!mult || !py::append_text(out, mult.get())) return nullptr;
        Ref steps(PyObject_GetAttrString(self, "steps"));
        Ref seq(steps ? PySequence_Fast(steps.get(), "steps must be iterable") : nullptr);
        if (!seq) return nullptr;
        if (PySequence_Fast_GET_SIZE(seq.get())) out += "\nDerivation Steps:";
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
            PyObject* step = PySequence_Fast_GET_ITEM(seq.get(), i);
            Ref id(PyObject_GetAttrString(step, "id"));
            Ref clause(id ? PyObject_GetAttrString(step, "clause") : nullptr);
            Ref rule(clause ? PyObject_GetAttrString(step, "rule_name") : nullptr);
            Ref ids(rule ? PyObject_GetAttrString(step, "premise_ids") : nullptr);
            if (!ids) return nullptr;
            out += "\n  [";
            if (!py::append_text(out, id.get())) return nullptr;
            out += "] ";
            Ref clause_text(PyObject_CallMethodNoArgs(clause.get(), state().s_to_string));
            if (!clause_text || !py::append_text(out, clause_text.get())) return nullptr;
            out += " (";
            if (!py::append_text(out, rule.get())) return nullptr;
            Py_ssize_t n = PyObject_Size(ids.get());
            if (n < 0) return nullptr;
            if (n) {
                out += " from ";
                if (!append_joined_texts(out, ids.get(), ", ")) return nullptr;
            }
            out += ")";
        }
        Ref subst(PyObject_GetAttrString(self, "substitution"));
        Ref mapping(subst ? PyObject_GetAttr(subst.get(), state().s_mapping) : nullptr);
        if (!mapping) return nullptr;
        Ref items(PyMapping_Items(mapping.get()));
        if (!items) return nullptr;
        if (PyList_GET_SIZE(items.get())) out += "\nPrefix Substitution:";
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
            PyObject* pair = PyList_GET_ITEM(items.get(), i);
            if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
                PyErr_SetString(PyExc_TypeError, "mapping items must be (key, value) pairs");
                return nullptr;
            }
            out += "\n  sigma(";
            Ref name(PyObject_GetAttrString(PyTuple_GET_ITEM(pair, 0), "name"));
            if (!name || !py::append_text(out, name.get())) return nullptr;
            out += ") = ";
            Ref iter(PyObject_GetIter(PyTuple_GET_ITEM(pair, 1)));
            if (!iter) return nullptr;
            for (bool first = true;; first = false) {
                Ref sym(PyIter_Next(iter.get()));
                if (!sym) {
                    if (PyErr_Occurred()) return nullptr;
                    break;
                }
                Ref sym_name(PyObject_GetAttrString(sym.get(), "name"));
                if (!sym_name) return nullptr;
                if (!first) out += ".";
                if (!py::append_text(out, sym_name.get())) return nullptr;
            }
        }
        return decode(out);
    });
}

// A native function that binds as a method of the dataclass it is put on.
bool add_method(PyObject* ns, PyMethodDef* def) {
    Ref fn(PyCFunction_New(def, nullptr));
    Ref method(fn ? PyInstanceMethod_New(fn.get()) : nullptr);
    return method && PyDict_SetItemString(ns, def->ml_name, method.get()) == 0;
}

#define METHOD(name, fn, doc) {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_FASTCALL, doc}

PyMethodDef kLiteralMethods[] = {
    METHOD("negate", literal_negate, "The same literal with the other polarity."),
    METHOD("substitute", literal_substitute, "The literal with `subst` applied to its prefix."),
    METHOD("variables", literal_variables, "A new set of the prefix's variables."),
    METHOD("constants", literal_constants, "A new set of the prefix's constants."),
    METHOD("to_string", literal_to_string, "The literal text: atom, \"^\", polarity, \":\", prefix."),
    METHOD("__str__", literal_to_string, nullptr),
    METHOD("__hash__", literal_hash, nullptr),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef kClauseMethods[] = {
    METHOD("__len__", clause_len, nullptr),
    METHOD("is_empty", clause_is_empty, "True when the clause has no literal."),
    METHOD("substitute", clause_substitute, "The clause of its literals substituted (equal ones merge)."),
    METHOD("variables", clause_variables, "A new set of the variables of all literals."),
    METHOD("constants", clause_constants, "A new set of the constants of all literals."),
    METHOD("to_string", clause_to_string, "\"[]\", or the sorted literal texts inside \"[ \" and \" ]\"."),
    METHOD("__str__", clause_to_string, nullptr),
    METHOD("__hash__", clause_hash, nullptr),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef kStepMethods[] = {
    METHOD("to_dict", step_to_dict, "{\"id\", \"rule\", \"premises\", \"clause\", \"substitution\"} of plain values."),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef kResultMethods[] = {
    METHOD("to_dict", result_to_dict, "The result as a dictionary of plain values."),
    METHOD("to_string", result_to_string, "The text report of the prefixed method."),
    METHOD("__str__", result_to_string, nullptr),
    {nullptr, nullptr, 0, nullptr},
};

// Where each field of a record class with slots lives in its instances, by
// field name, read off the class's member descriptors when it is made.
struct SlotLayout {
    PyObject* type = nullptr;
    std::vector<std::pair<PyObject*, Py_ssize_t>> offsets;  // (interned name, offset)
};
std::vector<SlotLayout> slot_layouts;

const SlotLayout* layout_of(PyObject* type) {
    for (const SlotLayout& l : slot_layouts)
        if (l.type == type) return &l;
    return nullptr;
}

bool add_slot_layout(PyObject* type, const std::vector<FieldSpec>& fields) {
    SlotLayout layout;
    layout.type = type;
    PyObject* dict = reinterpret_cast<PyTypeObject*>(type)->tp_dict;
    for (const FieldSpec& f : fields) {
        Ref name(PyUnicode_InternFromString(f.name));
        if (!name) return false;
        PyObject* descr = PyDict_GetItemWithError(dict, name.get());
        if (!descr) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_SystemError, "record field %s has no slot", f.name);
            return false;
        }
        if (!Py_IS_TYPE(descr, &PyMemberDescr_Type) ||
            reinterpret_cast<PyMemberDescrObject*>(descr)->d_member->type != Py_T_OBJECT_EX) {
            PyErr_Format(PyExc_SystemError, "record field %s is no object slot", f.name);
            return false;
        }
        layout.offsets.emplace_back(name.release(), reinterpret_cast<PyMemberDescrObject*>(descr)->d_member->offset);
    }
    slot_layouts.push_back(std::move(layout));
    return true;
}

// A frozen dataclass's __setattr__ and __delattr__, for a class with slots:
// every name refused on the class itself, the field names on a subclass.
// (What dataclasses generates for such a class names the class it made
// before adding the slots, and fails with a TypeError on 3.11.)
bool is_field(PyObject* cls, PyObject* name) {
    const SlotLayout* layout = layout_of(cls);
    if (!layout || !PyUnicode_Check(name)) return false;
    for (const auto& field : layout->offsets)
        if (PyUnicode_Compare(field.first, name) == 0) return true;
    return false;
}

// object.__setattr__(self, name, value), or __delattr__ for a null value,
// unless the frozen class `cls` refuses it.
PyObject* assign_unless_frozen(PyObject* self, PyTypeObject* cls, PyObject* name, PyObject* value) {
    if (Py_TYPE(self) == cls || is_field(reinterpret_cast<PyObject*>(cls), name)) {
        py::refuse_assignment(self, name, value);
        return nullptr;
    }
    if (PyObject_GenericSetAttr(self, name, value) < 0) return nullptr;
    Py_RETURN_NONE;
}

bool positional(const char* name, Py_ssize_t nargs, PyObject* kwnames, Py_ssize_t want) {
    if (kwnames && PyTuple_GET_SIZE(kwnames)) {
        PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments", name);
        return false;
    }
    return check_args(name, nargs, want);
}

PyObject* frozen_setattr(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    if (!positional("__setattr__", nargs, kwnames, 2)) return nullptr;
    return assign_unless_frozen(self, cls, args[0], args[1]);
}

PyObject* frozen_delattr(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    if (!positional("__delattr__", nargs, kwnames, 1)) return nullptr;
    return assign_unless_frozen(self, cls, args[0], nullptr);
}

#define CMETHOD(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)), METH_METHOD | METH_FASTCALL | METH_KEYWORDS
PyMethodDef kFrozenSetattr = {"__setattr__", CMETHOD(frozen_setattr), "Refuses the assignment of a field."};
PyMethodDef kFrozenDelattr = {"__delattr__", CMETHOD(frozen_delattr), "Refuses the deletion of a field."};
#undef CMETHOD

// Puts `def` on `type` as a method of its instances.
bool set_method(PyObject* type, PyMethodDef* def) {
    Ref descr(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(type), def));
    return descr && PyObject_SetAttrString(type, def->ml_name, descr.get()) == 0;
}

}  // namespace

PyObject* make_record(PyObject* module, const char* name, const char* doc, const std::vector<FieldSpec>& fields,
                      PyMethodDef* methods, bool frozen, bool slots) {
    Ref dataclasses(PyImport_ImportModule("dataclasses"));
    Ref make(dataclasses ? PyObject_GetAttrString(dataclasses.get(), "make_dataclass") : nullptr);
    Ref fields_list(make ? PyList_New(0) : nullptr);
    if (!fields_list) return nullptr;
    for (const FieldSpec& f : fields) {
        Ref item(f.field ? Py_BuildValue("(ssO)", f.name, f.type, f.field) : Py_BuildValue("(ss)", f.name, f.type));
        if (!item || PyList_Append(fields_list.get(), item.get()) < 0) return nullptr;
    }
    Ref ns(PyDict_New());
    if (!ns) return nullptr;
    for (PyMethodDef* m = methods; m->ml_name; ++m)
        if (!add_method(ns.get(), m)) return nullptr;
    Ref doc_text(PyUnicode_FromString(doc));
    if (!doc_text || PyDict_SetItemString(ns.get(), "__doc__", doc_text.get()) < 0) return nullptr;
    Ref args(Py_BuildValue("(sO)", name, fields_list.get()));
    Ref kwargs(Py_BuildValue("{s:O,s:O,s:O,s:O}", "namespace", ns.get(), "frozen", frozen ? Py_True : Py_False,
                             "slots", slots ? Py_True : Py_False, "weakref_slot", slots ? Py_True : Py_False));
    if (!args || !kwargs) return nullptr;
    Ref type(PyObject_Call(make.get(), args.get(), kwargs.get()));
    if (!type) return nullptr;
    Ref module_name(PyModule_GetNameObject(module));
    if (!module_name || PyObject_SetAttrString(type.get(), "__module__", module_name.get()) < 0) return nullptr;
    if (slots && !add_slot_layout(type.get(), fields)) return nullptr;
    if (slots && frozen &&
        (!set_method(type.get(), &kFrozenSetattr) || !set_method(type.get(), &kFrozenDelattr)))
        return nullptr;
    if (PyModule_AddObjectRef(module, name, type.get()) < 0) return nullptr;
    return type.release();
}

PyObject* new_record(PyObject* type, PyObject* names, PyObject* const* values) {
    // What the dataclass __init__ does: object.__setattr__ of each field in
    // field order (the records have no __post_init__). A class with slots
    // has its fields stored straight into them.
    Ref self(PyBaseObject_Type.tp_new(reinterpret_cast<PyTypeObject*>(type), state().empty_tuple, nullptr));
    if (!self) return nullptr;
    const SlotLayout* layout = layout_of(type);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i) {
        PyObject* name = PyTuple_GET_ITEM(names, i);  // interned, as the layout's
        size_t k = static_cast<size_t>(i);
        if (layout && k < layout->offsets.size() && layout->offsets[k].first == name) {
            auto** slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self.get()) + layout->offsets[k].second);
            Py_XSETREF(*slot, Py_NewRef(values[i]));
        } else if (PyObject_GenericSetAttr(self.get(), name, values[i]) < 0) {
            return nullptr;
        }
    }
    return self.release();
}

bool literal_compares_natively(PyObject* literal) {
    PyTypeObject* type = Py_TYPE(literal);
    return type->tp_hash == literal_tp_hash && type->tp_richcompare == literal_tp_richcompare;
}

LiteralHashMemo::LiteralHashMemo(size_t expected) : previous_(literal_hashes) {
    hashes_.reserve(expected);
    literal_hashes = &hashes_;
}

LiteralHashMemo::~LiteralHashMemo() { literal_hashes = previous_; }

bool LiteralHashMemo::add(PyObject* literal, Py_hash_t known) {
    if (Py_TYPE(literal)->tp_hash != literal_tp_hash) return true;
    Py_hash_t h = known != -1 ? known : literal_tp_hash(literal);
    if (h == -1) return false;
    hashes_.insert(literal, h);
    return true;
}

PyObject* make_literal(PyObject* prefix, PyObject* polarity, PyObject* atom) {
    static const char* const fields[] = {"prefix", "polarity", "atom"};
    static PyObject* names = py::interned_tuple(fields, 3);
    if (!names) return nullptr;
    PyObject* values[] = {prefix, polarity, atom};
    return new_record(state().literal_type, names, values);
}

PyObject* make_clause(PyObject* literals) {
    static const char* const fields[] = {"literals"};
    static PyObject* names = py::interned_tuple(fields, 1);
    if (!names) return nullptr;
    return new_record(state().clause_type, names, &literals);
}

bool init_prefixed_records(PyObject* module) {
    State& s = state();
    Ref dataclasses(PyImport_ImportModule("dataclasses"));
    Ref field(dataclasses ? PyObject_GetAttrString(dataclasses.get(), "field") : nullptr);
    if (!field) return false;
    auto factory = [&](PyObject* f) -> PyObject* {
        Ref kwargs(Py_BuildValue("{s:O}", "default_factory", f));
        return kwargs ? PyObject_Call(field.get(), s.empty_tuple, kwargs.get()) : nullptr;
    };
    Ref frozenset_field(factory(reinterpret_cast<PyObject*>(&PyFrozenSet_Type)));
    Ref subst_field(frozenset_field ? factory(s.substitution_type) : nullptr);
    if (!subst_field) return false;
    s.literal_type = make_record(module, "PrefixedLiteral",
                                 "PrefixedLiteral(prefix, polarity, atom)\n\nAn atom at a polarity (1 true, 0 false) "
                                 "under a world prefix.",
                                 {{"prefix", "Prefix", nullptr}, {"polarity", "int", nullptr},
                                  {"atom", "Formula", nullptr}},
                                 kLiteralMethods, true, true);
    if (!s.literal_type) return false;
    reinterpret_cast<PyTypeObject*>(s.literal_type)->tp_hash = literal_tp_hash;
    reinterpret_cast<PyTypeObject*>(s.literal_type)->tp_richcompare = literal_tp_richcompare;
    s.clause_type = make_record(module, "PrefixedClause",
                                "PrefixedClause(literals=frozenset())\n\nA frozen set of prefixed literals; "
                                "without literals, the empty clause.",
                                {{"literals", "FrozenSet[PrefixedLiteral]", frozenset_field.get()}}, kClauseMethods,
                                true, true);
    if (!s.clause_type) return false;
    reinterpret_cast<PyTypeObject*>(s.clause_type)->tp_hash = clause_tp_hash;
    reinterpret_cast<PyTypeObject*>(s.clause_type)->tp_richcompare = clause_tp_richcompare;
    s.step_type = make_record(module, "PrefixedResolutionStep",
                              "One step of a prefixed resolution derivation.",
                              {{"id", "str", nullptr},
                               {"rule_name", "str", nullptr},
                               {"premise_ids", "Tuple[str, ...]", nullptr},
                               {"clause", "PrefixedClause", nullptr},
                               {"substitution", "PrefixSubstitution", subst_field.get()},
                               {"parent_literals", "Optional[Tuple[PrefixedLiteral, PrefixedLiteral]]", Py_None}},
                              kStepMethods, true, true);
    if (!s.step_type) return false;
    s.result_type = make_record(module, "PrefixedResolutionProofResult",
                                "The outcome of a prefixed resolution proof search.",
                                {{"is_valid", "bool", nullptr},
                                 {"target", "Formula", nullptr},
                                 {"premises", "Tuple[Formula, ...]", nullptr},
                                 {"steps", "Tuple[PrefixedResolutionStep, ...]", nullptr},
                                 {"empty_clause_id", "Optional[str]", nullptr},
                                 {"substitution", "PrefixSubstitution", nullptr},
                                 {"multiplicity", "int", nullptr}},
                                kResultMethods, false);
    return s.result_type != nullptr;
}

}  // namespace quorvel::resolution
