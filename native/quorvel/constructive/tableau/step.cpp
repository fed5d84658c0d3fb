// The expansion step on Python objects: the branch state, nodes, worlds and
// formulas are the caller's, every operation goes through the objects as the
// step's definition names them (the state's methods, the node's fields, the
// prover's _check_clash, _next_node_id and _expand_branch), and sets are
// visited in the module's fixed order (order.h).
//
// When `_expand_branch` is the prover's own, the nested steps run in this
// loop with an explicit stack; when something else answers to the name, each
// child is handed to it, and the Python frames between bound the nesting.
#include <vector>

#include "quorvel/constructive/kripke/api.h"
#include "quorvel/constructive/tableau/prover.h"
#include "quorvel/constructive/tableau/records.h"
#include "quorvel/constructive/tableau/search.h"
#include "quorvel/core/ast/api.h"
#include "quorvel/support/py/constructive.h"
#include "quorvel/support/py/interrupt.h"

namespace quorvel::tableau {
namespace {

using ast::Kind;

PyObject* empty_frozenset() {
    static PyObject* e = PyFrozenSet_New(nullptr);
    return e;
}

constexpr int idx(Rule r) { return static_cast<int>(r); }
bool on_true(int r) {
    return r == idx(Rule::TAnd) || r == idx(Rule::TNot) || r == idx(Rule::TOr) || r == idx(Rule::TImp) ||
           r == idx(Rule::TIff);
}
bool per_successor(int r) { return r == idx(Rule::TNot) || r == idx(Rule::TImp); }

// Whether rule r takes f: 1, 0 or -1.
int triggers(int r, PyObject* f) {
    Kind k = ast::kind_of(f);
    switch (static_cast<Rule>(r)) {
        case Rule::TAnd:
        case Rule::FAnd: return k == Kind::And;
        case Rule::FOr:
        case Rule::TOr: return k == Kind::Or;
        case Rule::TNot:
        case Rule::FNot:
            if (k == Kind::Not) return 1;
            if (k != Kind::Implies) return 0;
            return py::is_falsum(ast::as_binary(f)->right);
        case Rule::FImp:
        case Rule::TImp: {
            if (k != Kind::Implies) return 0;
            int r2 = py::is_falsum(ast::as_binary(f)->right);
            return r2 < 0 ? -1 : !r2;
        }
        case Rule::TIff:
        case Rule::FIff: return k == Kind::Iff;
    }
    return 0;
}

// The negated formula of a negation or of an implication to falsum.
PyObject* negated(PyObject* f) {
    return ast::kind_of(f) == Kind::Not ? ast::as_unary(f)->operand : ast::as_binary(f)->left;
}

Ref implication(PyObject* left, PyObject* right) {
    return Ref(ast::api().new_binary(ast::api().types[static_cast<int>(Kind::Implies)], left, right));
}

Ref pair(PyObject* a, PyObject* b) { return Ref(PyTuple_Pack(2, a, b)); }

// "<head>" + world.name + "<mid>" + other.name + ")" (other may be NULL).
Ref label_with_worlds(const char* head, PyObject* world, const char* mid, PyObject* other) {
    std::string text = head;
    Ref name = getattr(world, names().name);
    if (!name || !append_formatted(text, name.get())) return Ref();
    if (other) {
        text += mid;
        Ref other_name = getattr(other, names().name);
        if (!other_name || !append_formatted(text, other_name.get())) return Ref();
    }
    text += ')';
    return text_of(text);
}

struct Candidate {
    int rule = -1;
    Ref formula, world, successor, key;
};

class Expansion {
public:
    Expansion(PyObject* prover, Order& order) : self_(prover), order_(order) {}

    PyObject* run(PyObject* state, PyObject* node, PyObject* depth);

private:
    enum class Phase { Linear, Left, Right };
    struct Frame {
        Phase phase;
        Ref node, parent_state, depth;
        // The right branch of a branching rule.
        bool right_true;
        Ref right_formula, right_world, right_label;
    };
    enum class Status { Error, Done, Child };

