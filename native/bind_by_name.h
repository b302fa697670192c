// Binding the entries of a table of platform functions by name.
#pragma once

#include "native/windows_api.h"

// One entry of a table made from a list of names: the function of that name, typed
// <name>Fn.
#define VANTRO_TABLE_ENTRY(name) name##Fn name;

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

// Binds a table's entries in the order of its list, each through lookup(name, entry); the
// first name not found is kept in missing, and no entry after it is looked up.
template <typename Lookup>
struct BindInTurn {
  Lookup lookup;
  const char* missing = nullptr;

  template <typename Entry>
  void operator()(const char* name, Entry& entry) {
    if (missing == nullptr && !lookup(name, entry)) {
      missing = name;
    }
  }
};
template <typename Lookup>
BindInTurn(Lookup) -> BindInTurn<Lookup>;
