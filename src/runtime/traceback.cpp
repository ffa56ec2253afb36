// Traceback entries, with a cache of the code objects they are made of.
#include "runtime/traceback.h"

#include <cstring>

#include <frameobject.h>

#include "runtime/ref.h"
#include "runtime/runtime_state.h"

namespace {

// Code objects made for traceback entries, reused for later failures of the same
// function at the same line. Sorted by (line, function name); grows 64 entries at a time.
struct CodeObjectCacheEntry {
    PyObject* code;             // owned
    int line;
    const char* function_name;  // static text
};

struct CodeObjectCache {
    CodeObjectCacheEntry* entries;
    int count;
    int capacity;
};

// Filled as failures happen, never released, like the runtime's record.
CodeObjectCache code_object_cache{};

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
    CodeObjectCache& cache = code_object_cache;
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

void add_traceback(const char* function_name, int line) {
    SetAsideException pending;
    Ref code = traceback_code_object(function_name, line, runtime_state.source_file_name);
    if (!code) {
        return;
    }
    Ref frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
        PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), runtime_state.module_dict,
        nullptr)));
    if (!frame) {
        return;
    }
    pending.restore();
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}
