// Decoding of the packed constants table, and the code objects of the method functions.
#include "concept/concrete/module_constants.h"

#include <algorithm>
#include <cstring>

#include <opcode.h>

#include "runtime/ref.h"
#include "runtime/runtime_state.h"

namespace {

// The 7-bit length of entry `index`, read from the little-endian bit-packed table.
int entry_length(int index) {
    const int bit = index * constants_table::length_bits;
    const int byte = bit / 8;
    unsigned window = constants_table::packed_lengths[byte];
    if (byte + 1 < static_cast<int>(sizeof constants_table::packed_lengths)) {
        window |= static_cast<unsigned>(constants_table::packed_lengths[byte + 1]) << 8;
    }
    return static_cast<int>((window >> (bit % 8)) & 0x7F);
}

Ref import_decompress() {
    Ref name = Ref::steal(PyUnicode_FromString("decompress"));
    if (!name) {
        return Ref();
    }
    Ref zlib = Ref::steal(PyImport_ImportModule("zlib"));
    Ref decompress = zlib ? Ref::steal(PyObject_GetAttr(zlib.get(), name.get())) : Ref();
    if (!decompress) {
        PyErr_Format(PyExc_ImportError,
                     "Failed to import '%.20s.decompress' - cannot initialise module strings. "
                     "String compression was configured with the C macro "
                     "'NATIVE_COMPRESS_STRINGS=%d'.",
                     "zlib", 1);
    }
    return decompress;
}

Ref inflate_block() {
    Ref decompress = import_decompress();
    if (!decompress) {
        return Ref();
    }
    Ref view = Ref::steal(PyMemoryView_FromMemory(
        reinterpret_cast<char*>(const_cast<unsigned char*>(constants_table::compressed_block)),
        sizeof constants_table::compressed_block, PyBUF_READ));
    if (!view) {
        return Ref();
    }
    Ref data = Ref::steal(PyObject_CallOneArg(decompress.get(), view.get()));
    // A replaced zlib.decompress may hand back anything; never read past what it gave.
    if (data && (!PyBytes_Check(data.get()) ||
                 static_cast<unsigned long long>(PyBytes_GET_SIZE(data.get())) !=
                     constants_table::decompressed_size)) {
        PyErr_SetString(PyExc_ImportError,
                        "cannot initialise module strings: zlib.decompress returned unexpected data");
        return Ref();
    }
    return data;
}

PyObject* make_entry(int index, const char* text, Py_ssize_t length) {
    if (index >= constants_table::first_bytes) {
        return PyBytes_FromStringAndSize(text, length);
    }
    PyObject* entry = PyUnicode_DecodeUTF8(text, length, "strict");
    if (entry && index >= constants_table::first_interned) {
        PyUnicode_InternInPlace(&entry);
    }
    return entry;
}

}  // namespace

int decode_constants_table() {
    Ref data = inflate_block();
    if (!data) {
        return -1;
    }
    const char* text = PyBytes_AS_STRING(data.get());
    Py_ssize_t offset = 0;
    for (int index = 0; index < constants_table::entry_count; ++index) {
        const int length = entry_length(index);
        PyObject* entry = make_entry(index, text + offset, length);
        if (!entry) {
            return -1;
        }
        Py_XSETREF(module_state.constants[index], entry);
        offset += length;
    }
    for (PyObject* entry : module_state.constants) {
        if (PyObject_Hash(entry) == -1) {
            return -1;
        }
    }
    return 0;
}