    bool init();
    Status step(PyObject* state, PyObject* node, PyObject* depth);
    int scan(int r, PyObject* state, Candidate& c);
    Status fire(const Candidate& c, PyObject* state, PyObject* node, PyObject* depth);
    Status open_child(Phase phase, PyObject* node, PyObject* parent_state, PyObject* depth, Ref child_state,
                      Ref child);
    bool branch_right(Frame& fr);
    Ref make_child(bool sign_true, PyObject* f, PyObject* sf_world, PyObject* label, PyObject* world);
    bool add_signed(PyObject* state, bool sign_true, PyObject* world, PyObject* f) {
        return sign_true ? branch_add_true(state, world, f) : branch_add_false(state, world, f);
    }

    PyObject* self_;
    Order& order_;
    bool own_expand_ = true, own_clash_ = true, own_next_ = true;
    std::vector<Frame> frames_;
    // The task the loop runs next, or the result it hands up.
    Ref task_state_, task_node_, task_depth_;
    Ref result_;
    // A step here copies branch states and calls through Python objects,
    // far dearer than the poll, so each one polls.
    py::SignalPoll poll_;
};

bool Expansion::init() {
    int e = is_own(self_, Method::ExpandBranch);
    int c = is_own(self_, Method::CheckClash);
    int n = is_own(self_, Method::NextNodeId);
    if (e < 0 || c < 0 || n < 0) return false;
    own_expand_ = e, own_clash_ = c, own_next_ = n;
    return true;
}

Ref Expansion::make_child(bool sign_true, PyObject* f, PyObject* sf_world, PyObject* label, PyObject* world) {
    Ref id = own_next_ ? Ref(next_node_id(self_)) : call_method(self_, names().next_node_id);
    if (!id) return Ref();
    Ref sf(new_signed_formula(sign_true ? state().sign_true : state().sign_false, f, sf_world));
    if (!sf) return Ref();
    return Ref(new_node(id.get(), sf.get(), label, world));
}

int Expansion::scan(int r, PyObject* st, Candidate& c) {
    Ref worlds_field = branch_get(st, kWorlds);
    if (!worlds_field) return -1;
    Ref worlds = snapshot(worlds_field.get());
    if (!worlds) return -1;
    Ref sets = branch_get(st, on_true(r) ? kTrue : kFalse);
    if (!sets) return -1;
    Ref applied = branch_get(st, kApplied);
    if (!applied) return -1;
    PyObject* stem = names().stems[r];
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(worlds.get()); ++i) {
        PyObject* w = PyList_GET_ITEM(worlds.get(), i);
        Ref at = mapping_get(sets.get(), w, empty_frozenset());
        if (!at) return -1;
        Ref formulas = snapshot(at.get());
        if (!formulas || !order_.sort_formulas(formulas.get())) return -1;
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(formulas.get()); ++k) {
            PyObject* f = PyList_GET_ITEM(formulas.get(), k);
            int t = triggers(r, f);
            if (t < 0) return -1;
            if (!t) continue;
            if (per_successor(r)) {
                Ref relations = branch_get(st, kRelations);
                if (!relations) return -1;
                Ref succ_set = mapping_get(relations.get(), w, empty_frozenset());
                if (!succ_set) return -1;
                Ref succ = snapshot(succ_set.get());
                if (!succ || !order_.sort_worlds(succ.get())) return -1;
                for (Py_ssize_t j = 0; j < PyList_GET_SIZE(succ.get()); ++j) {
                    PyObject* s = PyList_GET_ITEM(succ.get(), j);
                    Ref key(PyTuple_Pack(4, stem, f, w, s));
                    if (!key) return -1;
                    int in = contains(applied.get(), key.get());
                    if (in < 0) return -1;
                    if (in) continue;
                    c = Candidate{r, Ref::borrow(f), Ref::borrow(w), Ref::borrow(s), key};
                    return 1;
                }
                continue;
            }
            Ref key(PyTuple_Pack(3, stem, f, w));
            if (!key) return -1;
            int in = contains(applied.get(), key.get());
            if (in < 0) return -1;
            if (in) continue;
            if (r == idx(Rule::FImp) || r == idx(Rule::FNot)) {
                Ref now = branch_get(st, kWorlds);
                if (!now) return -1;
                Py_ssize_t n = PyObject_Length(now.get());
                if (n < 0) return -1;
                Ref count(PyLong_FromSsize_t(n));
                Ref bound = getattr(self_, names().max_worlds);
                if (!count || !bound) return -1;
                int full = PyObject_RichCompareBool(count.get(), bound.get(), Py_GE);
                if (full < 0) return -1;
                if (full) continue;
            }
            c = Candidate{r, Ref::borrow(f), Ref::borrow(w), Ref(), key};
            return 1;
        }
    }
    return 0;
}

