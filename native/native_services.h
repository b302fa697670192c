// The native services of ntdll, bound by name at start.
#pragma once

#include "native/native_api.h"

struct NativeServiceTable {
  RtlInitUnicodeStringFn RtlInitUnicodeString;
  ZwCreateFileFn ZwCreateFile;
  ZwReadFileFn ZwReadFile;
  ZwWriteFileFn ZwWriteFile;
  ZwCloseFn ZwClose;
  ZwQuerySymbolicLinkObjectFn ZwQuerySymbolicLinkObject;
  ZwOpenSymbolicLinkObjectFn ZwOpenSymbolicLinkObject;
  ZwSetInformationFileFn ZwSetInformationFile;
  ZwQueryInformationFileFn ZwQueryInformationFile;
  RtlEqualUnicodeStringFn RtlEqualUnicodeString;
};

// The one process-wide table: written once by the driver, then only read (tests may
// replace entries to inject what real files rarely do).
extern NativeServiceTable NativeServices;

// Looks every entry up in ntdll. Returns null when all were found, otherwise the
// name of the first one missing (the table is then incomplete and must not be used).
const char* BindNativeServices();
