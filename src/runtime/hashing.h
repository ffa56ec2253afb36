// Hashes the interpreter would compute, without building the objects it would hash.
#pragma once

#include "runtime/python_api.h"

// hash(int(value)) for a hash value, without making the int.
Py_hash_t int_hash(Py_hash_t value);

// hash(tuple(items)), item by item in order, without making the tuple.
class TupleHash {
public:
    // Hashes `item` as the tuple would; -1 with an exception set on failure.
    int add(PyObject* item);
    // An item whose hash is already known.
    void add_hash(Py_hash_t hash);
    Py_hash_t finish() const;

private:
    Py_uhash_t accumulator_ = 2870177450012600261ULL;
    Py_ssize_t length_ = 0;
};
