// Numbering of Python objects by equality, as sets and dictionaries see
// them: equal objects get one number. The first object seen with a number is
// its representative. Identity hits skip the Python lookup.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "quorvel/support/flat_map.h"

namespace quorvel::kripke {

class Interner {
public:
    Interner() = default;
    Interner(const Interner&) = delete;
    Interner& operator=(const Interner&) = delete;
    ~Interner() {
        for (PyObject* o : held_) Py_DECREF(o);
        Py_XDECREF(by_value_);
    }

    // The number of `o`, or -1 with an exception set (from its __hash__ or
    // __eq__).
    int64_t number(PyObject* o) {
        uint32_t known = by_identity_.find(o);
        if (known != AddressIndex::kMissing) return known;
        if (!by_value_ && !(by_value_ = PyDict_New())) return -1;
        PyObject* rep = PyDict_GetItemWithError(by_value_, o);  // value: the representative
        uint32_t n;
        if (rep) {
            n = by_identity_.find(rep);
        } else {
            if (PyErr_Occurred()) return -1;
            if (PyDict_SetItem(by_value_, o, o) < 0) return -1;
            n = static_cast<uint32_t>(objects_.size());
            objects_.push_back(o);
        }
        // `o` is kept alive so that its address cannot be reused while it is a key.
        held_.push_back(Py_NewRef(o));
        by_identity_.insert(o, n);
        return n;
    }

    size_t size() const { return objects_.size(); }
    PyObject* object(size_t n) const { return objects_[n]; }  // borrowed (held)

private:
    AddressIndex by_identity_;
    std::vector<PyObject*> objects_;  // representatives, by number
    std::vector<PyObject*> held_;
    PyObject* by_value_ = nullptr;
};

// Numbering by identity alone, for per-call tables where equal but distinct
// objects may safely get two numbers. Holds a reference to each object.
class IdentityNumbers {
public:
    IdentityNumbers() = default;
    IdentityNumbers(const IdentityNumbers&) = delete;
    IdentityNumbers& operator=(const IdentityNumbers&) = delete;
    ~IdentityNumbers() {
        for (PyObject* o : objects_) Py_DECREF(o);
    }

    uint32_t number(PyObject* o) {
        uint32_t known = by_identity_.find(o);
        if (known != AddressIndex::kMissing) return known;
        auto n = static_cast<uint32_t>(objects_.size());
        objects_.push_back(Py_NewRef(o));
        by_identity_.insert(o, n);
        return n;
    }

    size_t size() const { return objects_.size(); }
    PyObject* object(size_t n) const { return objects_[n]; }

private:
    AddressIndex by_identity_;
    std::vector<PyObject*> objects_;  // strong references, by number
};

}  // namespace quorvel::kripke
