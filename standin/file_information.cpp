// What the native services set and tell about an open file: its disposition and its name.
#include <cstring>

#include "standin/internal.h"

namespace standin {

NTSTATUS ZwSetInformationFile(HANDLE file, PIO_STATUS_BLOCK io, PVOID information, ULONG length,
                              FILE_INFORMATION_CLASS informationClass) {
  if (informationClass != FileDispositionInformation) {
    return STATUS_INVALID_INFO_CLASS;
  }
  if (length < sizeof(FILE_DISPOSITION_INFORMATION)) {
    return STATUS_INFO_LENGTH_MISMATCH;
  }
  NTSTATUS status = STATUS_SUCCESS;
  OpenObject* object = FileFor(file, DELETE, &status);
  if (object == nullptr) {
    return status;
  }
  object->deleteOnClose =
      static_cast<const FILE_DISPOSITION_INFORMATION*>(information)->DoDeleteFile != 0 ? 1 : 0;
  return Complete(io, STATUS_SUCCESS, 0);
}

// The name relative to the volume's root, "\" separated, as it was opened (the stand-in
// looks names up exactly, so that is the name on disk). A buffer too small for the whole
// name gets what fits and its full length, with STATUS_BUFFER_OVERFLOW. Only the class the
// stand-in implements is answered; Wine, too, refuses the normalized name.
NTSTATUS ZwQueryInformationFile(HANDLE file, PIO_STATUS_BLOCK io, PVOID information, ULONG length,
                                FILE_INFORMATION_CLASS informationClass) {
  if (informationClass != FileNameInformation) {
    return STATUS_INVALID_INFO_CLASS;
  }
  constexpr ULONG kHeader = offsetof(FILE_NAME_INFORMATION, FileName);
  if (length < kHeader) {
    return STATUS_INFO_LENGTH_MISMATCH;
  }
  const OpenObject* object = FindObject(file, ObjectKind::File);
  if (object == nullptr) {
    return STATUS_INVALID_HANDLE;
  }
  const char* inside = object->path + object->volumeBytes;
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
  return Complete(io, copied < bytes ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS, kHeader + copied);
}

}  // namespace standin
