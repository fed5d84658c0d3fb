// Sequent and LJTProofNode: frozen records with dataclass behaviour
// (equality, hash, repr, refusal of assignment), the sequent text and the
// node dictionary.
#include <string>
#include <utility>
#include <vector>

#include "quorvel/constructive/ljt/state.h"
#include "quorvel/support/flat_map.h"
#include "quorvel/support/py/args.h"
#include "quorvel/support/py/compat.h"
#include "quorvel/support/py/constructive.h"
#include "quorvel/support/py/frozen_init.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/py/hashing.h"
#include "quorvel/support/py/names.h"
#include "quorvel/support/py/printer.h"
#include "quorvel/support/py/record.h"
#include "quorvel/support/py/ref.h"
#include "quorvel/support/py/repr.h"

namespace quorvel::ljt {
namespace {

using py::Ref;

struct SequentObject {
    PyObject_HEAD
    Py_hash_t hash;  // -1 until first asked for
    PyObject* antecedents;
    PyObject* succedent;
};

struct ProofNodeObject {
    PyObject_HEAD
    Py_hash_t hash;
    PyObject* sequent;
    PyObject* rule;
    PyObject* premises;
};

SequentObject* as_sequent(PyObject* o) { return reinterpret_cast<SequentObject*>(o); }
ProofNodeObject* as_proof_node(PyObject* o) { return reinterpret_cast<ProofNodeObject*>(o); }

const char* const kSequentFields[] = {"antecedents", "succedent"};
const char* const kNodeFields[] = {"sequent", "rule", "premises"};
const char* const kNotationParam[] = {"notation"};

const py::Signature kSequentInit{"Sequent.__init__", kSequentFields, 2, 0, 0, true};
const py::Signature kNodeInit{"LJTProofNode.__init__", kNodeFields, 3, 2, 0, true};
const py::Signature kToString{"Sequent.to_string", kNotationParam, 1, 0, 0, true};
const py::Signature kNoArgsToDict{"LJTProofNode.to_dict", nullptr, 0, 0, 0, true};

// Frozen dataclass assignment: refused for every name on the record class
// itself, for the field names only on a Python subclass.
int frozen_setattro(PyObject* self, PyObject* name, PyObject* value, PyTypeObject* record_type,
                    const char* const* fields, int nfields) {
    if (Py_TYPE(self) != record_type && PyUnicode_Check(name)) {
        bool field = false;
        for (int i = 0; i < nfields && !field; ++i) field = PyUnicode_CompareWithASCIIString(name, fields[i]) == 0;
        if (!field) return PyObject_GenericSetAttr(self, name, value);
    }
    return py::refuse_assignment(self, name, value);
}

// ---- Sequent ----

PyObject* make_sequent(PyTypeObject* type, PyObject* antecedents, PyObject* succedent) {
    Ref tuple(PySequence_Tuple(antecedents));
    if (!tuple) return nullptr;
    auto* s = reinterpret_cast<SequentObject*>(type->tp_alloc(type, 0));
    if (!s) return nullptr;
    s->hash = -1;
    s->antecedents = tuple.release();
    s->succedent = Py_NewRef(succedent);
    return reinterpret_cast<PyObject*>(s);
}

int sequent_init(PyObject* self, PyObject* args, PyObject* kwargs);

// A subclass with an __init__ of its own gets the default sequent, which
// super().__init__(...) fills.
PyObject* sequent_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        if (py::builds_in_init(type, sequent_init)) return make_sequent(type, state().empty_tuple, state().falsum);
        PyObject* p[2];
        if (!py::parse_tuple(kSequentInit, args, kwargs, p)) return nullptr;
        return make_sequent(type, p[0] ? p[0] : state().empty_tuple, p[1] ? p[1] : state().falsum);
    });
}

int sequent_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guard<int>(-1, [&]() -> int {
        if (!py::builds_in_init(Py_TYPE(self), sequent_init)) return 0;  // sequent_new used these arguments
        PyObject* p[2];
        if (!py::parse_tuple(kSequentInit, args, kwargs, p)) return -1;
        Ref antecedents(PySequence_Tuple(p[0] ? p[0] : state().empty_tuple));
        if (!antecedents) return -1;
        SequentObject* s = as_sequent(self);
        Py_SETREF(s->antecedents, antecedents.release());
        Py_SETREF(s->succedent, Py_NewRef(p[1] ? p[1] : state().falsum));
        s->hash = -1;
        return 0;
    });
}

