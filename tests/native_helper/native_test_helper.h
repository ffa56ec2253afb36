// The parts of the test-only extension, each adding its functions to the module.
#pragma once

#include "runtime/python_api.h"

// Functions of the shared type with the other flag combinations (function_shapes.cpp).
int add_function_shape_hooks(PyObject* module);

// The conversion and text services, callable from Python (conversion_hooks.cpp).
int add_conversion_hooks(PyObject* module);
