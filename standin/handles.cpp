// A fixed table of open objects behind the handles of the native services.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

#include "standin/internal.h"
#include "standin/test_hooks.h"

namespace standin {

OpenObject objectTable[kMaxObjects];

namespace {

// Handles are small multiples of four, as on Windows; none is 0.
HANDLE HandleOf(std::size_t slot) {
  return reinterpret_cast<HANDLE>((slot + 1) * 4);
}

// Removes the file only while its name still refers to the file this handle holds.
void RemoveIfSame(const OpenObject& object) {
  struct stat named {};
  if (lstat(object.path, &named) == 0 && named.st_dev == object.device &&
      named.st_ino == object.inode) {
    unlink(object.path);
  }
}

}  // namespace

HANDLE AllocateObject(ObjectKind kind, OpenObject** object) {
  for (std::size_t slot = 0; slot < kMaxObjects; ++slot) {
    if (objectTable[slot].kind == ObjectKind::Free) {
      objectTable[slot] = OpenObject{};
      objectTable[slot].kind = kind;
      objectTable[slot].descriptor = -1;
      *object = &objectTable[slot];
      return HandleOf(slot);
    }
  }
  return nullptr;
}

void RemoveMarkedFiles() {
  for (const OpenObject& object : objectTable) {
    if (object.kind == ObjectKind::File && object.deleteOnClose != 0) {
      RemoveIfSame(object);
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
    if (object.deleteOnClose != 0) {
      RemoveIfSame(object);
      object.deleteOnClose = 0;
    }
    close(object.descriptor);
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