void sequent_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, sequent_dealloc)
    Py_CLEAR(as_sequent(self)->antecedents);
    Py_CLEAR(as_sequent(self)->succedent);
    type->tp_free(self);
    Py_DECREF(type);
    Py_TRASHCAN_END
}

int sequent_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_sequent(self)->antecedents);
    Py_VISIT(as_sequent(self)->succedent);
    return 0;
}

Py_hash_t sequent_hash(PyObject* self) {
    SequentObject* s = as_sequent(self);
    if (s->hash != -1) return s->hash;
    py::TupleHash h;
    if (!h.add(s->antecedents) || !h.add(s->succedent)) return -1;
    return s->hash = h.finish();
}

PyObject* sequent_richcompare(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(a) != Py_TYPE(b)) Py_RETURN_NOTIMPLEMENTED;
    int equal = 1;
    if (a != b) {
        equal = PyObject_RichCompareBool(as_sequent(a)->antecedents, as_sequent(b)->antecedents, Py_EQ);
        if (equal == 1) equal = PyObject_RichCompareBool(as_sequent(a)->succedent, as_sequent(b)->succedent, Py_EQ);
        if (equal < 0) return nullptr;
    }
    return PyBool_FromLong(equal == (op == Py_EQ));
}

PyObject* sequent_repr(PyObject* self) {
    return py::guarded_repr(self, [&]() -> PyObject* {
        return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
            py::ReprWriter w(self);
            if (!w.field("antecedents", as_sequent(self)->antecedents) ||
                !w.field("succedent", as_sequent(self)->succedent))
                return nullptr;
            return w.finish();
        });
    });
}

int sequent_setattro(PyObject* self, PyObject* name, PyObject* value) {
    return frozen_setattro(self, name, value, state().sequent_type, kSequentFields, 2);
}

// One formula of a sequent text: falsum and verum as words of the notation,
// anything else by the formula printer.
bool append_formula(std::string& out, PyObject* f, PyObject* notation, bool latex) {
    int r = py::is_falsum(f);
    if (r < 0) return false;
    if (r) {
        out += latex ? "\\bot" : "_bot";
        return true;
    }
    r = py::is_verum(f);
    if (r < 0) return false;
    if (r) {
        out += latex ? "\\top" : "_top";
        return true;
    }
    py::Notation n;
    bool native = PyUnicode_CheckExact(notation) &&
                  (PyUnicode_CompareWithASCIIString(notation, "infix") == 0 ||
                   PyUnicode_CompareWithASCIIString(notation, "latex") == 0) &&
                  py::parse_notation(notation, n);
    if (native) return py::append_node(out, f, n);
    // Any other notation is the printer's to accept or refuse.
    Ref args(PyTuple_Pack(1, f));
    Ref kwargs(PyDict_New());
    if (!args || !kwargs || PyDict_SetItem(kwargs.get(), state().s_notation, notation) < 0) return false;
    Ref text(PyObject_Call(state().to_string, args.get(), kwargs.get()));
    if (!text) return false;
    if (!PyUnicode_Check(text.get())) {
        PyErr_Format(PyExc_TypeError, "sequence item: expected str instance, %.80s found", Py_TYPE(text.get())->tp_name);
        return false;
    }
    return append_utf8(out, text.get());
}

PyObject* sequent_to_string(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* p[1];
        if (!py::parse_vector(kToString, args, nargs, kwnames, p)) return nullptr;
        return sequent_text(self, p[0] ? p[0] : state().s_infix);
    });
}

PyObject* sequent_str(PyObject* self) {
    if (is_sequent(self)) return py::guard<PyObject*>(nullptr, [&] { return sequent_text(self, state().s_infix); });
    return PyObject_CallMethodNoArgs(self, state().s_to_string);
}

PyObject* sequent_reduce(PyObject* self, PyObject*) {
    return Py_BuildValue("O(OO)", Py_TYPE(self), as_sequent(self)->antecedents, as_sequent(self)->succedent);
}

