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

// What a create asks, as ZwCreateFile takes it.
struct Request {
  ACCESS_MASK access;
  ULONG shareAccess;
  ULONG disposition;
  ULONG options;
};

// A folder is opened to be read whatever the rights asked: on a folder the rights to write
// and append are those to add files and folders to it. Nothing waits at the open (a FIFO's
// for a writer). A reparse point's open takes the last name as itself, a link too: it
// asks about the file, never reads it.
int OpenFlags(const Request& request) {
  if (request.disposition == FILE_OPEN && (request.options & FILE_OPEN_REPARSE_POINT) != 0) {
    return O_PATH | O_NOFOLLOW | O_CLOEXEC;
  }
  const bool folder = (request.options & FILE_DIRECTORY_FILE) != 0;
  const bool reads = (request.access & kReadRights) != 0;
  const bool writes = !folder && (request.access & kWriteRights) != 0;
  int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  flags |= reads && writes ? O_RDWR : writes ? O_WRONLY : O_RDONLY;
  return flags | (request.disposition == FILE_CREATE && !folder ? O_CREAT | O_EXCL : 0);
}

// What the create options demand of the kind of file that was opened. Only files and
// folders are opened to be read or written; a FIFO or a device is refused as its first
// query is under Wine (a socket does not open at all). A file's reads and writes wait. As
// on Windows (MS-FSA 2.1.5.1.2.1), a read-only file cannot be opened to be removed at its
// close; Wine ignores read-only on a folder.
NTSTATUS CheckKind(int descriptor, const struct stat& opened, ULONG options, int flags) {
  const bool folder = S_ISDIR(opened.st_mode);
  if (folder && (options & FILE_NON_DIRECTORY_FILE) != 0) {
    return STATUS_FILE_IS_A_DIRECTORY;
  }
  if (!folder && (options & FILE_DIRECTORY_FILE) != 0) {
    return STATUS_NOT_A_DIRECTORY;
  }
  if (!folder && (options & FILE_DELETE_ON_CLOSE) != 0 && NobodyMayWrite(opened.st_mode)) {
    return STATUS_CANNOT_DELETE;
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

// Checks the file opened, then takes its share; a create that cannot finish removes what
// it made (made: its identity, else zero), and only that.
NTSTATUS FinishOpen(int at, const char* name, const Request& request, int descriptor,
                    struct stat& made) {
  struct stat opened {};
  const int flags = OpenFlags(request);
  NTSTATUS status = fstat(descriptor, &opened) == 0
                        ? CheckKind(descriptor, opened, request.options, flags)
                        : StatusFromErrno(errno);
  if (request.disposition == FILE_CREATE && made.st_ino == 0) {
    made = opened;
  }
  // A reparse point's own open takes no share: it asks about the file alone.
  if (status == STATUS_SUCCESS && (flags & O_PATH) == 0) {
    status = LockShare(descriptor, request.shareAccess);
  }
  if (status != STATUS_SUCCESS && made.st_ino != 0) {
    RemoveIfStill(at, name, made.st_dev, made.st_ino);
  }
  return status;
}

// Opens a name relative to the folder at (AT_FDCWD: a full path); a folder to create is
// made first, then opened as an existing one.
NTSTATUS OpenAt(int at, char* name, const Request& request, int* descriptor) {
  if (request.disposition != FILE_OPEN && request.disposition != FILE_CREATE) {
    return STATUS_INVALID_PARAMETER;
  }
  const bool newFolder =
      request.disposition == FILE_CREATE && (request.options & FILE_DIRECTORY_FILE) != 0;
  struct stat made {};
  if (newFolder && mkdirat(at, name, 0777) != 0) {
    return errno == ENOENT ? MissingStatus(at, name) : StatusFromErrno(errno);
  }
  if (newFolder && fstatat(at, name, &made, AT_SYMLINK_NOFOLLOW) != 0) {
    made = {};
  }
  *descriptor = openat(at, name, OpenFlags(request), 0666);
  if (*descriptor < 0) {
    const int error = errno;
    if (made.st_ino != 0) {
      RemoveIfStill(at, name, made.st_dev, made.st_ino);
    }
    return error == ENOENT ? MissingStatus(at, name) : StatusFromErrno(error);
  }
  const NTSTATUS status = FinishOpen(at, name, request, *descriptor, made);
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
NTSTATUS OpenTarget(Target& target, const Request& request, int* descriptor) {
  const bool trailingSeparator = target.where.trailingSeparator;
  if (trailingSeparator && request.disposition == FILE_CREATE) {
    return STATUS_OBJECT_NAME_INVALID;
  }
  NTSTATUS status = OpenAt(target.at, target.where.path + target.nameAt, request, descriptor);
  if (status == STATUS_SUCCESS && trailingSeparator && !IsFolder(*descriptor)) {
    close(*descriptor);
    status = STATUS_OBJECT_NAME_INVALID;
  }
  return status;
}

// A file that may be removed or renamed keeps its folder: taken before the open, so that
// a create never fails after its file is made for want of a descriptor.
NTSTATUS KeepParent(OpenObject& object, const Target& target, ACCESS_MASK access) {
  if ((access & DELETE) == 0) {
    return STATUS_SUCCESS;
  }
  object.parent = target.at == AT_FDCWD ? AT_FDCWD : KeepFolder(target.at);
  return object.parent == -1 ? StatusFromErrno(errno) : STATUS_SUCCESS;
}

// Keeps where the file is; its on-close state last, once the rest is in place.
void Record(OpenObject& object, const Target& target, int descriptor, const Request& request) {
  struct stat opened {};
  fstat(descriptor, &opened);
  object.descriptor = descriptor;
  object.access = request.access;
  object.device = opened.st_dev;
  object.inode = opened.st_ino;
  std::strcpy(object.path, target.where.path);
  object.nameAt = target.nameAt;
  object.volumeBytes = target.where.volumeBytes;
  object.deleteOnClose = (request.options & FILE_DELETE_ON_CLOSE) != 0 ? 1 : 0;
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

// The handle's slot and the folder it keeps are taken before the file is opened, so that
// a create that cannot finish leaves nothing behind. FILE_DELETE_ON_CLOSE without DELETE
// is refused as the I/O manager refuses it, before any file system sees the create.
NTSTATUS ZwCreateFile(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                      PIO_STATUS_BLOCK io, PLARGE_INTEGER /*allocationSize*/,
                      ULONG /*fileAttributes*/, ULONG shareAccess, ULONG disposition, ULONG options,
                      PVOID /*eaBuffer*/, ULONG /*eaLength*/) {
  if (handle == nullptr || attributes == nullptr || io == nullptr ||
      ((options & FILE_DELETE_ON_CLOSE) != 0 && (access & DELETE) == 0)) {
    return STATUS_INVALID_PARAMETER;
  }
  Target target;
  NTSTATUS status = Locate(*attributes, target);
  if (status != STATUS_SUCCESS) {
    return CompleteIo(io, status, 0);
  }
  OpenObject* object = nullptr;
  *handle = AllocateObject(ObjectKind::File, &object);
  if (*handle == nullptr) {
    return CompleteIo(io, STATUS_TOO_MANY_OPENED_FILES, 0);
  }
  const Request request{access, shareAccess, disposition, options};
  int descriptor = -1;
  status = KeepParent(*object, target, access);
  if (status == STATUS_SUCCESS) {
    status = OpenTarget(target, request, &descriptor);
  }
  if (status != STATUS_SUCCESS) {
    ReleaseObject(*handle);
    *handle = nullptr;
    return CompleteIo(io, status, 0);
  }
  Record(*object, target, descriptor, request);
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
