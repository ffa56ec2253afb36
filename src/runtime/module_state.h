// ModuleState: the module's one process-wide record. Zero at load, filled by module
// execution, never released. Guarded by the interpreter's global lock alone.
#pragma once

#include "runtime/python_api.h"
#include "constants_table.h"

// The cache of one call site that reads a module global. `value` is borrowed from the
// module dictionary: it is trusted only while the dictionary's version tag still equals
// `version` (a tag of 0 never matches a live dictionary).
struct GlobalLookupCache {
    uint64_t version;
    PyObject* value;
};

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

// The code objects of the twelve method functions, in this order.
enum class CodeIndex : int {
    init, getter_a, setter_a, getter_b, setter_b, clone, get_membership_degree,
    compute_name, neg, and_, or_, hash,
    count
};

// One entry per call site; sites never share an entry, even for the same name.
struct GlobalLookupCaches {
    GlobalLookupCache init_util_k1;      // __init__: Util, on the k1 check
    GlobalLookupCache init_util_b;       // __init__: Util, on the b check
    GlobalLookupCache clone_class;       // clone: LinearConcreteConcept
    GlobalLookupCache neg_operator;      // __neg__: OperatorConcept
    GlobalLookupCache and_operator;      // __and__: OperatorConcept
    GlobalLookupCache or_operator;       // __or__: OperatorConcept
    GlobalLookupCache class_bases;       // class creation: FuzzyConcreteConcept
    GlobalLookupCache class_setter_a;    // class creation: `a` for the setter decorator
    GlobalLookupCache class_setter_b;    // class creation: `b` for the setter decorator
};

// A site that reads a property through an instance. While `type` keeps the version tag
// `version`, reading the property's name on an instance of exactly `type` goes through
// the generic attribute lookup to `property` (borrowed from the type's MRO dictionaries,
// which hold it while the tag is unchanged).
struct PropertyReadCache {
    PyTypeObject* type;
    unsigned int version;
    PyObject* property;
};

// An instance attribute that the method bodies read and write. While `type` keeps the
// version tag `version`, instances of exactly `type` hold the attribute at `index` of
// their inline values, and no attribute of the type itself has the name, so the generic
// lookup and store go straight to that slot (`index` is -1 until the name is in the
// type's shared keys). `readable` and `writable` tell whether the type's attribute slots
// are the generic ones.
struct InstanceAttributeCache {
    PyTypeObject* type;
    unsigned int version;
    Py_ssize_t index;
    bool readable;
    bool writable;
};

// A site that reads an attribute of a class. While `type` keeps the version tag
// `version`, reading the name on exactly `type` (a class whose metatype is exactly
// `type`, which has no attribute of the name) finds the static method `descriptor`
// (borrowed from the MRO dictionaries, which hold it while the tag is unchanged).
struct ClassAttributeCache {
    PyTypeObject* type;
    unsigned int version;
    PyObject* descriptor;
};

struct ModuleState {
    PyObject* module_dict;
    PyObject* builtins_module;
    PyObject* native_runtime_module;
    PyObject* empty_tuple;
    PyObject* empty_bytes;
    PyObject* empty_str;
    PyObject* code_objects[static_cast<int>(CodeIndex::count)];
    PyObject* constants[constants_table::entry_count];
    PyObject* float_zero;
    PyObject* float_one;
    PyObject* int_zero;
    PyTypeObject* common_metatype;
    PyTypeObject* native_function_type;
    CodeObjectCache code_object_cache;
    GlobalLookupCaches global_lookup_caches;
    PyObject* builtin_property;
    PyObject* builtin_super;
    PyObject* module_object;
    PropertyReadCache read_a;  // the method bodies' reads of `a`
    PropertyReadCache read_b;  // the method bodies' reads of `b`
    InstanceAttributeCache attribute_name;
    InstanceAttributeCache attribute_k1;
    InstanceAttributeCache attribute_k2;
    InstanceAttributeCache attribute_a;  // `_a`
    InstanceAttributeCache attribute_b;  // `_b`
    ClassAttributeCache neg_operation;   // __neg__: OperatorConcept.not_
    ClassAttributeCache and_operation;   // __and__: OperatorConcept.and_
    ClassAttributeCache or_operation;    // __or__: OperatorConcept.or_
};

// Defined by the extension module that links the runtime (each has its own record).
extern ModuleState module_state;

// Borrowed reference to a constants-table entry.
inline PyObject* constant(Const id) { return module_state.constants[static_cast<int>(id)]; }

inline PyObject* code_object(CodeIndex index) {
    return module_state.code_objects[static_cast<int>(index)];
}

// The module's source path, as traceback entries and code objects name it.
inline constexpr const char source_file_name[] =
    "tolvane/ostrel/concept/concrete/linear_concrete_concept.py";
