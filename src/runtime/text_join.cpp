// Building of texts. Pieces are copied straight into the data of the new str, checked
// against the length and bound the caller gives.
#include "runtime/text_join.h"

#include <cstring>

#include "runtime/runtime_state.h"
#include "runtime/str_layout.h"

namespace {

// ---- Interpreter internals: each use sits in one helper, per version where they differ.

// Writable data of a str this code has just created and still owns alone.
char* new_str_data(PyObject* text) { return static_cast<char*>(PyUnicode_DATA(text)); }

// A new str of `length` ASCII bytes.
Ref ascii_str(const char* text, Py_ssize_t length) {
    Ref result = Ref::steal(PyUnicode_New(length, 0x7F));
    if (result) {
        std::memcpy(new_str_data(result.get()), text, static_cast<size_t>(length));
    }
    return result;
}

// Widens (never narrows) `length` code points of `from` into `to` at `position`.
// `to` is new and not yet shared, so the copy cannot fail; 3.13 no longer exports the
// unchecked copy, and its checked one stands in.
void copy_str_characters(PyObject* to, Py_ssize_t position, PyObject* from, Py_ssize_t length) {
#if LCC_PY313
    [[maybe_unused]] const Py_ssize_t copied = PyUnicode_CopyCharacters(to, position, from, 0, length);
#else
    _PyUnicode_FastCopyCharacters(to, position, from, 0, length);
#endif
}

// What float's repr gives, without its trip through the host's dtoa.
Ref float_repr_str(double value) {
    char text[float_repr_capacity];
    return ascii_str(text, static_cast<Py_ssize_t>(format_float_repr(value, text)));
}

}  // namespace

Ref value_text(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyUnicode_Type) {
        return Ref::borrow(value);
    }
    if (type == &PyLong_Type) {
        return Ref::steal(PyLong_Type.tp_repr(value));
    }
    if (type == &PyFloat_Type) {
        return float_repr_str(PyFloat_AS_DOUBLE(value));
    }
    return Ref::steal(PyObject_Format(value, runtime_state.empty_str));
}

namespace {

// Cold: a piece that does not fit in what is left of the result.
Ref fail_piece_too_long(Py_ssize_t piece_length, Py_ssize_t position, Py_ssize_t max_length) {
    if (piece_length > max_length - position) {
        PyErr_SetString(PyExc_OverflowError, "join() result is too long for a Python string");
    } else {
        PyErr_SetString(PyExc_SystemError, "join_pieces: the pieces are longer than the given length");
    }
    return {};
}

Py_UCS4 layout_bound(const StrLayout& layout) {
    if (layout.ascii) {
        return 0x7F;
    }
    switch (layout.kind) {
        case PyUnicode_1BYTE_KIND:
            return 0xFF;
        case PyUnicode_2BYTE_KIND:
            return 0xFFFF;
        default:
            return 0x10FFFF;
    }
}

// The layout of a piece; false with the exception set when it is no str or not ready.
bool piece_layout(PyObject* piece, StrLayout* layout) {
    if (!piece || !PyUnicode_Check(piece)) {
        PyErr_BadInternalCall();
        return false;
    }
    if (make_str_ready(piece) < 0) {
        return false;
    }
    *layout = str_layout(piece);
    return true;
}

bool piece_layout(const TextPiece& piece, StrLayout* layout) {
    if (piece.str) {
        return piece_layout(piece.str, layout);
    }
    *layout = {piece.ascii, piece.length, PyUnicode_1BYTE_KIND, true};
    return true;
}

// Copies a narrower piece into the result, code point by code point.
void widen_piece(PyObject* result, const StrLayout& result_layout, Py_ssize_t position,
                 PyObject* piece_str, const StrLayout& piece) {
    if (piece_str) {
        copy_str_characters(result, position, piece_str, piece.length);
        return;
    }
    const auto* bytes = static_cast<const unsigned char*>(piece.data);
    void* data = new_str_data(result);
    for (Py_ssize_t i = 0; i < piece.length; ++i) {
        PyUnicode_WRITE(result_layout.kind, data, position + i, bytes[i]);
    }
}

inline PyObject* piece_str(PyObject* piece) { return piece; }
inline PyObject* piece_str(const TextPiece& piece) { return piece.str; }

template <typename Piece>
Ref join(const Piece* pieces, Py_ssize_t count, Py_ssize_t length, Py_UCS4 bound) {
    if (bound > 0x10FFFF) {
        bound = 0x10FFFF;
    }
    Ref result = Ref::steal(PyUnicode_New(length, bound));
    if (!result) {
        return {};
    }
    StrLayout layout = str_layout(result.get());
    int shift = layout.kind >> 1;
    Py_ssize_t max_length = PY_SSIZE_T_MAX >> shift;
    if (length > max_length) {
        PyErr_SetString(PyExc_OverflowError, "join() result is too long for a Python string");
        return {};
    }
    // The result's data is uninitialised and sized by `length` and `bound`, so a piece
    // that is too long or too wide would write past it or break the str's invariants:
    // a caller's miscount fails instead.
    Py_UCS4 result_bound = layout_bound(layout);
    char* data = new_str_data(result.get());
    Py_ssize_t position = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        StrLayout piece;
        if (!piece_layout(pieces[i], &piece)) {
            return {};
        }
        if (piece.length == 0) {
            continue;
        }
        if (piece.length > length - position) {
            return fail_piece_too_long(piece.length, position, max_length);
        }
        if (layout_bound(piece) > result_bound) {
            PyErr_SetString(PyExc_SystemError, "join_pieces: a piece is wider than the given bound");
            return {};
        }
        if (piece.kind == layout.kind) {
            std::memcpy(data + (position << shift), piece.data, static_cast<size_t>(piece.length << shift));
        } else {
            widen_piece(result.get(), layout, position, piece_str(pieces[i]), piece);
        }
        position += piece.length;
    }
    if (position != length) {
        PyErr_SetString(PyExc_SystemError, "join_pieces: the pieces are shorter than the given length");
        return {};
    }
    return result;
}

}  // namespace

Ref join_pieces(PyObject* const* pieces, Py_ssize_t count, Py_ssize_t length, Py_UCS4 bound) {
    return join(pieces, count, length, bound);
}

Ref join_text_pieces(const TextPiece* pieces, Py_ssize_t count, Py_ssize_t length, Py_UCS4 bound) {
    return join(pieces, count, length, bound);
}

Py_UCS4 kind_char_bound(PyObject* text) {
    return layout_bound(str_layout(text));
}
