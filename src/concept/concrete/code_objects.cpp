// The code objects of the method functions: their names, parameters, first lines and
// location tables come from the method table.
#include "concept/concrete/code_objects.h"

#include <algorithm>
#include <cstring>

#include <opcode.h>

#include "concept/concrete/concept_methods.h"
#include "runtime/ref.h"
#include "runtime/runtime_state.h"

namespace {

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

// The code object of `record`: its parameters are its only locals. Equal varnames tuples
// of different code objects become one shared tuple through `varnames_dedup`.
PyObject* make_code_object(const MethodRecord& record, PyObject* varnames_dedup) {
    const MethodSignature& signature = record.signature;
    const int local_count = static_cast<int>(signature.parameter_count);
    Ref built = Ref::steal(PyTuple_New(local_count));
    if (!built) {
        return nullptr;
    }
    for (int i = 0; i < local_count; ++i) {
        PyTuple_SET_ITEM(built.get(), i, Py_NewRef(*signature.parameter_names[i]));
    }
    PyObject* shared = PyDict_SetDefault(varnames_dedup, built.get(), built.get());  // borrowed
    if (!shared) {
        return nullptr;
    }
    PyObject* location_table = constant(record.location_table);
    const Py_ssize_t length = std::max(2 * described_code_units(location_table),
                                       static_cast<Py_ssize_t>(sizeof raising_instructions));
    Ref code = Ref::steal(PyBytes_FromStringAndSize(nullptr, length));
    if (!code) {
        return nullptr;
    }
    write_raising_instructions(PyBytes_AS_STRING(code.get()), length);
    constexpr int stack_size = 1;
    constexpr int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    PyObject* name = constant(record.name);
    PyObject* none = runtime_state.empty_tuple;
    return reinterpret_cast<PyObject*>(new_code_object(
        local_count, /* positional-only */ 0, /* keyword-only */ 0, local_count, stack_size, flags,
        code.get(), none, none, shared, none, none,
        constant(Const::source_file), name, name, signature.definition_line, location_table,
        module_state.empty_bytes));
}

}  // namespace

int make_code_objects() {
    Ref varnames_dedup = Ref::steal(PyDict_New());
    if (!varnames_dedup) {
        return -1;
    }
    for (int index = 0; index < static_cast<int>(CodeIndex::count); ++index) {
        PyObject* code = make_code_object(method_record(static_cast<CodeIndex>(index)), varnames_dedup.get());
        if (!code) {
            return -1;
        }
        Py_XSETREF(module_state.code_objects[index], code);
    }
    return 0;
}
