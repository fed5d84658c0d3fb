// Pauses the cyclic garbage collector while a call builds a large result
// that holds no reference cycle (lists of paths, lists of unifiers, a formula
// tree's records). Every container allocated counts towards a collection,
// and each collection walks the whole young result again, so building
// N containers would otherwise cost O(N) collections. The collector's
// previous state is restored when the pause ends.
#pragma once

#include <Python.h>

namespace quorvel::py {

class GcPause {
public:
    GcPause() : was_enabled_(PyGC_Disable()) {}
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

private:
    int was_enabled_;
};

}  // namespace quorvel::py
