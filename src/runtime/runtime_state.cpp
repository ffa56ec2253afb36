// Set-up of the runtime's own record.
#include "runtime/runtime_state.h"

#include "runtime/attributes.h"
#include "runtime/function_object.h"
#include "runtime/instance_attributes.h"
#include "runtime/module_globals.h"
#include "runtime/ref.h"

RuntimeState runtime_state{};

int setup_runtime_state(PyObject* module, const char* source_file_name) {
    RuntimeState& state = runtime_state;
    state.source_file_name = source_file_name;
    PyObject* dict = PyModule_GetDict(module);
    if (store_owned(state.module_dict, Py_XNewRef(dict)) < 0 || check_descriptor_layouts() < 0 ||
        check_instance_values_layout() < 0 ||
        watch_module_globals(dict) < 0 ||
        store_owned(state.builtins_module, Py_XNewRef(PyImport_AddModule("builtins"))) < 0 ||
        store_owned(state.empty_tuple, PyTuple_New(0)) < 0 ||
        store_owned(state.empty_str, PyUnicode_New(0, 0)) < 0 ||
        store_owned(state.is_coroutine_name, PyUnicode_InternFromString("_is_coroutine")) < 0) {
        return -1;
    }
    return store_owned(state.asyncio_coroutines_name, PyUnicode_InternFromString("asyncio.coroutines"));
}

int setup_shared_types() {
    Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyType_Type)));
    if (!bases) {
        return -1;
    }
    PyTypeObject* metatype = fetch_shared_type(nullptr, &common_metatype_spec, bases.get());
    if (PyErr_Occurred()) {
        Py_XDECREF(metatype);
        return -1;
    }
    if (store_owned(runtime_state.common_metatype, metatype) < 0) {
        return -1;
    }
    return store_owned(runtime_state.native_function_type,
                fetch_shared_type(runtime_state.common_metatype, &native_function_type_spec, nullptr));
}
