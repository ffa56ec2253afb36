// _native_test_helper: a test-only extension built from the module's runtime sources.
// It registers functions of the shared function type with every flag combination and
// exposes internal services that no Python call reaches on their own. Never installed.
#include "runtime/ref.h"
#include "runtime/runtime_state.h"
#include "native_test_helper.h"

namespace {

PyModuleDef helper_definition = {
    PyModuleDef_HEAD_INIT, "_native_test_helper", nullptr, -1, nullptr,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__native_test_helper() {
    Ref module = Ref::steal(PyModule_Create(&helper_definition));
    // Its entries name the module's own source, as the tests of binding failures expect.
    const char* source = "tolvane/ostrel/concept/concrete/linear_concrete_concept.py";
    if (!module || setup_runtime_state(module.get(), source) < 0 || setup_shared_types() < 0 ||
        add_function_shape_hooks(module.get()) < 0 || add_conversion_hooks(module.get()) < 0) {
        return nullptr;
    }
    return module.release();
}
