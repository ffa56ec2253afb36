// The shared function type: registry, PyType_Specs, attributes, life cycle and
// the call entries.
//
// Whichever module registers the type first serves the function objects of every module
// of the runtime version, so nothing here may depend on which module created a function.
#include "runtime/function_object.h"

#include <structmember.h>

#include <cstddef>
#include <cstring>

#include "runtime/attributes.h"
#include "runtime/recursion_guard.h"
#include "runtime/ref.h"
#include "runtime/runtime_state.h"

namespace {

constexpr const char shared_module_name[] = "_native_shared_1_0";
constexpr const char bad_call_flags_message[] = "Bad call flags for NativeFunction";

// The flag bits that decide the shape of a method definition.
constexpr int vectorcall_shape_mask =
    METH_VARARGS | METH_KEYWORDS | METH_NOARGS | METH_O | METH_FASTCALL | METH_METHOD;
constexpr int tuple_shape_mask = METH_VARARGS | METH_KEYWORDS | METH_NOARGS | METH_O;

// The native function of a definition, cast to the shape its flags announce.
template <typename Function>
Function native_as(const PyMethodDef* definition) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(definition->ml_meth));
}

const char* definition_name(PyObject* function) {
    return as_native_function(function)->head.func.m_ml->ml_name;
}

bool takes_self_from_arguments(PyObject* function) {
    int32_t flags = as_native_function(function)->function_flags;
    return (flags & NATIVE_METHOD_FLAG) && !(flags & STATIC_METHOD_FLAG);
}

// Cold: the messages of a wrong call shape, "%.200s() %s".
PyObject* raise_call_error(PyObject* function, const char* problem) {
    PyErr_Format(PyExc_TypeError, "%.200s() %s", definition_name(function), problem);
    return nullptr;
}

PyObject* raise_count_error(PyObject* function, const char* problem, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", definition_name(function), problem,
                 given);
    return nullptr;
}

// The qualified name, or the definition's name once the collector has cleared the
// function: a cleared function must still describe itself without crashing.
Ref qualified_name_of(PyObject* function) {
    NativeFunction* native = as_native_function(function);
    if (native->qualified_name) {
        return Ref::borrow(native->qualified_name);
    }
    return Ref::steal(PyUnicode_InternFromString(native->head.func.m_ml->ml_name));
}

// ---------------------------------------------------------------------------------------
// Vectorcall entries. None writes to the slot in front of the arguments.

// The checks common to the no-argument and one-argument shapes, and their self: the
// first argument for a function that takes it from the arguments (which are then
// advanced past it), else m_self. False with the exception set when the call cannot fit.
bool take_self(PyObject* function, PyObject* const*& args, Py_ssize_t& count,
               PyObject* keyword_names, PyObject*& self) {
    const bool self_from_arguments = takes_self_from_arguments(function);
    if (self_from_arguments && count == 0) {
        raise_call_error(function, "needs an argument");
        return false;
    }
    if (keyword_names && PyTuple_GET_SIZE(keyword_names) != 0) {
        raise_call_error(function, "takes no keyword arguments");
        return false;
    }
    self = as_native_function(function)->head.func.m_self;
    if (self_from_arguments) {
        self = args[0];
        ++args;
        --count;
    }
    return true;
}

PyObject* native_function_call_noargs(PyObject* function, PyObject* const* args,
                                      size_t nargsf, PyObject* keyword_names) {
    Py_ssize_t count = PyVectorcall_NARGS(nargsf);
    PyObject* self = nullptr;
    if (!take_self(function, args, count, keyword_names, self)) {
        return nullptr;
    }
    if (count != 0) {
        return raise_count_error(function, "takes no arguments", count);
    }
    return as_native_function(function)->head.func.m_ml->ml_meth(self, nullptr);
}

PyObject* native_function_call_one_arg(PyObject* function, PyObject* const* args,
                                       size_t nargsf, PyObject* keyword_names) {
    Py_ssize_t count = PyVectorcall_NARGS(nargsf);
    PyObject* self = nullptr;
    if (!take_self(function, args, count, keyword_names, self)) {
        return nullptr;
    }
    if (count != 1) {
        return raise_count_error(function, "takes exactly one argument", count);
    }
    return as_native_function(function)->head.func.m_ml->ml_meth(self, args[0]);
}

