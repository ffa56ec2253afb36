// Reads and writes of an instance attribute straight in the instance's inline values.
#pragma once

#include "runtime/ref.h"

// An instance attribute that the method bodies read and write. While `type` keeps the
// version tag `version`, instances of exactly `type` hold the attribute at `index` of
// their inline values, and no attribute of the type itself has the name, so the generic
// lookup and store go straight to that slot (`index` is -1 until the name is in the
// type's shared keys). `readable` and `writable` tell whether the type's attribute slots
// are the generic ones.
struct InstanceAttributeCache {
    PyTypeObject* type;
    unsigned int version;
    Py_ssize_t index;
    bool readable;
    bool writable;
};

// get_attr and set_attr for an instance attribute, through its cache: the same results,
// without the generic lookup while the instance's type keeps its version.
Ref get_instance_attribute(PyObject* object, PyObject* name, InstanceAttributeCache& cache);
int set_instance_attribute(PyObject* object, PyObject* name, PyObject* value,
                           InstanceAttributeCache& cache);

// Tries the inline-values layout on an instance of a class of its own; the shortcuts stay
// off unless it matches. Run at set-up. 1 when it matches, 0 when not, -1 with an
// exception set.
int check_instance_values_layout();
