// Helpers shared by the rewriting steps (rewrite.cpp, skolem.cpp) and the
// clause extraction (clauses.cpp).
#pragma once

#include <Python.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "quorvel/core/ast/api.h"

namespace quorvel::clausifier {

// ValueError "<prefix><class of o>"; returns false.
bool unsupported(const char* prefix, PyObject* o);

// The end of the time a caller gave the calls in progress on this thread
// (the prover's time-out); none by default.
inline thread_local std::chrono::steady_clock::time_point t_deadline = std::chrono::steady_clock::time_point::max();

// Ctrl-C and the deadline: counts units of work and checks every few
// thousand. A deadline passed is a TimeoutError.
class Interrupts {
public:
    bool tick(uint64_t units = 1) {
        count_ += units;
        if (count_ < next_) return true;
        next_ = count_ + 4096;
        if (PyErr_CheckSignals() != 0) return false;
        if (std::chrono::steady_clock::now() < t_deadline) return true;
        PyErr_SetString(PyExc_TimeoutError, "the clausal form was not done in time");
        return false;
    }

private:
    uint64_t count_ = 0;
    uint64_t next_ = 4096;
};

// Runs an explicit-stack walk: takes items off `work` until none is left,
// checking for Ctrl-C; `step(item)` may push more and returns false on error.
template <class Item, class Step>
bool drain(std::vector<Item>& work, Interrupts& interrupts, Step step) {
    while (!work.empty()) {
        Item it = work.back();
        work.pop_back();
        if (!interrupts.tick() || !step(it)) return false;
    }
    return true;
}

// New nodes of the base classes. New references or NULL.
PyObject* make_not(PyObject* operand);
PyObject* make_binary(ast::Kind k, PyObject* left, PyObject* right);
PyObject* make_quantifier(ast::Kind k, PyObject* variable, PyObject* body);

// Strong references held until the end of a call.
class Held {
public:
    Held() = default;
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    ~Held() {
        for (PyObject* o : objects_) Py_DECREF(o);
    }
    PyObject* keep(PyObject* owned) {
        objects_.push_back(owned);
        return owned;
    }

private:
    std::vector<PyObject*> objects_;
};

// A stack of results, each a new reference, released if the walk fails.
class Results {
public:
    Results() = default;
    Results(const Results&) = delete;
    Results& operator=(const Results&) = delete;
    ~Results() {
        for (PyObject* o : items_) Py_DECREF(o);
    }
    void push(PyObject* owned) { items_.push_back(owned); }
    PyObject* pop() {
        PyObject* o = items_.back();
        items_.pop_back();
        return o;
    }
    // The top `n` results, oldest first (still owned here).
    PyObject** top(size_t n) { return items_.data() + items_.size() - n; }
    void drop(size_t n) {
        for (size_t i = 0; i < n; ++i) Py_DECREF(pop());
    }

private:
    std::vector<PyObject*> items_;
};

}  // namespace quorvel::clausifier
