// Functions of the shared type with every calling shape, and hooks that reach the parts
// of the type that this module's own methods never use (other flags, the tuple-call
// dispatch, the defaults provider, the collector's clear).
//
// Every native function here echoes what reached it, so a test sees exactly which self,
// arguments and keyword names an entry passed on.
#include <cstddef>
#include <cstring>

#include "native_test_helper.h"
#include "runtime/attributes.h"
#include "runtime/function_object.h"
#include "runtime/instance_attributes.h"
#include "runtime/ref.h"
#include "runtime/runtime_state.h"

namespace {

PyObject* helper_module_name;  // owned for the life of the process

Ref tuple_of(PyObject* const* items, Py_ssize_t count) {
    Ref tuple = Ref::steal(PyTuple_New(count));
    if (!tuple) {
        return tuple;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(items[i]));
    }
    return tuple;
}

PyObject* or_none(PyObject* object) {
    return object ? object : Py_None;
}

// A count that still carries PY_VECTORCALL_ARGUMENTS_OFFSET reads as negative here.
PyObject* reject_flagged_count(Py_ssize_t count) {
    PyErr_Format(PyExc_SystemError, "count %zd reached the native function with its flag",
                 count);
    return nullptr;
}

// (self,), or (self, argument) if an argument reached it anyway.
PyObject* echo_noargs(PyObject* self, PyObject* argument) {
    return argument ? PyTuple_Pack(2, self, argument) : PyTuple_Pack(1, self);
}

PyObject* echo_one(PyObject* self, PyObject* argument) {
    return PyTuple_Pack(2, self, argument);
}

PyObject* echo_varargs(PyObject* self, PyObject* args) {
    return PyTuple_Pack(2, self, args);
}

// (self, args, keyword dict or None): the dict is passed back itself.
PyObject* echo_varargs_keywords(PyObject* self, PyObject* args, PyObject* keywords) {
    return PyTuple_Pack(3, self, args, or_none(keywords));
}

// (self, positional tuple, keyword names or None, keyword values tuple)
PyObject* echo_fastcall(PyObject* self, PyObject* const* args, Py_ssize_t count,
                        PyObject* keyword_names) {
    if (count < 0) {
        return reject_flagged_count(count);
    }
    Py_ssize_t keyword_count = keyword_names ? PyTuple_GET_SIZE(keyword_names) : 0;
    Ref positional = tuple_of(args, count);
    Ref values = tuple_of(args + count, keyword_count);
    if (!positional || !values) {
        return nullptr;
    }
    return PyTuple_Pack(4, self, positional.get(), or_none(keyword_names), values.get());
}

// (self, defining class or None, positional tuple, keyword names or None, values tuple)
PyObject* echo_method(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                      size_t count, PyObject* keyword_names) {
    if (count & PY_VECTORCALL_ARGUMENTS_OFFSET) {
        return reject_flagged_count(static_cast<Py_ssize_t>(count));
    }
    Py_ssize_t positional_count = static_cast<Py_ssize_t>(count);
    Py_ssize_t keyword_count = keyword_names ? PyTuple_GET_SIZE(keyword_names) : 0;
    Ref positional = tuple_of(args, positional_count);
    Ref values = tuple_of(args + positional_count, keyword_count);
    if (!positional || !values) {
        return nullptr;
    }
    return PyTuple_Pack(5, self, or_none(reinterpret_cast<PyObject*>(defining_class)),
                        positional.get(), or_none(keyword_names), values.get());
}

// Each calls its own function again with what reached it (self is the function): a
// recursion through no Python frame, which only the call entries' guard stops.
PyObject* recurse_noargs(PyObject* self, PyObject*) {
    return PyObject_CallNoArgs(self);
}

PyObject* recurse_one(PyObject* self, PyObject* argument) {
    return PyObject_CallOneArg(self, argument);
}

PyObject* recurse_varargs_keywords(PyObject* self, PyObject* args, PyObject* keywords) {
    return PyObject_Call(self, args, keywords);
}

PyObject* recurse_fastcall(PyObject* self, PyObject* const* args, Py_ssize_t count,
                           PyObject* keyword_names) {
    return PyObject_Vectorcall(self, args, static_cast<size_t>(count), keyword_names);
}

PyObject* recurse_method(PyObject* self, PyTypeObject*, PyObject* const* args, size_t count,
                         PyObject* keyword_names) {
    return PyObject_Vectorcall(self, args, count, keyword_names);
}

