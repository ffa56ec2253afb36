// Instance attributes read and written in the inline values, with the values' layout
// mirrored per interpreter version.
#include "runtime/instance_attributes.h"

#include "runtime/attributes.h"
#include "runtime/instance_values_layout.h"
#include "runtime/type_checks.h"

namespace {

// Where each version keeps an instance's values. These positions are inline code in the
// interpreter's headers, not constants that a build could check: check_instance_values_layout
// tries them at set-up on an instance of a class of its own.
bool instance_values_layout_known = false;

#if LCC_PY311
// 3.11: a pointer to the values before the object's header, null once a dict was made.
constexpr unsigned long inline_values_flags = Py_TPFLAGS_MANAGED_DICT;

inline PyObject** instance_values(PyObject* object, Py_ssize_t, bool) {
    return reinterpret_cast<PyObject***>(object)[-4];
}
#elif LCC_PY312
// 3.12: one word before the header holds the dict, or the values pointer less one (odd).
constexpr unsigned long inline_values_flags = Py_TPFLAGS_MANAGED_DICT;

inline PyObject** instance_values(PyObject* object, Py_ssize_t, bool) {
    const uintptr_t dict_or_values = reinterpret_cast<uintptr_t*>(object)[-3];
    return (dict_or_values & 1) ? reinterpret_cast<PyObject**>(dict_or_values + 1) : nullptr;
}
#else
// 3.13: the values follow the object's header, behind a small head of their own; a dict
// made for the object may share them, and then only reading them directly is sound.
constexpr unsigned long inline_values_flags = Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_INLINE_VALUES;

inline ValuesHead313* values_head(PyObject* object) {
    return reinterpret_cast<ValuesHead313*>(reinterpret_cast<char*>(object) + sizeof(PyObject));
}

inline PyObject** instance_values(PyObject* object, Py_ssize_t index, bool write) {
    ValuesHead313* head = values_head(object);
    const bool shared_with_dict = reinterpret_cast<PyObject**>(object)[-3] != nullptr;
    const bool usable = head->valid && index < head->capacity && !(write && shared_with_dict);
    return usable ? head->values : nullptr;
}
#endif

#if LCC_PY313
// The values follow the header only in a type that adds nothing to `object`'s layout.
inline bool has_inline_values_layout(PyTypeObject* type) {
    return type->tp_basicsize == sizeof(PyObject);
}
#else
inline bool has_inline_values_layout(PyTypeObject*) {
    return true;
}
#endif

// The entry of `name` (by identity: attribute names are interned) in the type's shared
// keys, or -1.
Py_ssize_t shared_key_index(PyTypeObject* type, PyObject* name) {
    auto* keys = reinterpret_cast<SharedKeysHead*>(reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys);
    if (!keys || keys->dk_kind != split_keys_kind) {
        return -1;
    }
    const auto* entries = reinterpret_cast<const SharedKeyEntry*>(
        keys->dk_indices + (size_t{1} << keys->dk_log2_index_bytes));
    for (Py_ssize_t i = 0; i < keys->dk_nentries; ++i) {
        if (entries[i].key == name) {
            return i;
        }
    }
    return -1;
}

// A value stored into an empty slot joins the values' insertion order.
inline void add_to_insertion_order([[maybe_unused]] PyObject* object, PyObject** values,
                                   Py_ssize_t index) {
#if LCC_PY313
    // After the values' capacity, with the count in the head.
    ValuesHead313* head = values_head(object);
    reinterpret_cast<uint8_t*>(values + head->capacity)[head->size] = static_cast<uint8_t>(index);
    ++head->size;
#else
    // In the bytes before the values: [-2] the count, then the indices downwards.
    uint8_t* count = reinterpret_cast<uint8_t*>(values) - 2;
    const int size = *count + 1;
    count[-size] = static_cast<uint8_t>(index);
    *count = static_cast<uint8_t>(size);
#endif
}

// The slot of `name` in `object`'s inline values, or null where the generic lookup must
// do the work.
PyObject** instance_slot(PyObject* object, PyObject* name, InstanceAttributeCache& cache, bool write) {
    PyTypeObject* type = Py_TYPE(object);
    if (type != cache.type || !has_version_tag(type, cache.version)) {
        cache = {};
        if (!instance_values_layout_known || (type->tp_flags & inline_values_flags) != inline_values_flags || !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) ||
            !has_inline_values_layout(type) ||
            _PyType_Lookup(type, name) || !has_valid_version_tag(type)) {
            return nullptr;
        }
        cache = {type, type->tp_version_tag, -1, type->tp_getattro == PyObject_GenericGetAttr,
                 type->tp_setattro == PyObject_GenericSetAttr};
    }
    if (!(write ? cache.writable : cache.readable)) {
        return nullptr;
    }
    if (cache.index < 0) {
        // Until some instance of the type has the attribute, its name is not a key yet.
        cache.index = shared_key_index(type, name);
        if (cache.index < 0) {
            return nullptr;
        }
    }
    PyObject** values = instance_values(object, cache.index, write);
    return values ? values + cache.index : nullptr;
}

}  // namespace

Ref get_instance_attribute(PyObject* object, PyObject* name, InstanceAttributeCache& cache) {
    PyObject** slot = instance_slot(object, name, cache, false);
    if (slot && *slot) {
        return Ref::borrow(*slot);
    }
    return get_attr(object, name);
}

int set_instance_attribute(PyObject* object, PyObject* name, PyObject* value, InstanceAttributeCache& cache) {
    PyObject** slot = instance_slot(object, name, cache, true);
    if (!slot) {
        return set_attr(object, name, value);
    }
    PyObject* old = *slot;
    *slot = Py_NewRef(value);
    if (old) {
        Py_DECREF(old);
    } else {
        add_to_insertion_order(object, slot - cache.index, cache.index);
    }
    return 0;
}

int check_instance_values_layout() {
    // An attribute stored by the generic path, read back through the shortcut's own steps.
    Ref name = Ref::steal(PyUnicode_InternFromString("layout_probe"));
    Ref type = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()N",
                                                "LayoutProbe", PyDict_New()));
    if (!name || !type) {
        return -1;
    }
    Ref object = Ref::steal(PyObject_CallNoArgs(type.get()));
    if (!object || PyObject_SetAttr(object.get(), name.get(), type.get()) < 0) {
        return -1;
    }
    InstanceAttributeCache cache{};
    instance_values_layout_known = true;
    PyObject** slot = instance_slot(object.get(), name.get(), cache, false);
    instance_values_layout_known = slot && *slot == type.get();
    return instance_values_layout_known;
}
