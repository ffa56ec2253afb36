// ModuleState: the module's one process-wide record, besides the runtime's own
// (RuntimeState). Zero at load, filled by module execution, never released. Guarded by
// the interpreter's global lock alone.
#pragma once

#include "runtime/attributes.h"
#include "runtime/instance_attributes.h"
#include "runtime/module_globals.h"
#include "constants_table.h"

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

struct ModuleState {
    PyObject* native_runtime_module;
    PyObject* empty_bytes;
    PyObject* code_objects[static_cast<int>(CodeIndex::count)];
    PyObject* constants[constants_table::entry_count];
    PyObject* float_zero;
    PyObject* float_one;
    PyObject* int_zero;
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

extern ModuleState module_state;

// Borrowed reference to a constants-table entry.
inline PyObject* constant(Const id) { return module_state.constants[static_cast<int>(id)]; }

inline PyObject* code_object(CodeIndex index) {
    return module_state.code_objects[static_cast<int>(index)];
}