PyObject* native_function_call_fastcall(PyObject* function, PyObject* const* args,
                                        size_t nargsf, PyObject* keyword_names) {
    Py_ssize_t count = PyVectorcall_NARGS(nargsf);
    auto native = native_as<_PyCFunctionFastWithKeywords>(
        as_native_function(function)->head.func.m_ml);
    if (!takes_self_from_arguments(function)) {
        return native(as_native_function(function)->head.func.m_self, args, count,
                      keyword_names);
    }
    if (count == 0) {
        return raise_call_error(function, "needs an argument");
    }
    return native(args[0], args + 1, count - 1, keyword_names);
}

PyObject* native_function_call_fastcall_method(PyObject* function, PyObject* const* args,
                                               size_t nargsf, PyObject* keyword_names) {
    Py_ssize_t count = PyVectorcall_NARGS(nargsf);
    NativeFunction* native_function = as_native_function(function);
    auto native = native_as<PyCMethod>(native_function->head.func.m_ml);
    if (!takes_self_from_arguments(function)) {
        return native(native_function->head.func.m_self, native_function->head.mm_class, args,
                      static_cast<size_t>(count), keyword_names);
    }
    if (count == 0) {
        return raise_call_error(function, "needs an argument");
    }
    return native(args[0], native_function->head.mm_class, args + 1,
                  static_cast<size_t>(count - 1), keyword_names);
}

// Every call shape runs inside the recursion guard.
template <vectorcallfunc entry>
PyObject* guarded(PyObject* function, PyObject* const* args, size_t nargsf,
                  PyObject* keyword_names) {
    return call_guarded(entry, function, args, nargsf, keyword_names);
}

// The entry for a definition's flags; `*valid` is false for flags that match no shape.
vectorcallfunc choose_call_entry(int definition_flags, bool* valid) {
    *valid = true;
    switch (definition_flags & vectorcall_shape_mask) {
    case METH_VARARGS | METH_KEYWORDS:
        return nullptr;  // called through tp_call
    case METH_NOARGS:
        return guarded<native_function_call_noargs>;
    case METH_O:
        return guarded<native_function_call_one_arg>;
    case METH_FASTCALL | METH_KEYWORDS:
        return guarded<native_function_call_fastcall>;
    case METH_FASTCALL | METH_KEYWORDS | METH_METHOD:
        return guarded<native_function_call_fastcall_method>;
    default:
        *valid = false;
        return nullptr;
    }
}

// ---------------------------------------------------------------------------------------
// Tuple calls.

bool is_non_empty_dict(PyObject* keywords) {
    return keywords && PyDict_Size(keywords) != 0;
}

PyObject* dispatch_tuple_call(PyObject* function, PyObject* self, PyObject* args,
                              PyObject* keywords) {
    const PyMethodDef* definition = as_native_function(function)->head.func.m_ml;
    switch (definition->ml_flags & tuple_shape_mask) {
    case METH_VARARGS:
        if (is_non_empty_dict(keywords)) {
            return raise_call_error(function, "takes no keyword arguments");
        }
        return definition->ml_meth(self, args);
    case METH_VARARGS | METH_KEYWORDS:
        return native_as<PyCFunctionWithKeywords>(definition)(self, args, keywords);
    case METH_NOARGS: {
        if (is_non_empty_dict(keywords)) {
            return raise_call_error(function, "takes no keyword arguments");
        }
        Py_ssize_t count = PyTuple_GET_SIZE(args);
        if (count != 0) {
            return raise_count_error(function, "takes no arguments", count);
        }
        return definition->ml_meth(self, nullptr);
    }
    case METH_O: {
        if (is_non_empty_dict(keywords)) {
            return raise_call_error(function, "takes no keyword arguments");
        }
        Py_ssize_t count = PyTuple_GET_SIZE(args);
        if (count != 1) {
            return raise_count_error(function, "takes exactly one argument", count);
        }
        return definition->ml_meth(self, PyTuple_GET_ITEM(args, 0));
    }
    default:
        PyErr_SetString(PyExc_SystemError, bad_call_flags_message);
        return nullptr;
    }
}

