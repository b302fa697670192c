#include "native/native_services.h"

#include "native/bind_by_name.h"

NativeServiceTable NativeServices{};

// Each entry is looked up under its own name, in the table's order.
#define BIND_ENTRY(entry)                                 \
  if (!BindByName(ntdll, #entry, NativeServices.entry)) { \
    return #entry;                                        \
  }

const char* BindNativeServices() {
  HMODULE ntdll = GetModuleHandleW(WIDE("ntdll.dll"));
  BIND_ENTRY(RtlInitUnicodeString)
  BIND_ENTRY(ZwCreateFile)
  BIND_ENTRY(ZwReadFile)
  BIND_ENTRY(ZwWriteFile)
  BIND_ENTRY(ZwClose)
  BIND_ENTRY(ZwQuerySymbolicLinkObject)
  BIND_ENTRY(ZwOpenSymbolicLinkObject)
  BIND_ENTRY(ZwSetInformationFile)
  BIND_ENTRY(ZwQueryInformationFile)
  BIND_ENTRY(RtlEqualUnicodeString)
  return nullptr;
}

#undef BIND_ENTRY
