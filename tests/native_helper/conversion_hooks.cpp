// Plain module functions that let the tests call the conversion and text services
// directly, with the arguments those services expect from the module's own code.
#include "runtime/number_text.h"
#include "runtime/text_join.h"
#include "native_test_helper.h"

namespace {

PyObject* hook_float_from_object(PyObject*, PyObject* object) {
    return float_from_object(object).release();
}

// 1.0 - operand, the way the membership degree computes it.
PyObject* hook_float_constant_minus(PyObject*, PyObject* operand) {
    Ref one = Ref::steal(PyFloat_FromDouble(1.0));
    return one ? float_constant_minus(one.get(), operand, 1.0).release() : nullptr;
}

PyObject* hook_value_text(PyObject*, PyObject* value) {
    return value_text(value).release();
}

// join_pieces(list_of_str, length, bound): the service trusts its pieces to be str,
// so the hook checks that much before handing them over.
PyObject* hook_join_pieces(PyObject*, PyObject* args) {
    PyObject* pieces = nullptr;
    Py_ssize_t length = 0;
    // "K": unsigned long is 32 bits on Windows, where "k" would cut 2**32 + 0x7F to 0x7F.
    unsigned long long bound = 0;
    if (!PyArg_ParseTuple(args, "O!nK:join_pieces", &PyList_Type, &pieces, &length, &bound)) {
        return nullptr;
    }
    Py_ssize_t count = PyList_GET_SIZE(pieces);
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!PyUnicode_Check(PyList_GET_ITEM(pieces, i))) {
            PyErr_SetString(PyExc_TypeError, "join_pieces() takes a list of str");
            return nullptr;
        }
    }
    // Borrowed items: nothing in join_pieces runs Python code that could change the list.
    return join_pieces(PySequence_Fast_ITEMS(pieces), count, length,
                       static_cast<Py_UCS4>(bound > 0xFFFFFFFFull ? 0xFFFFFFFFull : bound))
        .release();
}

PyObject* hook_kind_char_bound(PyObject*, PyObject* text) {
    if (!PyUnicode_Check(text)) {
        PyErr_SetString(PyExc_TypeError, "kind_char_bound() takes a str");
        return nullptr;
    }
    if (PyUnicode_READY(text) < 0) {
        return nullptr;
    }
    return PyLong_FromUnsignedLong(kind_char_bound(text));
}

PyObject* hook_truth_value(PyObject*, PyObject* object) {
    int truth = truth_value(object);
    if (truth < 0) {
        return nullptr;
    }
    return PyLong_FromLong(truth);
}

PyMethodDef conversion_hooks[] = {
    {"float_from_object", hook_float_from_object, METH_O, "float_from_object(x) -> float"},
    {"float_constant_minus", hook_float_constant_minus, METH_O,
     "float_constant_minus(x) -> 1.0 - x, with the module's float_one"},
    {"value_text", hook_value_text, METH_O, "value_text(x) -> str"},
    {"join_pieces", hook_join_pieces, METH_VARARGS, "join_pieces(pieces, length, bound) -> str"},
    {"kind_char_bound", hook_kind_char_bound, METH_O, "kind_char_bound(text) -> int"},
    {"truth_value", hook_truth_value, METH_O, "truth_value(x) -> 1 or 0"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_conversion_hooks(PyObject* module) {
    return PyModule_AddFunctions(module, conversion_hooks);
}
