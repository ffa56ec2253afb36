// Module-global and builtin lookup, with a cache per call site.
#pragma once

#include "runtime/ref.h"

// The cache of one call site that reads a module global. `value` is borrowed from the
// module dictionary: it is trusted only while the dictionary's version tag still equals
// `version` (a tag of 0 never matches a live dictionary).
struct GlobalLookupCache {
    uint64_t version;
    PyObject* value;
};

// Lets lookup_module_global cache what it finds in `module_dict`, where the interpreter
// needs a watcher for that. 0, or -1 with an exception set.
int watch_module_globals(PyObject* module_dict);

// A module global through its call site's cache, then the builtins; NameError when both
// lack it. `name` is an interned str constant with its hash computed.
Ref lookup_module_global(PyObject* name, GlobalLookupCache& cache);
Ref lookup_builtin(PyObject* name);
