// Attribute reads and writes, with shortcuts for reads through a property and of a
// class's static method.
#pragma once

#include "runtime/ref.h"

// A site that reads a property through an instance. While `type` keeps the version tag
// `version`, reading the property's name on an instance of exactly `type` goes through
// the generic attribute lookup to `property` (borrowed from the type's MRO dictionaries,
// which hold it while the tag is unchanged).
struct PropertyReadCache {
    PyTypeObject* type;
    unsigned int version;
    PyObject* property;
};

// A site that reads an attribute of a class. While `type` keeps the version tag
// `version`, reading the name on exactly `type` (a class whose metatype is exactly
// `type`, which has no attribute of the name) finds the static method `descriptor`
// (borrowed from the MRO dictionaries, which hold it while the tag is unchanged).
struct ClassAttributeCache {
    PyTypeObject* type;
    unsigned int version;
    PyObject* descriptor;
};

// Checks the layouts that the property and static-method shortcuts read; the shortcuts
// stay off unless they match. 1 when they match, 0 when not, -1 with an exception set.
int check_descriptor_layouts();

// Attribute access through the type's own slot when it has one.
inline Ref get_attr(PyObject* object, PyObject* name) {
    getattrofunc slot = Py_TYPE(object)->tp_getattro;
    return Ref::steal(slot ? slot(object, name) : PyObject_GetAttr(object, name));
}

inline int set_attr(PyObject* object, PyObject* name, PyObject* value) {
    setattrofunc slot = Py_TYPE(object)->tp_setattro;
    return slot ? slot(object, name, value) : PyObject_SetAttr(object, name, value);
}

// Empty with no exception set when the attribute is missing.
Ref get_attr_or_null(PyObject* object, PyObject* name);

// True when reading `name` on `object` is known to call the property whose getter is a
// native function defined by `getter`, so that the caller may run the getter's body
// itself. Checked through `cache` for the object's exact type.
bool reads_through_own_property(PyObject* object, PyObject* name, const PyMethodDef* getter,
                                PropertyReadCache& cache);

// get_attr for an attribute of a class, through its cache: the same result, without the
// class's generic lookup while it keeps its version and the attribute is a static method.
Ref get_class_attribute(PyObject* object, PyObject* name, ClassAttributeCache& cache);
