// ntdll as a module: the stand-in's native services, looked up by name.
#include <cstring>
#include <type_traits>

#include "native/native_api.h"
#include "standin/internal.h"

namespace {

struct Export {
  const char* name;
  FARPROC address;
};

template <typename Function>
FARPROC AddressOf(Function function) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(function));  // NOLINT
}

// Each service has exactly the type the tool calls it through: the export table's cast
// through void* would hide a signature that drifted.
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

const Export kExports[] = {
    {"RtlEqualUnicodeString", AddressOf(standin::RtlEqualUnicodeString)},
    {"RtlInitUnicodeString", AddressOf(standin::RtlInitUnicodeString)},
    {"ZwClose", AddressOf(standin::ZwClose)},
    {"ZwCreateFile", AddressOf(standin::ZwCreateFile)},
    {"ZwOpenSymbolicLinkObject", AddressOf(standin::ZwOpenSymbolicLinkObject)},
    {"ZwQuerySymbolicLinkObject", AddressOf(standin::ZwQuerySymbolicLinkObject)},
    {"ZwQueryInformationFile", AddressOf(standin::ZwQueryInformationFile)},
    {"ZwReadFile", AddressOf(standin::ZwReadFile)},
    {"ZwSetInformationFile", AddressOf(standin::ZwSetInformationFile)},
    {"ZwWriteFile", AddressOf(standin::ZwWriteFile)},
};

char ntdll;  // its address is the module handle

bool IsNtdll(LPCWSTR name) {
  const char16_t* expected = u"ntdll.dll";
  for (; *expected != 0; ++name, ++expected) {
    const char16_t folded = *name >= u'A' && *name <= u'Z' ? *name + 0x20 : *name;
    if (folded != *expected) {
      return false;
    }
  }
  return *name == 0;
}

}  // namespace

HMODULE GetModuleHandleW(LPCWSTR moduleName) {
  return moduleName != nullptr && IsNtdll(moduleName) ? &ntdll : nullptr;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR procName) {
  if (module != &ntdll || procName == nullptr) {
    return nullptr;
  }
  for (const Export& entry : kExports) {
    if (std::strcmp(entry.name, procName) == 0) {
      return entry.address;
    }
  }
  return nullptr;
}