Expansion::Status Expansion::open_child(Phase phase, PyObject* node, PyObject* parent_state, PyObject* depth,
                                        Ref child_state, Ref child) {
    Ref children = node_get(node, kChildren);
    if (!children || !list_append(children.get(), child.get())) return Status::Error;
    Ref one(PyLong_FromLong(1));
    if (!one) return Status::Error;
    Ref next_depth(PyNumber_Add(depth, one.get()));
    if (!next_depth) return Status::Error;
    frames_.push_back(Frame{phase, Ref::borrow(node), Ref::borrow(parent_state), Ref::borrow(depth), false, {}, {}, {}});
    task_state_ = child_state;
    task_node_ = child;
    task_depth_ = next_depth;
    return Status::Child;
}

Expansion::Status Expansion::fire(const Candidate& c, PyObject* st, PyObject* node, PyObject* depth) {
    Ref applied = branch_get(st, kApplied);
    if (!applied || !set_add(applied.get(), c.key.get())) return Status::Error;
    PyObject* f = c.formula.get();
    PyObject* w = c.world.get();
    const Names& s = names();
    Ref state_ref = Ref::borrow(st);
    switch (static_cast<Rule>(c.rule)) {
        case Rule::TAnd:
        case Rule::FOr: {
            bool t = c.rule == idx(Rule::TAnd);
            Ref child = make_child(t, f, w, s.stems[c.rule], w);
            if (!child) return Status::Error;
            Ref children = node_get(node, kChildren);
            if (!children || !list_append(children.get(), child.get())) return Status::Error;
            PyObject* l = ast::as_binary(f)->left;
            PyObject* r = ast::as_binary(f)->right;
            if (!add_signed(st, t, w, l) || !add_signed(st, t, w, r)) return Status::Error;
            // Appended already: hand the child over without a second append.
            Ref one(PyLong_FromLong(1));
            Ref next_depth(one ? PyNumber_Add(depth, one.get()) : nullptr);
            if (!next_depth) return Status::Error;
            frames_.push_back(Frame{Phase::Linear, Ref::borrow(node), state_ref, Ref::borrow(depth), false, {}, {}, {}});
            task_state_ = state_ref;
            task_node_ = child;
            task_depth_ = next_depth;
            return Status::Child;
        }
        case Rule::TNot: {
            PyObject* ws = c.successor.get();
            Ref child = make_child(true, f, w, s.stems[c.rule], ws);
            if (!child) return Status::Error;
            Ref children = node_get(node, kChildren);
            if (!children || !list_append(children.get(), child.get())) return Status::Error;
            if (!branch_add_false(st, ws, negated(f))) return Status::Error;
            Ref one(PyLong_FromLong(1));
            Ref next_depth(one ? PyNumber_Add(depth, one.get()) : nullptr);
            if (!next_depth) return Status::Error;
            frames_.push_back(Frame{Phase::Linear, Ref::borrow(node), state_ref, Ref::borrow(depth), false, {}, {}, {}});
            task_state_ = state_ref;
            task_node_ = child;
            task_depth_ = next_depth;
            return Status::Child;
        }
        case Rule::FImp:
        case Rule::FNot: {
            bool imp = c.rule == idx(Rule::FImp);
            Ref worlds = branch_get(st, kWorlds);
            if (!worlds) return Status::Error;
            Py_ssize_t n = PyObject_Length(worlds.get());
            if (n < 0) return Status::Error;
            Ref number(PyLong_FromSsize_t(n));
            Ref name(PyUnicode_FromFormat("w%zd", n));
            if (!number || !name) return Status::Error;
            Ref w_new(kripke::api().new_world(number.get(), name.get()));
            if (!w_new || !branch_add_world(st, w_new.get()) || !branch_add_relation(st, w, w_new.get()))
                return Status::Error;
            PyObject* a = imp ? ast::as_binary(f)->left : negated(f);
            PyObject* b = imp ? ast::as_binary(f)->right : state().falsum;
            if (!branch_add_true(st, w_new.get(), a) || !branch_add_false(st, w_new.get(), b)) return Status::Error;
            Ref label = label_with_worlds(imp ? "F_Imp (" : "F_Not (", w, " <= ", w_new.get());
            if (!label) return Status::Error;
            Ref child = make_child(false, f, w, label.get(), w_new.get());
            if (!child) return Status::Error;
            return open_child(Phase::Linear, node, st, depth, state_ref, child);
        }
        case Rule::TIff: {
            PyObject* l = ast::as_binary(f)->left;
            PyObject* r = ast::as_binary(f)->right;
            Ref imp1 = implication(l, r);
            if (!imp1) return Status::Error;
            Ref imp2 = implication(r, l);
            if (!imp2) return Status::Error;
            if (!branch_add_true(st, w, imp1.get()) || !branch_add_true(st, w, imp2.get())) return Status::Error;
            Ref child = make_child(true, f, w, s.stems[c.rule], w);
            if (!child) return Status::Error;
            return open_child(Phase::Linear, node, st, depth, state_ref, child);
        }
        default:
            break;
    }

    // Branching: F_And, T_Or, T_Imp, F_Iff.
    PyObject* l = ast::as_binary(f)->left;
    PyObject* r = ast::as_binary(f)->right;
    bool left_true, right_true;
    Ref left_f, right_f, at, left_label, right_label;
    switch (static_cast<Rule>(c.rule)) {
        case Rule::FAnd:
            left_true = right_true = false;
            left_f = Ref::borrow(l), right_f = Ref::borrow(r), at = c.world;
            left_label = Ref::borrow(s.labels[static_cast<int>(Label::FAndL)]);
            right_label = Ref::borrow(s.labels[static_cast<int>(Label::FAndR)]);
            break;
        case Rule::TOr:
            left_true = right_true = true;
            left_f = Ref::borrow(l), right_f = Ref::borrow(r), at = c.world;
            left_label = Ref::borrow(s.labels[static_cast<int>(Label::TOrL)]);
            right_label = Ref::borrow(s.labels[static_cast<int>(Label::TOrR)]);
            break;
        case Rule::TImp:
            left_true = false, right_true = true;
            left_f = Ref::borrow(l), right_f = Ref::borrow(r), at = c.successor;
            left_label = label_with_worlds("T_Imp_F (", at.get(), nullptr, nullptr);
            if (!left_label) return Status::Error;
            right_label = label_with_worlds("T_Imp_T (", at.get(), nullptr, nullptr);
            if (!right_label) return Status::Error;
            break;
        default:  // F_Iff
            left_true = right_true = false;
            left_f = implication(l, r);
            if (!left_f) return Status::Error;
            right_f = implication(r, l);
            if (!right_f) return Status::Error;
            at = c.world;
            left_label = Ref::borrow(s.labels[static_cast<int>(Label::FIffL)]);
            right_label = Ref::borrow(s.labels[static_cast<int>(Label::FIffR)]);
            break;
    }
    Ref state_l = branch_copy(st);
    if (!state_l || !add_signed(state_l.get(), left_true, at.get(), left_f.get())) return Status::Error;
    Ref child = make_child(left_true, left_f.get(), at.get(), left_label.get(), at.get());
    if (!child) return Status::Error;
    Status status = open_child(Phase::Left, node, st, depth, state_l, child);
    if (status == Status::Child) {
        Frame& fr = frames_.back();
        fr.right_true = right_true;
        fr.right_formula = right_f;
        fr.right_world = at;
        fr.right_label = right_label;
    }
    return status;
}

