// The platform's path functions, bound by name at start like the native services: the
// tool calls them only through this table, so that it imports no DLL for them.
#pragma once

#include "native/bind_by_name.h"
#include "native/windows_api.h"

using PathRemoveFileSpecWFn = BOOL(WINAPI*)(LPWSTR path /* in, out */);
using PathGetDriveNumberWFn = int(WINAPI*)(LPCWSTR path);
using PathIsRelativeWFn = BOOL(WINAPI*)(LPCWSTR path);
using PathSkipRootWFn = LPWSTR(WINAPI*)(LPCWSTR path);

// Every path function the tool calls, each named once with its type <name>Fn above; the
// table, its binding and the checks of each entry's type are made from this list.
#define VANTRO_PATH_FUNCTIONS(FUNCTION) \
  FUNCTION(PathRemoveFileSpecW)         \
  FUNCTION(PathGetDriveNumberW)         \
  FUNCTION(PathIsRelativeW)             \
  FUNCTION(PathSkipRootW)

struct PathFunctionTable {
  VANTRO_PATH_FUNCTIONS(VANTRO_TABLE_ENTRY)
};

// The one process-wide table: written once by the driver, then only read (tests may
// replace entries).
extern PathFunctionTable PathFunctions;

// Looks every entry up in kernelbase.dll, which every process has loaded (it exports them
// from Windows 8 on), and a name it lacks in shlwapi.dll, loaded then (Windows 7). Returns
// null when all were found, otherwise the name of the first one neither exports.
const char* BindPathFunctions();
