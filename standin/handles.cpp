// A fixed table of open objects behind the handles of the native services.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "standin/internal.h"
#include "standin/test_hooks.h"

namespace standin {

OpenObject objectTable[kMaxObjects];

namespace {

// Handles are small multiples of four, as on Windows; none is 0.
HANDLE HandleOf(std::size_t slot) {
  return reinterpret_cast<HANDLE>((slot + 1) * 4);
}

bool IsMarked(const OpenObject& object) {
  return object.kind == ObjectKind::File &&
         (object.deletePending != 0 || object.deleteOnClose != 0);
}

}  // namespace

void RemoveIfStill(int at, const char* name, dev_t device, ino_t inode) {
  struct stat named {};
  if (fstatat(at, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_dev == device &&
      named.st_ino == inode) {
    unlinkat(at, name, S_ISDIR(named.st_mode) ? AT_REMOVEDIR : 0);
  }
}

// Every field but the path, written at each open, and the listing's mask, taken at its
// first call: a free slot costs nothing until it is first taken.
HANDLE AllocateObject(ObjectKind kind, OpenObject** object) {
  for (std::size_t slot = 0; slot < kMaxObjects; ++slot) {
    OpenObject& free = objectTable[slot];
    if (free.kind == ObjectKind::Free) {
      free.kind = kind;
      free.link = -1;
      free.descriptor = -1;
      free.access = 0;
      free.deletePending = 0;
      free.deleteOnClose = 0;
      free.parent = -1;
      free.nameAt = 0;
      free.volumeBytes = kPathUnknown;
      free.listStarted = false;
      free.dotsListed = 0;
      free.listOffset = 0;
      free.path[0] = 0;
      *object = &free;
      return HandleOf(slot);
    }
  }
  return nullptr;
}

void PlaceRelative(const OpenObject& root, const char* name, char* path, std::size_t* nameAt,
                   std::size_t* volumeBytes) {
  const bool known = root.volumeBytes != kPathUnknown;
  std::size_t folder = known ? std::strlen(root.path) : 0;
  folder -= folder > 0 && root.path[folder - 1] == '/' ? 1 : 0;  // the root of "/"
  const std::size_t length = std::strlen(name);
  if (!known || folder + 1 + length >= kPosixPathBytes) {
    std::memcpy(path, name, length + 1);
    *nameAt = 0;
    *volumeBytes = kPathUnknown;
    return;
  }
  std::memmove(path, root.path, folder);
  path[folder] = '/';
  std::memcpy(path + folder + 1, name, length + 1);
  *nameAt = folder + 1;
  *volumeBytes = root.volumeBytes;
}

int KeepFolder(int folder) {
  return openat(folder, ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
}

void RemoveMarkedFiles() {
  for (const OpenObject& object : objectTable) {
    if (IsMarked(object)) {
      RemoveIfStill(object.parent, object.path + object.nameAt, object.device, object.inode);
    }
  }
}

NTSTATUS ReleaseObject(HANDLE handle) {
  const std::size_t slot = SlotOf(handle);
  if (slot >= kMaxObjects || objectTable[slot].kind == ObjectKind::Free) {
    return STATUS_INVALID_HANDLE;
  }
  OpenObject& object = objectTable[slot];
  if (object.kind == ObjectKind::File) {
    // Removed before the descriptor (and with it the exclusive lock) goes, so that no
    // other opener sees the file in between.
    if (IsMarked(object)) {
      RemoveIfStill(object.parent, object.path + object.nameAt, object.device, object.inode);
      object.deletePending = 0;
      object.deleteOnClose = 0;
    }
    if (object.descriptor >= 0) {
      close(object.descriptor);
    }
    if (object.parent >= 0) {
      close(object.parent);
    }
  }
  object.kind = ObjectKind::Free;
  return STATUS_SUCCESS;
}

std::size_t OpenHandleCount() {
  std::size_t open = 0;
  for (const OpenObject& object : objectTable) {
    open += object.kind != ObjectKind::Free ? 1 : 0;
  }
  return open;
}

NTSTATUS ZwClose(HANDLE handle) {
  return ReleaseObject(handle);
}

}  // namespace standin

BOOL CloseHandle(HANDLE object) {
  return standin::ReleaseObject(object) == STATUS_SUCCESS ? TRUE : FALSE;
}
