// RuntimeState: the little that the runtime services themselves read. Zero at load, filled
// by setup_runtime_state and setup_shared_types, never released. Each extension that links
// the runtime has its own record. Guarded by the interpreter's global lock alone.
#pragma once

#include "runtime/python_api.h"

struct RuntimeState {
    PyObject* module_dict;  // the globals of the extension's functions
    PyObject* builtins_module;
    PyObject* empty_tuple;
    PyObject* empty_str;
    PyObject* is_coroutine_name;        // interned "_is_coroutine"
    PyObject* asyncio_coroutines_name;  // interned "asyncio.coroutines"
    PyTypeObject* common_metatype;
    PyTypeObject* native_function_type;
    const char* source_file_name;  // static text: the Python source that traceback entries name
};

extern RuntimeState runtime_state;

// Holds a new value in a state field, releasing what an earlier (failed) set-up left
// there. Fails when `value` is null.
template <typename Object>
int store_owned(Object*& field, Object* value) {
    if (!value) {
        return -1;
    }
    Py_XSETREF(field, value);
    return 0;
}

// Fills the record for the extension `module`, whose traceback entries name lines of
// `source_file_name` (static text), and prepares the lookup shortcuts for its dictionary.
// 0, or -1 with an exception set.
int setup_runtime_state(PyObject* module, const char* source_file_name);

// Fetches (or creates and registers) the shared metatype and function type into the
// record. 0, or -1 with an exception set.
int setup_shared_types();