bool Expansion::branch_right(Frame& fr) {
    Ref state_r = branch_copy(fr.parent_state.get());
    if (!state_r || !add_signed(state_r.get(), fr.right_true, fr.right_world.get(), fr.right_formula.get()))
        return false;
    Ref child = make_child(fr.right_true, fr.right_formula.get(), fr.right_world.get(), fr.right_label.get(),
                           fr.right_world.get());
    if (!child) return false;
    Ref children = node_get(fr.node.get(), kChildren);
    if (!children || !list_append(children.get(), child.get())) return false;
    Ref one(PyLong_FromLong(1));
    Ref next_depth(one ? PyNumber_Add(fr.depth.get(), one.get()) : nullptr);
    if (!next_depth) return false;
    fr.phase = Phase::Right;
    task_state_ = state_r;
    task_node_ = child;
    task_depth_ = next_depth;
    return true;
}

Expansion::Status Expansion::step(PyObject* st, PyObject* node, PyObject* depth) {
    if (!poll_.check()) return Status::Error;
    Ref clash = own_clash_ ? Ref(check_clash(self_, st)) : call_method(self_, names().check_clash, st);
    if (!clash) return Status::Error;
    if (clash.get() != Py_None) {
        Ref text(PySequence_GetItem(clash.get(), 2));
        if (!text || !node_set(node, kIsClosed, Py_True) || !node_set(node, kClashDetails, text.get()))
            return Status::Error;
        result_ = pair(Py_True, Py_None);
        return result_ ? Status::Done : Status::Error;
    }
    Ref max_depth = getattr(self_, names().max_depth);
    if (!max_depth) return Status::Error;
    int stop = PyObject_RichCompareBool(depth, max_depth.get(), Py_GE);
    if (stop < 0) return Status::Error;
    if (!stop) {
        Ref worlds = branch_get(st, kWorlds);
        if (!worlds) return Status::Error;
        Py_ssize_t n = PyObject_Length(worlds.get());
        if (n < 0) return Status::Error;
        Ref count(PyLong_FromSsize_t(n));
        Ref max_worlds = getattr(self_, names().max_worlds);
        if (!count || !max_worlds) return Status::Error;
        stop = PyObject_RichCompareBool(count.get(), max_worlds.get(), Py_GT);
        if (stop < 0) return Status::Error;
    }
    if (!stop) {
        for (int r = 0; r < kRuleCount; ++r) {
            Candidate c;
            int found = scan(r, st, c);
            if (found < 0) return Status::Error;
            if (found) return fire(c, st, node, depth);
        }
    }
    // A bound, or saturation: the branch stays open with this very state.
    if (!node_set(node, kIsClosed, Py_False)) return Status::Error;
    result_ = pair(Py_False, st);
    return result_ ? Status::Done : Status::Error;
}

