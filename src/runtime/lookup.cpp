// Global, builtin and attribute lookup, calls with their shortcuts, traceback entries.
#include "runtime/lookup.h"

#include <cstring>

#include "runtime/function_object.h"
#include "runtime/recursion_guard.h"

#include <frameobject.h>

namespace {

#if LCC_PY311
// 3.11: a dictionary's version tag changes with every mutation and is never 0 for a live
// dictionary.
inline uint64_t module_globals_version(PyObject* dict) {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}
#else
// From 3.12 the version tag is deprecated: a dictionary watcher counts the changes of the
// module's globals instead. 0 while they are not watched, which no cache trusts.
uint64_t module_globals_changes = 0;
int module_globals_watcher = -1;

int count_module_globals_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++module_globals_changes;
    return 0;
}

inline uint64_t module_globals_version(PyObject*) {
    return module_globals_changes;
}
#endif

// The cached hash of a str (every name constant has it computed).
inline Py_hash_t str_cached_hash(PyObject* text) {
    return reinterpret_cast<PyASCIIObject*>(text)->hash;
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

// CPython 3.11: a type's version tag is valid while the flag says so; any change of the
// type or of a base's attributes clears it.
inline bool has_version_tag(PyTypeObject* type, unsigned int version) {
    return type->tp_version_tag == version && PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG);
}

// Inline instance values (Include/internal/pycore_object.h and pycore_dict.h of each
// version). An instance of a type with a managed dict keeps its attributes in an array of
// values until a real __dict__ is made for it; value i belongs to entry i of the type's
// shared keys, whose entries follow the keys' index table. The values also record the
// order in which their slots were filled.
struct SharedKeysHead {
    Py_ssize_t dk_refcnt;
    uint8_t dk_log2_size;
    uint8_t dk_log2_index_bytes;
    uint8_t dk_kind;
    uint32_t dk_version;
    Py_ssize_t dk_usable;
    Py_ssize_t dk_nentries;
    char dk_indices[1];
};

struct SharedKeyEntry {
    PyObject* key;
    PyObject* value;
};

constexpr uint8_t split_keys_kind = 2;

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

struct ValuesHead313 {
    uint8_t capacity;
    uint8_t size;
    uint8_t embedded;
    uint8_t valid;
    PyObject* values[1];
};

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
        if ((type->tp_flags & inline_values_flags) != inline_values_flags || !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) ||
            !has_inline_values_layout(type) ||
            _PyType_Lookup(type, name) || !PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) {
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

namespace {

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
    return 0;
}

int watch_module_globals([[maybe_unused]] PyObject* dict) {
#if LCC_PY311
    return 0;
#else
    if (module_globals_watcher < 0) {
        module_globals_watcher = PyDict_AddWatcher(count_module_globals_change);
        if (module_globals_watcher < 0) {
            // Every watcher of the interpreter is taken: the lookups go uncached.
            PyErr_Clear();
            return 0;
        }
    }
    if (PyDict_Watch(module_globals_watcher, dict) < 0) {
        return -1;
    }
    ++module_globals_changes;  // nothing cached before now is trusted
    return 0;
#endif
}

}  // namespace

int prepare_lookups(PyObject* module_dict) {
    return check_descriptor_layouts() < 0 ? -1 : watch_module_globals(module_dict);
}

Ref lookup_module_global(PyObject* name, GlobalLookupCache& cache) {
    PyObject* dict = module_state.module_dict;
    const uint64_t version = module_globals_version(dict);
    if (version == 0 || version != cache.version) {
        // Borrowed: the dictionary holds it for as long as its tag stays `version`.
        PyObject* found = _PyDict_GetItem_KnownHash(dict, name, str_cached_hash(name));
        cache.version = version;
        cache.value = found;
        if (!found) {
            PyErr_Clear();
        }
    }
    if (cache.value) {
        return Ref::borrow(cache.value);
    }
    return lookup_builtin(name);
}

