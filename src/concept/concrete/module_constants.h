// The module's constants table.
#pragma once

#include <initializer_list>

#include "concept/concrete/module_state.h"

// The byte length of entry `index`, read from the little-endian bit-packed table.
constexpr int packed_length(int index) {
    const int bit = index * constants_table::length_bits;
    const int byte = bit / 8;
    unsigned window = constants_table::packed_lengths[byte];
    if (byte + 1 < static_cast<int>(sizeof constants_table::packed_lengths)) {
        window |= static_cast<unsigned>(constants_table::packed_lengths[byte + 1]) << 8;
    }
    return static_cast<int>((window >> (bit % 8)) & 0x7F);
}

// The code points of the ASCII str entries `ids`, known at build time.
constexpr Py_ssize_t ascii_length(std::initializer_list<Const> ids) {
    Py_ssize_t length = 0;
    for (Const id : ids) {
        length += packed_length(static_cast<int>(id));
    }
    return length;
}

// Decodes the packed table into module_state.constants (releasing what an earlier,
// failed execution left there). 0, or -1 with an exception set.
int decode_constants_table();
