#include "copy/copy_engine.h"

#include "console/console.h"
#include "console/messages.h"
#include "copy/name_check.h"
#include "native/native_services.h"

namespace {

// The source is read without sharing and must not be a directory; the destination is
// created new, without sharing, with the right to remove it again if the copy fails.
// FILE_SYNCHRONOUS_IO_ALERT (with SYNCHRONIZE access) makes every read and write complete
// before its call returns and keeps the file's current position, so no byte offset is
// passed; the wait is alertable, but the tool queues no APC that could end it early.
constexpr ACCESS_MASK kSourceAccess = GENERIC_READ | SYNCHRONIZE;
constexpr ACCESS_MASK kDestinationAccess = GENERIC_WRITE | SYNCHRONIZE | DELETE;
constexpr ULONG kSourceOptions = FILE_SYNCHRONOUS_IO_ALERT | FILE_NON_DIRECTORY_FILE;
constexpr ULONG kDestinationOptions = FILE_SYNCHRONOUS_IO_ALERT;
constexpr ULONG kNoSharing = 0;
constexpr ULONG kBlockBytes = kCopyBlockBytes;

// One file as the native services see it. Without OBJ_CASE_INSENSITIVE its name is
// looked up exactly as written. OBJ_KERNEL_HANDLE is dropped by the object manager for
// a caller in user mode, so the handle is this process's own and CloseHandle closes it.
struct NativeFile {
  UNICODE_STRING name;
  OBJECT_ATTRIBUTES attributes;
  IO_STATUS_BLOCK io;
  HANDLE handle;
};

// The two files of one copy.
struct CopyFiles {
  NativeFile source;
  NativeFile destination;
};

void DescribeFile(NativeFile& file, const WCHAR* nativePath) {
  NativeServices.RtlInitUnicodeString(&file.name, nativePath);
  file.attributes = ObjectAttributesFor(&file.name, OBJ_KERNEL_HANDLE);
  file.io.Status = STATUS_SUCCESS;
  file.io.Information = 0;
  file.handle = nullptr;
}

NTSTATUS OpenFile(NativeFile& file, ACCESS_MASK access, ULONG disposition, ULONG options) {
  return NativeServices.ZwCreateFile(&file.handle, access, &file.attributes, &file.io, nullptr, 0,
                                     kNoSharing, disposition, options, nullptr, 0);
}

void Report(WCHAR* message, const WCHAR* format, NTSTATUS status) {
  BoundedFormat(message, kMessageBytes, format, StatusCode(status));
  ConsolePrint(message);
}

// Writes the whole block: a write that moves part of it is continued with the rest,
// and one that moves nothing while reporting success means the volume is full.
NTSTATUS WriteBlock(NativeFile& destination, BYTE* data, ULONG length) {
  ULONG written = 0;
  while (written < length) {
    const ULONG remaining = length - written;
    const NTSTATUS status =
        NativeServices.ZwWriteFile(destination.handle, nullptr, nullptr, nullptr, &destination.io,
                                   data + written, remaining, nullptr, nullptr);
    if (status != STATUS_SUCCESS) {
      return status;
    }
    if (destination.io.Information == 0) {
      return STATUS_DISK_FULL;
    }
    written += destination.io.Information < remaining
                   ? static_cast<ULONG>(destination.io.Information)
                   : remaining;
  }
  return STATUS_SUCCESS;
}

// Moves blocks until the end of the source; a short read is not the end. Returns the
// message of the step that failed, with its status, or nullptr when the whole source
// arrived.
const WCHAR* CopyBlocks(CopyFiles& files, BYTE* data, NTSTATUS& status) {
  NativeFile& source = files.source;
  for (;;) {
    status = NativeServices.ZwReadFile(source.handle, nullptr, nullptr, nullptr, &source.io, data,
                                       kBlockBytes, nullptr, nullptr);
    if (status == STATUS_END_OF_FILE) {
      status = STATUS_SUCCESS;
      return nullptr;
    }
    if (status != STATUS_SUCCESS) {
      return kErrorReading;
    }
    const ULONG count = source.io.Information < kBlockBytes
                            ? static_cast<ULONG>(source.io.Information)
                            : kBlockBytes;
    if (count == 0) {
      return nullptr;
    }
    status = WriteBlock(files.destination, data, count);
    if (status != STATUS_SUCCESS) {
      return kErrorWriting;
    }
  }
}

// Opens the source and holds it only if it is the file of exactly the typed names.
NTSTATUS OpenSource(NativeFile& file, const WCHAR* typedNames, BYTE* data) {
  NTSTATUS status = OpenFile(file, kSourceAccess, FILE_OPEN, kSourceOptions);
  if (status != STATUS_SUCCESS) {
    return status;
  }
  // The data buffer is free until the copy starts: it takes the reported name.
  status = CheckOpenedName(file.handle, typedNames, data, kBlockBytes);
  if (status != STATUS_SUCCESS) {
    CloseHandle(file.handle);
  }
  return status;
}

NTSTATUS SetDeletion(NativeFile& file, bool deleteFile) {
  FILE_DISPOSITION_INFORMATION disposition{static_cast<BOOLEAN>(deleteFile ? TRUE : FALSE)};
  return NativeServices.ZwSetInformationFile(file.handle, &file.io, &disposition,
                                             sizeof disposition, FileDispositionInformation);
}

// Fills the destination while it is marked for deletion: however the process ends before
// the last block is written, the platform removes the file when its handle goes. The
// mark is cleared only once the whole source arrived. When it could not be set, a failed
// copy is marked at its end instead.
const WCHAR* FillMarkedDestination(CopyFiles& files, BYTE* data, NTSTATUS& status) {
  const bool marked = SetDeletion(files.destination, true) == STATUS_SUCCESS;
  const WCHAR* failure = CopyBlocks(files, data, status);
  if (failure == nullptr && marked) {
    // A copy whose mark stays would be removed at its close.
    status = SetDeletion(files.destination, false);
    failure = status == STATUS_SUCCESS ? nullptr : kErrorWriting;
  } else if (failure != nullptr && !marked) {
    SetDeletion(files.destination, true);
  }
  return failure;
}

}  // namespace

// Every failure is printed only once nothing is open, so that a console write that fails
// or ends the process cannot strand a half-written destination.
bool CopyFileNative(const NativeSource& source, const WCHAR* destinationNativePath,
                    WCHAR* messageBuffer, BYTE* dataBuffer) {
  CopyFiles files;
  DescribeFile(files.source, source.path);
  DescribeFile(files.destination, destinationNativePath);
  NTSTATUS status = OpenSource(files.source, source.typedNames, dataBuffer);
  if (status != STATUS_SUCCESS) {
    Report(messageBuffer, kErrorOpening, status);
    return false;
  }
  status = OpenFile(files.destination, kDestinationAccess, FILE_CREATE, kDestinationOptions);
  if (status != STATUS_SUCCESS) {
    CloseHandle(files.source.handle);
    BoundedFormat(messageBuffer, kMessageBytes, kErrorCreating, StatusCode(status),
                  StatusCode(files.destination.io.Status));
    ConsolePrint(messageBuffer);
    return false;
  }
  const WCHAR* failure = FillMarkedDestination(files, dataBuffer, status);
  CloseHandle(files.source.handle);
  CloseHandle(files.destination.handle);
  if (failure != nullptr) {
    Report(messageBuffer, failure, status);
  }
  return failure == nullptr;
}
