// Type and exception tests that walk the MRO directly instead of calling back into the
// interpreter's generic checks.
#pragma once

#include "runtime/python_api.h"

int is_subtype_of_either(PyTypeObject* type, PyTypeObject* first, PyTypeObject* second);
int is_subtype(PyTypeObject* type, PyTypeObject* candidate);
int exception_matches(PyObject* exception, PyObject* candidate);

// A type's version tag is valid while the flag says so; any change of the type or of a
// base's attributes clears it.
inline bool has_version_tag(PyTypeObject* type, unsigned int version) {
    return type->tp_version_tag == version && PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG);
}