template <typename Function>
PyCFunction as_cfunction(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr const char long_name[] =
    "long_name_nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn"
    "nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn"
    "nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn";

// The definitions, by shape. They are static: a function keeps pointing at its definition.
struct Shape {
    const char* key;
    PyMethodDef definition;
    bool registered;  // also exposed as the module attribute shape_<key>
};

Shape shapes[] = {
    {"noargs", {"shape_noargs", echo_noargs, METH_NOARGS, nullptr}, true},
    {"o", {"shape_o", echo_one, METH_O, nullptr}, true},
    {"varargs_keywords",
     {"shape_varargs_keywords", as_cfunction(echo_varargs_keywords), METH_VARARGS | METH_KEYWORDS,
      nullptr},
     true},
    {"fastcall",
     {"shape_fastcall", as_cfunction(echo_fastcall), METH_FASTCALL | METH_KEYWORDS, nullptr},
     true},
    {"method",
     {"shape_method", as_cfunction(echo_method), METH_FASTCALL | METH_KEYWORDS | METH_METHOD,
      nullptr},
     true},
    {"documented",
     {"shape_documented", as_cfunction(echo_fastcall), METH_FASTCALL | METH_KEYWORDS,
      "Echoes what reaches it."},
     true},
    {"fastcall_coexist",
     {"shape_fastcall_coexist", as_cfunction(echo_fastcall),
      METH_FASTCALL | METH_KEYWORDS | METH_COEXIST, nullptr},
     false},
    {"long_name", {long_name, echo_noargs, METH_NOARGS, nullptr}, false},
    {"recurse_noargs", {"recurse_noargs", recurse_noargs, METH_NOARGS, nullptr}, false},
    {"recurse_o", {"recurse_o", recurse_one, METH_O, nullptr}, false},
    {"recurse_varargs_keywords",
     {"recurse_varargs_keywords", as_cfunction(recurse_varargs_keywords),
      METH_VARARGS | METH_KEYWORDS, nullptr},
     false},
    {"recurse_fastcall",
     {"recurse_fastcall", as_cfunction(recurse_fastcall), METH_FASTCALL | METH_KEYWORDS, nullptr},
     false},
    {"recurse_method",
     {"recurse_method", as_cfunction(recurse_method), METH_FASTCALL | METH_KEYWORDS | METH_METHOD,
      nullptr},
     false},
    // Shapes without a call entry: creating them fails, but a tuple-call function may be
    // switched to them (make_tuple_call_function).
    {"varargs", {"shape_varargs", echo_varargs, METH_VARARGS, nullptr}, false},
    {"varargs_o", {"shape_varargs_o", echo_varargs, METH_VARARGS | METH_O, nullptr}, false},
    {"fastcall_only",
     {"shape_fastcall_only", as_cfunction(echo_fastcall), METH_FASTCALL, nullptr}, false},
    {"noargs_keywords",
     {"shape_noargs_keywords", echo_noargs, METH_NOARGS | METH_KEYWORDS, nullptr}, false},
};

PyMethodDef* find_definition(const char* key) {
    for (Shape& shape : shapes) {
        if (std::strcmp(shape.key, key) == 0) {
            return &shape.definition;
        }
    }
    PyErr_Format(PyExc_ValueError, "no shape %s", key);
    return nullptr;
}

NativeFunction* checked_function(PyObject* object) {
    if (Py_TYPE(object) != runtime_state.native_function_type) {
        PyErr_SetString(PyExc_TypeError, "expected a native function");
        return nullptr;
    }
    return as_native_function(object);
}

Ref new_function(PyMethodDef* definition, int function_flags, PyObject* qualified_name,
                 PyObject* code) {
    Ref name;
    if (!qualified_name) {
        name = Ref::steal(PyUnicode_FromString(definition->ml_name));
        if (!name) {
            return name;
        }
        qualified_name = name.get();
    }
    Ref function = Ref::steal(create_function(definition, qualified_name, helper_module_name,
                                              runtime_state.module_dict, code));
    if (function) {
        as_native_function(function.get())->function_flags = function_flags;
    }
    return function;
}

// make_function(shape, function_flags=0, qualname=None, code=None)
PyObject* make_function(PyObject*, PyObject* args, PyObject* keywords) {
    static const char* keyword_list[] = {"shape", "function_flags", "qualname", "code", nullptr};
    const char* key;
    int function_flags = 0;
    PyObject* qualified_name = nullptr;
    PyObject* code = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, keywords, "s|iUO", const_cast<char**>(keyword_list),
                                     &key, &function_flags, &qualified_name, &code)) {
        return nullptr;
    }
    PyMethodDef* definition = find_definition(key);
    if (!definition) {
        return nullptr;
    }
    return new_function(definition, function_flags, qualified_name, code).release();
}

PyObject* make_bad_function(PyObject*, PyObject*) {
    static PyMethodDef varargs_and_one = {"bad_flags", echo_varargs, METH_VARARGS | METH_O,
                                          nullptr};
    return new_function(&varargs_and_one, 0, nullptr, nullptr).release();
}

