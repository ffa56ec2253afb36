// The method functions of LinearConcreteConcept: their definitions, wrappers and bodies.
#pragma once

#include "concept/concrete/module_state.h"

// The full dotted name of a method, as its traceback entries show it.
#define LCC_MODULE_NAME "tolvane.ostrel.concept.concrete.linear_concrete_concept"
#define LCC_METHOD_NAME(method) LCC_MODULE_NAME ".LinearConcreteConcept." method

// The static method definition of each method function, indexed like the code objects.
PyMethodDef* method_definition(CodeIndex index);
