// Building of texts: the text of a value, and joins of pieces into one new str.
#pragma once

#include "runtime/float_text.h"
#include "runtime/ref.h"

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
