// ntdll's exports: the stand-in's native services, looked up by name.
#include <type_traits>

#include "native/native_api.h"
#include "standin/internal.h"

namespace standin {

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

namespace {

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

}  // namespace

std::span<const Export> NtdllExports() {
  return kExports;
}

}  // namespace standin
