// Attribute reads and writes with their shortcuts.
#include "runtime/attributes.h"

#include "runtime/runtime_state.h"
#include "runtime/type_checks.h"

namespace {

// CPython 3.11's property object (Objects/descrobject.c). Its getter can be replaced by
// calling property.__init__ again, which leaves every type's version tag alone.
struct PropertyHead311 {
    PyObject_HEAD
    PyObject* prop_get;
};

// Neither layout is in any version's headers: the set-up checks both on objects of its own
// (check_descriptor_layouts), and the shortcuts that read them stay off unless they match.
bool descriptor_layouts_known = false;

inline PyObject* property_getter(PyObject* property) {
    return reinterpret_cast<PropertyHead311*>(property)->prop_get;
}

// CPython 3.11's staticmethod object (Objects/funcobject.c). Its callable can be replaced
// by calling staticmethod.__init__ again, which leaves every type's version tag alone.
struct StaticMethodHead311 {
    PyObject_HEAD
    PyObject* sm_callable;
};

inline PyObject* static_method_callable(PyObject* descriptor) {
    return reinterpret_cast<StaticMethodHead311*>(descriptor)->sm_callable;
}

// The type of the thread's pending exception, without normalising it: read from the
// thread state in 3.11, which keeps the exception as a triple there.
inline PyObject* pending_exception_type() {
#if LCC_PY311
    return _PyThreadState_UncheckedGet()->curexc_type;
#else
    return PyErr_Occurred();
#endif
}

}  // namespace

// A property and a static method made of a marker object must show it where the mirrors
// look for it.
int check_descriptor_layouts() {
    PyObject* marker = reinterpret_cast<PyObject*>(&PyBaseObject_Type);  // property(None) keeps no getter
    Ref property = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyProperty_Type), marker));
    Ref static_method = Ref::steal(PyStaticMethod_New(marker));
    if (!property || !static_method) {
        return -1;
    }
    descriptor_layouts_known = property_getter(property.get()) == marker &&
                               static_method_callable(static_method.get()) == marker;
    return descriptor_layouts_known;
}

bool reads_through_own_property(PyObject* object, PyObject* name, const PyMethodDef* getter,
                                PropertyReadCache& cache) {
    PyTypeObject* type = Py_TYPE(object);
    if (type != cache.type || !has_version_tag(type, cache.version)) {
        cache = {};
        if (type->tp_getattro != PyObject_GenericGetAttr) {
            return false;
        }
        PyObject* found = _PyType_Lookup(type, name);  // borrowed; sets the version tag
        if (!found || !Py_IS_TYPE(found, &PyProperty_Type) || !descriptor_layouts_known ||
            !has_valid_version_tag(type)) {
            return false;
        }
        cache = {type, type->tp_version_tag, found};
    }
    PyObject* function = property_getter(cache.property);
    return function && Py_IS_TYPE(function, runtime_state.native_function_type) &&
           reinterpret_cast<PyCFunctionObject*>(function)->m_ml == getter;
}

Ref get_class_attribute(PyObject* object, PyObject* name, ClassAttributeCache& cache) {
    if (!Py_IS_TYPE(object, &PyType_Type)) {
        return get_attr(object, name);
    }
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(object);
    if (type != cache.type || !has_version_tag(type, cache.version)) {
        cache = {};
        // `type` itself cannot gain attributes, so one without the name never has it.
        // Borrowed: the type's MRO dictionaries hold it.
        PyObject* found = _PyType_Lookup(&PyType_Type, name) ? nullptr : _PyType_Lookup(type, name);
        if (!found || !Py_IS_TYPE(found, &PyStaticMethod_Type) || !descriptor_layouts_known ||
            !has_valid_version_tag(type)) {
            return get_attr(object, name);
        }
        cache = {type, type->tp_version_tag, found};
    }
    // What the static method's __get__ gives; an uninitialised one raises there.
    PyObject* callable = static_method_callable(cache.descriptor);
    return callable ? Ref::borrow(callable) : get_attr(object, name);
}

Ref get_attr_or_null(PyObject* object, PyObject* name) {
    getattrofunc slot = Py_TYPE(object)->tp_getattro;
    if (slot == PyObject_GenericGetAttr) {
        return Ref::steal(_PyObject_GenericGetAttrWithDict(object, name, nullptr, 1));
    }
    Ref found = Ref::steal(slot ? slot(object, name) : PyObject_GetAttr(object, name));
    if (!found) {
        PyObject* type = pending_exception_type();
        if (type && exception_matches(type, PyExc_AttributeError)) {
            PyErr_Clear();
        }
    }
    return found;
}
