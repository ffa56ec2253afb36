// Binding of positional and keyword arguments to a method's parameter list.
#pragma once

#include "runtime/python_api.h"

// What binding needs to know about one method, fixed at build time.
struct MethodSignature {
    const char* short_name;            // the method definition's name, used in messages
    PyObject** const* parameter_names; // null-terminated: state slots of interned names
    Py_ssize_t parameter_count;
    int definition_line;               // reported by every binding failure
    const char* traceback_name;        // full dotted name for the traceback entry
};

// Places the keyword arguments into `slots` (new references). 0, or -1 with TypeError.
int bind_keywords(PyObject* keyword_names, PyObject* const* keyword_values,
                  PyObject** const* parameter_names, PyObject** slots, Py_ssize_t positional_count,
                  Py_ssize_t keyword_count, const char* short_name);

// Finds a keyword name that is not one of the parameter-name objects itself. 1 with
// *index set, 0 when none matches, -1 with an exception set.
int match_keyword(PyObject* keyword, PyObject** const* parameter_names,
                  Py_ssize_t positional_count, const char* short_name, Py_ssize_t* index);

// Fills slots[0 .. parameter_count) with new references from the positional and keyword
// arguments. On failure: -1 with the exception set and a traceback entry at the definition
// line; the caller still owns (and releases) whatever slots were filled. A call that
// passes exactly the parameters by position needs none of this: the caller's vector holds
// them for the length of the call.
int bind_arguments_general(const MethodSignature& signature, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* keyword_names, PyObject** slots);

// The bound arguments of one call; releases every filled slot when it goes.
template <int N>
struct BoundArguments {
    PyObject* slots[N] = {};
    BoundArguments() = default;
    BoundArguments(const BoundArguments&) = delete;
    BoundArguments& operator=(const BoundArguments&) = delete;
    ~BoundArguments() {
        for (PyObject* slot : slots) {
            Py_XDECREF(slot);
        }
    }
};
