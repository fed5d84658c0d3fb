// CPython's tuple hash, fed one item at a time: hashing a node's fields with
// it gives exactly hash((field1, field2, ...)) without building the tuple.
#pragma once

#include <Python.h>

namespace quorvel::py {

class TupleHash {
public:
    // Adds the hash of `item`; false with the exception of its __hash__.
    bool add(PyObject* item) {
        Py_hash_t h = PyObject_Hash(item);
        if (h == -1) return false;
        add_hash(h);
        return true;
    }

    void add_hash(Py_hash_t h) {
        acc_ += static_cast<Py_uhash_t>(h) * kPrime2;
        acc_ = (acc_ << 31) | (acc_ >> 33);
        acc_ *= kPrime1;
        ++length_;
    }

    Py_hash_t finish() const {
        Py_uhash_t acc = acc_ + (static_cast<Py_uhash_t>(length_) ^ (kPrime5 ^ 3527539UL));
        if (acc == static_cast<Py_uhash_t>(-1)) return 1546275796;
        return static_cast<Py_hash_t>(acc);
    }

private:
    static_assert(sizeof(Py_uhash_t) == 8, "64-bit hash expected");
    static constexpr Py_uhash_t kPrime1 = 11400714785074694791ULL;
    static constexpr Py_uhash_t kPrime2 = 14029467366897019727ULL;
    static constexpr Py_uhash_t kPrime5 = 2870177450012600261ULL;

    Py_uhash_t acc_ = kPrime5;
    Py_ssize_t length_ = 0;
};

}  // namespace quorvel::py
