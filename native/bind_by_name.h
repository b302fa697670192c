// Binding one table entry by name, for every table of platform functions.
#pragma once

#include "native/windows_api.h"

// Looks name up in module (none: no such module) and stores the address, typed as the
// entry; false when the module does not export it.
template <typename Entry>
bool BindByName(HMODULE module, const char* name, Entry& entry) {
  const FARPROC address = module != nullptr ? GetProcAddress(module, name) : nullptr;
  // An exported address is typed by the caller; the cast through void* is the
  // documented way to convert one function pointer type to another.
  entry = reinterpret_cast<Entry>(reinterpret_cast<void*>(address));  // NOLINT
  return address != nullptr;
}