PyObject* Expansion::run(PyObject* state, PyObject* node, PyObject* depth) {
    if (!init()) return nullptr;
    task_state_ = Ref::borrow(state);
    task_node_ = Ref::borrow(node);
    task_depth_ = Ref::borrow(depth);
    // The first task is this call's own node; every later one is a child,
    // which goes to whatever answers to _expand_branch.
    bool have_task = true, own_node = true;
    for (;;) {
        if (have_task && (own_node || own_expand_)) {
            own_node = false;
            Ref st = task_state_, nd = task_node_, dp = task_depth_;
            Status status = step(st.get(), nd.get(), dp.get());
            if (status == Status::Error) return nullptr;
            have_task = status == Status::Child;
            continue;
        }
        if (have_task) {
            if (Py_EnterRecursiveCall(" while expanding a tableau branch")) return nullptr;
            result_ = call_method(self_, names().expand_branch, task_state_.get(), task_node_.get(),
                                  task_depth_.get());
            Py_LeaveRecursiveCall();
            if (!result_) return nullptr;
            have_task = false;
        }
        if (frames_.empty()) return result_.release();
        Frame& fr = frames_.back();
        Ref closed, open;
        if (!unpack_pair(result_.get(), closed, open)) return nullptr;
        if (fr.phase == Phase::Linear) {
            // The child's pair goes up unchanged.
            if (!node_set(fr.node.get(), kIsClosed, closed.get())) return nullptr;
            frames_.pop_back();
            continue;
        }
        int t = truth(closed.get());
        if (t < 0) return nullptr;
        if (fr.phase == Phase::Left && t) {
            if (!branch_right(fr)) return nullptr;
            have_task = true;
            continue;
        }
        if (fr.phase == Phase::Left) {
            // The right branch is never built.
            if (!node_set(fr.node.get(), kIsClosed, Py_False)) return nullptr;
            result_ = pair(Py_False, open.get());
        } else {
            if (!node_set(fr.node.get(), kIsClosed, closed.get())) return nullptr;
            result_ = pair(closed.get(), t ? Py_None : open.get());
        }
        if (!result_) return nullptr;
        frames_.pop_back();
    }
}

}  // namespace

PyObject* expand_branch(PyObject* self, PyObject* state, PyObject* node, PyObject* depth) {
    Order fallback;
    Expansion e(self, order_of(self, fallback));
    return e.run(state, node, depth);
}

}  // namespace quorvel::tableau
