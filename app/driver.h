// The command driver: the tool's own entry, which orders the phases of a run and owns
// every buffer in it.
#pragma once

#include "native/windows_api.h"

// Runs `vantro <source> <destination> [/E]`; the result is the process exit code.
// Element 0 of the arguments is shortened in place.
int RunCommand(int argumentCount, WCHAR* arguments[]);