PyObject* call_tuple_dispatch(PyObject* function, PyObject* self, PyObject* args,
                              PyObject* keywords) {
    return call_guarded(dispatch_tuple_call, function, self, args, keywords);
}

// The flattened arguments of a keyword-dict call: on the stack when they fit, which they
// nearly always do, else in a heap block (null when that allocation fails).
class CallArgumentVector {
public:
    explicit CallArgumentVector(Py_ssize_t size)
        : items_(size <= stack_capacity
                     ? stack_items_
                     : static_cast<PyObject**>(PyMem_Malloc(static_cast<size_t>(size) * sizeof(PyObject*)))) {}
    ~CallArgumentVector() {
        if (items_ != stack_items_) {
            PyMem_Free(items_);
        }
    }
    CallArgumentVector(const CallArgumentVector&) = delete;
    CallArgumentVector& operator=(const CallArgumentVector&) = delete;

    PyObject** items() const { return items_; }

private:
    static constexpr Py_ssize_t stack_capacity = 8;
    PyObject* stack_items_[stack_capacity];
    PyObject** items_;
};

// Turns a non-empty keyword dict into the vectorcall form: the values after the
// positional arguments in one temporary vector, the names in a tuple.
PyObject* native_function_call_with_keyword_dict(PyObject* function, vectorcallfunc entry,
                                                 PyObject* args, PyObject* keywords) {
    Py_ssize_t positional_count = PyTuple_GET_SIZE(args);
    Py_ssize_t keyword_count = PyDict_Size(keywords);
    CallArgumentVector arguments(positional_count + keyword_count);
    PyObject** vector = arguments.items();
    if (!vector) {
        return PyErr_NoMemory();
    }
    // Borrowed: the tuple keeps the positional arguments alive.
    for (Py_ssize_t i = 0; i < positional_count; ++i) {
        vector[i] = PyTuple_GET_ITEM(args, i);
    }
    Ref names = Ref::steal(PyTuple_New(keyword_count));
    if (!names) {
        return nullptr;
    }
    // The vector owns the values and the tuple owns the names, so code run by the callee
    // cannot free them even if it empties the dict.
    bool all_keys_are_str = true;
    Py_ssize_t position = 0;
    PyObject* key;
    PyObject* value;
    for (Py_ssize_t j = 0; j < keyword_count && PyDict_Next(keywords, &position, &key, &value);
         ++j) {
        all_keys_are_str = all_keys_are_str && PyUnicode_Check(key);
        PyTuple_SET_ITEM(names.get(), j, Py_NewRef(key));
        vector[positional_count + j] = Py_NewRef(value);
    }
    PyObject* result = nullptr;
    if (all_keys_are_str) {
        result = entry(function, vector, static_cast<size_t>(positional_count), names.get());
    } else {
        PyErr_SetString(PyExc_TypeError, "keywords must be strings");
    }
    for (Py_ssize_t j = 0; j < keyword_count; ++j) {
        Py_DECREF(vector[positional_count + j]);
    }
    return result;
}

PyObject* native_function_call(PyObject* function, PyObject* args, PyObject* keywords) {
    if (vectorcallfunc entry = as_native_function(function)->head.func.vectorcall) {
        if (!is_non_empty_dict(keywords)) {
            return entry(function, &PyTuple_GET_ITEM(args, 0),
                         static_cast<size_t>(PyTuple_GET_SIZE(args)), nullptr);
        }
        return native_function_call_with_keyword_dict(function, entry, args, keywords);
    }
    if (!takes_self_from_arguments(function)) {
        return call_tuple_dispatch(function, as_native_function(function)->head.func.m_self,
                                   args, keywords);
    }
    if (PyTuple_GET_SIZE(args) == 0) {
        Ref name = qualified_name_of(function);
        if (name) {
            PyErr_Format(PyExc_TypeError, "unbound method %.200S() needs an argument",
                         name.get());
        }
        return nullptr;
    }
    Ref rest = Ref::steal(PyTuple_GetSlice(args, 1, PyTuple_GET_SIZE(args)));
    if (!rest) {
        return nullptr;
    }
    return call_tuple_dispatch(function, PyTuple_GET_ITEM(args, 0), rest.get(), keywords);
}

