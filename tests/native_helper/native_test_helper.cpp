// _native_test_helper: a test-only extension built from the module's runtime sources.
// It registers functions of the shared function type with every flag combination and
// exposes internal services that no Python call reaches on their own. Never installed.
#include "concept/concrete/module_constants.h"
#include "runtime/function_object.h"
#include "runtime/lookup.h"
#include "runtime/ref.h"
#include "native_test_helper.h"

ModuleState module_state{};

namespace {

// Fills the parts of this extension's own ModuleState that the runtime services read.
int fill_module_state(PyObject* module) {
    ModuleState& state = module_state;
    state.module_dict = Py_NewRef(PyModule_GetDict(module));
    if (prepare_lookups(state.module_dict) < 0) {
        return -1;
    }
    state.builtins_module = Py_XNewRef(PyImport_AddModule("builtins"));
    if (!state.builtins_module) {
        return -1;
    }
    state.empty_tuple = PyTuple_New(0);
    state.empty_bytes = PyBytes_FromStringAndSize(nullptr, 0);
    state.empty_str = PyUnicode_New(0, 0);
    if (!state.empty_tuple || !state.empty_bytes || !state.empty_str) {
        return -1;
    }
    if (decode_constants_table() < 0) {
        return -1;
    }
    state.float_zero = PyFloat_FromDouble(0.0);
    state.float_one = PyFloat_FromDouble(1.0);
    state.int_zero = PyLong_FromLong(0);
    if (!state.float_zero || !state.float_one || !state.int_zero) {
        return -1;
    }
    Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyType_Type)));
    if (!bases) {
        return -1;
    }
    state.common_metatype = fetch_shared_type(nullptr, &common_metatype_spec, bases.get());
    if (!state.common_metatype) {
        return -1;
    }
    state.native_function_type =
        fetch_shared_type(state.common_metatype, &native_function_type_spec, nullptr);
    return state.native_function_type ? 0 : -1;
}

PyModuleDef helper_definition = {
    PyModuleDef_HEAD_INIT, "_native_test_helper", nullptr, -1, nullptr,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__native_test_helper() {
    Ref module = Ref::steal(PyModule_Create(&helper_definition));
    if (!module || fill_module_state(module.get()) < 0 ||
        add_function_shape_hooks(module.get()) < 0 || add_conversion_hooks(module.get()) < 0) {
        return nullptr;
    }
    return module.release();
}
