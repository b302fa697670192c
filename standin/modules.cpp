// The modules as a process finds them: ntdll.dll and kernelbase.dll loaded from its start
// (kernelbase exports the path functions, as from Windows 8 on), shlwapi.dll only once
// LoadLibraryW loads it. Each module handle is the address of its record.
#include <cstring>

#include "standin/internal.h"
#include "standin/test_hooks.h"

namespace {

struct Module {
  const char16_t* name;
  std::span<const standin::Export> (*exports)();
  bool loadedAtStart;
  bool loaded;
  const char* withheld;  // an export a test made the module lack
};

Module modules[] = {
    {u"ntdll.dll", standin::NtdllExports, true, true, nullptr},
    {u"kernelbase.dll", standin::PathExports, true, true, nullptr},
    {u"shlwapi.dll", standin::PathExports, false, false, nullptr},
};

// Module names are matched without regard to case.
bool SameName(LPCWSTR name, const char16_t* expected) {
  for (; *expected != 0; ++name, ++expected) {
    const char16_t folded = *name >= u'A' && *name <= u'Z' ? *name + 0x20 : *name;
    if (folded != *expected) {
      return false;
    }
  }
  return *name == 0;
}

Module* Named(LPCWSTR name) {
  for (Module& module : modules) {
    if (name != nullptr && SameName(name, module.name)) {
      return &module;
    }
  }
  return nullptr;
}

const Module* Loaded(HMODULE handle) {
  for (const Module& module : modules) {
    if (&module == handle && module.loaded) {
      return &module;
    }
  }
  return nullptr;
}

bool Withheld(const Module& module, LPCSTR procName) {
  return module.withheld != nullptr && std::strcmp(module.withheld, procName) == 0;
}

}  // namespace

HMODULE GetModuleHandleW(LPCWSTR moduleName) {
  Module* module = Named(moduleName);
  return module != nullptr && module->loaded ? module : nullptr;
}

HMODULE LoadLibraryW(LPCWSTR fileName) {
  Module* module = Named(fileName);
  if (module != nullptr) {
    module->loaded = true;
  }
  return module;
}

FARPROC GetProcAddress(HMODULE handle, LPCSTR procName) {
  const Module* module = Loaded(handle);
  if (module == nullptr || procName == nullptr || Withheld(*module, procName)) {
    return nullptr;
  }
  for (const standin::Export& entry : module->exports()) {
    if (std::strcmp(entry.name, procName) == 0) {
      return entry.address;
    }
  }
  return nullptr;
}

namespace standin {

void WithholdExport(LPCWSTR moduleName, const char* procName) {
  Named(moduleName)->withheld = procName;
}

void ResetModules() {
  for (Module& module : modules) {
    module.loaded = module.loadedAtStart;
    module.withheld = nullptr;
  }
}

}  // namespace standin