// A function without a call entry (so calls go through the tuple dispatch) that then
// carries the definition of `shape`: the only way to reach the dispatch's other rows.
PyObject* make_tuple_call_function(PyObject*, PyObject* args) {
    const char* key;
    int function_flags = 0;
    if (!PyArg_ParseTuple(args, "s|i", &key, &function_flags)) {
        return nullptr;
    }
    PyMethodDef* definition = find_definition(key);
    if (!definition) {
        return nullptr;
    }
    Ref qualified_name = Ref::steal(PyUnicode_FromString(definition->ml_name));
    if (!qualified_name) {
        return nullptr;
    }
    Ref function = new_function(find_definition("varargs_keywords"), function_flags,
                                qualified_name.get(), nullptr);
    if (function) {
        as_native_function(function.get())->head.func.m_ml = definition;
    }
    return function.release();
}

PyObject* shared_types(PyObject*, PyObject*) {
    return PyTuple_Pack(2, reinterpret_cast<PyObject*>(runtime_state.common_metatype),
                        reinterpret_cast<PyObject*>(runtime_state.native_function_type));
}

// Runs the type's clear slot, as the collector does when it breaks a cycle.
PyObject* clear_function(PyObject*, PyObject* function) {
    if (!checked_function(function)) {
        return nullptr;
    }
    Py_TYPE(function)->tp_clear(function);
    Py_RETURN_NONE;
}

// tp_call(function, args, keywords=None): the slot itself, with any dict (non-str keys
// included) and nothing of the interpreter's call machinery on the way.
PyObject* call_tp_call(PyObject*, PyObject* args) {
    PyObject* function;
    PyObject* call_args;
    PyObject* keywords = Py_None;
    if (!PyArg_ParseTuple(args, "OO!|O", &function, &PyTuple_Type, &call_args, &keywords) ||
        !checked_function(function)) {
        return nullptr;
    }
    if (keywords != Py_None && !PyDict_Check(keywords)) {
        PyErr_SetString(PyExc_TypeError, "keywords must be a dict or None");
        return nullptr;
    }
    return Py_TYPE(function)->tp_call(function, call_args,
                                      keywords == Py_None ? nullptr : keywords);
}

// vectorcall(function, values, keyword_names=None, offset=False) ->
// (result, whether the slot in front of the arguments is untouched). `values` holds the
// positional arguments followed by the keyword values.
PyObject* call_vectorcall(PyObject*, PyObject* args) {
    PyObject* function;
    PyObject* values;
    PyObject* keyword_names = Py_None;
    int offset = 0;
    if (!PyArg_ParseTuple(args, "OO!|Op", &function, &PyTuple_Type, &values, &keyword_names,
                          &offset)) {
        return nullptr;
    }
    if (keyword_names == Py_None) {
        keyword_names = nullptr;
    } else if (!PyTuple_Check(keyword_names)) {
        PyErr_SetString(PyExc_TypeError, "keyword_names must be a tuple or None");
        return nullptr;
    }
    Py_ssize_t total = PyTuple_GET_SIZE(values);
    Py_ssize_t keyword_count = keyword_names ? PyTuple_GET_SIZE(keyword_names) : 0;
    if (keyword_count > total) {
        PyErr_SetString(PyExc_ValueError, "more keyword names than values");
        return nullptr;
    }
    auto vector = static_cast<PyObject**>(
        PyMem_Malloc(static_cast<size_t>(total + 1) * sizeof(PyObject*)));
    if (!vector) {
        return PyErr_NoMemory();
    }
    PyObject* sentinel = Py_Ellipsis;
    vector[0] = sentinel;
    for (Py_ssize_t i = 0; i < total; ++i) {
        vector[i + 1] = PyTuple_GET_ITEM(values, i);
    }
    size_t count = static_cast<size_t>(total - keyword_count);
    if (offset) {
        count |= PY_VECTORCALL_ARGUMENTS_OFFSET;
    }
    Ref result = Ref::steal(PyObject_Vectorcall(function, vector + 1, count, keyword_names));
    bool untouched = vector[0] == sentinel;
    PyMem_Free(vector);
    if (!result) {
        return nullptr;
    }
    return PyTuple_Pack(2, result.get(), untouched ? Py_True : Py_False);
}

PyObject* set_defining_class(PyObject*, PyObject* args) {
    PyObject* function;
    PyObject* defining_class;
    if (!PyArg_ParseTuple(args, "OO", &function, &defining_class)) {
        return nullptr;
    }
    NativeFunction* native = checked_function(function);
    if (!native) {
        return nullptr;
    }
    if (defining_class != Py_None && !PyType_Check(defining_class)) {
        PyErr_SetString(PyExc_TypeError, "expected a class or None");
        return nullptr;
    }
    PyObject* held = defining_class == Py_None ? nullptr : Py_NewRef(defining_class);
    Py_XSETREF(native->head.mm_class, reinterpret_cast<PyTypeObject*>(held));
    Py_RETURN_NONE;
}

