#include "native/native_services.h"

#include "native/bind_by_name.h"

#ifndef _WIN32
#include <type_traits>

#include "standin/exports.h"

// Each service of the stand-in has exactly the type the tool calls it through: the export
// table's cast through void* would hide a signature that drifted.
#define VANTRO_CHECK_EXPORT(name) \
  static_assert(std::is_same_v<decltype(&standin::name), name##Fn>, #name);
VANTRO_NATIVE_SERVICES(VANTRO_CHECK_EXPORT)
#undef VANTRO_CHECK_EXPORT
#endif

NativeServiceTable NativeServices{};

const char* BindNativeServices() {
  HMODULE ntdll = GetModuleHandleW(WIDE("ntdll.dll"));
  BindInTurn bind{
      [ntdll](const char* name, auto& entry) { return BindByName(ntdll, name, entry); }};
#define VANTRO_BIND_SERVICE(name) bind(#name, NativeServices.name);
  VANTRO_NATIVE_SERVICES(VANTRO_BIND_SERVICE)
#undef VANTRO_BIND_SERVICE
  return bind.missing;
}