// ---------------------------------------------------------------------------------------
// Attributes.

PyObject* native_function_get_doc(PyObject* function, void*) {
    NativeFunction* native = as_native_function(function);
    if (!native->doc_value) {
        const char* text = native->head.func.m_ml->ml_doc;
        if (!text) {
            Py_RETURN_NONE;
        }
        native->doc_value = PyUnicode_FromString(text);
        if (!native->doc_value) {
            return nullptr;
        }
    }
    return Py_NewRef(native->doc_value);
}

int native_function_set_doc(PyObject* function, PyObject* value, void*) {
    Py_XSETREF(as_native_function(function)->doc_value, Py_NewRef(value ? value : Py_None));
    return 0;
}

PyObject* native_function_get_name(PyObject* function, void*) {
    NativeFunction* native = as_native_function(function);
    if (!native->short_name) {
        native->short_name = PyUnicode_InternFromString(native->head.func.m_ml->ml_name);
        if (!native->short_name) {
            return nullptr;
        }
    }
    return Py_NewRef(native->short_name);
}

int native_function_set_name(PyObject* function, PyObject* value, void*) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_native_function(function)->short_name, Py_NewRef(value));
    return 0;
}

PyObject* native_function_get_qualname(PyObject* function, void*) {
    return qualified_name_of(function).release();
}

int native_function_set_qualname(PyObject* function, PyObject* value, void*) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_native_function(function)->qualified_name, Py_NewRef(value));
    return 0;
}

// None once the collector has cleared the function.
PyObject* native_function_get_globals(PyObject* function, void*) {
    PyObject* globals = as_native_function(function)->module_globals;
    return Py_NewRef(globals ? globals : Py_None);
}

PyObject* native_function_get_closure(PyObject*, void*) {
    Py_RETURN_NONE;
}

PyObject* native_function_get_code(PyObject* function, void*) {
    PyObject* code = as_native_function(function)->code_object;
    return Py_NewRef(code ? code : Py_None);
}

// Fills both defaults fields from the provider, which computes them as one pair.
int fill_defaults(NativeFunction* native) {
    Ref pair = Ref::steal(native->defaults_provider(reinterpret_cast<PyObject*>(native)));
    if (!pair) {
        return -1;
    }
    Py_XSETREF(native->defaults_value, Py_NewRef(PyTuple_GET_ITEM(pair.get(), 0)));
    Py_XSETREF(native->kwdefaults_value, Py_NewRef(PyTuple_GET_ITEM(pair.get(), 1)));
    return 0;
}

PyObject* native_function_get_defaults(PyObject* function, void*) {
    NativeFunction* native = as_native_function(function);
    if (!native->defaults_value && native->defaults_provider && fill_defaults(native) < 0) {
        return nullptr;
    }
    return Py_NewRef(native->defaults_value ? native->defaults_value : Py_None);
}

PyObject* native_function_get_kwdefaults(PyObject* function, void*) {
    NativeFunction* native = as_native_function(function);
    if (!native->kwdefaults_value && native->defaults_provider && fill_defaults(native) < 0) {
        return nullptr;
    }
    return Py_NewRef(native->kwdefaults_value ? native->kwdefaults_value : Py_None);
}

// The setters of __defaults__ and __kwdefaults__: None (or deletion) or an object that
// `accepts`; the warning is issued before anything is stored, so a warning turned into
// an error leaves the field unchanged.
int set_defaults_field(PyObject*& field, PyObject* value, int (*accepts)(PyObject*),
                       const char* type_message, const char* warning) {
    if (!value) {
        value = Py_None;
    }
    if (value != Py_None && !accepts(value)) {
        PyErr_SetString(PyExc_TypeError, type_message);
        return -1;
    }
    if (PyErr_WarnEx(PyExc_RuntimeWarning, warning, 1) < 0) {
        return -1;
    }
    Py_XSETREF(field, Py_NewRef(value));
    return 0;
}

