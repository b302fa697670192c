// What the native services set of an open file: its deletion mark, times and attributes,
// its name, and a folder's case-sensitive mark.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "standin/internal.h"

namespace standin {

namespace {

// The file's mode, or 0 when it cannot be had.
mode_t ModeOf(int descriptor) {
  struct stat file {};
  return fstat(descriptor, &file) == 0 ? file.st_mode : 0;
}

bool IsReadOnly(int descriptor) {
  const mode_t mode = ModeOf(descriptor);
  return mode != 0 && NobodyMayWrite(mode);
}

// Whether a folder holds an entry beside "." and "..", read by a descriptor of its own.
bool HoldsEntries(int descriptor) {
  const int own = openat(descriptor, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  alignas(dirent64) char block[1024];  // on the stack, as every buffer of a run
  bool holds = false;
  for (ssize_t got = 0; own >= 0 && !holds && (got = getdents64(own, block, sizeof block)) > 0;) {
    for (ssize_t at = 0; at < got && !holds;) {
      const auto* record = reinterpret_cast<const dirent64*>(block + at);
      holds = std::strcmp(record->d_name, ".") != 0 && std::strcmp(record->d_name, "..") != 0;
      at += record->d_reclen;
    }
  }
  if (own >= 0) {
    close(own);
  }
  return holds;
}

// What refuses a file's deletion mark (MS-FSA 2.1.5.15.3): read-only, or a folder that is
// not empty (Wine 8 answers the same).
NTSTATUS RefusesMark(int descriptor) {
  return IsReadOnly(descriptor)                                    ? STATUS_CANNOT_DELETE
         : S_ISDIR(ModeOf(descriptor)) && HoldsEntries(descriptor) ? STATUS_DIRECTORY_NOT_EMPTY
                                                                   : STATUS_SUCCESS;
}

// Sets or clears the file's delete-pending state; it cannot clear the handle's on-close
// state. The mark of a read-only file or a folder that holds entries is refused.
NTSTATUS SetDisposition(OpenObject& object, PIO_STATUS_BLOCK io, const void* information) {
  const bool doDelete =
      static_cast<const FILE_DISPOSITION_INFORMATION*>(information)->DoDeleteFile != 0;
  const NTSTATUS refused = doDelete ? RefusesMark(object.descriptor) : STATUS_SUCCESS;
  if (refused != STATUS_SUCCESS) {
    return refused;
  }
  object.deletePending = doDelete ? 1 : 0;
  return CompleteIo(io, STATUS_SUCCESS, 0);
}

// The newer mark (Windows 10 1809 on): with FILE_DISPOSITION_ON_CLOSE it sets or clears
// the handle's on-close state, else the file's delete-pending state. The flags and the
// read-only refusal as learn.microsoft.com/windows-hardware/drivers/ddi/ntddk/
// ns-ntddk-_file_disposition_information_ex gives them; other flags are invalid. POSIX
// semantics change nothing here (a name already goes at its handle's close), nor does the
// image section check (no file is mapped as an image).
NTSTATUS SetDispositionEx(OpenObject& object, PIO_STATUS_BLOCK io, const void* information) {
  constexpr ULONG kKnown = kDispositionDelete | kDispositionPosixSemantics |
                           kDispositionImageSectionCheck | kDispositionOnClose |
                           kDispositionIgnoreReadOnly;
  const ULONG flags = *static_cast<const ULONG*>(information);
  const bool doDelete = (flags & kDispositionDelete) != 0;
  if ((flags & ~kKnown) != 0) {
    return STATUS_INVALID_PARAMETER;
  }
  const NTSTATUS refused = doDelete ? RefusesMark(object.descriptor) : STATUS_SUCCESS;
  if (refused != STATUS_SUCCESS &&
      !(refused == STATUS_CANNOT_DELETE && (flags & kDispositionIgnoreReadOnly) != 0)) {
    return refused;
  }
  volatile sig_atomic_t& state =
      (flags & kDispositionOnClose) != 0 ? object.deleteOnClose : object.deletePending;
  state = doDelete ? 1 : 0;
  return CompleteIo(io, STATUS_SUCCESS, 0);
}

// Times of 0 stay as they are (POSIX keeps no creation time, and its change time is its
// own); attributes of 0 stay too, and only read-only is kept: as write permissions. As
// under Wine, a folder's read-only attribute is ignored.
NTSTATUS SetBasic(const OpenObject& object, PIO_STATUS_BLOCK io, const void* information) {
  const auto* basic = static_cast<const FILE_BASIC_INFORMATION*>(information);
  const timespec times[2] = {PosixTime(basic->LastAccessTime), PosixTime(basic->LastWriteTime)};
  if (futimens(object.descriptor, times) != 0) {
    return CompleteIo(io, STATUS_ACCESS_DENIED, 0);
  }
  const mode_t current = ModeOf(object.descriptor);
  if (basic->FileAttributes != 0 && current != 0 && !S_ISDIR(current)) {
    constexpr mode_t kWrite = S_IWUSR | S_IWGRP | S_IWOTH;
    const bool readOnly = (basic->FileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    const mode_t mode = readOnly                  ? current & ~kWrite
                        : NobodyMayWrite(current) ? current | S_IWUSR
                                                  : current;
    if (mode != current && fchmod(object.descriptor, mode & 07777) != 0) {
      return CompleteIo(io, STATUS_ACCESS_DENIED, 0);
    }
  }
  return CompleteIo(io, STATUS_SUCCESS, 0);
}

// A POSIX folder looks its names up case-sensitively already, and cannot be made not to.
NTSTATUS SetCaseSensitive(const OpenObject& object, PIO_STATUS_BLOCK io, const void* information) {
  const ULONG flags = *static_cast<const ULONG*>(information);
  if (!S_ISDIR(ModeOf(object.descriptor)) || (flags & ~kCaseSensitiveDirectory) != 0) {
    return STATUS_INVALID_PARAMETER;
  }
  return flags == 0 ? STATUS_NOT_SUPPORTED : CompleteIo(io, STATUS_SUCCESS, 0);
}

// Where a new name goes: relative to the folder at (AT_FDCWD: a full path), as where.path
// from nameAt on; kept is the folder the file's record keeps for it.
struct NewName {
  PosixPath where;
  std::size_t nameAt;
  int at;
  int kept;
};

// Relative to the folder of root, or, without one, a full native path (the only form a
// network share takes); a separator may not end it.
NTSTATUS LocateNewName(const FILE_RENAME_INFORMATION& rename, const OpenObject* root,
                       NewName& target) {
  target.at = root == nullptr ? AT_FDCWD : root->descriptor;
  target.kept = AT_FDCWD;
  target.nameAt = 0;
  NTSTATUS status = STATUS_OBJECT_NAME_INVALID;
  if (root == nullptr && rename.FileNameLength <= 0xFFFE) {
    const auto bytes = static_cast<USHORT>(rename.FileNameLength);
    UNICODE_STRING path{bytes, bytes, const_cast<WCHAR*>(rename.FileName)};  // NOLINT
    status = ParseNativePath(&path, target.where);
  } else if (root != nullptr) {
    char name[kPosixPathBytes];
    status = ParseRelativeName(rename.FileName, rename.FileNameLength / sizeof(WCHAR), name,
                               &target.where.trailingSeparator);
    if (status == STATUS_SUCCESS) {
      PlaceRelative(*root, name, target.where.path, &target.nameAt, &target.where.volumeBytes);
      target.kept = KeepFolder(root->descriptor);
      status = target.kept < 0 ? StatusFromErrno(errno) : status;
    }
  }
  return status == STATUS_SUCCESS && target.where.trailingSeparator ? STATUS_OBJECT_NAME_INVALID
                                                                    : status;
}

// Moves the file's name, and the record of it, never over another file.
NTSTATUS MoveName(OpenObject& object, NewName& target) {
  char* name = target.where.path + target.nameAt;
  if (renameat2(object.parent, object.path + object.nameAt, target.at, name, RENAME_NOREPLACE) !=
      0) {
    return errno == ENOENT ? MissingStatus(target.at, name) : StatusFromErrno(errno);
  }
  if (object.parent >= 0) {
    close(object.parent);
  }
  object.parent = target.kept;
  std::strcpy(object.path, target.where.path);
  object.nameAt = target.nameAt;
  object.volumeBytes = target.where.volumeBytes;
  return STATUS_SUCCESS;
}

// A folder is renamed with its handle open. Signals are held off meanwhile, so that the
// process's end never finds the name half moved. Replacing is not provided.
NTSTATUS SetRename(OpenObject& object, PIO_STATUS_BLOCK io, const void* information, ULONG length) {
  const auto* rename = static_cast<const FILE_RENAME_INFORMATION*>(information);
  if (rename->ReplaceIfExists != FALSE) {
    return STATUS_NOT_IMPLEMENTED;
  }
  const OpenObject* root = FindObject(rename->RootDirectory, ObjectKind::File);
  if (rename->FileNameLength > length - offsetof(FILE_RENAME_INFORMATION, FileName)) {
    return STATUS_INVALID_PARAMETER;
  }
  if (root == nullptr && rename->RootDirectory != nullptr) {
    return STATUS_INVALID_HANDLE;
  }
  NewName target;
  NTSTATUS status = LocateNewName(*rename, root, target);
  if (status == STATUS_SUCCESS) {
    sigset_t all;
    sigset_t saved;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &saved);
    status = MoveName(object, target);
    sigprocmask(SIG_SETMASK, &saved, nullptr);
  }
  if (status != STATUS_SUCCESS && target.kept >= 0) {
    close(target.kept);
  }
  return CompleteIo(io, status, 0);
}

// The rights each class that can be set needs, or 0 for one the stand-in does not set.
ACCESS_MASK RightsToSet(FILE_INFORMATION_CLASS informationClass, ULONG* minimum) {
  constexpr ACCESS_MASK kWriteAttributes = GENERIC_WRITE | FILE_WRITE_ATTRIBUTES;
  switch (static_cast<int>(informationClass)) {
    case FileDispositionInformation: *minimum = sizeof(FILE_DISPOSITION_INFORMATION); return DELETE;
    case kDispositionExClass: *minimum = sizeof(ULONG); return DELETE;
    case FileBasicInformation: *minimum = sizeof(FILE_BASIC_INFORMATION); return kWriteAttributes;
    // Shorter than the record (a name of one unit on x64) is refused, as on Windows.
    case FileRenameInformation: *minimum = sizeof(FILE_RENAME_INFORMATION); return DELETE;
    case kCaseSensitiveClass: *minimum = sizeof(ULONG); return kWriteAttributes;
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
  switch (static_cast<int>(informationClass)) {
    case FileBasicInformation: return SetBasic(*object, io, information);
    case FileRenameInformation: return SetRename(*object, io, information, length);
    case kCaseSensitiveClass: return SetCaseSensitive(*object, io, information);
    case kDispositionExClass: return SetDispositionEx(*object, io, information);
    default: return SetDisposition(*object, io, information);
  }
}

}  // namespace standin
