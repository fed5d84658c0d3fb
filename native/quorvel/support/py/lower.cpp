#include "quorvel/support/py/lower.h"

#include "quorvel/core/ast/api.h"
#include "quorvel/support/py/constructive.h"
#include "quorvel/support/py/guard.h"
#include "quorvel/support/small_vector.h"

namespace quorvel::py {

namespace {

// Room for one more element, so that the push_back after a table update
// cannot throw; grows geometrically (a reserve of size + 1 would copy the
// vector on every call).
template <class T>
void reserve_one(std::vector<T>& v) {
    if (v.size() == v.capacity()) v.reserve(v.size() * 2 + 16);
}


using ast::Kind;

// An exact PredicateApp with a str symbol and no arguments.
bool plain_atom(PyObject* o) {
    if (ast::exact_kind_of(o) != Kind::PredicateApp) return false;
    auto* p = ast::as_predicate_app(o);
    return PyUnicode_CheckExact(p->pred) && PyTuple_CheckExact(p->args) && PyTuple_GET_SIZE(p->args) == 0;
}

bool connective(Kind k, Op& op) {
    switch (k) {
        case Kind::Not: op = Op::Not; return true;
        case Kind::And: op = Op::And; return true;
        case Kind::Or: op = Op::Or; return true;
        case Kind::Implies: op = Op::Implies; return true;
        case Kind::Iff: op = Op::Iff; return true;
        default: return false;
    }
}

Kind kind_of_op(Op op) {
    switch (op) {
        case Op::Not: return Kind::Not;
        case Op::And: return Kind::And;
        case Op::Or: return Kind::Or;
        case Op::Implies: return Kind::Implies;
        default: return Kind::Iff;
    }
}

}  // namespace

Lowering::Lowering(FormulaArena& arena) : arena_(arena) {}

Lowering::~Lowering() {
    for (LeafTable* t : {&atoms_, &opaques_}) {
        Py_XDECREF(t->dict);
        for (PyObject* o : t->objects) Py_DECREF(o);
    }
    for (PyObject* o : origin_) Py_XDECREF(o);
    for (PyObject* o : held_) Py_DECREF(o);
}

void Lowering::remember(FormulaId f, PyObject* o) {
    if (origin_.size() <= f) origin_.resize(static_cast<size_t>(f) + 1, nullptr);
    if (!origin_[f]) origin_[f] = Py_NewRef(o);
}

bool Lowering::leaf_number(PyObject* leaf, LeafTable& table, uint32_t& number) {
    if (!table.dict && !(table.dict = PyDict_New())) return false;
    PyObject* found = PyDict_GetItemWithError(table.dict, leaf);
    if (found) {
        number = static_cast<uint32_t>(PyLong_AsUnsignedLong(found));
        return true;
    }
    bool hashable = true;
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
        // Unhashable: Python would still compare it with ==, so do that.
        PyErr_Clear();
        hashable = false;
        for (size_t i = 0; i < table.unhashable.size(); ++i) {
            int eq = PyObject_RichCompareBool(leaf, table.unhashable[i], Py_EQ);
            if (eq < 0) return false;
            if (eq) {
                number = table.unhashable_numbers[i];
                return true;
            }
        }
    }
    number = static_cast<uint32_t>(table.objects.size());
    reserve_one(table.objects);
    if (hashable) {
        PyObject* value = PyLong_FromUnsignedLong(number);
        if (!value) return false;
        int rc = PyDict_SetItem(table.dict, leaf, value);
        Py_DECREF(value);
        if (rc < 0) return false;
    } else {
        table.unhashable.push_back(leaf);
        table.unhashable_numbers.push_back(number);
    }
    table.objects.push_back(Py_NewRef(leaf));
    return true;
}