int is_tuple(PyObject* value) { return PyTuple_Check(value); }
int is_dict(PyObject* value) { return PyDict_Check(value); }

int native_function_set_defaults(PyObject* function, PyObject* value, void*) {
    return set_defaults_field(as_native_function(function)->defaults_value, value, is_tuple,
                              "__defaults__ must be set to a tuple object",
                              "changes to native_function.__defaults__ will not currently affect "
                              "the values used in function calls");
}

int native_function_set_kwdefaults(PyObject* function, PyObject* value, void*) {
    return set_defaults_field(as_native_function(function)->kwdefaults_value, value, is_dict,
                              "__kwdefaults__ must be set to a dict object",
                              "changes to native_function.__kwdefaults__ will not currently affect "
                              "the values used in function calls");
}

PyObject* native_function_get_annotations(PyObject* function, void*) {
    NativeFunction* native = as_native_function(function);
    if (!native->annotations_dict) {
        native->annotations_dict = PyDict_New();
        if (!native->annotations_dict) {
            return nullptr;
        }
    }
    return Py_NewRef(native->annotations_dict);
}

int native_function_set_annotations(PyObject* function, PyObject* value, void*) {
    NativeFunction* native = as_native_function(function);
    if (!value || value == Py_None) {
        Py_CLEAR(native->annotations_dict);
        return 0;
    }
    if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(native->annotations_dict, Py_NewRef(value));
    return 0;
}

// asyncio's marker object, or True when asyncio cannot provide it.
Ref coroutine_marker() {
    Ref from_list = Ref::steal(PyList_New(1));
    if (!from_list) {
        return Ref();
    }
    PyList_SET_ITEM(from_list.get(), 0, Py_NewRef(runtime_state.is_coroutine_name));
    Ref module = Ref::steal(PyImport_ImportModuleLevelObject(
        runtime_state.asyncio_coroutines_name, nullptr, nullptr, from_list.get(), 0));
    Ref marker;
    if (module) {
        marker = get_attr(module.get(), runtime_state.is_coroutine_name);
    }
    if (!marker) {
        PyErr_Clear();
        marker = Ref::borrow(Py_True);
    }
    return marker;
}

PyObject* native_function_get_is_coroutine(PyObject* function, void*) {
    NativeFunction* native = as_native_function(function);
    if (native->is_coroutine_value) {
        return Py_NewRef(native->is_coroutine_value);
    }
    if (!(native->function_flags & COROUTINE_FLAG)) {
        native->is_coroutine_value = Py_NewRef(Py_False);
        return Py_NewRef(Py_False);
    }
    Ref marker = coroutine_marker();
    if (!marker) {
        return nullptr;
    }
    // The import runs Python code, which may have read the attribute meanwhile: the first
    // stored value wins so that every reader sees one object.
    if (!native->is_coroutine_value) {
        native->is_coroutine_value = Py_NewRef(marker.get());
    }
    return Py_NewRef(native->is_coroutine_value);
}

