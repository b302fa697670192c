// Native names as POSIX names: full native paths through the object namespace, and names
// relative to an open folder. Names inside a volume are taken exactly as written.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "standin/internal.h"

namespace standin {
namespace {

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

// Appends "/name" for each "\"-separated name from name to end; a separator may end them.
NTSTATUS AppendNames(const WCHAR* name, const WCHAR* end, char* posix, std::size_t& used,
                     bool* trailingSeparator) {
  *trailingSeparator = false;
  while (name != end) {
    const WCHAR* stop = std::find(name, end, u'\\');
    const NTSTATUS named = AppendName(posix, used, name, static_cast<std::size_t>(stop - name));
    if (named != STATUS_SUCCESS) {
      return named;
    }
    name = stop == end ? end : stop + 1;
    *trailingSeparator = name == end && stop != end;
  }
  posix[used] = 0;
  return STATUS_SUCCESS;
}

}  // namespace

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
    case ENXIO: return STATUS_NO_SUCH_DEVICE;  // a socket, a FIFO nobody reads, a device not there
    case EXDEV: return STATUS_NOT_SAME_DEVICE;
    default: return STATUS_UNSUCCESSFUL;
  }
}

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
  std::size_t used = std::strlen(directory);
  std::memcpy(parsed.path, directory, used);
  used -= used > 0 && directory[used - 1] == '/' ? 1 : 0;
  parsed.volumeBytes = used;
  // The rest is empty or "\" for the volume's root, otherwise "\name\name...".
  const WCHAR* rest = path + consumed;
  const WCHAR* end = path + units;
  const NTSTATUS named = AppendNames(end - rest > 1 ? rest + 1 : end, end, parsed.path, used,
                                     &parsed.trailingSeparator);
  if (named == STATUS_SUCCESS && used == 0) {
    std::strcpy(parsed.path, "/");
  }
  return named;
}

// As under Wine, a name that begins with a separator is a bad parameter. An empty name is
// refused (the platform opens the folder itself for one, which the tool never asks).
NTSTATUS ParseRelativeName(const WCHAR* name, std::size_t units, char* posix,
                           bool* trailingSeparator) {
  if (name == nullptr || units == 0) {
    return STATUS_OBJECT_NAME_INVALID;
  }
  if (name[0] == u'\\') {
    return STATUS_INVALID_PARAMETER;
  }
  std::size_t used = 0;
  const NTSTATUS status = AppendNames(name, name + units, posix, used, trailingSeparator);
  if (status == STATUS_SUCCESS) {
    std::memmove(posix, posix + 1, used);  // without the separator AppendNames puts first
  }
  return status;
}

NTSTATUS MissingStatus(int at, char* name) {
  char* slash = std::strrchr(name, '/');
  if (slash == nullptr) {
    return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  const char kept = slash[slash == name ? 1 : 0];
  slash[slash == name ? 1 : 0] = 0;
  struct stat parent {};
  const bool folder = fstatat(at, name, &parent, 0) == 0 && S_ISDIR(parent.st_mode);
  slash[slash == name ? 1 : 0] = kept;
  return folder ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
}

}  // namespace standin
