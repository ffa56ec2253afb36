/* Mirrors of the interpreter's inline-values structures that the instance-attribute
 * shortcuts read (Include/internal/pycore_dict.h of each version). An instance of a type
 * with a managed dict keeps its attributes in an array of values until a real __dict__ is
 * made for it; value i belongs to entry i of the type's shared keys, whose entries follow
 * the keys' index table. The values also record the order in which their slots were filled.
 *
 * Plain C, included after Python.h: instance_values_layout_check.c compares each mirror
 * with the version's own headers when the module is built. */
#pragma once

#include <stdint.h>

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

enum { split_keys_kind = 2 };

#if PY_VERSION_HEX >= 0x030D0000
/* 3.13: the head of the values that follow an object's header. */
struct ValuesHead313 {
    uint8_t capacity;
    uint8_t size;
    uint8_t embedded;
    uint8_t valid;
    PyObject* values[1];
};
#endif
