// Traceback entries that name lines of the module's Python source.
#pragma once

#include "runtime/python_api.h"

// Adds a traceback entry for `function_name` (static text) at `line` of the extension's
// Python source (RuntimeState::source_file_name) to the pending exception.
void add_traceback(const char* function_name, int line);
