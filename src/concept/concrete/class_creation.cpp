// Building LinearConcreteConcept by the protocol of a class statement: bases through
// __mro_entries__, the metaclass, __prepare__, the namespace, the metaclass call.
#include "concept/concrete/class_creation.h"

#include <utility>

#include "concept/concrete/concept_methods.h"
#include "runtime/calls.h"
#include "runtime/function_object.h"
#include "runtime/ref.h"
#include "runtime/runtime_state.h"
#include "source_lines.h"

namespace {

// Every store into the namespace: with the key's known hash for an exact dict, through
// the mapping protocol otherwise.
int store_in_namespace(PyObject* namespace_, PyObject* key, PyObject* value) {
    if (PyDict_CheckExact(namespace_)) {
#if LCC_PY313
        return PyDict_SetItem(namespace_, key, value);  // 3.13 no longer offers the known-hash store
#else
        return _PyDict_SetItem_KnownHash(namespace_, key, value, PyObject_Hash(key));
#endif
    }
    return PyObject_SetItem(namespace_, key, value);
}

Ref call_with(PyObject* callable, PyObject* argument) {
    return call_object(callable, &argument, 1, nullptr);
}

// The function of method `index`, with a fresh annotations dict of str values.
Ref make_function(CodeIndex index) {
    const MethodRecord& record = method_record(index);
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) {
        return Ref();
    }
    const MethodSignature& signature = record.signature;
    for (Py_ssize_t i = 1; i < signature.parameter_count; ++i) {
        if (PyDict_SetItem(annotations.get(), *signature.parameter_names[i],
                           constant(record.parameter_types[i - 1])) < 0) {
            return Ref();
        }
    }
    if (PyDict_SetItem(annotations.get(), constant(Const::return_text), constant(record.return_type)) < 0) {
        return Ref();
    }
    Ref function = Ref::steal(create_function(method_definition(index), constant(record.qualified_name),
                                              constant(Const::module_name), runtime_state.module_dict,
                                              code_object(index)));
    if (!function) {
        return Ref();
    }
    set_function_annotations(function.get(), annotations.get());
    return function;
}

// The bases after __mro_entries__: the declared tuple itself when nothing was replaced.
Ref resolve_bases(PyObject* declared) {
    Ref resolved;  // a list, started at the first replaced base
    const Py_ssize_t count = PyTuple_GET_SIZE(declared);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* base = PyTuple_GET_ITEM(declared, i);
        Ref entries;
        if (!PyType_Check(base)) {
            Ref mro_entries = get_attr_or_null(base, constant(Const::dunder_mro_entries));
            if (!mro_entries && PyErr_Occurred()) {
                return Ref();
            }
            if (mro_entries) {
                entries = call_with(mro_entries.get(), declared);
                if (!entries) {
                    return Ref();
                }
                if (!PyTuple_Check(entries.get())) {
                    PyErr_SetString(PyExc_TypeError, "__mro_entries__ must return a tuple");
                    return Ref();
                }
            }
        }
        if (entries && !resolved) {
            Ref before = Ref::steal(PyTuple_GetSlice(declared, 0, i));
            if (!before) {
                return Ref();
            }
            resolved = Ref::steal(PySequence_List(before.get()));
            if (!resolved) {
                return Ref();
            }
        }
        if (entries) {
            const Py_ssize_t end = PyList_GET_SIZE(resolved.get());
            if (PyList_SetSlice(resolved.get(), end, end, entries.get()) < 0) {
                return Ref();
            }
        } else if (resolved && PyList_Append(resolved.get(), base) < 0) {
            return Ref();
        }
    }
    if (!resolved) {
        return Ref::borrow(declared);
    }
    return Ref::steal(PyList_AsTuple(resolved.get()));
}

// The most derived metaclass of the bases; TypeError on a conflict.
Ref compute_metaclass(PyObject* bases) {
    const Py_ssize_t count = PyTuple_GET_SIZE(bases);
    if (count == 0) {
        return Ref::borrow(reinterpret_cast<PyObject*>(&PyType_Type));
    }
    PyTypeObject* winner = Py_TYPE(PyTuple_GET_ITEM(bases, 0));
    for (Py_ssize_t i = 1; i < count; ++i) {
        PyTypeObject* candidate = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(winner, candidate)) {
            continue;
        }
        if (PyType_IsSubtype(candidate, winner)) {
            winner = candidate;
            continue;
        }
        PyErr_SetString(PyExc_TypeError,
                        "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
                        "subclass of the metaclasses of all its bases");
        return Ref();
    }
    return Ref::borrow(reinterpret_cast<PyObject*>(winner));
}

Ref prepare_namespace(PyObject* metaclass, PyObject* bases) {
    Ref prepare = get_attr_or_null(metaclass, constant(Const::dunder_prepare));
    if (!prepare) {
        return PyErr_Occurred() ? Ref() : Ref::steal(PyDict_New());
    }
    PyObject* arguments[] = {constant(Const::LinearConcreteConcept), bases};
    return call_object(prepare.get(), arguments, 2, nullptr);
}

// From 3.13 on, a class body also records its first line, and at its end the attributes
// that its methods assign through self, in sorted order.
#if LCC_PY313
int store_named(PyObject* namespace_, const char* key, Ref value) {
    if (!value) {
        return -1;
    }
    Ref name = Ref::steal(PyUnicode_InternFromString(key));
    if (!name) {
        return -1;
    }
    return store_in_namespace(namespace_, name.get(), value.get());
}

int add_first_line(PyObject* namespace_) {
    return store_named(namespace_, "__firstlineno__", Ref::steal(PyLong_FromLong(source_line::create_class)));
}

