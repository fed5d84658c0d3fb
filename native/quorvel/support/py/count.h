// A count of tree nodes that turns into a Python int when it would overflow:
// a DAG of shared nodes can stand for more nodes than 2**64.
#pragma once

#include <Python.h>

#include <cstdint>
#include <utility>

#include "quorvel/support/py/ref.h"

namespace quorvel::py {

class Count {
public:
    Count() = default;
    explicit Count(uint64_t n) : small_(n) {}
    Count(const Count& other) : small_(other.small_), big_(Py_XNewRef(other.big_)) {}
    Count& operator=(const Count& other) {
        Count copy(other);
        std::swap(small_, copy.small_);
        std::swap(big_, copy.big_);
        return *this;
    }
    ~Count() { Py_XDECREF(big_); }

    void increment() { ++small_; }  // a walk cannot visit 2**64 nodes

    // False with an exception set when the Python addition fails.
    bool add(const Count& other) {
        if (!big_ && !other.big_ && small_ <= UINT64_MAX - other.small_) {
            small_ += other.small_;
            return true;
        }
        Ref a(as_python()), b(other.as_python());
        if (!a || !b) return false;
        PyObject* sum = PyNumber_Add(a.get(), b.get());
        if (!sum) return false;
        Py_XSETREF(big_, sum);
        small_ = 0;
        return true;
    }

    // New reference, or NULL with an exception set.
    PyObject* as_python() const {
        if (!big_) return PyLong_FromUnsignedLongLong(small_);
        if (!small_) return Py_NewRef(big_);
        Ref s(PyLong_FromUnsignedLongLong(small_));
        return s ? PyNumber_Add(big_, s.get()) : nullptr;
    }

private:
    uint64_t small_ = 0;
    PyObject* big_ = nullptr;
};

}  // namespace quorvel::py
