// The interpreter's recursion guard around native calls.
#pragma once

#include "runtime/python_api.h"

// A chain of native calls with no Python frame between them (a hash that hashes its own
// concept, a connective rebound to itself) would recurse until the C stack overflows.
// call_guarded takes the guard, and the message, of CPython's own builtin calls; but only
// past the first few nested native calls, so that a shallow call pays for one counter and
// not for the thread state. The counter sums the nesting of every thread (all of them run
// under the interpreter lock), so a high count only means that the exact check is taken:
// it never refuses a call by itself.
namespace recursion_guard {

// Deep enough for the calls a method makes of its own kind; shallow enough that the C
// stack never notices the calls it leaves uncounted.
inline constexpr int unguarded_depth = 32;
inline int nesting = 0;

// Out of line, so that the shallow path keeps its arguments in registers.
template <typename Function, typename... Args>
#if defined(_MSC_VER)
__declspec(noinline)
#else
__attribute__((noinline))
#endif
PyObject* call_counted(Function function, Args... args) {
    if (Py_EnterRecursiveCall(" while calling a Python object") != 0) {
        --nesting;
        return nullptr;
    }
    PyObject* result = function(args...);
    Py_LeaveRecursiveCall();
    --nesting;
    return result;
}

}  // namespace recursion_guard

// `function(args...)`, which returns a new reference or null, inside the recursion guard.
template <typename Function, typename... Args>
inline PyObject* call_guarded(Function function, Args... args) {
    if (++recursion_guard::nesting > recursion_guard::unguarded_depth) [[unlikely]] {
        return recursion_guard::call_counted(function, args...);
    }
    PyObject* result = function(args...);
    --recursion_guard::nesting;
    return result;
}
