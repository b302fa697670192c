// The native services of ntdll, bound by name at start.
#pragma once

#include "native/bind_by_name.h"
#include "native/native_api.h"

// Every native service the tool calls, each named once; its type is <name>Fn in
// native_api.h. The table, its binding by name and the host's checks of the stand-in's
// exports are all made from this list. Adding a service: one line here, its type, and its
// export in the stand-in.
#define VANTRO_NATIVE_SERVICES(SERVICE) \
  SERVICE(RtlInitUnicodeString)         \
  SERVICE(ZwCreateFile)                 \
  SERVICE(ZwReadFile)                   \
  SERVICE(ZwWriteFile)                  \
  SERVICE(ZwClose)                      \
  SERVICE(ZwQuerySymbolicLinkObject)    \
  SERVICE(ZwOpenSymbolicLinkObject)     \
  SERVICE(ZwSetInformationFile)         \
  SERVICE(ZwQueryInformationFile)       \
  SERVICE(ZwQueryDirectoryFile)         \
  SERVICE(ZwQueryVolumeInformationFile) \
  SERVICE(RtlEqualUnicodeString)

struct NativeServiceTable {
  VANTRO_NATIVE_SERVICES(VANTRO_TABLE_ENTRY)
};

// The one process-wide table: written once by the driver, then only read (tests may
// replace entries to inject what real files rarely do).
extern NativeServiceTable NativeServices;

// Looks every entry up in ntdll, in the list's order. Returns null when all were found,
// otherwise the name of the first one missing (the table is then incomplete and must not be
// used).
const char* BindNativeServices();
