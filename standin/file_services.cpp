// The native file services over POSIX files: opens by full native path or relative to an
// open folder, reads and writes.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "standin/internal.h"

namespace standin {
namespace {

constexpr ACCESS_MASK kReadRights = GENERIC_READ | 0x1;          // FILE_READ_DATA
constexpr ACCESS_MASK kWriteRights = GENERIC_WRITE | 0x2 | 0x4;  // FILE_WRITE/APPEND_DATA
constexpr ULONG_PTR kFileOpened = 1;
constexpr ULONG_PTR kFileCreated = 2;

// A folder is opened to be read whatever the rights asked: on a folder the rights to write
// and append are those to add files and folders to it. Nothing waits at the open (a FIFO's
// for a writer). A reparse point's open takes the last name as itself, a link too: it
// asks about the file, never reads it.
int OpenFlags(ACCESS_MASK access, ULONG disposition, ULONG options) {
  if (disposition == FILE_OPEN && (options & FILE_OPEN_REPARSE_POINT) != 0) {
    return O_PATH | O_NOFOLLOW | O_CLOEXEC;
  }
  const bool folder = (options & FILE_DIRECTORY_FILE) != 0;
  const bool reads = (access & kReadRights) != 0;
  const bool writes = !folder && (access & kWriteRights) != 0;
  int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  flags |= reads && writes ? O_RDWR : writes ? O_WRONLY : O_RDONLY;
  return flags | (disposition == FILE_CREATE && !folder ? O_CREAT | O_EXCL : 0);
}

// What the create options demand of the kind of file that was opened. Only files and
// folders are opened to be read or written; a FIFO or a device is refused as its first
// query is under Wine (a socket does not open at all). A file's reads and writes wait.
NTSTATUS CheckKind(int descriptor, ULONG options, int flags) {
  struct stat opened {};
  if (fstat(descriptor, &opened) != 0) {
    return StatusFromErrno(errno);
  }
  const bool folder = S_ISDIR(opened.st_mode);
  if (folder && (options & FILE_NON_DIRECTORY_FILE) != 0) {
    return STATUS_FILE_IS_A_DIRECTORY;
  }
  if (!folder && (options & FILE_DIRECTORY_FILE) != 0) {
    return STATUS_NOT_A_DIRECTORY;
  }
  if (folder || (flags & O_PATH) != 0) {
    return STATUS_SUCCESS;
  }
  if (!S_ISREG(opened.st_mode)) {
    return STATUS_INVALID_INFO_CLASS;
  }
  return fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) == 0 ? STATUS_SUCCESS
                                                              : StatusFromErrno(errno);
}

// Share access 0 holds the file exclusively against every other open on the machine;
// opens that share coexist with each other.
NTSTATUS LockShare(int descriptor, ULONG shareAccess) {
  const int mode = shareAccess == 0 ? LOCK_EX : LOCK_SH;
  return flock(descriptor, mode | LOCK_NB) == 0 ? STATUS_SUCCESS : STATUS_SHARING_VIOLATION;
}

// Opens a name relative to the folder at (AT_FDCWD: a full path); a folder to create is
// made first, then opened as an existing one.
NTSTATUS OpenAt(int at, char* name, ACCESS_MASK access, ULONG shareAccess, ULONG disposition,
                ULONG options, int* descriptor) {
  if (disposition != FILE_OPEN && disposition != FILE_CREATE) {
    return STATUS_INVALID_PARAMETER;
  }
  const bool newFolder = disposition == FILE_CREATE && (options & FILE_DIRECTORY_FILE) != 0;
  if (newFolder && mkdirat(at, name, 0777) != 0) {
    return errno == ENOENT ? MissingStatus(at, name) : StatusFromErrno(errno);
  }
  const int flags = OpenFlags(access, disposition, options);
  *descriptor = openat(at, name, flags, 0666);
  if (*descriptor < 0) {
    return errno == ENOENT ? MissingStatus(at, name) : StatusFromErrno(errno);
  }
  NTSTATUS status = CheckKind(*descriptor, options, flags);
  if (status == STATUS_SUCCESS && (flags & O_PATH) == 0) {
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

// What an open names: a full native path (at is AT_FDCWD), or a name relative to the
// folder at, which path holds from nameAt on.
struct Target {
  PosixPath where;
  std::size_t nameAt;
  int at;
};

NTSTATUS Locate(const OBJECT_ATTRIBUTES& attributes, Target& target) {
  target.at = AT_FDCWD;
  target.nameAt = 0;
  if (attributes.RootDirectory == nullptr) {
    return ParseNativePath(attributes.ObjectName, target.where);
  }
  const OpenObject* root = FindObject(attributes.RootDirectory, ObjectKind::File);
  if (root == nullptr) {
    return STATUS_INVALID_HANDLE;
  }
  const UNICODE_STRING* given = attributes.ObjectName;
  char name[kPosixPathBytes];
  const NTSTATUS status = given == nullptr
                              ? STATUS_OBJECT_NAME_INVALID
                              : ParseRelativeName(given->Buffer, given->Length / sizeof(WCHAR),
                                                  name, &target.where.trailingSeparator);
  if (status == STATUS_SUCCESS) {
    target.at = root->descriptor;
    PlaceRelative(*root, name, target.where.path, &target.nameAt, &target.where.volumeBytes);
  }
  return status;
}

// Opens what is named; a name ending in a separator names a folder or nothing, and a file
// is never created under such a name.
NTSTATUS OpenTarget(Target& target, ACCESS_MASK access, ULONG shareAccess, ULONG disposition,
                    ULONG options, int* descriptor) {
  const bool trailingSeparator = target.where.trailingSeparator;
  if (trailingSeparator && disposition == FILE_CREATE) {
    return STATUS_OBJECT_NAME_INVALID;
  }
  NTSTATUS status = OpenAt(target.at, target.where.path + target.nameAt, access, shareAccess,
                           disposition, options, descriptor);
  if (status == STATUS_SUCCESS && trailingSeparator && !IsFolder(*descriptor)) {
    close(*descriptor);
    status = STATUS_OBJECT_NAME_INVALID;
  }
  return status;
}

// Keeps where the file is; one that may be removed or renamed keeps its folder too.
NTSTATUS Record(OpenObject& object, const Target& target, int descriptor, ACCESS_MASK access) {
  struct stat opened {};
  fstat(descriptor, &opened);
  object.descriptor = descriptor;
  object.access = access;
  object.device = opened.st_dev;
  object.inode = opened.st_ino;
  std::strcpy(object.path, target.where.path);
  object.nameAt = target.nameAt;
  object.volumeBytes = target.where.volumeBytes;
  if ((access & DELETE) != 0) {
    object.parent = target.at == AT_FDCWD ? AT_FDCWD : KeepFolder(target.at);
  }
  return (access & DELETE) != 0 && object.parent == -1 ? StatusFromErrno(errno) : STATUS_SUCCESS;
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
  if (handle == nullptr || attributes == nullptr || io == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  Target target;
  int descriptor = -1;
  NTSTATUS status = Locate(*attributes, target);
  if (status == STATUS_SUCCESS) {
    status = OpenTarget(target, access, shareAccess, disposition, options, &descriptor);
  }
  if (status != STATUS_SUCCESS) {
    return CompleteIo(io, status, 0);
  }
  OpenObject* object = nullptr;
  *handle = AllocateObject(ObjectKind::File, &object);
  if (*handle == nullptr) {
    close(descriptor);
    return CompleteIo(io, STATUS_TOO_MANY_OPENED_FILES, 0);
  }
  status = Record(*object, target, descriptor, access);
  if (status != STATUS_SUCCESS) {
    ReleaseObject(*handle);
    *handle = nullptr;
    return CompleteIo(io, status, 0);
  }
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