PyMethodDef kSequentMethods[] = {
    {"__reduce__", sequent_reduce, METH_NOARGS, nullptr},
    {"to_string", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sequent_to_string)),
     METH_FASTCALL | METH_KEYWORDS,
     "to_string($self, /, notation='infix')\n--\n\n"
     "The sequent as one line: the antecedents joined by \", \", the turnstile\n"
     "(\" \\\\vdash \" for notation \"latex\", \" ==> \" otherwise) and the succedent.\n"
     "Falsum and verum print as \"_bot\"/\"_top\" (\"\\\\bot\"/\"\\\\top\" in latex); every other\n"
     "formula by the formula printer in the given notation."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef kSequentMembers[] = {
    {"antecedents", Py_T_OBJECT_EX, offsetof(SequentObject, antecedents), Py_READONLY, "The hypotheses, a tuple."},
    {"succedent", Py_T_OBJECT_EX, offsetof(SequentObject, succedent), Py_READONLY, "The goal."},
    {nullptr, 0, 0, 0, nullptr},
};

// ---- LJTProofNode ----

PyObject* node_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* p[3];
        if (!py::parse_tuple(kNodeInit, args, kwargs, p)) return nullptr;
        auto* n = reinterpret_cast<ProofNodeObject*>(type->tp_alloc(type, 0));
        if (!n) return nullptr;
        n->hash = -1;
        n->sequent = Py_NewRef(p[0]);
        n->rule = Py_NewRef(p[1]);
        n->premises = Py_NewRef(p[2] ? p[2] : state().empty_tuple);
        return reinterpret_cast<PyObject*>(n);
    });
}

void node_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, node_dealloc)
    Py_CLEAR(as_proof_node(self)->sequent);
    Py_CLEAR(as_proof_node(self)->rule);
    Py_CLEAR(as_proof_node(self)->premises);
    type->tp_free(self);
    Py_DECREF(type);
    Py_TRASHCAN_END
}

int node_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_proof_node(self)->sequent);
    Py_VISIT(as_proof_node(self)->rule);
    Py_VISIT(as_proof_node(self)->premises);
    return 0;
}

// hash((sequent, rule, premises)), computed bottom-up over the nodes of
// exact premise tuples so that a deep tree needs no deep C stack.
Py_hash_t node_hash(PyObject* self) {
    return py::guard<Py_hash_t>(-1, [&]() -> Py_hash_t {
        if (as_proof_node(self)->hash != -1) return as_proof_node(self)->hash;
        auto pending = [](PyObject* p) { return is_node(p) && as_proof_node(p)->hash == -1; };
        struct Item {
            PyObject* node;
            bool expanded;
        };
        std::vector<Item> stack{{self, false}};
        WorkPoll poll(poll_signals);
        while (!stack.empty()) {
            if (!poll.spend(1)) return -1;
            Item& it = stack.back();
            PyObject* n = it.node;
            if (as_proof_node(n)->hash != -1) {
                stack.pop_back();
                continue;
            }
            PyObject* prem = as_proof_node(n)->premises;
            bool tuple = PyTuple_CheckExact(prem);
            if (!it.expanded && tuple) {
                it.expanded = true;
                for (Py_ssize_t i = PyTuple_GET_SIZE(prem); i-- > 0;)
                    if (pending(PyTuple_GET_ITEM(prem, i))) stack.push_back({PyTuple_GET_ITEM(prem, i), false});
                continue;
            }
            py::TupleHash h;
            if (!h.add(as_proof_node(n)->sequent) || !h.add(as_proof_node(n)->rule)) return -1;
            if (tuple) {
                py::TupleHash ph;
                for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(prem); ++i)
                    if (!ph.add(PyTuple_GET_ITEM(prem, i))) return -1;
                h.add_hash(ph.finish());
            } else if (!h.add(prem)) {
                return -1;
            }
            as_proof_node(n)->hash = h.finish();
            stack.pop_back();
        }
        return as_proof_node(self)->hash;
    });
}

// Compares sequent and rule of two exact nodes: 1 equal, 0 not, -1 error.
int heads_equal(PyObject* a, PyObject* b) {
    int r = PyObject_RichCompareBool(as_proof_node(a)->sequent, as_proof_node(b)->sequent, Py_EQ);
    if (r == 1) r = PyObject_RichCompareBool(as_proof_node(a)->rule, as_proof_node(b)->rule, Py_EQ);
    return r;
}

