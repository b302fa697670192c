#include "tree/folder_identity.h"

#include <cstddef>

#include "copy/name_check.h"
#include "native/native_services.h"

namespace {

bool SerialOf(HANDLE file, ULONG& serial) {
  // The record and room for a label, which the call may fill.
  alignas(8) BYTE record[offsetof(FILE_FS_VOLUME_INFORMATION, VolumeLabel) + 64 * sizeof(WCHAR)];
  IO_STATUS_BLOCK io{};
  const NTSTATUS status = NativeServices.ZwQueryVolumeInformationFile(
      file, &io, record, sizeof record, FileFsVolumeInformation);
  serial = reinterpret_cast<const FILE_FS_VOLUME_INFORMATION*>(record)->VolumeSerialNumber;
  return status == STATUS_SUCCESS || status == STATUS_BUFFER_OVERFLOW;
}

bool TimesOf(HANDLE file, FILE_BASIC_INFORMATION& basic) {
  IO_STATUS_BLOCK io{};
  return NativeServices.ZwQueryInformationFile(file, &io, &basic, sizeof basic,
                                               FileBasicInformation) == STATUS_SUCCESS;
}

bool SameTimes(HANDLE first, HANDLE second) {
  FILE_BASIC_INFORMATION one{};
  FILE_BASIC_INFORMATION other{};
  return TimesOf(first, one) && TimesOf(second, other) &&
         one.CreationTime.QuadPart == other.CreationTime.QuadPart &&
         one.LastWriteTime.QuadPart == other.LastWriteTime.QuadPart &&
         one.ChangeTime.QuadPart == other.ChangeTime.QuadPart;
}

}  // namespace

bool SameFolder(HANDLE first, HANDLE second) {
  const LONGLONG id = FileIdOf(first);
  if (IsUnknownId(id) || FileIdOf(second) != id) {
    return false;
  }
  ULONG firstSerial = 0;
  ULONG secondSerial = 0;
  const bool firstTold = SerialOf(first, firstSerial);
  const bool secondTold = SerialOf(second, secondSerial);
  if (firstTold || secondTold) {
    return firstTold && secondTold && firstSerial == secondSerial;
  }
  return SameTimes(first, second);
}
