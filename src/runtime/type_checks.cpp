// Type and exception tests.
#include "runtime/type_checks.h"

int is_subtype_of_either(PyTypeObject* type, PyTypeObject* first, PyTypeObject* second) {
    if (type == first || type == second) {
        return 1;
    }
    PyObject* mro = type->tp_mro;
    if (mro) {
        const Py_ssize_t size = PyTuple_GET_SIZE(mro);
        for (Py_ssize_t i = 0; i < size; ++i) {
            PyObject* base = PyTuple_GET_ITEM(mro, i);
            if (base == reinterpret_cast<PyObject*>(first) || base == reinterpret_cast<PyObject*>(second)) {
                return 1;
            }
        }
        return 0;
    }
    return is_subtype(type, first) || is_subtype(type, second);
}

int is_subtype(PyTypeObject* type, PyTypeObject* candidate) {
    if (type == candidate) {
        return 1;
    }
    PyObject* mro = type->tp_mro;
    if (mro) {
        const Py_ssize_t size = PyTuple_GET_SIZE(mro);
        for (Py_ssize_t i = 0; i < size; ++i) {
            if (PyTuple_GET_ITEM(mro, i) == reinterpret_cast<PyObject*>(candidate)) {
                return 1;
            }
        }
        return 0;
    }
    for (PyTypeObject* base = type; base; base = base->tp_base) {
        if (base == candidate) {
            return 1;
        }
    }
    return candidate == &PyBaseObject_Type;
}

namespace {

inline bool is_exception_class(PyObject* object) {
    return PyType_Check(object) &&
           PyType_HasFeature(reinterpret_cast<PyTypeObject*>(object), Py_TPFLAGS_BASE_EXC_SUBCLASS);
}

}  // namespace

int exception_matches(PyObject* exception, PyObject* candidate) {
    if (exception == candidate) {
        return 1;
    }
    if (!is_exception_class(exception)) {
        return PyErr_GivenExceptionMatches(exception, candidate);
    }
    auto* exception_type = reinterpret_cast<PyTypeObject*>(exception);
    if (is_exception_class(candidate)) {
        return is_subtype(exception_type, reinterpret_cast<PyTypeObject*>(candidate));
    }
    if (!PyTuple_Check(candidate)) {
        return PyErr_GivenExceptionMatches(exception, candidate);
    }
    const Py_ssize_t size = PyTuple_GET_SIZE(candidate);
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (PyTuple_GET_ITEM(candidate, i) == exception) {
            return 1;
        }
    }
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* item = PyTuple_GET_ITEM(candidate, i);
        if (is_exception_class(item) &&
            is_subtype(exception_type, reinterpret_cast<PyTypeObject*>(item))) {
            return 1;
        }
    }
    return 0;
}
