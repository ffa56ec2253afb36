// The code objects of the method functions.
#pragma once

// Creates one code object per method into module_state.code_objects. 0, or -1.
int make_code_objects();
