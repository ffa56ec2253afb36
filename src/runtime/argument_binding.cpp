// Binding of positional and keyword arguments for the method wrappers.
#include "runtime/argument_binding.h"

#include <cstring>

#include "runtime/traceback.h"

namespace {

void raise_count_error(const MethodSignature& signature, Py_ssize_t given) {
    const Py_ssize_t expected = signature.parameter_count;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 signature.short_name, "exactly", expected, expected == 1 ? "" : "s", given);
}

void raise_multiple_values(const char* short_name, PyObject* keyword) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                 short_name, keyword);
}

// Exact str equality for names whose hashes are known: hash, length, width, then bytes.
bool same_text(PyObject* name, Py_hash_t name_hash, PyObject* keyword, Py_hash_t keyword_hash) {
    if (name_hash != keyword_hash || PyUnicode_GET_LENGTH(name) != PyUnicode_GET_LENGTH(keyword) ||
        PyUnicode_KIND(name) != PyUnicode_KIND(keyword)) {
        return false;
    }
    return std::memcmp(PyUnicode_DATA(name), PyUnicode_DATA(keyword),
                       static_cast<size_t>(PyUnicode_GET_LENGTH(name)) * PyUnicode_KIND(name)) == 0;
}

int match_exact_str(PyObject* keyword, PyObject** const* names, Py_ssize_t positional_count,
                    const char* short_name, Py_ssize_t* index) {
    if (PyUnicode_READY(keyword) < 0) {
        return -1;
    }
    const Py_hash_t keyword_hash = PyObject_Hash(keyword);
    if (keyword_hash == -1) {
        return -1;
    }
    for (Py_ssize_t i = 0; names[i]; ++i) {
        PyObject* name = *names[i];
        if (same_text(name, PyObject_Hash(name), keyword, keyword_hash)) {
            if (i < positional_count) {
                raise_multiple_values(short_name, keyword);
                return -1;
            }
            *index = i;
            return 1;
        }
    }
    return 0;
}

int match_str_subclass(PyObject* keyword, PyObject** const* names, Py_ssize_t positional_count,
                       const char* short_name, Py_ssize_t* index) {
    for (Py_ssize_t i = positional_count; names[i]; ++i) {
        const int equal = PyObject_RichCompareBool(*names[i], keyword, Py_EQ);
        if (equal != 0) {
            *index = i;
            return equal;
        }
    }
    for (Py_ssize_t i = 0; i < positional_count; ++i) {
        const int equal = PyObject_RichCompareBool(*names[i], keyword, Py_EQ);
        if (equal < 0) {
            return -1;
        }
        if (equal) {
            raise_multiple_values(short_name, keyword);
            return -1;
        }
    }
    return 0;
}

}  // namespace

int match_keyword(PyObject* keyword, PyObject** const* parameter_names,
                  Py_ssize_t positional_count, const char* short_name, Py_ssize_t* index) {
    if (PyUnicode_CheckExact(keyword)) {
        // Names before the positional count are already bound: a later match among
        // them is an error, so searching all names in order finds the same result.
        return match_exact_str(keyword, parameter_names, positional_count, short_name, index);
    }
    if (!PyUnicode_Check(keyword)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", short_name);
        return -1;
    }
    return match_str_subclass(keyword, parameter_names, positional_count, short_name, index);
}

int bind_keywords(PyObject* keyword_names, PyObject* const* keyword_values,
                  PyObject** const* parameter_names, PyObject** slots, Py_ssize_t positional_count,
                  Py_ssize_t keyword_count, const char* short_name) {
    for (Py_ssize_t j = 0; j < keyword_count; ++j) {
        PyObject* keyword = PyTuple_GET_ITEM(keyword_names, j);
        Py_ssize_t index = -1;
        for (Py_ssize_t i = positional_count; parameter_names[i]; ++i) {
            if (*parameter_names[i] == keyword) {
                index = i;
                break;
            }
        }
        if (index < 0) {
            const int found = match_keyword(keyword, parameter_names, positional_count, short_name, &index);
            if (found < 0) {
                return -1;
            }
            if (found == 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                             short_name, keyword);
                return -1;
            }
        }
        // A names tuple handed over through the C API may repeat a name; binding it
        // twice would drop the first value's reference.
        if (slots[index]) {
            raise_multiple_values(short_name, keyword);
            return -1;
        }
        slots[index] = Py_NewRef(keyword_values[j]);
    }
    return 0;
}

int bind_arguments_general(const MethodSignature& signature, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* keyword_names, PyObject** slots) {
    const Py_ssize_t count = signature.parameter_count;
    const Py_ssize_t keyword_count = keyword_names ? PyTuple_GET_SIZE(keyword_names) : 0;
    if ((keyword_count == 0 && nargs != count) || nargs > count) {
        raise_count_error(signature, nargs);
        add_traceback(signature.traceback_name, signature.definition_line);
        return -1;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        slots[i] = Py_NewRef(args[i]);
    }
    if (keyword_count > 0 &&
        bind_keywords(keyword_names, args + nargs, signature.parameter_names, slots, nargs,
                      keyword_count, signature.short_name) < 0) {
        add_traceback(signature.traceback_name, signature.definition_line);
        return -1;
    }
    for (Py_ssize_t i = nargs; i < count; ++i) {
        if (!slots[i]) {
            raise_count_error(signature, i);
            add_traceback(signature.traceback_name, signature.definition_line);
            return -1;
        }
    }
    return 0;
}
