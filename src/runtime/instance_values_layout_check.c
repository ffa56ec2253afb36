/* Compiled with each build, never linked: it fails the build where a mirror of
 * instance_values_layout.h differs from the interpreter's own structure. */
#define Py_BUILD_CORE 1
#include <Python.h>
#include <internal/pycore_dict.h>
#include <internal/pycore_object.h>
#include <stddef.h>

#include "runtime/instance_values_layout.h"

#define SAME_FIELD(mirror, field, real, real_field)                                        \
    _Static_assert(offsetof(struct mirror, field) == offsetof(real, real_field) &&           \
                       sizeof(((struct mirror*)0)->field) == sizeof(((real*)0)->real_field), \
                   #mirror "." #field " is not where the interpreter keeps it")

SAME_FIELD(SharedKeysHead, dk_refcnt, PyDictKeysObject, dk_refcnt);
SAME_FIELD(SharedKeysHead, dk_log2_size, PyDictKeysObject, dk_log2_size);
SAME_FIELD(SharedKeysHead, dk_log2_index_bytes, PyDictKeysObject, dk_log2_index_bytes);
SAME_FIELD(SharedKeysHead, dk_kind, PyDictKeysObject, dk_kind);
SAME_FIELD(SharedKeysHead, dk_version, PyDictKeysObject, dk_version);
SAME_FIELD(SharedKeysHead, dk_usable, PyDictKeysObject, dk_usable);
SAME_FIELD(SharedKeysHead, dk_nentries, PyDictKeysObject, dk_nentries);
/* The index table, an array of unstated length. */
_Static_assert(offsetof(struct SharedKeysHead, dk_indices) == offsetof(PyDictKeysObject, dk_indices),
               "SharedKeysHead.dk_indices is not where the interpreter keeps it");
SAME_FIELD(SharedKeyEntry, key, PyDictUnicodeEntry, me_key);
SAME_FIELD(SharedKeyEntry, value, PyDictUnicodeEntry, me_value);
_Static_assert(sizeof(struct SharedKeyEntry) == sizeof(PyDictUnicodeEntry), "SharedKeyEntry has the wrong size");
_Static_assert((int)split_keys_kind == (int)DICT_KEYS_SPLIT, "split_keys_kind is not the split kind");

#if PY_VERSION_HEX >= 0x030D0000
SAME_FIELD(ValuesHead313, capacity, PyDictValues, capacity);
SAME_FIELD(ValuesHead313, size, PyDictValues, size);
SAME_FIELD(ValuesHead313, embedded, PyDictValues, embedded);
SAME_FIELD(ValuesHead313, valid, PyDictValues, valid);
SAME_FIELD(ValuesHead313, values, PyDictValues, values);
/* The managed dict, which may share the values, one word before the GC head. */
_Static_assert(MANAGED_DICT_OFFSET == -3 * (Py_ssize_t)sizeof(PyObject*), "the managed dict moved");
#endif
