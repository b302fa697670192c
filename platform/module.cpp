// ntdll as a module: the stand-in's native services, looked up by name.
#include <cstring>

#include "platform/standin.h"

namespace {

struct Export {
  const char* name;
  FARPROC address;
};

template <typename Function>
FARPROC AddressOf(Function function) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(function));  // NOLINT
}

const Export kExports[] = {
    {"RtlInitUnicodeString", AddressOf(standin::RtlInitUnicodeString)},
    {"ZwClose", AddressOf(standin::ZwClose)},
    {"ZwCreateFile", AddressOf(standin::ZwCreateFile)},
    {"ZwOpenSymbolicLinkObject", AddressOf(standin::ZwOpenSymbolicLinkObject)},
    {"ZwQuerySymbolicLinkObject", AddressOf(standin::ZwQuerySymbolicLinkObject)},
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
