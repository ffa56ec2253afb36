// Module-global and builtin lookup.
#include "runtime/module_globals.h"

#include "runtime/attributes.h"
#include "runtime/runtime_state.h"

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

}  // namespace

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

Ref lookup_module_global(PyObject* name, GlobalLookupCache& cache) {
    PyObject* dict = runtime_state.module_dict;
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
    Ref found = get_attr_or_null(runtime_state.builtins_module, name);
    if (!found && !PyErr_Occurred()) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return found;
}
