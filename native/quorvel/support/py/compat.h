// Names that moved between the CPython versions we build for (3.11 to 3.14).
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define Py_T_OBJECT_EX T_OBJECT_EX
#define Py_T_PYSSIZET T_PYSSIZET
#define Py_READONLY READONLY
#endif
