// Calls with their shortcuts.
#include "runtime/calls.h"

#include <cstring>

#include "runtime/recursion_guard.h"
#include "runtime/runtime_state.h"
#include "runtime/type_checks.h"

namespace {

// Builtins and native functions whose method definition can be called without the
// vectorcall machinery.
inline PyMethodDef* direct_call_definition(PyObject* callable) {
    PyTypeObject* type = Py_TYPE(callable);
    // The usual callee, a Python function, is neither: spare it the MRO scan.
    if (type == &PyFunction_Type ||
        !is_subtype_of_either(type, runtime_state.native_function_type, &PyCFunction_Type)) {
        return nullptr;
    }
    return reinterpret_cast<PyCFunctionObject*>(callable)->m_ml;
}

inline vectorcallfunc vectorcall_entry(PyObject* callable) {
    PyTypeObject* type = Py_TYPE(callable);
    if (type == runtime_state.native_function_type) {
        return reinterpret_cast<PyCFunctionObject*>(callable)->vectorcall;
    }
    if (!PyType_HasFeature(type, Py_TPFLAGS_HAVE_VECTORCALL)) {
        return nullptr;
    }
    vectorcallfunc entry;
    std::memcpy(&entry, reinterpret_cast<char*>(callable) + type->tp_vectorcall_offset,
                sizeof entry);
    return entry;
}

inline PyObject* null_result_check(PyObject* result) {
    if (!result && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
    }
    return result;
}

}  // namespace

Ref call_object(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* keywords) {
    const Py_ssize_t count = PyVectorcall_NARGS(nargsf);
    if (!keywords && (count == 0 || count == 1)) {
        PyMethodDef* definition = direct_call_definition(callable);
        if (definition && (definition->ml_flags & (count == 0 ? METH_NOARGS : METH_O))) {
            return call_native_function_directly(callable, count == 0 ? nullptr : args[0]);
        }
    }
    if (count > 0 && keywords) {
        return Ref::steal(PyObject_VectorcallDict(callable, args, count, keywords));
    }
    if (!keywords) {
        vectorcallfunc entry = vectorcall_entry(callable);
        if (entry) {
            return Ref::steal(entry(callable, args, nargsf, nullptr));
        }
        if (count > 0) {
            return Ref::steal(PyObject_VectorcallDict(callable, args, count, nullptr));
        }
    }
    ternaryfunc slot = Py_TYPE(callable)->tp_call;
    if (!slot) {
        return Ref::steal(PyObject_Call(callable, runtime_state.empty_tuple, keywords));
    }
    return Ref::steal(
        null_result_check(call_guarded(slot, callable, runtime_state.empty_tuple, keywords)));
}

Ref call_native_function_directly(PyObject* callable, PyObject* argument) {
    PyCFunctionObject* function = reinterpret_cast<PyCFunctionObject*>(callable);
    PyObject* self = (function->m_ml->ml_flags & METH_STATIC) ? nullptr : function->m_self;
    return Ref::steal(null_result_check(call_guarded(function->m_ml->ml_meth, self, argument)));
}

Ref call_unpacking_method(Ref callable, PyObject** vector, Py_ssize_t nargs) {
    if (Py_IS_TYPE(callable.get(), &PyMethod_Type)) {
        Ref function = Ref::borrow(PyMethod_GET_FUNCTION(callable.get()));
        Ref instance = Ref::borrow(PyMethod_GET_SELF(callable.get()));
        callable.reset();
        vector[0] = instance.get();
        Ref result = call_object(function.get(), vector, static_cast<size_t>(nargs) + 1, nullptr);
        vector[0] = nullptr;
        return result;
    }
    vector[0] = nullptr;
    return call_object(callable.get(), vector + 1,
                       static_cast<size_t>(nargs) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}