namespace {

// A code object described in one 32-bit word: argument count (bits 0-2), positional-only
// count (3), keyword-only count (4), local count (5-7), flags (8-17), first line (18-25).
constexpr uint32_t code_descriptor(uint32_t arguments, uint32_t first_line) {
    constexpr uint32_t flags = CO_OPTIMIZED | CO_NEWLOCALS;
    return arguments | (0u << 3) | (0u << 4) | (arguments << 5) | (flags << 8) | (first_line << 18);
}

struct CodeObjectRecord {
    uint32_t descriptor;
    Const name;
    Const varnames[6];
    Const location_table;
};

constexpr Const self = Const::self;
constexpr Const value = Const::value;

constexpr CodeObjectRecord code_object_records[] = {
    {code_descriptor(6, 26), Const::dunder_init,
     {self, Const::name, Const::k1, Const::k2, Const::a, Const::b}, Const::lines_init},
    {code_descriptor(1, 53), Const::a, {self}, Const::lines_getter},
    {code_descriptor(2, 65), Const::a, {self, value}, Const::lines_setter},
    {code_descriptor(1, 76), Const::b, {self}, Const::lines_getter},
    {code_descriptor(2, 88), Const::b, {self, value}, Const::lines_setter},
    {code_descriptor(1, 99), Const::clone, {self}, Const::lines_clone},
    {code_descriptor(2, 110), Const::get_membership_degree, {self, value},
     Const::lines_get_membership_degree},
    {code_descriptor(1, 130), Const::compute_name, {self}, Const::lines_compute_name},
    {code_descriptor(1, 141), Const::dunder_neg, {self}, Const::lines_neg},
    {code_descriptor(2, 152), Const::dunder_and, {self, value}, Const::lines_and},
    {code_descriptor(2, 166), Const::dunder_or, {self, value}, Const::lines_or},
    {code_descriptor(1, 180), Const::dunder_hash, {self}, Const::lines_hash},
};
static_assert(sizeof code_object_records / sizeof code_object_records[0] ==
              static_cast<size_t>(CodeIndex::count));

// The code-object constructor, which 3.12 renamed as an unstable interface.
template <typename... Arguments>
PyCodeObject* new_code_object(Arguments... arguments) {
#if LCC_PY311
    return PyCode_NewWithPosOnlyArgs(arguments...);
#else
    return PyUnstable_Code_NewWithPosOnlyArgs(arguments...);
#endif
}

// The code objects only describe the methods; like CPython's own empty code objects, they
// raise AssertionError if something runs them. NOPs fill the rest of the length that the
// location table describes.
constexpr unsigned char raising_instructions[] = {RESUME, 0, LOAD_ASSERTION_ERROR, 0,
                                                   RAISE_VARARGS, 1};

// The code units that a location table describes: the first byte of each entry has its
// top bit set and holds the entry's unit count, less one, in its low three bits.
Py_ssize_t described_code_units(PyObject* location_table) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(location_table));
    Py_ssize_t units = 0;
    for (Py_ssize_t i = 0; i < PyBytes_GET_SIZE(location_table); ++i) {
        if (bytes[i] & 0x80) {
            units += (bytes[i] & 0x7) + 1;
        }
    }
    return units;
}

void write_raising_instructions(char* code, Py_ssize_t length) {
    for (Py_ssize_t i = 0; i < length; i += 2) {
        code[i] = static_cast<char>(NOP);
        code[i + 1] = 0;
    }
    std::memcpy(code, raising_instructions, sizeof raising_instructions);
}

// Equal varnames tuples of different code objects become one shared tuple through
// `varnames_dedup`. `location_table` may be null: then code and table are empty.
PyObject* make_code_object(uint32_t descriptor, PyObject* const* varnames, PyObject* file_name,
                           PyObject* name, PyObject* location_table, PyObject* varnames_dedup) {
    const int argument_count = descriptor & 0x7;
    const int positional_only = (descriptor >> 3) & 0x1;
    const int keyword_only = (descriptor >> 4) & 0x1;
    const int local_count = (descriptor >> 5) & 0x7;
    const int flags = (descriptor >> 8) & 0x3FF;
    const int first_line = (descriptor >> 18) & 0xFF;

    Ref built = Ref::steal(PyTuple_New(local_count));
    if (!built) {
        return nullptr;
    }
    for (int i = 0; i < local_count; ++i) {
        PyTuple_SET_ITEM(built.get(), i, Py_NewRef(varnames[i]));
    }
    PyObject* shared = PyDict_SetDefault(varnames_dedup, built.get(), built.get());  // borrowed
    if (!shared) {
        return nullptr;
    }
    Ref code;
    int stack_size = 0;
    if (location_table) {
        const Py_ssize_t length =
            std::max(2 * described_code_units(location_table),
                     static_cast<Py_ssize_t>(sizeof raising_instructions));
        code = Ref::steal(PyBytes_FromStringAndSize(nullptr, length));
        if (!code) {
            return nullptr;
        }
        write_raising_instructions(PyBytes_AS_STRING(code.get()), length);
        stack_size = 1;
    } else {
        code = Ref::borrow(module_state.empty_bytes);
        location_table = module_state.empty_bytes;
    }
    PyObject* none = runtime_state.empty_tuple;
    return reinterpret_cast<PyObject*>(new_code_object(
        argument_count, positional_only, keyword_only, local_count, stack_size, flags, code.get(), none,
        none, shared, none, none, file_name, name, name, first_line, location_table,
        module_state.empty_bytes));
}

}  // namespace

int make_code_objects() {
    Ref varnames_dedup = Ref::steal(PyDict_New());
    if (!varnames_dedup) {
        return -1;
    }
    for (int index = 0; index < static_cast<int>(CodeIndex::count); ++index) {
        const CodeObjectRecord& record = code_object_records[index];
        PyObject* varnames[6];
        for (int i = 0; i < 6; ++i) {
            varnames[i] = constant(record.varnames[i]);
        }
        PyObject* code = make_code_object(record.descriptor, varnames, constant(Const::source_file),
                                          constant(record.name), constant(record.location_table),
                                          varnames_dedup.get());
        if (!code) {
            return -1;
        }
        Py_XSETREF(module_state.code_objects[index], code);
    }
    return 0;
}
