// The one header that includes Python.h: every file of the module includes this instead.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_MAJOR_VERSION != 3 || PY_MINOR_VERSION != 11
#error "linear_concrete_concept is written against the CPython 3.11 C API and its object layouts"
#endif

#include <cstdint>
