// What the native services set of an open file: its deletion mark, times and attributes.
#include <sys/stat.h>

#include "standin/internal.h"

namespace standin {

namespace {

bool IsReadOnly(int descriptor) {
  struct stat file {};
  return fstat(descriptor, &file) == 0 && NobodyMayWrite(file.st_mode);
}

// As Wine does: the deletion mark of a read-only file is refused.
NTSTATUS SetDisposition(OpenObject& object, PIO_STATUS_BLOCK io, const void* information) {
  const bool doDelete =
      static_cast<const FILE_DISPOSITION_INFORMATION*>(information)->DoDeleteFile != 0;
  if (doDelete && IsReadOnly(object.descriptor)) {
    return STATUS_ACCESS_DENIED;
  }
  object.deleteOnClose = doDelete ? 1 : 0;
  return CompleteIo(io, STATUS_SUCCESS, 0);
}

// Times of 0 stay as they are (POSIX keeps no creation time, and its change time is its
// own); attributes of 0 stay too, and only read-only is kept: as write permissions.
NTSTATUS SetBasic(const OpenObject& object, PIO_STATUS_BLOCK io, const void* information) {
  const auto* basic = static_cast<const FILE_BASIC_INFORMATION*>(information);
  const timespec times[2] = {PosixTime(basic->LastAccessTime), PosixTime(basic->LastWriteTime)};
  if (futimens(object.descriptor, times) != 0) {
    return CompleteIo(io, STATUS_ACCESS_DENIED, 0);
  }
  struct stat file {};
  if (basic->FileAttributes != 0 && fstat(object.descriptor, &file) == 0) {
    constexpr mode_t kWrite = S_IWUSR | S_IWGRP | S_IWOTH;
    const bool readOnly = (basic->FileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    const mode_t mode = readOnly                       ? file.st_mode & ~kWrite
                        : NobodyMayWrite(file.st_mode) ? file.st_mode | S_IWUSR
                                                       : file.st_mode;
    if (mode != file.st_mode && fchmod(object.descriptor, mode & 07777) != 0) {
      return CompleteIo(io, STATUS_ACCESS_DENIED, 0);
    }
  }
  return CompleteIo(io, STATUS_SUCCESS, 0);
}

// The rights each class that can be set needs, or 0 for one the stand-in does not set.
ACCESS_MASK RightsToSet(FILE_INFORMATION_CLASS informationClass, ULONG* minimum) {
  constexpr ACCESS_MASK kWriteAttributes = GENERIC_WRITE | 0x100;  // FILE_WRITE_ATTRIBUTES
  switch (informationClass) {
    case FileDispositionInformation: *minimum = sizeof(FILE_DISPOSITION_INFORMATION); return DELETE;
    case FileBasicInformation: *minimum = sizeof(FILE_BASIC_INFORMATION); return kWriteAttributes;
    default: return 0;
  }
}

}  // namespace

NTSTATUS ZwSetInformationFile(HANDLE file, PIO_STATUS_BLOCK io, PVOID information, ULONG length,
                              FILE_INFORMATION_CLASS informationClass) {
  ULONG minimum = 0;
  const ACCESS_MASK rights = RightsToSet(informationClass, &minimum);
  if (rights == 0) {
    return STATUS_INVALID_INFO_CLASS;
  }
  if (length < minimum) {
    return STATUS_INFO_LENGTH_MISMATCH;
  }
  NTSTATUS status = STATUS_SUCCESS;
  OpenObject* object = FileFor(file, rights, &status);
  if (object == nullptr) {
    return status;
  }
  return informationClass == FileBasicInformation ? SetBasic(*object, io, information)
                                                  : SetDisposition(*object, io, information);
}

}  // namespace standin
