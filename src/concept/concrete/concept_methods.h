// The method functions of LinearConcreteConcept: one table of their facts, which argument
// binding, class creation and code-object creation all read.
#pragma once

#include "concept/concrete/module_state.h"
#include "runtime/argument_binding.h"

// The full dotted name of a method, as its traceback entries show it.
#define LCC_MODULE_NAME "tolvane.ostrel.concept.concrete.linear_concrete_concept"
#define LCC_METHOD_NAME(method) LCC_MODULE_NAME ".LinearConcreteConcept." method
// The module's source path, as traceback entries and code objects name it.
#define LCC_SOURCE_FILE_NAME "tolvane/ostrel/concept/concrete/linear_concrete_concept.py"

// How class creation puts a method function into the class namespace.
enum class MethodRole {
    method,           // stored under its name
    constructor,      // stored under its name; its super() learns the class once made
    property_getter,  // stored under its name as property(getter)
    property_setter,  // stored under its name through `<what the name holds>.setter`
};

// Runs a method with the function object and the bound arguments in parameter order.
using MethodBody = PyObject* (*)(PyObject* function, PyObject* const* arguments);

struct MethodRecord {
    CodeIndex index;
    // Parameter names, definition line, short and dotted names. The parameter names are
    // also the code object's local names and the keys of the annotations.
    MethodSignature signature;
    MethodRole role;
    Const name;                    // the namespace key, and the code object's name
    Const qualified_name;
    Const parameter_types[5];      // the annotations of the parameters after self, in order
    Const return_type;             // the annotation of the result
    Const location_table;          // of the code object
    // Property setters: the call site that reads the decorator's name from the globals
    // when the namespace does not hold it.
    GlobalLookupCache GlobalLookupCaches::*decorator_cache;
    MethodBody body;
};

const MethodRecord& method_record(CodeIndex index);

// The static method definition of each method function.
PyMethodDef* method_definition(CodeIndex index);
