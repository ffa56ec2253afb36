// Float conversion of numbers and number text. The exact builtin types take short paths
// here; everything else, and every text the short paths cannot settle, goes to the host's
// own conversion, so the results match float() apart from the few documented cases below.
//
// Deliberate differences from float(), kept for speed:
// - an underscore right after an exponent's sign is accepted ("1e-_5" gives 1e-05);
// - in a str holding a non-ASCII character, an underscore beside "e"/"E" is accepted;
// - in a str holding a non-ASCII character, U+001C..U+001F are trimmed as whitespace.
#include "runtime/number_text.h"

#include <bit>
#include <cstring>
#include <limits>

#include "runtime/str_layout.h"

namespace {

// ---- Interpreter internals: each use sits in one helper, per version where they differ.

// An exact int of at most one 30-bit digit. False for wider ints.
bool one_digit_int_value(PyObject* integer, double* value) {
#if LCC_PY311
    // The 3.11 layout: the digit count, with the value's sign, in ob_size.
    Py_ssize_t size = Py_SIZE(integer);
    if (size == 0) {
        *value = 0.0;
        return true;
    }
    if (size != 1 && size != -1) {
        return false;
    }
    double magnitude = reinterpret_cast<PyLongObject*>(integer)->ob_digit[0];
    *value = size < 0 ? -magnitude : magnitude;
    return true;
#else
    // From 3.12 on, a compact int is one of at most one digit.
    auto* number = reinterpret_cast<PyLongObject*>(integer);
    if (!PyUnstable_Long_IsCompact(number)) {
        return false;
    }
    *value = static_cast<double>(PyUnstable_Long_CompactValue(number));
    return true;
#endif
}

// A bytearray's text, followed by a zero byte even when the bytearray is empty.
const char* bytearray_text(PyObject* array) {
    if (PyByteArray_GET_SIZE(array) == 0) {
        return _PyByteArray_empty_string;
    }
    return reinterpret_cast<PyByteArrayObject*>(array)->ob_start;
}

// Whitespace of a str: the host's ASCII table below 0x80, its Unicode test above.
bool is_str_whitespace(Py_UCS4 code_point) {
    if (code_point < 0x80) {
        return _Py_ascii_whitespace[code_point] != 0;
    }
    return _PyUnicode_IsWhitespace(code_point) != 0;
}

// ---- Number text.

constexpr Py_ssize_t local_buffer_size = 40;

bool is_byte_whitespace(unsigned char byte) {
    return byte == ' ' || (byte >= '\t' && byte <= '\r');
}

// The whole source object converted by the host. The path for everything the fast
// paths do not settle, so those inputs get float()'s own value or exception.
double convert_with_host(PyObject* source) {
    Ref result = Ref::steal(PyFloat_FromString(source));
    if (!result) {
        return -1.0;
    }
    return PyFloat_AS_DOUBLE(result.get());
}

enum class TextForm { number, special, other };

template <typename Char>
bool matches_lower(const Char* text, const char* lower, Py_ssize_t count) {
    for (Py_ssize_t i = 0; i < count; ++i) {
        if ((static_cast<Py_UCS4>(text[i]) | 0x20) != static_cast<Py_UCS4>(lower[i])) {
            return false;
        }
    }
    return true;
}

// Sorts trimmed text of `length` > 0 units: an optional sign, then an infinity or NaN
// spelling (its value in `special`), the start of a decimal number, or anything else.
template <typename Char>
TextForm text_form(const Char* text, Py_ssize_t length, double* special) {
    bool negative = false;
    if (text[0] == '+' || text[0] == '-') {
        negative = text[0] == '-';
        ++text;
        --length;
    }
    if (length == 0) {
        return TextForm::other;
    }
    Py_UCS4 first = text[0];
    if (first == 'n' || first == 'N') {
        if (length != 3 || !matches_lower(text + 1, "an", 2)) {
            return TextForm::other;
        }
        *special = std::bit_cast<double>(negative ? UINT64_C(0xFFF8000000000000)
                                                  : UINT64_C(0x7FF8000000000000));
        return TextForm::special;
    }
    if (first == 'i' || first == 'I') {
        if ((length != 3 && length != 8) || !matches_lower(text + 1, "nfinity", length - 1)) {
            return TextForm::other;
        }
        constexpr double infinity = std::numeric_limits<double>::infinity();
        *special = negative ? -infinity : infinity;
        return TextForm::special;
    }
    if (first == '.' || (first >= '0' && first <= '9')) {
        return TextForm::number;
    }
    return TextForm::other;
}

// Copies number text into `buffer` without its underscores and ends it with a zero byte;
// returns the position of that zero byte, or null when an underscore or a dot stands
// first, last or beside another mark. For a str (`from_str`) only "_" and "." are marks
// and a code point above 0x7F rejects the copy; for 8-bit text "e" and "E" are marks too.
// The buffer needs one byte more than the characters that are not underscores.
template <bool from_str, typename Char>
char* copy_digits(const Char* text, Py_ssize_t length, char* buffer) {
    char* position = buffer;
    bool previous_is_mark = true;
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4 character = text[i];
        if (from_str && character > 0x7F) {
            return nullptr;
        }
        bool is_mark = character == '_' || character == '.' ||
                       (!from_str && (character == 'e' || character == 'E'));
        if (is_mark && previous_is_mark) {
            return nullptr;
        }
        *position = static_cast<char>(character);
        position += character != '_';
        previous_is_mark = is_mark;
    }
    if (previous_is_mark) {
        return nullptr;
    }
    *position = '\0';
    return position;
}

