#include "native/path_functions.h"

#include "native/bind_by_name.h"

#ifdef _WIN32
#include <shlwapi.h>

#include <type_traits>

// The entries have the types the platform declares, calling convention included (it
// matters on the 32-bit platform). Naming the functions here imports nothing.
static_assert(std::is_same_v<decltype(&::PathRemoveFileSpecW), PathRemoveFileSpecWFn>);
static_assert(std::is_same_v<decltype(&::PathGetDriveNumberW), PathGetDriveNumberWFn>);
static_assert(std::is_same_v<decltype(&::PathIsRelativeW), PathIsRelativeWFn>);
static_assert(std::is_same_v<decltype(&::PathSkipRootW), PathSkipRootWFn>);
#else
#include <type_traits>

#include "standin/exports.h"

// The stand-in's functions likewise: the export table's cast through void* would hide a
// signature that drifted.
static_assert(std::is_same_v<decltype(&standin::PathRemoveFileSpecW), PathRemoveFileSpecWFn>);
static_assert(std::is_same_v<decltype(&standin::PathGetDriveNumberW), PathGetDriveNumberWFn>);
static_assert(std::is_same_v<decltype(&standin::PathIsRelativeW), PathIsRelativeWFn>);
static_assert(std::is_same_v<decltype(&standin::PathSkipRootW), PathSkipRootWFn>);
#endif

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

template <typename Entry>
bool BindEither(HMODULE kernelbase, HMODULE& shlwapi, const char* name, Entry& entry) {
  return BindByName(kernelbase, name, entry) || BindByName(Fallback(shlwapi), name, entry);
}

}  // namespace

// Each entry is looked up under its own name, in the table's order.
#define BIND_ENTRY(entry)                                              \
  if (!BindEither(kernelbase, shlwapi, #entry, PathFunctions.entry)) { \
    return #entry;                                                     \
  }

const char* BindPathFunctions() {
  HMODULE kernelbase = GetModuleHandleW(WIDE("kernelbase.dll"));
  HMODULE shlwapi = nullptr;
  BIND_ENTRY(PathRemoveFileSpecW)
  BIND_ENTRY(PathGetDriveNumberW)
  BIND_ENTRY(PathIsRelativeW)
  BIND_ENTRY(PathSkipRootW)
  return nullptr;
}

#undef BIND_ENTRY
