// Decoding of the packed constants table.
#include "concept/concrete/module_constants.h"

#include "runtime/ref.h"
#include "runtime/runtime_state.h"

namespace {

Ref refuse_missing_decompress() {
    PyErr_Format(PyExc_ImportError,
                 "Failed to import '%.20s.decompress' - cannot initialise module strings. "
                 "String compression was configured with the C macro "
                 "'NATIVE_COMPRESS_STRINGS=%d'.",
                 "zlib", 1);
    return Ref();
}

Ref import_decompress() {
    Ref name = Ref::steal(PyUnicode_FromString("decompress"));
    if (!name) {
        return Ref();
    }
    Ref zlib = Ref::steal(PyImport_ImportModule("zlib"));
    if (!zlib) {
        return refuse_missing_decompress();
    }
    Ref decompress = Ref::steal(PyObject_GetAttr(zlib.get(), name.get()));
    if (!decompress) {
        return refuse_missing_decompress();
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
        const int length = packed_length(index);
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
