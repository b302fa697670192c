// The native file services over POSIX files. Native paths are parsed as the platform
// parses them; names inside a volume are looked up exactly as written.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "standin/internal.h"

namespace standin {
namespace {

constexpr ACCESS_MASK kReadRights = GENERIC_READ | 0x1;          // FILE_READ_DATA
constexpr ACCESS_MASK kWriteRights = GENERIC_WRITE | 0x2 | 0x4;  // FILE_WRITE/APPEND_DATA
constexpr ULONG kDirectoryFile = 0x1;                            // FILE_DIRECTORY_FILE
constexpr ULONG_PTR kFileOpened = 1;
constexpr ULONG_PTR kFileCreated = 2;

NTSTATUS StatusFromErrno(int error) {
  switch (error) {
    case ENOENT: return STATUS_OBJECT_NAME_NOT_FOUND;
    case ENOTDIR:
    case ELOOP: return STATUS_OBJECT_PATH_NOT_FOUND;
    case EEXIST: return STATUS_OBJECT_NAME_COLLISION;
    case EACCES:
    case EPERM: return STATUS_ACCESS_DENIED;
    case EISDIR: return STATUS_FILE_IS_A_DIRECTORY;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return STATUS_DISK_FULL;
    case EROFS: return STATUS_MEDIA_WRITE_PROTECTED;
    case ENAMETOOLONG: return STATUS_OBJECT_NAME_INVALID;
    case EMFILE:
    case ENFILE: return STATUS_TOO_MANY_OPENED_FILES;
    case ENOMEM: return STATUS_NO_MEMORY;
    case EWOULDBLOCK: return STATUS_SHARING_VIOLATION;
    case EBADF: return STATUS_INVALID_HANDLE;
    case EIO: return STATUS_IO_DEVICE_ERROR;
    default: return STATUS_UNSUCCESSFUL;
  }
}

// One name inside a volume: not empty, not "." or "..", no '/' or NUL in it.
bool IsValidName(const WCHAR* name, std::size_t units) {
  if (units == 0 || (name[0] == u'.' && (units == 1 || (units == 2 && name[1] == u'.')))) {
    return false;
  }
  for (std::size_t at = 0; at < units; ++at) {
    if (name[at] == u'/' || name[at] == 0) {
      return false;
    }
  }
  return true;
}

NTSTATUS AppendName(char* posix, std::size_t& used, const WCHAR* name, std::size_t units) {
  if (!IsValidName(name, units) || used + 1 >= kPosixPathBytes) {
    return STATUS_OBJECT_NAME_INVALID;
  }
  posix[used++] = '/';
  const int length = Utf16ToUtf8(name, units, posix + used, kPosixPathBytes - used);
  if (length < 0) {
    return STATUS_OBJECT_NAME_INVALID;
  }
  used += static_cast<std::size_t>(length);
  return STATUS_SUCCESS;
}

// A native path as a POSIX path: the volume's directory (its first volumeBytes bytes),
// then each component. A separator may end the path only after the name of a folder:
// trailingSeparator says that the path ended so.
struct PosixPath {
  char path[kPosixPathBytes];
  std::size_t volumeBytes;
  bool trailingSeparator;
};

NTSTATUS ParseNativePath(const UNICODE_STRING* objectName, PosixPath& parsed) {
  if (objectName == nullptr || objectName->Buffer == nullptr) {
    return STATUS_OBJECT_NAME_INVALID;
  }
  const WCHAR* path = objectName->Buffer;
  const std::size_t units = objectName->Length / sizeof(WCHAR);
  if (units == 0 || path[0] != u'\\') {
    return STATUS_OBJECT_PATH_SYNTAX_BAD;
  }
  const char* directory = nullptr;
  std::size_t consumed = 0;
  const NTSTATUS status = FindVolume(path, units, &directory, &consumed);
  if (status != STATUS_SUCCESS) {
    return status;
  }
  char* posix = parsed.path;
  std::size_t used = std::strlen(directory);
  std::memcpy(posix, directory, used);
  used -= used > 0 && directory[used - 1] == '/' ? 1 : 0;
  posix[used] = 0;
  parsed.volumeBytes = used;
  parsed.trailingSeparator = false;
  // The rest is empty or "\" for the volume's root, otherwise "\name\name...".
  const WCHAR* rest = path + consumed;
  const WCHAR* end = path + units;
  const WCHAR* name = end - rest > 1 ? rest + 1 : end;
  while (name != end) {
    const WCHAR* stop = std::find(name, end, u'\\');
    const NTSTATUS named = AppendName(posix, used, name, static_cast<std::size_t>(stop - name));
    if (named != STATUS_SUCCESS) {
      return named;
    }
    name = stop == end ? end : stop + 1;
    parsed.trailingSeparator = name == end && stop != end;
  }
  posix[used] = 0;
  if (used == 0) {
    std::strcpy(posix, "/");
  }
  return STATUS_SUCCESS;
}

// A name that is not there: its own absence when its folder exists, else the path's.
NTSTATUS MissingStatus(char* posix) {
  char* slash = std::strrchr(posix, '/');
  if (slash == nullptr) {
    return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  const char kept = slash[slash == posix ? 1 : 0];
  slash[slash == posix ? 1 : 0] = 0;
  struct stat parent {};
  const bool folder = stat(posix, &parent) == 0 && S_ISDIR(parent.st_mode);
  slash[slash == posix ? 1 : 0] = kept;
  return folder ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
}

int OpenFlags(ACCESS_MASK access, ULONG disposition) {
  const bool reads = (access & kReadRights) != 0;
  const bool writes = (access & kWriteRights) != 0;
  int flags = O_CLOEXEC | O_NOCTTY;
  flags |= reads && writes ? O_RDWR : writes ? O_WRONLY : O_RDONLY;
  return flags | (disposition == FILE_CREATE ? O_CREAT | O_EXCL : 0);
}

// What the create options demand of the kind of file that was opened.
NTSTATUS CheckKind(int descriptor, ULONG options) {
  struct stat opened {};
  if (fstat(descriptor, &opened) != 0) {
    return StatusFromErrno(errno);
  }
  const bool folder = S_ISDIR(opened.st_mode);
  if (folder && (options & FILE_NON_DIRECTORY_FILE) != 0) {
    return STATUS_FILE_IS_A_DIRECTORY;
  }
  if (!folder && (options & kDirectoryFile) != 0) {
    return STATUS_NOT_A_DIRECTORY;
  }
  return STATUS_SUCCESS;
}

// Share access 0 holds the file exclusively against every other open on the machine;
// opens that share coexist with each other.
NTSTATUS LockShare(int descriptor, ULONG shareAccess) {
  const int mode = shareAccess == 0 ? LOCK_EX : LOCK_SH;
  return flock(descriptor, mode | LOCK_NB) == 0 ? STATUS_SUCCESS : STATUS_SHARING_VIOLATION;
}

NTSTATUS OpenPosix(char* posix, ACCESS_MASK access, ULONG shareAccess, ULONG disposition,
                   ULONG options, int* descriptor) {
  if (disposition != FILE_OPEN && disposition != FILE_CREATE) {
    return STATUS_INVALID_PARAMETER;
  }
  *descriptor = open(posix, OpenFlags(access, disposition), 0666);
  if (*descriptor < 0) {
    return errno == ENOENT ? MissingStatus(posix) : StatusFromErrno(errno);
  }
  NTSTATUS status = CheckKind(*descriptor, options);
  if (status == STATUS_SUCCESS) {
    status = LockShare(*descriptor, shareAccess);
  }
  if (status != STATUS_SUCCESS) {
    close(*descriptor);
  }
  return status;
}

bool IsFolder(int descriptor) {
  struct stat opened {};
  return fstat(descriptor, &opened) == 0 && S_ISDIR(opened.st_mode);
}

// Opens what a native path names; a path ending in a separator names a folder or
// nothing, and a file is never created under such a name.
NTSTATUS OpenNative(const UNICODE_STRING* objectName, PosixPath& parsed, ACCESS_MASK access,
                    ULONG shareAccess, ULONG disposition, ULONG options, int* descriptor) {
  NTSTATUS status = ParseNativePath(objectName, parsed);
  if (status != STATUS_SUCCESS) {
    return status;
  }
  if (parsed.trailingSeparator && disposition == FILE_CREATE) {
    return STATUS_OBJECT_NAME_INVALID;
  }
  status = OpenPosix(parsed.path, access, shareAccess, disposition, options, descriptor);
  if (status == STATUS_SUCCESS && parsed.trailingSeparator && !IsFolder(*descriptor)) {
    close(*descriptor);
    status = STATUS_OBJECT_NAME_INVALID;
  }
  return status;
}

ssize_t Transfer(bool writing, int descriptor, PVOID buffer, ULONG length,
                 PLARGE_INTEGER byteOffset) {
  ssize_t moved = 0;
  do {
    if (byteOffset == nullptr) {
      moved = writing ? write(descriptor, buffer, length) : read(descriptor, buffer, length);
    } else {
      moved = writing ? pwrite(descriptor, buffer, length, byteOffset->QuadPart)
                      : pread(descriptor, buffer, length, byteOffset->QuadPart);
    }
  } while (moved < 0 && errno == EINTR);
  return moved;
}

}  // namespace

NTSTATUS ZwCreateFile(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                      PIO_STATUS_BLOCK io, PLARGE_INTEGER /*allocationSize*/,
                      ULONG /*fileAttributes*/, ULONG shareAccess, ULONG disposition, ULONG options,
                      PVOID /*eaBuffer*/, ULONG /*eaLength*/) {
  if (handle == nullptr || attributes == nullptr || io == nullptr ||
      attributes->RootDirectory != nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  PosixPath parsed;
  int descriptor = -1;
  const NTSTATUS status = OpenNative(attributes->ObjectName, parsed, access, shareAccess,
                                     disposition, options, &descriptor);
  if (status != STATUS_SUCCESS) {
    return CompleteIo(io, status, 0);
  }
  OpenObject* object = nullptr;
  *handle = AllocateObject(ObjectKind::File, &object);
  if (*handle == nullptr) {
    close(descriptor);
    return CompleteIo(io, STATUS_TOO_MANY_OPENED_FILES, 0);
  }
  struct stat opened {};
  fstat(descriptor, &opened);
  object->descriptor = descriptor;
  object->access = access;
  object->device = opened.st_dev;
  object->inode = opened.st_ino;
  std::strcpy(object->path, parsed.path);
  object->volumeBytes = parsed.volumeBytes;
  return CompleteIo(io, STATUS_SUCCESS, disposition == FILE_CREATE ? kFileCreated : kFileOpened);
}

NTSTATUS ZwReadFile(HANDLE file, HANDLE /*event*/, PIO_APC_ROUTINE /*apcRoutine*/,
                    PVOID /*apcContext*/, PIO_STATUS_BLOCK io, PVOID buffer, ULONG length,
                    PLARGE_INTEGER byteOffset, PULONG /*key*/) {
  NTSTATUS status = STATUS_SUCCESS;
  const OpenObject* object = FileFor(file, kReadRights, &status);
  if (object == nullptr) {
    return status;
  }
  const ssize_t moved = Transfer(false, object->descriptor, buffer, length, byteOffset);
  if (moved < 0) {
    // A folder refuses a read before it starts, leaving the status block as it was.
    const int error = errno;
    return error == EISDIR ? STATUS_INVALID_DEVICE_REQUEST
                           : CompleteIo(io, StatusFromErrno(error), 0);
  }
  if (moved == 0 && length > 0) {
    return CompleteIo(io, STATUS_END_OF_FILE, 0);
  }
  return CompleteIo(io, STATUS_SUCCESS, static_cast<ULONG_PTR>(moved));
}

// Like the platform, a write may move fewer bytes than asked and still succeed.
NTSTATUS ZwWriteFile(HANDLE file, HANDLE /*event*/, PIO_APC_ROUTINE /*apcRoutine*/,
                     PVOID /*apcContext*/, PIO_STATUS_BLOCK io, PVOID buffer, ULONG length,
                     PLARGE_INTEGER byteOffset, PULONG /*key*/) {
  NTSTATUS status = STATUS_SUCCESS;
  const OpenObject* object = FileFor(file, kWriteRights, &status);
  if (object == nullptr) {
    return status;
  }
  const ssize_t moved = Transfer(true, object->descriptor, buffer, length, byteOffset);
  if (moved < 0) {
    return CompleteIo(io, StatusFromErrno(errno), 0);
  }
  return CompleteIo(io, STATUS_SUCCESS, static_cast<ULONG_PTR>(moved));
}

}  // namespace standin