bool Lowering::lower_leaf(PyObject* leaf, FormulaId& out) {
    Kind k = ast::kind_of(leaf);
    if (k == Kind::PredicateApp || k == Kind::None) {
        // A foreign object may claim equality with falsum; ask as Python does.
        int r = is_falsum(leaf);
        if (r < 0) return false;
        if (r) {
            out = arena_.falsum();
            return true;
        }
        r = is_verum(leaf);
        if (r < 0) return false;
        if (r) {
            out = arena_.verum();
            return true;
        }
    }
    uint32_t number;
    if (k == Kind::PredicateApp) {
        if (!leaf_number(leaf, atoms_, number)) return false;
        out = arena_.atom(number);
    } else {
        if (!leaf_number(leaf, opaques_, number)) return false;
        out = arena_.opaque(number);
    }
    return true;
}

bool Lowering::lower(PyObject* formula, FormulaId& out) {
    return guard<bool>(false, [&]() -> bool {
        struct Item {
            PyObject* o;  // borrowed: held by its parent, or by the caller
            bool expanded;
        };
        SmallVector<Item, 32> stack;  // most formulas lowered are atoms or shallow
        stack.push_back({formula, false});
        while (!stack.empty()) {
            Item& top = stack.back();
            PyObject* o = top.o;
            if (seen_.find(o)) {
                stack.pop_back();
                continue;
            }
            Op op;
            Kind k = ast::kind_of(o);
            if (!connective(k, op)) {
                if (acyclic_ && !plain_atom(o)) acyclic_ = false;
                FormulaId f;
                if (!lower_leaf(o, f)) return false;
                reserve_one(held_);
                seen_.insert(o, f);
                held_.push_back(Py_NewRef(o));
                remember(f, o);
                stack.pop_back();
                continue;
            }
            PyObject* left = op == Op::Not ? ast::as_unary(o)->operand : ast::as_binary(o)->left;
            PyObject* right = op == Op::Not ? nullptr : ast::as_binary(o)->right;
            if (!top.expanded) {
                top.expanded = true;
                if (right && !seen_.find(right)) stack.push_back({right, false});
                if (!seen_.find(left)) stack.push_back({left, false});
                continue;
            }
            if (Py_TYPE(o) != ast::api().types[static_cast<int>(k)]) {
                saw_subclass_ = true;
                acyclic_ = false;  // a subclass instance may carry a __dict__
            }
            FormulaId a = *seen_.find(left);
            FormulaId f = op == Op::Not ? arena_.negation(a) : arena_.binary(op, a, *seen_.find(right));
            reserve_one(held_);
            seen_.insert(o, f);
            held_.push_back(Py_NewRef(o));
            remember(f, o);
            stack.pop_back();
        }
        out = *seen_.find(formula);
        return true;
    });
}

PyObject* Lowering::lift(FormulaId root) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        // Parts are interned before the formulas built over them, so every
        // part has a smaller id; a post-order walk lifts each part once.
        std::vector<std::pair<FormulaId, bool>> stack{{root, false}};
        while (!stack.empty()) {
            auto [f, expanded] = stack.back();
            if (origin(f)) {
                stack.pop_back();
                continue;
            }
            const FormulaNode& n = arena_[f];
            PyObject* made = nullptr;
            switch (n.op) {
                case Op::Falsum: made = make_falsum(); break;
                case Op::Verum: made = make_verum(); break;
                case Op::Atom: made = Py_NewRef(atoms_.objects[n.a]); break;
                case Op::Opaque: made = Py_NewRef(opaques_.objects[n.a]); break;
                default: {
                    bool unary = n.op == Op::Not;
                    if (!expanded) {
                        stack.back().second = true;
                        if (!unary && !origin(n.b)) stack.push_back({n.b, false});
                        if (!origin(n.a)) stack.push_back({n.a, false});
                        continue;
                    }
                    PyTypeObject* type = ast::api().types[static_cast<int>(kind_of_op(n.op))];
                    made = unary ? ast::api().new_unary(type, origin(n.a))
                                 : ast::api().new_binary(type, origin(n.a), origin(n.b));
                }
            }
            if (!made) return nullptr;
            remember(f, made);
            Py_DECREF(made);
            stack.pop_back();
        }
        return Py_NewRef(origin(root));
    });
}

}  // namespace quorvel::py