PyGetSetDef native_function_getset[] = {
    {"__doc__", native_function_get_doc, native_function_set_doc, nullptr, nullptr},
    {"func_doc", native_function_get_doc, native_function_set_doc, nullptr, nullptr},
    {"__name__", native_function_get_name, native_function_set_name, nullptr, nullptr},
    {"func_name", native_function_get_name, native_function_set_name, nullptr, nullptr},
    {"__qualname__", native_function_get_qualname, native_function_set_qualname, nullptr,
     nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"func_dict", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__globals__", native_function_get_globals, nullptr, nullptr, nullptr},
    {"func_globals", native_function_get_globals, nullptr, nullptr, nullptr},
    {"__closure__", native_function_get_closure, nullptr, nullptr, nullptr},
    {"func_closure", native_function_get_closure, nullptr, nullptr, nullptr},
    {"__code__", native_function_get_code, nullptr, nullptr, nullptr},
    {"func_code", native_function_get_code, nullptr, nullptr, nullptr},
    {"__defaults__", native_function_get_defaults, native_function_set_defaults, nullptr,
     nullptr},
    {"func_defaults", native_function_get_defaults, native_function_set_defaults, nullptr,
     nullptr},
    {"__kwdefaults__", native_function_get_kwdefaults, native_function_set_kwdefaults, nullptr,
     nullptr},
    {"__annotations__", native_function_get_annotations, native_function_set_annotations,
     nullptr, nullptr},
    {"_is_coroutine", native_function_get_is_coroutine, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The three offsets let PyType_FromModuleAndSpec set up the instance dict, vectorcall and
// weak references of the type.
PyMemberDef native_function_members[] = {
    {"__module__", T_OBJECT, offsetof(NativeFunction, head.func.m_module), 0, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(NativeFunction, instance_dict), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(NativeFunction, head.func.vectorcall),
     READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(NativeFunction, head.func.m_weakreflist),
     READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Pickling stores a function by its qualified name.
PyObject* native_function_reduce(PyObject* function, PyObject*) {
    return qualified_name_of(function).release();
}

PyMethodDef native_function_methods[] = {
    {"__reduce__", native_function_reduce, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* native_function_repr(PyObject* function) {
    Ref name = qualified_name_of(function);
    if (!name) {
        return nullptr;
    }
    return PyUnicode_FromFormat("<native function %U at %p>", name.get(), function);
}

PyObject* native_function_descr_get(PyObject* function, PyObject* instance, PyObject*) {
    if (!instance) {
        return Py_NewRef(function);
    }
    return PyMethod_New(function, instance);
}

// ---------------------------------------------------------------------------------------
// Garbage collection.

// short_name, qualified_name and code_object hold only str and code objects, which
// cannot lead back to the function. The type is visited last: instances own it.
int native_function_traverse(PyObject* function, visitproc visit, void* arg) {
    NativeFunction* native = as_native_function(function);
    Py_VISIT(native->closure_value);
    Py_VISIT(native->head.func.m_module);
    Py_VISIT(native->instance_dict);
    Py_VISIT(native->doc_value);
    Py_VISIT(native->module_globals);
    Py_VISIT(native->head.mm_class);
    Py_VISIT(native->defaults_value);
    Py_VISIT(native->kwdefaults_value);
    Py_VISIT(native->annotations_dict);
    Py_VISIT(native->is_coroutine_value);
    Py_VISIT(native->defaults_holder);
    Py_VISIT(Py_TYPE(function));
    return 0;
}

// m_ml is static data and m_self the function itself (not counted), so both stay: a
// cleared function can still be called and still names itself.
int native_function_clear(PyObject* function) {
    NativeFunction* native = as_native_function(function);
    Py_CLEAR(native->closure_value);
    Py_CLEAR(native->head.func.m_module);
    Py_CLEAR(native->instance_dict);
    Py_CLEAR(native->short_name);
    Py_CLEAR(native->qualified_name);
    Py_CLEAR(native->doc_value);
    Py_CLEAR(native->module_globals);
    Py_CLEAR(native->code_object);
    Py_CLEAR(native->head.mm_class);
    Py_CLEAR(native->defaults_value);
    Py_CLEAR(native->kwdefaults_value);
    Py_CLEAR(native->annotations_dict);
    Py_CLEAR(native->is_coroutine_value);
    Py_CLEAR(native->defaults_holder);
    return 0;
}

void native_function_dealloc(PyObject* function) {
    PyTypeObject* type = Py_TYPE(function);
    PyObject_GC_UnTrack(function);
    if (as_native_function(function)->head.func.m_weakreflist) {
        PyObject_ClearWeakRefs(function);
    }
    native_function_clear(function);
    PyObject_GC_Del(function);
    Py_DECREF(type);  // instances of a heap type own a reference to it
}

// ---------------------------------------------------------------------------------------
// The metatype.

PyObject* common_metatype_get_module(PyObject*, void*) {
    return PyUnicode_FromString(shared_module_name);
}

// Installed on the metatype although it disallows instantiation: type() hands the creation
// of a class with a function-type base to the metatype's tp_new, and calls it unchecked.
PyObject* common_metatype_new(PyTypeObject* metatype, PyObject*, PyObject*) {
    PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", metatype->tp_name);
    return nullptr;
}

PyGetSetDef common_metatype_getset[] = {
    {"__module__", common_metatype_get_module, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot common_metatype_slots[] = {
    {Py_tp_getset, common_metatype_getset},
    {0, nullptr},
};

PyType_Slot native_function_type_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(native_function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(native_function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(native_function_call)},
    {Py_tp_traverse, reinterpret_cast<void*>(native_function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(native_function_clear)},
    {Py_tp_methods, native_function_methods},
    {Py_tp_members, native_function_members},
    {Py_tp_getset, native_function_getset},
    {Py_tp_descr_get, reinterpret_cast<void*>(native_function_descr_get)},
    {0, nullptr},
};

}  // namespace

PyType_Spec common_metatype_spec = {
    "_native_shared_1_0._common_types_metatype",
    0,
    0,
    Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    common_metatype_slots,
};

PyType_Spec native_function_type_spec = {
    "_native_shared_1_0.native_function_or_method",
    static_cast<int>(sizeof(NativeFunction)),
    0,
    Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_BASETYPE |
        Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR,
    native_function_type_slots,
};

namespace {

PyTypeObject* refuse_shared_type(const char* short_name, const char* problem) {
    PyErr_Format(PyExc_TypeError, "Shared native type %.200s %s", short_name, problem);
    return nullptr;
}

// What a metatype needs: its instances are type objects, laid out as `type`'s own.
const char* metatype_problem(PyTypeObject* candidate) {
    if (!PyType_IsSubtype(candidate, &PyType_Type)) {
        return "is not a subtype of type";
    }
    if (candidate->tp_basicsize != PyType_Type.tp_basicsize ||
        candidate->tp_itemsize != PyType_Type.tp_itemsize) {
        return "has the wrong size, try recompiling";
    }
    return nullptr;
}

constexpr Py_ssize_t record_offset(size_t offset) {
    return static_cast<Py_ssize_t>(offset);
}

// What every module of the runtime version relies on when it creates, calls and collects
// the function type's objects: the record's size and offsets, its flags, the collector's
// slots, and the shared metatype.
const char* function_type_problem(PyTypeObject* candidate, PyTypeObject* metatype) {
    constexpr unsigned long required_flags =
        Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    if (candidate->tp_basicsize != native_function_type_spec.basicsize ||
        candidate->tp_itemsize != 0) {
        return "has the wrong size, try recompiling";
    }
    if (candidate->tp_vectorcall_offset != record_offset(offsetof(NativeFunction, head.func.vectorcall)) ||
        candidate->tp_dictoffset != record_offset(offsetof(NativeFunction, instance_dict)) ||
        candidate->tp_weaklistoffset != record_offset(offsetof(NativeFunction, head.func.m_weakreflist))) {
        return "has the wrong layout, try recompiling";
    }
    if ((candidate->tp_flags & required_flags) != required_flags || !candidate->tp_traverse ||
        !candidate->tp_clear) {
        return "lacks the flags or slots of the shared record";
    }
    if (Py_TYPE(candidate) != metatype) {
        return "is not an instance of the shared metatype";
    }
    return nullptr;
}

// The registered type, new reference, when it keeps the contract of `spec`; else null
// with TypeError. `metatype` is null when `spec` is the metatype's own.
PyTypeObject* verified_shared_type(PyObject* candidate, const PyType_Spec* spec,
                                   const char* short_name, PyTypeObject* metatype) {
    if (!PyType_Check(candidate)) {
        return refuse_shared_type(short_name, "is not a type object");
    }
    auto* type = reinterpret_cast<PyTypeObject*>(candidate);
    const char* problem = spec == &common_metatype_spec ? metatype_problem(type)
                                                        : function_type_problem(type, metatype);
    if (problem) {
        return refuse_shared_type(short_name, problem);
    }
    return reinterpret_cast<PyTypeObject*>(Py_NewRef(candidate));
}

}  // namespace

PyTypeObject* fetch_shared_type(PyTypeObject* metatype, PyType_Spec* spec, PyObject* bases) {
    const char* last_dot = std::strrchr(spec->name, '.');
    const char* short_name = last_dot ? last_dot + 1 : spec->name;
    Ref key = Ref::steal(PyUnicode_FromString(short_name));
    if (!key) {
        return nullptr;
    }
    // Borrowed: the interpreter's module registry keeps the shared module.
    PyObject* shared_module = PyImport_AddModule(shared_module_name);
    if (!shared_module) {
        return nullptr;
    }
    PyObject* registry = PyModule_GetDict(shared_module);
    if (!registry) {
        return nullptr;
    }
    if (PyObject* registered = PyDict_GetItemWithError(registry, key.get())) {
        return verified_shared_type(registered, spec, short_name, metatype);
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    Ref created = Ref::steal(PyType_FromModuleAndSpec(shared_module, spec, bases));
    if (!created) {
        // 3.11 gives up without an exception when it cannot copy the type's name.
        if (!PyErr_Occurred()) {
            PyErr_NoMemory();
        }
        return nullptr;
    }
    if (spec == &common_metatype_spec) {
        reinterpret_cast<PyTypeObject*>(created.get())->tp_new = common_metatype_new;
    }
    if (metatype) {
        PyTypeObject* previous = Py_TYPE(created.get());
        Py_SET_TYPE(created.get(), reinterpret_cast<PyTypeObject*>(Py_NewRef(metatype)));
        Py_DECREF(previous);
    }
    // Another module may have registered the name meanwhile; the first registration wins.
    PyObject* registered = PyDict_SetDefault(registry, key.get(), created.get());
    if (!registered) {
        return nullptr;
    }
    if (registered != created.get()) {
        return verified_shared_type(registered, spec, short_name, metatype);
    }
    return reinterpret_cast<PyTypeObject*>(created.release());
}

PyObject* create_function(PyMethodDef* definition, PyObject* qualified_name,
                          PyObject* module_name, PyObject* globals, PyObject* code) {
    PyObject* function = reinterpret_cast<PyObject*>(
        _PyObject_GC_New(runtime_state.native_function_type));
    if (!function) {
        return nullptr;
    }
    NativeFunction* native = as_native_function(function);
    native->head.func.m_ml = definition;
    native->head.func.m_self = function;  // not counted: a function does not own itself
    native->head.func.m_module = Py_XNewRef(module_name);
    native->head.func.m_weakreflist = nullptr;
    native->head.mm_class = nullptr;
    native->instance_dict = nullptr;
    native->short_name = nullptr;
    native->qualified_name = Py_XNewRef(qualified_name);
    native->doc_value = nullptr;
    native->module_globals = Py_XNewRef(globals);
    native->code_object = Py_XNewRef(code);
    native->closure_value = nullptr;
    native->defaults_holder = nullptr;
    native->function_flags = 0;
    native->defaults_value = nullptr;
    native->kwdefaults_value = nullptr;
    native->defaults_provider = nullptr;
    native->annotations_dict = nullptr;
    native->is_coroutine_value = nullptr;
    bool valid;
    native->head.func.vectorcall = choose_call_entry(definition->ml_flags, &valid);
    if (!valid) {
        Py_DECREF(function);
        PyErr_SetString(PyExc_SystemError, bad_call_flags_message);
        return nullptr;
    }
    PyObject_GC_Track(function);
    return function;
}

void set_function_defining_class(PyObject* function, PyObject* defining_class) {
    Py_XSETREF(as_native_function(function)->head.mm_class,
               reinterpret_cast<PyTypeObject*>(Py_NewRef(defining_class)));
}

void set_function_annotations(PyObject* function, PyObject* annotations) {
    Py_XSETREF(as_native_function(function)->annotations_dict, Py_NewRef(annotations));
}
