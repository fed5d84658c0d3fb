// Frozen records subclassable as a frozen dataclass is.
//
// Such a record is built whole in tp_new, so that calling its class costs
// one allocation and no __init__ does any work. A Python subclass with an
// __init__ of its own (one that takes an extra parameter, say, and calls
// super().__init__(...) with the rest) cannot be built there: tp_new then
// makes a placeholder that is valid to read, and the record's own tp_init,
// reached through super().__init__, builds the fields into it. Everywhere
// else that tp_init has nothing to do, since tp_new already used the very
// arguments it is called with.
#pragma once

#include <Python.h>

namespace quorvel::py {

// Whether instances of `type` are filled by `own_init` rather than built by
// tp_new: true when a subclass replaced the record's __init__.
inline bool builds_in_init(PyTypeObject* type, initproc own_init) { return type->tp_init != own_init; }

}  // namespace quorvel::py
