// The layout of a str, read through the interpreter's macros once the str is ready.
#pragma once

#include "runtime/python_api.h"

// A str's kind, length and data are only valid once it is ready; from 3.12 on every str is.
inline int make_str_ready([[maybe_unused]] PyObject* text) {
#if LCC_PY311
    return PyUnicode_IS_READY(text) ? 0 : _PyUnicode_Ready(text);
#else
    return 0;
#endif
}

struct StrLayout {
    const void* data;
    Py_ssize_t length;
    int kind;  // bytes per code point: 1, 2 or 4
    bool ascii;
};

// The layout of a ready str.
inline StrLayout str_layout(PyObject* text) {
    return {PyUnicode_DATA(text), PyUnicode_GET_LENGTH(text), static_cast<int>(PyUnicode_KIND(text)),
            PyUnicode_IS_ASCII(text) != 0};
}
