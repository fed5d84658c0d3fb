// Tuples of interned field names (__match_args__, keyword names of a call),
// and numbered names ("s12", "V3").
#pragma once

#include <Python.h>

#include <cstddef>

namespace quorvel::py {

// A new tuple of the interned strings names[0..n); NULL with a Python error.
PyObject* interned_tuple(const char* const* names, int n);

// The strings prefix + decimal n. Small results answer every small call:
// the first kCached are made once and shared (strings are immutable), the
// others made at each call. Hold one for the process lifetime.
class NumberedNames {
public:
    static constexpr size_t kCached = 128;
    explicit NumberedNames(const char* prefix) : prefix_(prefix) {}
    // New reference, or NULL with a Python error.
    PyObject* get(size_t n);

private:
    const char* prefix_;
    PyObject* cache_[kCached] = {};
};

}  // namespace quorvel::py