Ref lookup_builtin(PyObject* name) {
    Ref found = get_attr_or_null(module_state.builtins_module, name);
    if (!found && !PyErr_Occurred()) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return found;
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
            !PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) {
            return false;
        }
        cache = {type, type->tp_version_tag, found};
    }
    PyObject* function = property_getter(cache.property);
    return function && Py_IS_TYPE(function, module_state.native_function_type) &&
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
            !PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) {
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

namespace {

// Builtins and native functions whose method definition can be called without the
// vectorcall machinery.
inline PyMethodDef* direct_call_definition(PyObject* callable) {
    PyTypeObject* type = Py_TYPE(callable);
    // The usual callee, a Python function, is neither: spare it the MRO scan.
    if (type == &PyFunction_Type ||
        !is_subtype_of_either(type, module_state.native_function_type, &PyCFunction_Type)) {
        return nullptr;
    }
    return reinterpret_cast<PyCFunctionObject*>(callable)->m_ml;
}

inline vectorcallfunc vectorcall_entry(PyObject* callable) {
    PyTypeObject* type = Py_TYPE(callable);
    if (type == module_state.native_function_type) {
        return reinterpret_cast<PyCFunctionObject*>(callable)->vectorcall;
    }
    if (!PyType_HasFeature(type, Py_TPFLAGS_HAVE_VECTORCALL)) {
        return nullptr;
    }
    vectorcallfunc entry;
    std::memcpy(&entry, reinterpret_cast<char*>(callable) + type->tp_vectorcall_offset,
                sizeof entry);
    return entry;
}

inline PyObject* null_result_check(PyObject* result) {
    if (!result && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
    }
    return result;
}

}  // namespace

Ref call_object(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* keywords) {
    const Py_ssize_t count = PyVectorcall_NARGS(nargsf);
    if (!keywords && (count == 0 || count == 1)) {
        PyMethodDef* definition = direct_call_definition(callable);
        if (definition && (definition->ml_flags & (count == 0 ? METH_NOARGS : METH_O))) {
            return call_native_function_directly(callable, count == 0 ? nullptr : args[0]);
        }
    }
    if (count > 0 && keywords) {
        return Ref::steal(PyObject_VectorcallDict(callable, args, count, keywords));
    }
    if (!keywords) {
        vectorcallfunc entry = vectorcall_entry(callable);
        if (entry) {
            return Ref::steal(entry(callable, args, nargsf, nullptr));
        }
        if (count > 0) {
            return Ref::steal(PyObject_VectorcallDict(callable, args, count, nullptr));
        }
    }
    ternaryfunc slot = Py_TYPE(callable)->tp_call;
    if (!slot) {
        return Ref::steal(PyObject_Call(callable, module_state.empty_tuple, keywords));
    }
    return Ref::steal(
        null_result_check(call_guarded(slot, callable, module_state.empty_tuple, keywords)));
}

Ref call_native_function_directly(PyObject* callable, PyObject* argument) {
    PyCFunctionObject* function = reinterpret_cast<PyCFunctionObject*>(callable);
    PyObject* self = (function->m_ml->ml_flags & METH_STATIC) ? nullptr : function->m_self;
    return Ref::steal(null_result_check(call_guarded(function->m_ml->ml_meth, self, argument)));
}

Ref call_unpacking_method(Ref callable, PyObject** vector, Py_ssize_t nargs) {
    if (Py_IS_TYPE(callable.get(), &PyMethod_Type)) {
        Ref function = Ref::borrow(PyMethod_GET_FUNCTION(callable.get()));
        Ref instance = Ref::borrow(PyMethod_GET_SELF(callable.get()));
        callable.reset();
        vector[0] = instance.get();
        Ref result = call_object(function.get(), vector, static_cast<size_t>(nargs) + 1, nullptr);
        vector[0] = nullptr;
        return result;
    }
    vector[0] = nullptr;
    return call_object(callable.get(), vector + 1,
                       static_cast<size_t>(nargs) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

namespace {

// Orders cache entries by line, then by function name.
inline int compare_key(const CodeObjectCacheEntry& entry, int line, const char* function_name) {
    if (entry.line != line) {
        return entry.line < line ? -1 : 1;
    }
    return std::strcmp(entry.function_name, function_name);
}

// The first position whose key is not less than (line, function_name).
int cache_position(const CodeObjectCache& cache, int line, const char* function_name) {
    if (cache.count == 0 || cache.entries[cache.count - 1].line < line) {
        return cache.count;
    }
    int low = 0;
    int high = cache.count;
    while (low < high) {
        const int middle = low + (high - low) / 2;
        if (compare_key(cache.entries[middle], line, function_name) < 0) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return low;
}

// Caching is best effort: a failed allocation leaves the cache as it was, silently.
void cache_code_object(CodeObjectCache& cache, int line, const char* function_name, PyObject* code) {
    if (!cache.entries) {
        auto* entries = static_cast<CodeObjectCacheEntry*>(PyMem_Malloc(64 * sizeof(CodeObjectCacheEntry)));
        if (!entries) {
            return;
        }
        entries[0] = {Py_NewRef(code), line, function_name};
        cache.entries = entries;
        cache.capacity = 64;
        cache.count = 1;
        return;
    }
    const int position = cache_position(cache, line, function_name);
    if (position < cache.count && compare_key(cache.entries[position], line, function_name) == 0) {
        Py_SETREF(cache.entries[position].code, Py_NewRef(code));
        return;
    }
    if (cache.count == cache.capacity) {
        auto* grown = static_cast<CodeObjectCacheEntry*>(PyMem_Realloc(
            cache.entries, static_cast<size_t>(cache.capacity + 64) * sizeof(CodeObjectCacheEntry)));
        if (!grown) {
            return;
        }
        cache.entries = grown;
        cache.capacity += 64;
    }
    std::memmove(cache.entries + position + 1, cache.entries + position,
                 static_cast<size_t>(cache.count - position) * sizeof(CodeObjectCacheEntry));
    cache.entries[position] = {Py_NewRef(code), line, function_name};
    ++cache.count;
}

Ref traceback_code_object(const char* function_name, int line, const char* file_name) {
    CodeObjectCache& cache = module_state.code_object_cache;
    if (line != 0 && cache.count > 0) {
        const int position = cache_position(cache, line, function_name);
        if (position < cache.count &&
            compare_key(cache.entries[position], line, function_name) == 0) {
            return Ref::borrow(cache.entries[position].code);
        }
    }
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file_name, function_name, line)));
    if (code && line != 0) {
        cache_code_object(cache, line, function_name, code.get());
    }
    return code;
}

// Holds the pending exception aside while a traceback entry's objects are made: making a
// frame looks up `__builtins__` in the globals and would take a pending exception for the
// failure of that lookup. Unless restored, the exception is dropped, so that a failure to
// make the entry is the one that stands.
// 3.12 keeps a pending exception as one object, and deprecates the triple.
class SetAsideException {
public:
#if LCC_PY311
    SetAsideException() { PyErr_Fetch(&type_, &value_, &traceback_); }
    ~SetAsideException() {
        Py_XDECREF(type_);
        Py_XDECREF(value_);
        Py_XDECREF(traceback_);
    }
    void restore() {
        PyErr_Restore(type_, value_, traceback_);
        type_ = value_ = traceback_ = nullptr;
    }
#else
    SetAsideException() : exception_(PyErr_GetRaisedException()) {}
    ~SetAsideException() { Py_XDECREF(exception_); }
    void restore() {
        PyErr_SetRaisedException(exception_);
        exception_ = nullptr;
    }
#endif
    SetAsideException(const SetAsideException&) = delete;
    SetAsideException& operator=(const SetAsideException&) = delete;

private:
#if LCC_PY311
    PyObject* type_;
    PyObject* value_;
    PyObject* traceback_;
#else
    PyObject* exception_;
#endif
};

}  // namespace

void add_traceback(const char* function_name, int line, const char* file_name) {
    SetAsideException pending;
    Ref code = traceback_code_object(function_name, line, file_name);
    if (!code) {
        return;
    }
    Ref frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
        PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), module_state.module_dict,
        nullptr)));
    if (!frame) {
        return;
    }
    pending.restore();
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

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
