// CPython 3.11's int and tuple hashes (Objects/longobject.c, Objects/tupleobject.c),
// computed the same way so that the results are equal to hash() of the objects.
#include "runtime/hashing.h"

static_assert(sizeof(Py_uhash_t) == 8, "the tuple hash constants below are the 64-bit ones");

namespace {

constexpr Py_uhash_t prime_1 = 11400714785074694791ULL;
constexpr Py_uhash_t prime_2 = 14029467366897019727ULL;
constexpr Py_uhash_t prime_5 = 2870177450012600261ULL;

constexpr Py_uhash_t rotate_left_31(Py_uhash_t x) { return (x << 31) | (x >> 33); }

}  // namespace

Py_hash_t int_hash(Py_hash_t value) {
    // The hash of an int is its value modulo 2**61 - 1, with the value's sign.
    const Py_uhash_t magnitude = value < 0 ? Py_uhash_t{0} - static_cast<Py_uhash_t>(value)
                                           : static_cast<Py_uhash_t>(value);
    const auto reduced = static_cast<Py_hash_t>(magnitude % _PyHASH_MODULUS);
    const Py_hash_t result = value < 0 ? -reduced : reduced;
    return result == -1 ? -2 : result;
}

int TupleHash::add(PyObject* item) {
    const Py_hash_t hash = PyObject_Hash(item);
    if (hash == -1) {
        return -1;
    }
    add_hash(hash);
    return 0;
}

void TupleHash::add_hash(Py_hash_t hash) {
    accumulator_ += static_cast<Py_uhash_t>(hash) * prime_2;
    accumulator_ = rotate_left_31(accumulator_);
    accumulator_ *= prime_1;
    ++length_;
}

Py_hash_t TupleHash::finish() const {
    const Py_uhash_t result = accumulator_ + (static_cast<Py_uhash_t>(length_) ^ (prime_5 ^ 3527539UL));
    return result == static_cast<Py_uhash_t>(-1) ? 1546275796 : static_cast<Py_hash_t>(result);
}
