// The platform's path functions, bound by name at start like the native services: the
// tool calls them only through this table, so that it imports no DLL for them.
#pragma once

#include "native/windows_api.h"

using PathRemoveFileSpecWFn = BOOL(WINAPI*)(LPWSTR path /* in, out */);
using PathGetDriveNumberWFn = int(WINAPI*)(LPCWSTR path);
using PathIsRelativeWFn = BOOL(WINAPI*)(LPCWSTR path);
using PathSkipRootWFn = LPWSTR(WINAPI*)(LPCWSTR path);

struct PathFunctionTable {
  PathRemoveFileSpecWFn PathRemoveFileSpecW;
  PathGetDriveNumberWFn PathGetDriveNumberW;
  PathIsRelativeWFn PathIsRelativeW;
  PathSkipRootWFn PathSkipRootW;
};

// The one process-wide table: written once by the driver, then only read (tests may
// replace entries).
extern PathFunctionTable PathFunctions;

// Looks every entry up in kernelbase.dll, which every process has loaded (it exports them
// from Windows 8 on), and a name it lacks in shlwapi.dll, loaded then (Windows 7). Returns
// null when all were found, otherwise the name of the first one neither exports.
const char* BindPathFunctions();
