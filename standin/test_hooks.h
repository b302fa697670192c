// What only tests and fuzzers may do to the stand-in platform: shape its object
// namespace and its modules. The tool itself never includes this header.
#pragma once

#include <cstddef>

#include "standin/windows_api.h"

namespace standin {

// Adds the drive link \??\<letter>: with the given device name, whose files are those
// under the POSIX directory. Returns false when the table is full.
bool AddDriveLink(WCHAR letter, LPCWSTR deviceName, const char* directory);
// Adds a link with any name and target (no backing directory).
bool AddLink(LPCWSTR linkName, LPCWSTR target);
// Back to the start-up namespace (drive Z: over "/" only).
void ResetNamespace();

// Makes a loaded or loadable module lack one export (nullptr: none), as an older
// platform's does.
void WithholdExport(LPCWSTR moduleName, const char* procName);
// Back to the start-up modules: nothing withheld, nothing loaded since.
void ResetModules();

// How many handles of the native services are open: links and files.
std::size_t OpenHandleCount();

}  // namespace standin
