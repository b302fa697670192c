// What the native services tell about an open file: its times, attributes, size and name.
#include <sys/stat.h>

#include <cstdint>
#include <cstring>

#include "standin/internal.h"

namespace standin {

namespace {

constexpr std::int64_t kSecondsFrom1601To1970 = 11644473600;
constexpr std::int64_t kTicksPerSecond = 10000000;  // 100 ns each
constexpr std::int64_t kNanosecondsPerTick = 100;

}  // namespace

LARGE_INTEGER FileTime(const timespec& time) {
  LARGE_INTEGER ticks{};
  ticks.QuadPart =
      (time.tv_sec + kSecondsFrom1601To1970) * kTicksPerSecond + time.tv_nsec / kNanosecondsPerTick;
  return ticks;
}

// A time of 0 (or -1) leaves the POSIX time as it is.
timespec PosixTime(const LARGE_INTEGER& fileTime) {
  if (fileTime.QuadPart == 0 || fileTime.QuadPart == -1) {
    return {0, UTIME_OMIT};
  }
  const std::int64_t ticks = fileTime.QuadPart - kSecondsFrom1601To1970 * kTicksPerSecond;
  std::int64_t seconds = ticks / kTicksPerSecond;
  std::int64_t rest = ticks % kTicksPerSecond;
  if (rest < 0) {
    --seconds;
    rest += kTicksPerSecond;
  }
  return {static_cast<time_t>(seconds), static_cast<long>(rest * kNanosecondsPerTick)};
}

bool NobodyMayWrite(mode_t mode) {
  return (mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

ULONG AttributesOf(const struct stat& file) {
  ULONG attributes = S_ISDIR(file.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  if (NobodyMayWrite(file.st_mode)) {
    attributes |= FILE_ATTRIBUTE_READONLY;
  }
  return attributes;
}

LONGLONG EndOfFileOf(const struct stat& file) {
  return S_ISDIR(file.st_mode) ? 0 : file.st_size;
}

LONGLONG AllocationOf(const struct stat& file) {
  constexpr LONGLONG kBlockBytes = 512;
  return S_ISDIR(file.st_mode) ? 0 : static_cast<LONGLONG>(file.st_blocks) * kBlockBytes;
}

namespace {

// The times and attributes, as Wine gives them: POSIX keeps no creation time, so the
// last-write time stands in for it; the change time is the inode's.
NTSTATUS QueryBasic(const OpenObject& object, PIO_STATUS_BLOCK io, PVOID information) {
  struct stat file {};
  if (fstat(object.descriptor, &file) != 0) {
    return CompleteIo(io, STATUS_IO_DEVICE_ERROR, 0);
  }
  auto* reply = static_cast<FILE_BASIC_INFORMATION*>(information);
  reply->CreationTime = FileTime(file.st_mtim);
  reply->LastAccessTime = FileTime(file.st_atim);
  reply->LastWriteTime = FileTime(file.st_mtim);
  reply->ChangeTime = FileTime(file.st_ctim);
  reply->FileAttributes = AttributesOf(file);
  return CompleteIo(io, STATUS_SUCCESS, sizeof(FILE_BASIC_INFORMATION));
}

NTSTATUS QueryStandard(const OpenObject& object, PIO_STATUS_BLOCK io, PVOID information) {
  struct stat file {};
  if (fstat(object.descriptor, &file) != 0) {
    return CompleteIo(io, STATUS_IO_DEVICE_ERROR, 0);
  }
  auto* reply = static_cast<FILE_STANDARD_INFORMATION*>(information);
  reply->AllocationSize.QuadPart = AllocationOf(file);
  reply->EndOfFile.QuadPart = EndOfFileOf(file);
  reply->NumberOfLinks = static_cast<ULONG>(file.st_nlink);
  // The handle's on-close state shows only once the handle is cleaned up, as on Windows.
  reply->DeletePending = object.deletePending != 0 ? TRUE : FALSE;
  reply->Directory = S_ISDIR(file.st_mode) ? TRUE : FALSE;
  return CompleteIo(io, STATUS_SUCCESS, sizeof(FILE_STANDARD_INFORMATION));
}

// The name relative to the volume's root, "\" separated, as it was opened (the stand-in
// looks names up exactly, so that is the name on disk). A buffer too small for the whole
// name gets what fits and its full length, with STATUS_BUFFER_OVERFLOW. Wine, too, refuses
// the normalized name. A file opened relative to a folder whose full path does not fit is
// refused as under Wine.
NTSTATUS QueryName(const OpenObject& object, PIO_STATUS_BLOCK io, PVOID information, ULONG length) {
  constexpr ULONG kHeader = offsetof(FILE_NAME_INFORMATION, FileName);
  if (object.volumeBytes == kPathUnknown) {
    return CompleteIo(io, STATUS_OBJECT_TYPE_MISMATCH, 0);
  }
  const char* inside = object.path + object.volumeBytes;
  WCHAR name[kPosixPathBytes];
  int units = Utf8ToUtf16(*inside == 0 ? "/" : inside, name, kPosixPathBytes);
  units = units < 0 ? 0 : units;
  for (int at = 0; at < units; ++at) {
    name[at] = name[at] == u'/' ? u'\\' : name[at];
  }
  auto* reply = static_cast<FILE_NAME_INFORMATION*>(information);
  const auto bytes = static_cast<ULONG>(units * sizeof(WCHAR));
  const ULONG room = (length - kHeader) / sizeof(WCHAR) * sizeof(WCHAR);
  const ULONG copied = bytes < room ? bytes : room;
  reply->FileNameLength = bytes;
  std::memcpy(reply->FileName, name, copied);
  return CompleteIo(io, copied < bytes ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS, kHeader + copied);
}

// A file's ID is its inode, as a folder's listing tells it.
NTSTATUS QueryInternal(const OpenObject& object, PIO_STATUS_BLOCK io, PVOID information) {
  static_cast<FILE_INTERNAL_INFORMATION*>(information)->IndexNumber.QuadPart =
      static_cast<LONGLONG>(object.inode);
  return CompleteIo(io, STATUS_SUCCESS, sizeof(FILE_INTERNAL_INFORMATION));
}

// Every POSIX folder looks its names up case-sensitively; a file has no such mark.
NTSTATUS QueryCaseSensitive(const OpenObject& object, PIO_STATUS_BLOCK io, PVOID information) {
  struct stat file {};
  if (fstat(object.descriptor, &file) != 0) {
    return CompleteIo(io, STATUS_IO_DEVICE_ERROR, 0);
  }
  *static_cast<ULONG*>(information) = S_ISDIR(file.st_mode) ? kCaseSensitiveDirectory : 0;
  return CompleteIo(io, STATUS_SUCCESS, sizeof(ULONG));
}

// The smallest buffer each class the stand-in answers takes, or 0 for a class it does not.
ULONG MinimumLength(FILE_INFORMATION_CLASS informationClass) {
  switch (static_cast<int>(informationClass)) {
    case FileBasicInformation: return sizeof(FILE_BASIC_INFORMATION);
    case FileStandardInformation: return sizeof(FILE_STANDARD_INFORMATION);
    case FileNameInformation: return offsetof(FILE_NAME_INFORMATION, FileName);
    case FileInternalInformation: return sizeof(FILE_INTERNAL_INFORMATION);
    case kCaseSensitiveClass: return sizeof(ULONG);
    default: return 0;
  }
}

}  // namespace

NTSTATUS ZwQueryInformationFile(HANDLE file, PIO_STATUS_BLOCK io, PVOID information, ULONG length,
                                FILE_INFORMATION_CLASS informationClass) {
  const ULONG minimum = MinimumLength(informationClass);
  if (minimum == 0) {
    return STATUS_INVALID_INFO_CLASS;
  }
  if (length < minimum) {
    return STATUS_INFO_LENGTH_MISMATCH;
  }
  const OpenObject* object = FindObject(file, ObjectKind::File);
  if (object == nullptr) {
    return STATUS_INVALID_HANDLE;
  }
  switch (static_cast<int>(informationClass)) {
    case FileBasicInformation: return QueryBasic(*object, io, information);
    case FileStandardInformation: return QueryStandard(*object, io, information);
    case FileInternalInformation: return QueryInternal(*object, io, information);
    case kCaseSensitiveClass: return QueryCaseSensitive(*object, io, information);
    default: return QueryName(*object, io, information, length);
  }
}

// The volume a file is on: POSIX names a file system by its device number, which stands in
// for the serial number Windows gives each volume; the rest of the record is not asked for.
NTSTATUS ZwQueryVolumeInformationFile(HANDLE file, PIO_STATUS_BLOCK io, PVOID information,
                                      ULONG length, FS_INFORMATION_CLASS informationClass) {
  if (informationClass != FileFsVolumeInformation) {
    return STATUS_INVALID_INFO_CLASS;
  }
  if (length < offsetof(FILE_FS_VOLUME_INFORMATION, VolumeLabel)) {
    return STATUS_INFO_LENGTH_MISMATCH;
  }
  const OpenObject* object = FindObject(file, ObjectKind::File);
  struct stat opened {};
  if (object == nullptr || fstat(object->descriptor, &opened) != 0) {
    return object == nullptr ? STATUS_INVALID_HANDLE : CompleteIo(io, STATUS_IO_DEVICE_ERROR, 0);
  }
  auto* reply = static_cast<FILE_FS_VOLUME_INFORMATION*>(information);
  *reply = FILE_FS_VOLUME_INFORMATION{};
  const auto device = static_cast<std::uint64_t>(opened.st_dev);
  reply->VolumeSerialNumber = static_cast<ULONG>(device ^ (device >> 32));
  return CompleteIo(io, STATUS_SUCCESS, offsetof(FILE_FS_VOLUME_INFORMATION, VolumeLabel));
}

}  // namespace standin
