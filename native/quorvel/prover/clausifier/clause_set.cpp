#include "quorvel/prover/clausifier/clause_set.h"

#include <algorithm>

#include "quorvel/prover/clausifier/state.h"
#include "quorvel/support/py/ref.h"

namespace quorvel::clausifier {

bool ClausePool::commit(size_t first, ClauseId& out) {
    for (size_t i = first + 1; i < lits_.size(); ++i)
        if ((lits_[i] >> 1) == (lits_[i - 1] >> 1)) {
            lits_.resize(first);
            return false;
        }
    out = static_cast<ClauseId>(start_.size());
    start_.push_back(first);
    length_.push_back(static_cast<uint32_t>(lits_.size() - first));
    return true;
}

bool ClausePool::add_union(ClauseId a, ClauseId b, ClauseId& out) {
    size_t first = lits_.size();
    size_t la = length_[a], lb = length_[b];
    lits_.resize(first + la + lb);  // may move the storage: offsets only from here
    const Lit* x = lits_.data() + start_[a];
    const Lit* y = lits_.data() + start_[b];
    Lit* end = std::set_union(x, x + la, y, y + lb, lits_.data() + first);
    lits_.resize(static_cast<size_t>(end - lits_.data()));
    return commit(first, out);
}

bool ClausePool::add_literals(std::vector<Lit>& lits, ClauseId& out) {
    std::sort(lits.begin(), lits.end());
    lits.erase(std::unique(lits.begin(), lits.end()), lits.end());
    size_t first = lits_.size();
    lits_.insert(lits_.end(), lits.begin(), lits.end());
    return commit(first, out);
}

Lifter::~Lifter() {
    Py_XDECREF(numbers_);
    for (PyObject* o : atoms_) Py_DECREF(o);
    for (PyObject* o : literal_objects_) Py_XDECREF(o);
    for (PyObject* o : clause_objects_) Py_XDECREF(o);
}

bool Lifter::literal(PyObject* atom, bool negative, Lit& out) {
    uint32_t number;
    if (const uint32_t* known = by_object_.find(atom)) {
        number = *known;
    } else {
        if (!numbers_ && !(numbers_ = PyDict_New())) return false;
        PyObject* found = PyDict_GetItemWithError(numbers_, atom);
        if (found) {
            number = static_cast<uint32_t>(PyLong_AsUnsignedLong(found));
        } else {
            if (PyErr_Occurred()) return false;
            number = static_cast<uint32_t>(atoms_.size());
            py::Ref n(PyLong_FromUnsignedLong(number));
            if (!n || PyDict_SetItem(numbers_, atom, n.get()) < 0) return false;
            atoms_.push_back(Py_NewRef(atom));
            literal_objects_.push_back(nullptr);
            literal_objects_.push_back(nullptr);
        }
        // The key stays alive: atoms_ holds the first object of each number,
        // and any other object is held by the formula being read.
        by_object_.insert(atom, number);
    }
    out = 2 * number + (negative ? 1 : 0);
    return true;
}

PyObject* Lifter::literal_object(Lit l) {
    PyObject*& slot = literal_objects_[l];
    if (!slot) slot = new_literal(atoms_[l >> 1], (l & 1) == 0 ? Py_True : Py_False);
    return slot;
}

PyObject* Lifter::clause(const ClausePool& pool, ClauseId c) {
    if (clause_objects_.size() < pool.size()) clause_objects_.resize(pool.size(), nullptr);
    if (PyObject* known = clause_objects_[c]) return Py_NewRef(known);
    members_.clear();
    for (const Lit* l = pool.begin(c); l != pool.end(c); ++l) {
        PyObject* lit = literal_object(*l);
        if (!lit) return nullptr;
        members_.push_back(lit);
    }
    PyObject* clause = new_clause_known(members_);
    if (!clause) return nullptr;
    clause_objects_[c] = Py_NewRef(clause);
    return clause;
}

}  // namespace quorvel::clausifier
