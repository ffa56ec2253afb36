// Traceback entries that name lines of the module's Python source.
#pragma once

#include "runtime/python_api.h"

// The module's source path, as traceback entries and code objects name it.
inline constexpr const char source_file_name[] =
    "tolvane/ostrel/concept/concrete/linear_concrete_concept.py";

// Adds a traceback entry for `function_name` (static text) at Python source `line` of
// `file_name` to the pending exception.
void add_traceback(const char* function_name, int line, const char* file_name = source_file_name);
