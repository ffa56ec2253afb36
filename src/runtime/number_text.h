// Float conversion of numbers and number text, with fast paths for the exact builtin
// types. No service records traceback entries: the caller does.
#pragma once

#include "runtime/ref.h"

// A new exact float for any object. Callers pass exact floats through unchanged
// themselves (see float_of).
Ref float_from_object(PyObject* object);

// The object itself when it is exactly a float, else float_from_object of it.
inline Ref float_of(PyObject* object) {
    if (PyFloat_CheckExact(object)) {
        return Ref::borrow(object);
    }
    return float_from_object(object);
}

// Parses 8-bit number text (followed by a zero byte). -1.0 with an exception set means
// failure; `source` is what the host converts when the fast path gives up.
double float_from_bytes(PyObject* source, const char* text, Py_ssize_t length);

// Parses a ready str that is not ASCII-only. -1.0 with an exception set means failure.
double float_from_unicode(PyObject* text);

// constant - operand; `constant_value` is the double that `constant` holds.
Ref float_constant_minus(PyObject* constant, PyObject* operand, double constant_value);

// 1, 0, or -1 with an exception set.
inline int truth_value(PyObject* object) {
    if (object == Py_True) {
        return 1;
    }
    if (object == Py_False || object == Py_None) {
        return 0;
    }
    return PyObject_IsTrue(object);
}
