// ntdll's exports: the stand-in's native services, looked up by name.
#include "standin/internal.h"

namespace standin {

namespace {

const Export kExports[] = {
    {"RtlEqualUnicodeString", AddressOf(standin::RtlEqualUnicodeString)},
    {"RtlInitUnicodeString", AddressOf(standin::RtlInitUnicodeString)},
    {"ZwClose", AddressOf(standin::ZwClose)},
    {"ZwCreateFile", AddressOf(standin::ZwCreateFile)},
    {"ZwOpenSymbolicLinkObject", AddressOf(standin::ZwOpenSymbolicLinkObject)},
    {"ZwQueryDirectoryFile", AddressOf(standin::ZwQueryDirectoryFile)},
    {"ZwQuerySymbolicLinkObject", AddressOf(standin::ZwQuerySymbolicLinkObject)},
    {"ZwQueryInformationFile", AddressOf(standin::ZwQueryInformationFile)},
    {"ZwQueryVolumeInformationFile", AddressOf(standin::ZwQueryVolumeInformationFile)},
    {"ZwReadFile", AddressOf(standin::ZwReadFile)},
    {"ZwSetInformationFile", AddressOf(standin::ZwSetInformationFile)},
    {"ZwWriteFile", AddressOf(standin::ZwWriteFile)},
};

}  // namespace

std::span<const Export> NtdllExports() {
  return kExports;
}

}  // namespace standin