struct Parsed {
    double value;
    bool complete;  // the parse stopped where the text ends
};

// Short plain decimal text ("-12.375"): at most 15 significant digits and 22 decimals,
// no exponent. Its digits and the power of ten are exact doubles, so one IEEE division
// gives the correctly rounded value, the very one the full parser computes.
bool parse_short_decimal(const char* text, const char* text_end, double* value) {
    static constexpr double powers_of_ten[] = {
        1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
        1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+') {
        ++text;
    }
    uint64_t digits = 0;
    int significant = 0;
    int decimals = 0;
    bool any_digit = false;
    bool after_point = false;
    for (; text < text_end; ++text) {
        const char character = *text;
        if (character >= '0' && character <= '9') {
            any_digit = true;
            decimals += after_point;
            if (digits == 0 && character == '0') {
                continue;  // leading zeros are not significant
            }
            if (++significant > 15) {
                return false;
            }
            digits = digits * 10 + static_cast<uint64_t>(character - '0');
        } else if (character == '.' && !after_point) {
            after_point = true;
        } else {
            return false;
        }
    }
    if (!any_digit || decimals > 22) {
        return false;
    }
    const double magnitude = static_cast<double>(digits) / powers_of_ten[decimals];
    *value = negative ? -magnitude : magnitude;
    return true;
}

// No overflow exception: an overflowing exponent gives an infinity, as float() does.
Parsed parse_number(const char* text, const char* text_end) {
    double value = 0.0;
    if (parse_short_decimal(text, text_end, &value)) {
        return {value, true};
    }
    char* stop = nullptr;
    value = PyOS_string_to_double(text, &stop, nullptr);
    return {value, stop == text_end};
}

double finish_parse(PyObject* source, Parsed parsed) {
    if (parsed.complete) {
        return parsed.value;
    }
    // The parser found no number at the start: its ValueError stands.
    if (parsed.value == -1.0 && PyErr_Occurred()) {
        return -1.0;
    }
    return convert_with_host(source);
}

// Parses a copy of `length` units of number text made in a buffer of `size` bytes:
// the local one when it is large enough, else a heap block.
template <bool from_str, typename Char>
double parse_copy(PyObject* source, const Char* text, Py_ssize_t length, Py_ssize_t size) {
    if (size <= local_buffer_size) {
        char buffer[local_buffer_size];
        char* end = copy_digits<from_str>(text, length, buffer);
        if (!end) {
            return convert_with_host(source);
        }
        return finish_parse(source, parse_number(buffer, end));
    }
    // A failed allocation is not reported: the host's conversion does the work instead.
    char* block = static_cast<char*>(PyMem_Malloc(static_cast<size_t>(size)));
    if (!block) {
        return convert_with_host(source);
    }
    char* end = copy_digits<from_str>(text, length, block);
    if (!end) {
        PyMem_Free(block);
        return convert_with_host(source);
    }
    Parsed parsed = parse_number(block, end);
    PyMem_Free(block);
    return finish_parse(source, parsed);
}

// Trims whitespace from both ends, keeping at least one unit of text that has any
// non-whitespace. Returns the trimmed length.
template <typename Char, typename IsWhitespace>
Py_ssize_t trim(const Char*& start, const Char* end, IsWhitespace is_whitespace) {
    while (start < end && is_whitespace(*start)) {
        ++start;
    }
    while (end - start > 1 && is_whitespace(end[-1])) {
        --end;
    }
    return end - start;
}

