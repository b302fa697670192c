#include "native/native_services.h"

NativeServiceTable NativeServices{};

namespace {

template <typename Entry>
bool Lookup(HMODULE module, const char* name, Entry& entry) {
  const FARPROC address = GetProcAddress(module, name);
  // An exported address is typed by the caller; the cast through void* is the
  // documented way to convert one function pointer type to another.
  entry = reinterpret_cast<Entry>(reinterpret_cast<void*>(address));  // NOLINT
  return address != nullptr;
}

}  // namespace

// Each entry is looked up under its own name, in the table's order.
#define BIND_ENTRY(entry)                             \
  if (!Lookup(ntdll, #entry, NativeServices.entry)) { \
    return #entry;                                    \
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