// Whether the property/static-method and inline-values layouts match, tried again.
PyObject* layouts_match(PyObject*, PyObject*) {
    const int descriptors = check_descriptor_layouts();
    const int instance_values = descriptors < 0 ? -1 : check_instance_values_layout();
    if (instance_values < 0) {
        return nullptr;
    }
    return Py_BuildValue("(OO)", descriptors ? Py_True : Py_False, instance_values ? Py_True : Py_False);
}

Py_ssize_t provider_calls;

PyObject* provide_defaults(PyObject*) {
    ++provider_calls;
    return Py_BuildValue("((ii){si})", 1, 2, "k", 3);
}

PyObject* fail_to_provide_defaults(PyObject*) {
    ++provider_calls;
    PyErr_SetString(PyExc_ValueError, "no defaults today");
    return nullptr;
}

// set_defaults_provider(function, fails=False): installs a provider that returns
// ((1, 2), {"k": 3}), or one that raises ValueError. Resets the call count.
PyObject* set_defaults_provider(PyObject*, PyObject* args) {
    PyObject* function;
    int fails = 0;
    if (!PyArg_ParseTuple(args, "O|p", &function, &fails)) {
        return nullptr;
    }
    NativeFunction* native = checked_function(function);
    if (!native) {
        return nullptr;
    }
    native->defaults_provider = fails ? fail_to_provide_defaults : provide_defaults;
    provider_calls = 0;
    Py_RETURN_NONE;
}

PyObject* defaults_provider_calls(PyObject*, PyObject*) {
    return PyLong_FromSsize_t(provider_calls);
}

PyMethodDef hook_methods[] = {
    {"make_function", as_cfunction(make_function), METH_VARARGS | METH_KEYWORDS,
     "make_function(shape, function_flags=0, qualname=None, code=None)"},
    {"make_bad_function", make_bad_function, METH_NOARGS,
     "Creates a function defined with METH_VARARGS | METH_O."},
    {"make_tuple_call_function", make_tuple_call_function, METH_VARARGS,
     "make_tuple_call_function(shape, function_flags=0)"},
    {"shared_types", shared_types, METH_NOARGS, "(metatype, function type) this module fetched"},
    {"clear_function", clear_function, METH_O, "Runs tp_clear on a function."},
    {"tp_call", call_tp_call, METH_VARARGS, "tp_call(function, args, keywords=None)"},
    {"vectorcall", call_vectorcall, METH_VARARGS,
     "vectorcall(function, values, keyword_names=None, offset=False)"},
    {"set_defining_class", set_defining_class, METH_VARARGS, "Sets mm_class."},
    {"set_defaults_provider", set_defaults_provider, METH_VARARGS,
     "set_defaults_provider(function, fails=False)"},
    {"defaults_provider_calls", defaults_provider_calls, METH_NOARGS, nullptr},
    {"layouts_match", layouts_match, METH_NOARGS, "(descriptor layouts, inline-values layout) match"},
    {nullptr, nullptr, 0, nullptr},
};

int add_constants(PyObject* module) {
    Ref offsets = Ref::steal(Py_BuildValue(
        "{snsnsn}", "__dictoffset__",
        static_cast<Py_ssize_t>(offsetof(NativeFunction, instance_dict)), "__vectorcalloffset__",
        static_cast<Py_ssize_t>(offsetof(NativeFunction, head.func.vectorcall)),
        "__weaklistoffset__",
        static_cast<Py_ssize_t>(offsetof(NativeFunction, head.func.m_weakreflist))));
    if (!offsets || PyModule_AddObjectRef(module, "record_offsets", offsets.get()) < 0) {
        return -1;
    }
    if (PyModule_AddIntConstant(module, "record_size", sizeof(NativeFunction)) < 0 ||
        PyModule_AddIntConstant(module, "STATIC_METHOD_FLAG", STATIC_METHOD_FLAG) < 0 ||
        PyModule_AddIntConstant(module, "NATIVE_METHOD_FLAG", NATIVE_METHOD_FLAG) < 0 ||
        PyModule_AddIntConstant(module, "COROUTINE_FLAG", COROUTINE_FLAG) < 0) {
        return -1;
    }
    return 0;
}

}  // namespace

int add_function_shape_hooks(PyObject* module) {
    helper_module_name = PyModule_GetNameObject(module);
    if (!helper_module_name || PyModule_AddFunctions(module, hook_methods) < 0 ||
        add_constants(module) < 0) {
        return -1;
    }
    for (Shape& shape : shapes) {
        if (!shape.registered) {
            continue;
        }
        Ref function = new_function(&shape.definition, 0, nullptr, nullptr);
        if (!function ||
            PyModule_AddObjectRef(module, shape.definition.ml_name, function.get()) < 0) {
            return -1;
        }
    }
    return 0;
}
