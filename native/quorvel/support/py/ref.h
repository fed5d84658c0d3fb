// An owned reference to a Python object: released on every path.
#pragma once

#include <Python.h>

#include <utility>

namespace quorvel::py {

class Ref {
public:
    Ref() = default;
    // Takes ownership of a new reference (NULL allowed).
    explicit Ref(PyObject* owned) : p_(owned) {}
    static Ref borrow(PyObject* borrowed) {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }
    Ref(const Ref& other) : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

}  // namespace quorvel::py
