// Global, builtin and attribute lookup, calls, traceback entries, and the type and
// exception tests these use.
#pragma once

#include "runtime/module_state.h"
#include "runtime/ref.h"

// Set-up of the lookup shortcuts: lets lookup_module_global cache what it finds in
// `module_dict` (where the interpreter needs a watcher for that), and checks the layouts
// that the property and static-method shortcuts read. 0, or -1 with an exception set.
int prepare_lookups(PyObject* module_dict);

// A module global through its call site's cache, then the builtins; NameError when both
// lack it. `name` is an interned str constant with its hash computed.
Ref lookup_module_global(PyObject* name, GlobalLookupCache& cache);
Ref lookup_builtin(PyObject* name);

// Attribute access through the type's own slot when it has one.
inline Ref get_attr(PyObject* object, PyObject* name) {
    getattrofunc slot = Py_TYPE(object)->tp_getattro;
    return Ref::steal(slot ? slot(object, name) : PyObject_GetAttr(object, name));
}

inline int set_attr(PyObject* object, PyObject* name, PyObject* value) {
    setattrofunc slot = Py_TYPE(object)->tp_setattro;
    return slot ? slot(object, name, value) : PyObject_SetAttr(object, name, value);
}

// True when reading `name` on `object` is known to call the property whose getter is a
// native function defined by `getter`, so that the caller may run the getter's body
// itself. Checked through `cache` for the object's exact type.
bool reads_through_own_property(PyObject* object, PyObject* name, const PyMethodDef* getter,
                                PropertyReadCache& cache);

// get_attr and set_attr for an instance attribute, through its cache: the same results,
// without the generic lookup while the instance's type keeps its version.
Ref get_instance_attribute(PyObject* object, PyObject* name, InstanceAttributeCache& cache);
int set_instance_attribute(PyObject* object, PyObject* name, PyObject* value,
                           InstanceAttributeCache& cache);

// get_attr for an attribute of a class, through its cache: the same result, without the
// class's generic lookup while it keeps its version and the attribute is a static method.
Ref get_class_attribute(PyObject* object, PyObject* name, ClassAttributeCache& cache);

// Empty with no exception set when the attribute is missing.
Ref get_attr_or_null(PyObject* object, PyObject* name);

// `nargsf` may carry PY_VECTORCALL_ARGUMENTS_OFFSET; `keywords` is a dict or null.
Ref call_object(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* keywords);

// For a builtin or native function defined with METH_O or METH_NOARGS; `argument` is
// null for none.
Ref call_native_function_directly(PyObject* callable, PyObject* argument);

// Calls `callable` (consumed) with the `nargs` arguments at vector[1..nargs]. vector[0]
// is a free slot: it receives a bound method's instance, or is lent to the callee.
Ref call_unpacking_method(Ref callable, PyObject** vector, Py_ssize_t nargs);

// Adds a traceback entry for `function_name` (static text) at Python source `line` of
// `file_name` to the pending exception.
void add_traceback(const char* function_name, int line, const char* file_name = source_file_name);

int is_subtype_of_either(PyTypeObject* type, PyTypeObject* first, PyTypeObject* second);
int is_subtype(PyTypeObject* type, PyTypeObject* candidate);
int exception_matches(PyObject* exception, PyObject* candidate);
