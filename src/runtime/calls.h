// Calls, with shortcuts for the callees the module's code calls most.
#pragma once

#include "runtime/ref.h"

// `nargsf` may carry PY_VECTORCALL_ARGUMENTS_OFFSET; `keywords` is a dict or null.
Ref call_object(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* keywords);

// For a builtin or native function defined with METH_O or METH_NOARGS; `argument` is
// null for none.
Ref call_native_function_directly(PyObject* callable, PyObject* argument);

// Calls `callable` (consumed) with the `nargs` arguments at vector[1..nargs]. vector[0]
// is a free slot: it receives a bound method's instance, or is lent to the callee.
Ref call_unpacking_method(Ref callable, PyObject** vector, Py_ssize_t nargs);