struct PairHash {
    size_t operator()(const std::pair<PyObject*, PyObject*>& p) const {
        return mix64(reinterpret_cast<uintptr_t>(p.first) * 0x9E3779B97F4A7C15ull ^ reinterpret_cast<uintptr_t>(p.second));
    }
};

// (sequent, rule, premises) == (...) for two exact nodes, with the premise
// tuples compared item by item as tuples compare, on an explicit stack.
// Pairs of nodes found equal are remembered for the call, so nodes shared
// down a derivation are compared once, not once per path to them.
int nodes_equal(PyObject* a, PyObject* b) {
    struct Frame {
        PyObject* x;  // the nodes whose premises these are
        PyObject* y;
        PyObject* ta;
        PyObject* tb;
        Py_ssize_t i;
    };
    using Pair = std::pair<PyObject*, PyObject*>;
    FlatMap<Pair, char, PairHash> equal(Pair{nullptr, nullptr});
    WorkPoll poll(poll_signals);
    std::vector<Frame> stack;
    // Compares heads, then schedules or compares the premises.
    auto enter = [&](PyObject* x, PyObject* y) -> int {
        if (equal.find(Pair{x, y})) return 1;
        int r = heads_equal(x, y);
        if (r != 1) return r;
        PyObject* px = as_proof_node(x)->premises;
        PyObject* py_ = as_proof_node(y)->premises;
        if (px == py_) return 1;
        if (PyTuple_CheckExact(px) && PyTuple_CheckExact(py_)) {
            stack.push_back({x, y, px, py_, 0});
            return 1;
        }
        return PyObject_RichCompareBool(px, py_, Py_EQ);
    };
    int r = enter(a, b);
    if (r != 1) return r;
    while (!stack.empty()) {
        if (!poll.spend(1)) return -1;
        Frame& f = stack.back();
        Py_ssize_t na = PyTuple_GET_SIZE(f.ta), nb = PyTuple_GET_SIZE(f.tb);
        if (f.i >= na || f.i >= nb) {
            if (na != nb) return 0;
            equal.insert(Pair{f.x, f.y}, 1);
            stack.pop_back();
            continue;
        }
        PyObject* x = PyTuple_GET_ITEM(f.ta, f.i);
        PyObject* y = PyTuple_GET_ITEM(f.tb, f.i);
        ++f.i;
        if (x == y) continue;
        r = is_node(x) && is_node(y) ? enter(x, y) : PyObject_RichCompareBool(x, y, Py_EQ);
        if (r != 1) return r;
    }
    return 1;
}

PyObject* node_richcompare(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(a) != Py_TYPE(b)) Py_RETURN_NOTIMPLEMENTED;
    int equal = 1;
    if (a != b) {
        equal = py::guard<int>(-1, [&] {
            if (is_node(a)) return nodes_equal(a, b);
            // A Python subclass: its premises may be of the subclass too, so
            // compare as the field tuples do.
            int r = heads_equal(a, b);
            return r == 1 ? PyObject_RichCompareBool(as_proof_node(a)->premises, as_proof_node(b)->premises, Py_EQ)
                          : r;
        });
        if (equal < 0) return nullptr;
    }
    return PyBool_FromLong(equal == (op == Py_EQ));
}

PyObject* node_repr(PyObject* self) {
    return py::guarded_repr(self, [&]() -> PyObject* {
        return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
            py::ReprWriter w(self);
            ProofNodeObject* n = as_proof_node(self);
            if (!w.field("sequent", n->sequent) || !w.field("rule", n->rule) || !w.field("premises", n->premises))
                return nullptr;
            return w.finish();
        });
    });
}

int node_setattro(PyObject* self, PyObject* name, PyObject* value) {
    return frozen_setattro(self, name, value, state().node_type, kNodeFields, 3);
}

PyObject* node_to_dict(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!py::parse_vector(kNoArgsToDict, args, nargs, kwnames, nullptr)) return nullptr;
        return node_dict(self);
    });
}

PyObject* node_reduce(PyObject* self, PyObject*) {
    ProofNodeObject* n = as_proof_node(self);
    return Py_BuildValue("O(OOO)", Py_TYPE(self), n->sequent, n->rule, n->premises);
}

