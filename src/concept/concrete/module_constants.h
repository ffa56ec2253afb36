// The module's constants table and the code objects of its method functions.
#pragma once

#include "concept/concrete/module_state.h"

// Decodes the packed table into module_state.constants (releasing what an earlier,
// failed execution left there). 0, or -1 with an exception set.
int decode_constants_table();

// Creates the twelve code objects into module_state.code_objects. 0, or -1.
int make_code_objects();
