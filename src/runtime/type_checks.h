// Type and exception tests that walk the MRO directly instead of calling back into the
// interpreter's generic checks.
#pragma once

#include "runtime/python_api.h"

int is_subtype_of_either(PyTypeObject* type, PyTypeObject* first, PyTypeObject* second);
int is_subtype(PyTypeObject* type, PyTypeObject* candidate);
int exception_matches(PyObject* exception, PyObject* candidate);

// Whether the type's version tag is current; any change of the type or of a base's
// attributes clears it. Until 3.12 a flag says so; 3.13 no longer keeps the flag, and a
// cleared tag is 0.
inline bool has_valid_version_tag(PyTypeObject* type) {
#if LCC_PY313
    return type->tp_version_tag != 0;
#else
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG);
#endif
}

inline bool has_version_tag(PyTypeObject* type, unsigned int version) {
    return type->tp_version_tag == version && has_valid_version_tag(type);
}