int add_static_attributes(PyObject* namespace_) {
    Ref names = Ref::steal(PyTuple_Pack(4, constant(Const::underscore_a), constant(Const::underscore_b),
                                        constant(Const::k1), constant(Const::k2)));
    return store_named(namespace_, "__static_attributes__", std::move(names));
}
#else
int add_first_line(PyObject*) {
    return 0;
}

int add_static_attributes(PyObject*) {
    return 0;
}
#endif

// The namespace with __module__, __qualname__ and, when the bases changed, __orig_bases__.
Ref start_namespace(PyObject* declared, PyObject* resolved, PyObject* metaclass) {
    Ref namespace_ = prepare_namespace(metaclass, resolved);
    if (!namespace_ ||
        PyObject_SetItem(namespace_.get(), constant(Const::dunder_module), constant(Const::module_name)) < 0 ||
        PyObject_SetItem(namespace_.get(), constant(Const::dunder_qualname),
                         constant(Const::LinearConcreteConcept)) < 0 ||
        add_first_line(namespace_.get()) < 0) {
        return Ref();
    }
    if (resolved != declared) {
        Ref key = Ref::steal(PyUnicode_InternFromString("__orig_bases__"));
        if (!key || store_in_namespace(namespace_.get(), key.get(), declared) < 0) {
            return Ref();
        }
    }
    return namespace_;
}

// `def name(...)` in the class body. The constructor is also kept in
// `class_cell_functions`, to learn its class once that exists.
int add_method(PyObject* namespace_, CodeIndex index, PyObject* class_cell_functions) {
    const MethodRecord& record = method_record(index);
    Ref function = make_function(index);
    if (!function) {
        return -1;
    }
    if (record.role == MethodRole::constructor && PyList_Append(class_cell_functions, function.get()) < 0) {
        return -1;
    }
    return store_in_namespace(namespace_, constant(record.name), function.get());
}

// `@property def name(self)`.
int add_property_getter(PyObject* namespace_, CodeIndex index) {
    Ref getter = make_function(index);
    if (!getter) {
        return -1;
    }
    Ref property = call_with(module_state.builtin_property, getter.get());
    if (!property) {
        return -1;
    }
    return store_in_namespace(namespace_, constant(method_record(index).name), property.get());
}

// `@name.setter def name(self, value)`: `name` is what the namespace holds under the
// name, or else the module global.
int add_property_setter(PyObject* namespace_, CodeIndex index) {
    const MethodRecord& record = method_record(index);
    PyObject* name = constant(record.name);
    Ref decorated = Ref::steal(PyObject_GetItem(namespace_, name));
    if (!decorated) {
        PyErr_Clear();
        decorated = lookup_module_global(name, module_state.global_lookup_caches.*record.decorator_cache);
        if (!decorated) {
            return -1;
        }
    }
    Ref setter_decorator = get_attr(decorated.get(), constant(Const::setter));
    if (!setter_decorator) {
        return -1;
    }
    Ref setter = make_function(index);
    if (!setter) {
        return -1;
    }
    Ref with_setter = call_with(setter_decorator.get(), setter.get());
    if (!with_setter) {
        return -1;
    }
    return store_in_namespace(namespace_, name, with_setter.get());
}

int add_function(PyObject* namespace_, CodeIndex index, PyObject* class_cell_functions) {
    switch (method_record(index).role) {
    case MethodRole::property_getter: return add_property_getter(namespace_, index);
    case MethodRole::property_setter: return add_property_setter(namespace_, index);
    default: return add_method(namespace_, index, class_cell_functions);
    }
}

// The class body's statements, in order; *line follows the `def` of each.
int fill_namespace(PyObject* namespace_, PyObject* class_cell_functions, int* line) {
    for (int i = 0; i < static_cast<int>(CodeIndex::count); ++i) {
        const CodeIndex index = static_cast<CodeIndex>(i);
        *line = method_record(index).signature.definition_line;
        if (add_function(namespace_, index, class_cell_functions) < 0) {
            return -1;
        }
    }
    return add_static_attributes(namespace_);
}

}  // namespace

int create_class(int* failing_line) {
    *failing_line = source_line::create_class;
    Ref base = lookup_module_global(constant(Const::FuzzyConcreteConcept),
                                    module_state.global_lookup_caches.class_bases);
    if (!base) {
        return -1;
    }
    Ref declared = Ref::steal(PyTuple_Pack(1, base.get()));
    if (!declared) {
        return -1;
    }
    base.reset();
    Ref resolved = resolve_bases(declared.get());
    if (!resolved) {
        return -1;
    }
    Ref metaclass = compute_metaclass(resolved.get());
    if (!metaclass) {
        return -1;
    }
    Ref namespace_ = start_namespace(declared.get(), resolved.get(), metaclass.get());
    if (!namespace_) {
        return -1;
    }
    declared.reset();
    Ref class_cell_functions = Ref::steal(PyList_New(0));
    if (!class_cell_functions ||
        fill_namespace(namespace_.get(), class_cell_functions.get(), failing_line) < 0) {
        return -1;
    }
    *failing_line = source_line::create_class;
    PyObject* arguments[] = {constant(Const::LinearConcreteConcept), resolved.get(), namespace_.get()};
    Ref new_class = call_object(metaclass.get(), arguments, 3, nullptr);
    if (!new_class) {
        return -1;
    }
    // The constructor's argument-less super() names the class that the metaclass made.
    const Py_ssize_t count = PyList_GET_SIZE(class_cell_functions.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        set_function_defining_class(PyList_GET_ITEM(class_cell_functions.get(), i), new_class.get());
    }
    return PyDict_SetItem(runtime_state.module_dict, constant(Const::LinearConcreteConcept),
                          new_class.get());
}
