// Numeric conversion and text building, with fast paths for the exact builtin types.
// No service records traceback entries: the caller does.
#pragma once

#include "runtime/float_text.h"
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

// The text of a value inserted into a message.
Ref value_text(PyObject* value);

// Joins exact-str pieces into one new str of `length` code points, none of whose
// characters exceeds `bound`.
Ref join_pieces(PyObject* const* pieces, Py_ssize_t count, Py_ssize_t length, Py_UCS4 bound);

// A piece to join: a str, or (with `str` null) `length` ASCII bytes at `ascii`.
struct TextPiece {
    PyObject* str;
    const char* ascii;
    Py_ssize_t length;
};

// join_pieces for pieces that may be ASCII bytes rather than str objects.
Ref join_text_pieces(const TextPiece* pieces, Py_ssize_t count, Py_ssize_t length, Py_UCS4 bound);

// An exact float's repr as ASCII bytes, for a join that would only copy it out of a
// str again.
class FloatRepr {
public:
    void make(double value) { length_ = static_cast<Py_ssize_t>(format_float_repr(value, text_)); }
    TextPiece piece() const { return {nullptr, text_, length_}; }

private:
    char text_[float_repr_capacity];
    Py_ssize_t length_ = 0;
};

// 0x7F, 0xFF, 0xFFFF or 0x10FFFF: a bound on the widest character of a ready str.
Py_UCS4 kind_char_bound(PyObject* text);

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
