// Building LinearConcreteConcept by the protocol of a class statement: bases through
// __mro_entries__, the metaclass, __prepare__, the namespace, the metaclass call.
#include "concept/concrete/class_creation.h"

#include "concept/concrete/concept_methods.h"
#include "runtime/calls.h"
#include "runtime/function_object.h"
#include "runtime/ref.h"
#include "runtime/runtime_state.h"

namespace {

constexpr int class_line = 12;

// One method function: its code object and definition, qualified name, annotations
// (key, value pairs of constants) and the source line of its definition.
struct FunctionRecord {
    CodeIndex index;
    Const qualified_name;
    int line;
    int annotation_count;
    Const annotations[6][2];
};

constexpr Const float_text = Const::float_text;
constexpr Const return_text = Const::return_text;
constexpr Const self_type = Const::typing_self;

constexpr FunctionRecord init_record = {
    CodeIndex::init, Const::qualname_init, 26, 6,
    {{Const::name, Const::str_text}, {Const::k1, float_text}, {Const::k2, float_text},
     {Const::a, float_text}, {Const::b, float_text}, {return_text, Const::None_text}}};

struct PropertyRecords {
    Const name;
    GlobalLookupCache GlobalLookupCaches::*setter_cache;
    FunctionRecord getter;
    FunctionRecord setter;
};

constexpr PropertyRecords property_records[] = {
    {Const::a, &GlobalLookupCaches::class_setter_a,
     {CodeIndex::getter_a, Const::qualname_a, 53, 1, {{return_text, float_text}}},
     {CodeIndex::setter_a, Const::qualname_a, 65, 2,
      {{Const::value, float_text}, {return_text, Const::None_text}}}},
    {Const::b, &GlobalLookupCaches::class_setter_b,
     {CodeIndex::getter_b, Const::qualname_b, 76, 1, {{return_text, float_text}}},
     {CodeIndex::setter_b, Const::qualname_b, 88, 2,
      {{Const::value, float_text}, {return_text, Const::None_text}}}},
};

struct PlainMethodRecord {
    Const name;
    FunctionRecord function;
};

constexpr PlainMethodRecord plain_method_records[] = {
    {Const::clone, {CodeIndex::clone, Const::qualname_clone, 99, 1, {{return_text, self_type}}}},
    {Const::get_membership_degree,
     {CodeIndex::get_membership_degree, Const::qualname_get_membership_degree, 110, 2,
      {{Const::value, float_text}, {return_text, float_text}}}},
    {Const::compute_name,
     {CodeIndex::compute_name, Const::qualname_compute_name, 130, 1, {{return_text, Const::str_text}}}},
    {Const::dunder_neg,
     {CodeIndex::neg, Const::qualname_neg, 141, 1, {{return_text, Const::FuzzyConcreteConcept}}}},
    {Const::dunder_and,
     {CodeIndex::and_, Const::qualname_and, 152, 2, {{Const::value, self_type}, {return_text, self_type}}}},
    {Const::dunder_or,
     {CodeIndex::or_, Const::qualname_or, 166, 2, {{Const::value, self_type}, {return_text, self_type}}}},
    {Const::dunder_hash, {CodeIndex::hash, Const::qualname_hash, 180, 1, {{return_text, Const::int_text}}}},
};

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

// The function of `record`, with a fresh annotations dict of str values.
Ref make_function(const FunctionRecord& record) {
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) {
        return Ref();
    }
    for (int i = 0; i < record.annotation_count; ++i) {
        if (PyDict_SetItem(annotations.get(), constant(record.annotations[i][0]),
                           constant(record.annotations[i][1])) < 0) {
            return Ref();
        }
    }
    Ref function = Ref::steal(create_function(method_definition(record.index),
                                              constant(record.qualified_name),
                                              constant(Const::module_name), runtime_state.module_dict,
                                              code_object(record.index)));
    if (function) {
        as_native_function(function.get())->annotations_dict = annotations.release();
    }
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
            resolved = Ref::steal(PyTuple_GetSlice(declared, 0, i));
            resolved = resolved ? Ref::steal(PySequence_List(resolved.get())) : Ref();
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
int store_named(PyObject* namespace_, const char* key, PyObject* value) {
    Ref name = Ref::steal(PyUnicode_InternFromString(key));
    return value && name ? store_in_namespace(namespace_, name.get(), value) : -1;
}

int add_first_line(PyObject* namespace_) {
    return store_named(namespace_, "__firstlineno__", Ref::steal(PyLong_FromLong(class_line)).get());
}

int add_static_attributes(PyObject* namespace_) {
    Ref names = Ref::steal(PyTuple_Pack(4, constant(Const::underscore_a), constant(Const::underscore_b),
                                        constant(Const::k1), constant(Const::k2)));
    return store_named(namespace_, "__static_attributes__", names.get());
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

int add_init(PyObject* namespace_, PyObject* class_cell_functions) {
    Ref function = make_function(init_record);
    if (!function || PyList_Append(class_cell_functions, function.get()) < 0) {
        return -1;
    }
    return store_in_namespace(namespace_, constant(Const::dunder_init), function.get());
}

// `@property def name(self)` followed by `@name.setter def name(self, value)`.
int add_property(PyObject* namespace_, const PropertyRecords& records, int* line) {
    PyObject* name = constant(records.name);
    *line = records.getter.line;
    Ref getter = make_function(records.getter);
    Ref property = getter ? call_with(module_state.builtin_property, getter.get()) : Ref();
    if (!property || store_in_namespace(namespace_, name, property.get()) < 0) {
        return -1;
    }
    property.reset();
    *line = records.setter.line;
    Ref decorated = Ref::steal(PyObject_GetItem(namespace_, name));
    if (!decorated) {
        PyErr_Clear();
        decorated = lookup_module_global(name, module_state.global_lookup_caches.*records.setter_cache);
        if (!decorated) {
            return -1;
        }
    }
    Ref setter_decorator = get_attr(decorated.get(), constant(Const::setter));
    if (!setter_decorator) {
        return -1;
    }
    Ref setter = make_function(records.setter);
    Ref with_setter = setter ? call_with(setter_decorator.get(), setter.get()) : Ref();
    return with_setter ? store_in_namespace(namespace_, name, with_setter.get()) : -1;
}

int fill_namespace(PyObject* namespace_, PyObject* class_cell_functions, int* line) {
    *line = init_record.line;
    if (add_init(namespace_, class_cell_functions) < 0) {
        return -1;
    }
    for (const PropertyRecords& records : property_records) {
        if (add_property(namespace_, records, line) < 0) {
            return -1;
        }
    }
    for (const PlainMethodRecord& record : plain_method_records) {
        *line = record.function.line;
        Ref function = make_function(record.function);
        if (!function || store_in_namespace(namespace_, constant(record.name), function.get()) < 0) {
            return -1;
        }
    }
    return add_static_attributes(namespace_);
}

}  // namespace

int create_class(int* failing_line) {
    *failing_line = class_line;
    Ref base = lookup_module_global(constant(Const::FuzzyConcreteConcept),
                                    module_state.global_lookup_caches.class_bases);
    Ref declared = base ? Ref::steal(PyTuple_Pack(1, base.get())) : Ref();
    if (!declared) {
        return -1;
    }
    base.reset();
    Ref resolved = resolve_bases(declared.get());
    Ref metaclass = resolved ? compute_metaclass(resolved.get()) : Ref();
    Ref namespace_ = metaclass ? start_namespace(declared.get(), resolved.get(), metaclass.get()) : Ref();
    if (!namespace_) {
        return -1;
    }
    declared.reset();
    Ref class_cell_functions = Ref::steal(PyList_New(0));
    if (!class_cell_functions ||
        fill_namespace(namespace_.get(), class_cell_functions.get(), failing_line) < 0) {
        return -1;
    }
    *failing_line = class_line;
    PyObject* arguments[] = {constant(Const::LinearConcreteConcept), resolved.get(), namespace_.get()};
    Ref new_class = call_object(metaclass.get(), arguments, 3, nullptr);
    if (!new_class) {
        return -1;
    }
    // The constructor's argument-less super() reads its defining class from mm_class.
    const Py_ssize_t count = PyList_GET_SIZE(class_cell_functions.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        NativeFunction* function = as_native_function(PyList_GET_ITEM(class_cell_functions.get(), i));
        Py_XSETREF(function->head.mm_class,
                   reinterpret_cast<PyTypeObject*>(Py_NewRef(new_class.get())));
    }
    return PyDict_SetItem(runtime_state.module_dict, constant(Const::LinearConcreteConcept),
                          new_class.get());
}
