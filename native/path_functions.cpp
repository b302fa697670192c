#include "native/path_functions.h"

#include <type_traits>

#ifdef _WIN32
#include <shlwapi.h>

// The entries have the types the platform declares, calling convention included (it
// matters on the 32-bit platform). Naming the functions here imports nothing.
#define VANTRO_CHECK_TYPE(name) static_assert(std::is_same_v<decltype(&::name), name##Fn>, #name);
#else
#include "standin/exports.h"

// The stand-in's functions likewise: the export table's cast through void* would hide a
// signature that drifted.
#define VANTRO_CHECK_TYPE(name) \
  static_assert(std::is_same_v<decltype(&standin::name), name##Fn>, #name);
#endif
VANTRO_PATH_FUNCTIONS(VANTRO_CHECK_TYPE)
#undef VANTRO_CHECK_TYPE

PathFunctionTable PathFunctions{};

namespace {

// shlwapi.dll is loaded only when a name is missing from kernelbase: loading it brings in
// user32, gdi32 and more, which would double the start-up. It is one of the system's
// known DLLs, so its bare name cannot load another copy; it stays loaded for the rest of
// the run, since the entries bound from it point into it.
HMODULE Fallback(HMODULE& shlwapi) {
  if (shlwapi == nullptr) {
    shlwapi = LoadLibraryW(WIDE("shlwapi.dll"));
  }
  return shlwapi;
}

}  // namespace

const char* BindPathFunctions() {
  HMODULE kernelbase = GetModuleHandleW(WIDE("kernelbase.dll"));
  HMODULE shlwapi = nullptr;
  BindInTurn bind{[kernelbase, &shlwapi](const char* name, auto& entry) {
    return BindByName(kernelbase, name, entry) || BindByName(Fallback(shlwapi), name, entry);
  }};
#define VANTRO_BIND_FUNCTION(name) bind(#name, PathFunctions.name);
  VANTRO_PATH_FUNCTIONS(VANTRO_BIND_FUNCTION)
#undef VANTRO_BIND_FUNCTION
  return bind.missing;
}
