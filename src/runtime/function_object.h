// The shared function type `native_function_or_method` and its metatype: the record,
// the type specifications, the shared-type registry and function creation.
#pragma once

#include "runtime/python_api.h"

// Bits of NativeFunction::function_flags. They are a contract among every module that
// shares the type; this module's own functions always have 0.
enum : int32_t {
    STATIC_METHOD_FLAG = 1,
    NATIVE_METHOD_FLAG = 4,
    COROUTINE_FLAG = 8,
};

// Computes (__defaults__, __kwdefaults__) as a new 2-tuple, or null with an exception.
typedef PyObject* (*DefaultsProvider)(PyObject* function);

// Begins with the PyCMethodObject layout (m_ml, m_self, m_module, m_weakreflist,
// vectorcall, mm_class) so that code treating it as a builtin finds those fields.
// The record layout is shared by every module of the runtime version: do not reorder.
struct NativeFunction {
    PyCMethodObject head;
    PyObject* instance_dict;       // owned, may be null: __dict__
    PyObject* short_name;          // owned str, may be null: __name__, filled on first read
    PyObject* qualified_name;      // owned str: __qualname__
    PyObject* doc_value;           // owned, may be null: __doc__, filled on first read
    PyObject* module_globals;      // owned dict: __globals__
    PyObject* code_object;         // owned, may be null: __code__
    PyObject* closure_value;       // owned, may be null
    PyObject* defaults_holder;     // owned, may be null
    int32_t function_flags;
    PyObject* defaults_value;      // owned, may be null: __defaults__ once known
    PyObject* kwdefaults_value;    // owned, may be null: __kwdefaults__ once known
    DefaultsProvider defaults_provider;
    PyObject* annotations_dict;    // owned dict, may be null: __annotations__
    PyObject* is_coroutine_value;  // owned, may be null: cached _is_coroutine
};

inline NativeFunction* as_native_function(PyObject* object) {
    return reinterpret_cast<NativeFunction*>(object);
}

extern PyType_Spec common_metatype_spec;
extern PyType_Spec native_function_type_spec;

// Fetches the type registered under the spec's short name in `_native_shared_1_0`,
// or creates and registers it. A registered object that does not keep the contract of
// the spec (and, for the function type, of `metatype`) is refused with TypeError.
// New reference, or null with an exception set.
PyTypeObject* fetch_shared_type(PyTypeObject* metatype, PyType_Spec* spec, PyObject* bases);


// A new function object of runtime_state.native_function_type. The definition is static
// data. `code` may be null. New reference, or null with an exception set.
PyObject* create_function(PyMethodDef* definition, PyObject* qualified_name,
                          PyObject* module_name, PyObject* globals, PyObject* code);

// The class that argument-less super() in the function's body names (mm_class), borrowed;
// null until set. Inline: the constructor reads it on every call.
inline PyObject* function_defining_class(PyObject* function) {
    return reinterpret_cast<PyObject*>(as_native_function(function)->head.mm_class);
}

// Makes `defining_class` (any object a metaclass returned) the function's defining class.
void set_function_defining_class(PyObject* function, PyObject* defining_class);

// Makes the dict `annotations` the function's __annotations__.
void set_function_annotations(PyObject* function, PyObject* annotations);
