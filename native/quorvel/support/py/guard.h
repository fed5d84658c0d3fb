// No C++ exception may cross a CPython slot: slot bodies run inside guard(),
// which maps std::bad_alloc to MemoryError and anything else to RuntimeError.
#pragma once

#include <Python.h>

#include <exception>
#include <new>

namespace quorvel::py {

inline void set_error_from_current_exception() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

// Calls body(); on a C++ exception sets the Python error and returns `failed`.
template <class R, class Body>
R guard(R failed, Body body) noexcept {
    try {
        return body();
    } catch (...) {
        set_error_from_current_exception();
        return failed;
    }
}

}  // namespace quorvel::py
