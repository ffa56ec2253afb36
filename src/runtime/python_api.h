// The one header that includes Python.h: every file of the module includes this instead.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030B0000 || PY_VERSION_HEX >= 0x030E0000
#error "linear_concrete_concept is written against the C API of CPython 3.11 to 3.13"
#endif
#ifdef Py_GIL_DISABLED
#error "linear_concrete_concept needs the global interpreter lock: free-threaded builds get the plain module"
#endif

// The interpreter versions whose internals differ where the module uses them.
#define LCC_PY311 (PY_VERSION_HEX < 0x030C0000)
#define LCC_PY312 (PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000)
#define LCC_PY313 (PY_VERSION_HEX >= 0x030D0000)

#include <cstdint>
