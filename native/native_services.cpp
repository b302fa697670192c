#include "native/native_services.h"

#include "native/bind_by_name.h"

#ifndef _WIN32
#include <type_traits>

#include "standin/exports.h"

// Each service of the stand-in has exactly the type the tool calls it through: the export
// table's cast through void* would hide a signature that drifted.
static_assert(std::is_same_v<decltype(&standin::RtlInitUnicodeString), RtlInitUnicodeStringFn>);
static_assert(std::is_same_v<decltype(&standin::ZwClose), ZwCloseFn>);
static_assert(std::is_same_v<decltype(&standin::ZwCreateFile), ZwCreateFileFn>);
static_assert(
    std::is_same_v<decltype(&standin::ZwOpenSymbolicLinkObject), ZwOpenSymbolicLinkObjectFn>);
static_assert(
    std::is_same_v<decltype(&standin::ZwQuerySymbolicLinkObject), ZwQuerySymbolicLinkObjectFn>);
static_assert(std::is_same_v<decltype(&standin::ZwReadFile), ZwReadFileFn>);
static_assert(std::is_same_v<decltype(&standin::ZwSetInformationFile), ZwSetInformationFileFn>);
static_assert(std::is_same_v<decltype(&standin::ZwWriteFile), ZwWriteFileFn>);
static_assert(std::is_same_v<decltype(&standin::ZwQueryInformationFile), ZwQueryInformationFileFn>);
static_assert(std::is_same_v<decltype(&standin::RtlEqualUnicodeString), RtlEqualUnicodeStringFn>);
#endif

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