PyMethodDef kNodeMethods[] = {
    {"__reduce__", node_reduce, METH_NOARGS, nullptr},
    {"to_dict", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(node_to_dict)),
     METH_FASTCALL | METH_KEYWORDS,
     "to_dict($self, /)\n--\n\n"
     "The node and its whole subtree as nested dictionaries with the keys \"sequent\"\n"
     "(infix text), \"rule\" and \"premises\" (a list of such dictionaries)."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef kNodeMembers[] = {
    {"sequent", Py_T_OBJECT_EX, offsetof(ProofNodeObject, sequent), Py_READONLY, "The sequent this node establishes."},
    {"rule", Py_T_OBJECT_EX, offsetof(ProofNodeObject, rule), Py_READONLY, "The name of the rule applied."},
    {"premises", Py_T_OBJECT_EX, offsetof(ProofNodeObject, premises), Py_READONLY,
     "The derivations of the rule's premises, in order."},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject* make_type(const char* name, int basicsize, PyType_Slot* slots, const char* const* fields, int n,
                        PyObject* module) {
    PyType_Spec type_spec{name, basicsize, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &type_spec, nullptr));
    if (!type) return nullptr;
    Ref match_args(py::interned_tuple(fields, n));
    if (!match_args || PyDict_SetItemString(type->tp_dict, "__match_args__", match_args.get()) < 0) {
        Py_DECREF(type);
        return nullptr;
    }
    PyType_Modified(type);
    return type;
}

}  // namespace

PyObject* new_sequent(PyObject* antecedents, PyObject* succedent) {
    return make_sequent(state().sequent_type, antecedents, succedent);
}

PyObject* new_node(PyObject* sequent, PyObject* rule, PyObject* premises) {
    PyTypeObject* type = state().node_type;
    auto* n = reinterpret_cast<ProofNodeObject*>(type->tp_alloc(type, 0));
    if (!n) return nullptr;
    n->hash = -1;
    n->sequent = Py_NewRef(sequent);
    n->rule = Py_NewRef(rule);
    n->premises = Py_NewRef(premises);
    return reinterpret_cast<PyObject*>(n);
}

PyObject* sequent_antecedents(PyObject* s) { return as_sequent(s)->antecedents; }
PyObject* sequent_succedent(PyObject* s) { return as_sequent(s)->succedent; }
PyObject* node_sequent(PyObject* n) { return as_proof_node(n)->sequent; }
PyObject* node_rule(PyObject* n) { return as_proof_node(n)->rule; }
PyObject* node_premises(PyObject* n) { return as_proof_node(n)->premises; }

PyObject* sequent_text(PyObject* self, PyObject* notation) {
    int latex = PyObject_RichCompareBool(notation, state().s_latex, Py_EQ);
    if (latex < 0) return nullptr;
    // Held across the printer calls: nothing may free the tuple meanwhile.
    Ref ants = Ref::borrow(as_sequent(self)->antecedents);
    Ref goal = Ref::borrow(as_sequent(self)->succedent);
    std::string out;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(ants.get()); ++i) {
        if (i) out += ", ";
        if (!append_formula(out, PyTuple_GET_ITEM(ants.get(), i), notation, latex)) return nullptr;
    }
    out += latex ? " \\vdash " : " ==> ";
    if (!append_formula(out, goal.get(), notation, latex)) return nullptr;
    return py::decode_text(out);
}