// Trims the text at `start` and settles everything that is not decimal number text: an
// infinity or NaN spelling gives its value, anything else goes to the host. Returns
// true with *settled set then; false with `start` and *trimmed marking the number.
template <typename Char, typename IsWhitespace>
bool settle_unless_number(PyObject* source, const Char*& start, Py_ssize_t length,
                          IsWhitespace is_whitespace, Py_ssize_t* trimmed, double* settled) {
    *trimmed = trim(start, start + length, is_whitespace);
    if (*trimmed <= 0) {
        *settled = convert_with_host(source);
        return true;
    }
    switch (text_form(start, *trimmed, settled)) {
        case TextForm::special:
            return true;
        case TextForm::other:
            *settled = convert_with_host(source);
            return true;
        case TextForm::number:
            break;
    }
    return false;
}

template <typename Char>
double parse_str_units(PyObject* source, const Char* text, Py_ssize_t length) {
    Py_ssize_t trimmed = 0;
    double settled = 0.0;
    if (settle_unless_number(source, text, length, [](Char unit) { return is_str_whitespace(unit); },
                             &trimmed, &settled)) {
        return settled;
    }
    // Always copied: the parser reads bytes, so the code points are narrowed.
    return parse_copy<true>(source, text, trimmed, trimmed + 1);
}

}  // namespace

double float_from_bytes(PyObject* source, const char* text, Py_ssize_t length) {
    const auto* start = reinterpret_cast<const unsigned char*>(text);
    Py_ssize_t trimmed = 0;
    double settled = 0.0;
    if (settle_unless_number(source, start, length, is_byte_whitespace, &trimmed, &settled)) {
        return settled;
    }
    const char* number = reinterpret_cast<const char*>(start);
    if (!std::memchr(number, '_', static_cast<size_t>(trimmed))) {
        // Parsed where it lies: only whitespace and the zero byte follow the number.
        return finish_parse(source, parse_number(number, number + trimmed));
    }
    Py_ssize_t kept = 0;
    for (Py_ssize_t i = 0; i < trimmed; ++i) {
        kept += number[i] != '_';
    }
    return parse_copy<false>(source, start, trimmed, kept + 1);
}

double float_from_unicode(PyObject* text) {
    StrLayout layout = str_layout(text);
    switch (layout.kind) {
        case PyUnicode_1BYTE_KIND:
            return parse_str_units(text, static_cast<const Py_UCS1*>(layout.data), layout.length);
        case PyUnicode_2BYTE_KIND:
            return parse_str_units(text, static_cast<const Py_UCS2*>(layout.data), layout.length);
        default:
            return parse_str_units(text, static_cast<const Py_UCS4*>(layout.data), layout.length);
    }
}

Ref float_from_object(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    double value;
    if (type == &PyLong_Type) {
        if (one_digit_int_value(object, &value)) {
            return Ref::steal(PyFloat_FromDouble(value));
        }
        value = PyLong_AsDouble(object);
    } else if (type == &PyUnicode_Type) {
        if (make_str_ready(object) < 0) {
            return {};
        }
        if (str_layout(object).ascii) {
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(object, &size);
            if (!text) {
                return {};
            }
            value = float_from_bytes(object, text, size);
        } else {
            value = float_from_unicode(object);
        }
    } else if (type == &PyBytes_Type) {
        value = float_from_bytes(object, PyBytes_AS_STRING(object), PyBytes_GET_SIZE(object));
    } else if (type == &PyByteArray_Type) {
        value = float_from_bytes(object, bytearray_text(object), PyByteArray_GET_SIZE(object));
    } else {
        // Subclasses included: they may override __float__ or __index__.
        return Ref::steal(PyNumber_Float(object));
    }
    if (value == -1.0 && PyErr_Occurred()) {
        return {};
    }
    return Ref::steal(PyFloat_FromDouble(value));
}

Ref float_constant_minus(PyObject* constant, PyObject* operand, double constant_value) {
    PyTypeObject* type = Py_TYPE(operand);
    if (type == &PyFloat_Type) {
        return Ref::steal(PyFloat_FromDouble(constant_value - PyFloat_AS_DOUBLE(operand)));
    }
    if (type == &PyLong_Type) {
        double value;
        if (!one_digit_int_value(operand, &value)) {
            value = PyLong_AsDouble(operand);
            if (value == -1.0 && PyErr_Occurred()) {
                return {};
            }
        }
        return Ref::steal(PyFloat_FromDouble(constant_value - value));
    }
    return Ref::steal(PyNumber_Subtract(constant, operand));
}