bool append_utf8(std::string& out, PyObject* value) {
    Ref text(PyUnicode_Check(value) ? Py_NewRef(value) : PyObject_Str(value));
    if (!text) return false;
    Py_ssize_t n;
    const char* s = PyUnicode_AsUTF8AndSize(text.get(), &n);
    if (s) {
        out.append(s, static_cast<size_t>(n));
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
    // Lone surrogates, as the formula printer writes them.
    PyErr_Clear();
    Ref bytes(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
    if (!bytes) return false;
    out.append(PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
    return true;
}

PyObject* node_dict(PyObject* root) {
    // Pre-order: a node's dictionary gets its "sequent", "rule" and an empty
    // "premises" list when the node is entered; each premise's dictionary is
    // appended to that list once built, first premise first.
    struct Frame {
        Ref premises;  // a list or tuple (as_sequence)
        PyObject* list;  // the "premises" list of the dictionary (borrowed from it)
        Py_ssize_t i;
    };
    const State& st = state();
    GcPause pause;
    std::vector<Frame> stack;
    auto enter = [&](PyObject* node) -> PyObject* {
        Ref d(PyDict_New());
        if (!d) return nullptr;
        PyObject* seq = node_sequent(node);
        Ref text(is_sequent(seq) ? sequent_text(seq, st.s_infix) : PyObject_CallMethodNoArgs(seq, st.s_to_string));
        if (!text || PyDict_SetItem(d.get(), st.s_sequent, text.get()) < 0 ||
            PyDict_SetItem(d.get(), st.s_rule, node_rule(node)) < 0)
            return nullptr;
        Ref list(PyList_New(0));
        if (!list || PyDict_SetItem(d.get(), st.s_premises, list.get()) < 0) return nullptr;
        Ref prem(as_sequence(node_premises(node)));
        if (!prem) return nullptr;
        stack.push_back({std::move(prem), list.get(), 0});
        return d.release();
    };
    Ref result(enter(root));
    if (!result) return nullptr;
    WorkPoll poll(poll_signals);
    while (!stack.empty()) {
        if (!poll.spend(1)) return nullptr;
        Frame& f = stack.back();
        if (f.i >= PySequence_Fast_GET_SIZE(f.premises.get())) {
            stack.pop_back();
            continue;
        }
        PyObject* p = PySequence_Fast_GET_ITEM(f.premises.get(), f.i++);
        PyObject* list = f.list;
        Ref d(is_node(p) ? enter(p) : PyObject_CallMethodNoArgs(p, st.s_to_dict));
        if (!d || PyList_Append(list, d.get()) < 0) return nullptr;
    }
    return result.release();
}

bool create_record_types(PyObject* module) {
    static PyType_Slot sequent_slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(sequent_new)},
        {Py_tp_init, reinterpret_cast<void*>(sequent_init)},
        {Py_tp_dealloc, reinterpret_cast<void*>(sequent_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(sequent_traverse)},
        {Py_tp_hash, reinterpret_cast<void*>(sequent_hash)},
        {Py_tp_richcompare, reinterpret_cast<void*>(sequent_richcompare)},
        {Py_tp_repr, reinterpret_cast<void*>(sequent_repr)},
        {Py_tp_str, reinterpret_cast<void*>(sequent_str)},
        {Py_tp_setattro, reinterpret_cast<void*>(sequent_setattro)},
        {Py_tp_methods, kSequentMethods},
        {Py_tp_members, kSequentMembers},
        {Py_tp_doc, const_cast<char*>("Sequent(antecedents=(), succedent=FALSUM)\n--\n\n"
                                      "A single-succedent intuitionistic sequent: the hypotheses, in order and with\n"
                                      "their repetitions, and one goal. Frozen; compared and hashed by value.")},
        {0, nullptr},
    };
    static PyType_Slot node_slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(node_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(node_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(node_traverse)},
        {Py_tp_hash, reinterpret_cast<void*>(node_hash)},
        {Py_tp_richcompare, reinterpret_cast<void*>(node_richcompare)},
        {Py_tp_repr, reinterpret_cast<void*>(node_repr)},
        {Py_tp_setattro, reinterpret_cast<void*>(node_setattro)},
        {Py_tp_methods, kNodeMethods},
        {Py_tp_members, kNodeMembers},
        {Py_tp_doc, const_cast<char*>("LJTProofNode(sequent, rule, premises=())\n--\n\n"
                                      "One node of an LJT derivation: the sequent it establishes, the name of the\n"
                                      "rule applied to it and the derivations of that rule's premises. Frozen;\n"
                                      "compared and hashed by value, down the whole subtree.")},
        {0, nullptr},
    };
    State& st = state();
    st.sequent_type = make_type("quorvel.constructive.ljt.Sequent", sizeof(SequentObject), sequent_slots,
                                kSequentFields, 2, module);
    if (!st.sequent_type) return false;
    st.node_type = make_type("quorvel.constructive.ljt.LJTProofNode", sizeof(ProofNodeObject), node_slots,
                             kNodeFields, 3, module);
    return st.node_type != nullptr;
}

}  // namespace quorvel::ljt
